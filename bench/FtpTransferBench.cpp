// SendFile and ReceiveFile of one large file through the FTP connection against the curl command line doing the
// same transfers in active mode, against the same loopback FTP server in the same run. Both sides sit on libcurl,
// so the ratio shows what our connection, buffers, callbacks and file handling cost. Each side is timed from
// connect to disconnect. The median of the runs counts: a transfer this fast is jittered by the server, a Python
// process, whose rare quick runs would decide a best-of comparison. Files live in memory (/dev/shm) unless TMPDIR
// is set.

#include "core/app/UnitGo.h"
#include "core/net/UnitFTP.h"
#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void CheckSize(const std::string& path, std::uint64_t size) {
    if (std::filesystem::file_size(path) != size) {
        throw std::runtime_error(path + " has the wrong size");
    }
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 256, 9);
    try {
        BenchTempDir temp(true);
        std::filesystem::create_directory(temp / "root");
        std::filesystem::create_directory(temp / "program");
        const std::uint64_t size = options.sizeMb * 1024 * 1024;
        const std::string source = temp / "source.bin";
        WriteRandomFile(source, size, 7);
        BenchFtpServer server(temp / "root", temp / "server.log");
        const std::string curl = "curl -sS --disable -P - ";

        SetGlobalObjectOptions({nullptr, temp / "program"});
        TFTPconnection& ftp = *GetGlobalObject()->FTP;
        ftp.Host = server.Host();
        ftp.Port = server.Port();
        ftp.Login = server.User();
        ftp.Password = server.Password();

        std::vector<double> upload;
        std::vector<double> download;
        std::vector<double> referenceUpload;
        std::vector<double> referenceDownload;
        for (int run = 0; run < options.runs; ++run) {
            referenceUpload.push_back(TimeCommand(curl + "-T " + source + " " + server.Url() + "curl.bin"));
            CheckSize(temp / "root/curl.bin", size);

            Stopwatch watch;
            if (!ftp.SendFile(source, "ours.bin", false)) {
                throw std::runtime_error("SendFile failed; see " + WriteRunLog(temp / "run.log"));
            }
            ftp.Disconnect();
            upload.push_back(watch.Seconds());
            CheckSize(temp / "root/ours.bin", size);

            referenceDownload.push_back(TimeCommand(curl + "-o " + temp / "curl.down " + server.Url() + "curl.bin"));
            CheckSize(temp / "curl.down", size);

            watch = Stopwatch();
            if (!ftp.ReceiveFile("ours.bin", temp / "ours.down", true)) {
                throw std::runtime_error("ReceiveFile failed; see " + WriteRunLog(temp / "run.log"));
            }
            ftp.Disconnect();
            download.push_back(watch.Seconds());
            CheckSize(temp / "ours.down", size);

            std::filesystem::remove(temp / "curl.down");
            std::filesystem::remove(temp / "ours.down");
        }
        std::printf("FTP transfer benchmark: %s over loopback, active mode, median of %d\n", Megabytes(size).c_str(),
                    options.runs);
        PrintRatio("SendFile", Median(upload), "curl -T", Median(referenceUpload), 1.10);
        PrintRatio("ReceiveFile", Median(download), "curl download", Median(referenceDownload), 1.10);
        // The curl runs are child processes and not counted here: this is our side's whole footprint.
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("  peak memory of this process: %.1f MB for %s transferred each way\n",
                    static_cast<double>(usage.ru_maxrss) / 1024.0, Megabytes(size).c_str());
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "FTP transfer benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
