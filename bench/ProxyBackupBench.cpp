// An incremental backup of 20 small volumes to a loopback FTP server through a SOCKS5 proxy (microsocks), against
// the same backup sent directly, in the same run. Each volume is a separate upload on the one logged-in session, so
// whatever a transfer through the proxy costs beyond a direct one shows twenty times over. Both sides log in before
// the clock starts. One backup lasts well under a second, so a sample is as many in a row as last about two seconds;
// the two sides take turns and the median of the pairs' ratios counts. Files live in /dev/shm unless TMPDIR is set.

#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "core/net/UnitFTP.h"
#include "core/tasks/UnitGroups.h"
#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kVolumes = 20;

// One file per volume: just over the volume threshold of input, so that each file begins a volume of its own, and
// text that deflates to a few kilobytes, so that the volumes are small and the transfers' fixed costs dominate.
void WriteVolumeFiles(const std::string& folder) {
    fs::create_directories(folder);
    for (int i = 0; i < kVolumes; ++i) {
        std::ofstream out(folder + "/part" + std::to_string(i) + ".txt", std::ios::binary);
        std::string line;
        for (std::int64_t written = 0; written <= VolumeThreshold; written += static_cast<std::int64_t>(line.size())) {
            line = "volume " + std::to_string(i) + " line " + std::to_string(written % 977) + "\r\n";
            out << line;
        }
        if (!out) {
            throw std::runtime_error("cannot write " + folder);
        }
    }
}

std::size_t CountFiles(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 0, 5);
    try {
        BenchTempDir temp(true);
        const std::string data = temp / "data";
        const std::string work = temp / "work/";
        const std::string remote = temp / "root/backups/";
        WriteVolumeFiles(data);
        fs::create_directories(work);
        fs::create_directories(remote);
        fs::create_directories(temp / "program");
        ::setenv("TEMP", work.c_str(), 1);

        BenchFtpServer server(temp / "root", temp / "server.log");
        BenchSocksProxy proxy(temp / "proxy.log");

        SetGlobalObjectOptions({nullptr, temp / "program/"});
        TGlobalObject& app = *GetGlobalObject();
        TFTPconnection& ftp = *app.FTP;
        ftp.Host = server.Host();
        ftp.Port = server.Port();
        ftp.Login = BenchFtpServer::User();
        ftp.Password = BenchFtpServer::Password();
        ftp.RemoteDir = "backups";
        ftp.ProxyHost = proxy.Host();
        ftp.ProxyPort = proxy.Port();
        auto owned = std::make_unique<TGroup>();
        TGroup& task = *owned;
        app.Tasks.push_back(std::move(owned));
        task.SetName("Bench");
        task.Info->Incremental = 1;
        task.AddFolder(std::make_unique<TFolder>(data + "/"));

        // One backup on a session logged in beforehand; the seconds it took.
        auto run = [&](std::uint8_t proxyType) {
            ftp.ProxyType = proxyType;
            if (!ftp.Reconnect()) {
                throw std::runtime_error("cannot connect; see " + WriteRunLog(temp / "run.log") + " and " +
                                         temp / "proxy.log");
            }
            task.Snapshot.clear();
            const Stopwatch watch;
            task.DoBackup();
            const double seconds = watch.Seconds();
            // The list file and one file per volume.
            if (task.LastRunOk == 0 || CountFiles(remote) != kVolumes + 1) {
                throw std::runtime_error("the backup run failed; see " + WriteRunLog(temp / "run.log") + " and " +
                                         temp / "proxy.log");
            }
            for (const auto& entry : fs::directory_iterator(remote)) {
                fs::remove(entry.path());
            }
            return seconds;
        };

        // One backup lasts well under a second: a sample is as many in a row as last about two seconds.
        const int repeats = RepeatsForSeconds(run(TFTPconnection::Socks5), 2.0);
        const PairedTimes times =
            TimePairs(options.runs, Repeated(repeats, [&] { return run(TFTPconnection::Socks5); }),
                      Repeated(repeats, [&] { return run(TFTPconnection::Direct); }));
        ftp.Disconnect();
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        std::printf("proxy backup benchmark: incremental backup of %d volumes, %d a sample, median of %d "
                    "pairs\n",
                    kVolumes, repeats, options.runs);
        PrintPairedRatio("backup through a SOCKS5 proxy", times, "the same backup direct", 1.30);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "proxy backup benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
