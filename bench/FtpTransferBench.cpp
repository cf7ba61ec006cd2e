// SendFile and ReceiveFile of one large file through the FTP connection against the curl command line doing the
// same transfers in active mode, against the same loopback FTP server in the same run. Both sides sit on libcurl,
// so the ratio shows what our connection, buffers, callbacks and file handling cost. Each transfer is timed from
// connect to disconnect. One transfer lasts well under a second, so a sample is as many transfers in a row as last
// about two seconds; ours and curl take turns sample by sample, and the median of the pairs' ratios counts: one
// hiccup of a loaded machine, or of the server (a Python process), then moves one sample a little instead of
// deciding the result. Files live in memory (/dev/shm) unless TMPDIR is set.
//
// Options: --size-mb N (default 256), --runs N (pairs of samples, default 5).

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

void CheckSize(const std::string& path, std::uint64_t size) {
    if (std::filesystem::file_size(path) != size) {
        throw std::runtime_error(path + " has the wrong size");
    }
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 256, 5);
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

        // One timed transfer each; the repeats of a sample are chosen from a first, untimed round.
        const auto curlUpload = [&] {
            const double seconds = TimeCommand(curl + "-T " + source + " " + server.Url() + "curl.bin");
            CheckSize(temp / "root/curl.bin", size);
            return seconds;
        };
        const auto ourUpload = [&] {
            const Stopwatch watch;
            if (!ftp.SendFile(source, "ours.bin", false)) {
                throw std::runtime_error("SendFile failed; see " + WriteRunLog(temp / "run.log"));
            }
            ftp.Disconnect();
            const double seconds = watch.Seconds();
            CheckSize(temp / "root/ours.bin", size);
            return seconds;
        };
        const auto curlDownload = [&] {
            const double seconds = TimeCommand(curl + "-o " + temp / "curl.down " + server.Url() + "curl.bin");
            CheckSize(temp / "curl.down", size);
            std::filesystem::remove(temp / "curl.down");
            return seconds;
        };
        const auto ourDownload = [&] {
            const Stopwatch watch;
            if (!ftp.ReceiveFile("ours.bin", temp / "ours.down", true)) {
                throw std::runtime_error("ReceiveFile failed; see " + WriteRunLog(temp / "run.log"));
            }
            ftp.Disconnect();
            const double seconds = watch.Seconds();
            CheckSize(temp / "ours.down", size);
            std::filesystem::remove(temp / "ours.down");
            return seconds;
        };
        const int repeats =
            RepeatsForSeconds(std::min({curlUpload(), ourUpload(), curlDownload(), ourDownload()}), 2.0);
        const PairedTimes upload = TimePairs(options.runs, Repeated(repeats, ourUpload), Repeated(repeats, curlUpload));
        const PairedTimes download =
            TimePairs(options.runs, Repeated(repeats, ourDownload), Repeated(repeats, curlDownload));
        std::printf("FTP transfer benchmark: %s over loopback, active mode, %d transfers a sample, median of %d "
                    "pairs\n",
                    Megabytes(size).c_str(), repeats, options.runs);
        PrintPairedRatio("SendFile", upload, "curl -T", 1.10);
        PrintPairedRatio("ReceiveFile", download, "curl download", 1.10);
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
