// A full encrypted backup of the mixed data set to a loopback FTP server, end to end through TGroup::DoBackup
// (listing, packing into one zip volume, encrypting the volume, writing and uploading the list file and the volume,
// deleting the work files), against the sum of the same three steps done by reference tools in the same run: the
// raw zlib deflate loop of the zip benchmark over the same files, `openssl enc -aes-128-cbc -nopad` on a file of the
// volume's size, and `curl -T` of that file in active mode to the same server. Then the peak resident memory of a
// process that does nothing but one such run, at the data set's size and at four times it: it must stay small and
// must not grow with the data.
//
// Options: --size-mb N (default 256), --runs N (default 3 pairs, each side in turn; the median of the pairs' ratios
// counts). Files live in /dev/shm
// unless TMPDIR is set, so that the disk's write-back does not swamp what is measured.

#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kPassword = "bench pass phrase";
const std::uint32_t kSeed = 20240601;

// The application object over `programDir`, its FTP connection aimed at the server's "backups" folder, and an
// encrypted full backup task over `dataDir`. Work files go to $TEMP.
TGroup& PrepareRun(const std::string& programDir, const std::string& host, int port, const std::string& dataDir) {
    fs::create_directories(programDir);
    SetGlobalObjectOptions({nullptr, programDir});
    TGlobalObject& app = *GetGlobalObject();
    AimAtBenchServer(host, port);
    auto task = std::make_unique<TGroup>();
    task->SetName("Bench");
    task->Info->NeedEncrypt = 1;
    task->Info->Password = kPassword;
    task->AddFolder(std::make_unique<TFolder>(dataDir));
    app.Tasks.push_back(std::move(task));
    return *app.Tasks.back();
}

// The peak resident memory of this process so far, in bytes, as the kernel keeps it.
std::uint64_t PeakResidentBytes() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return 0;
    }
    char line[256];
    unsigned long long kilobytes = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %llu kB", &kilobytes) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kilobytes * 1024;
}

// The child's part: one run and nothing else, so that its peak memory is the run's. Prints that peak.
int ChildRun(char** argv) {
    const std::string dataDir = argv[2];
    const std::string workDir = argv[3];
    const std::string programDir = argv[4];
    const std::string host = argv[5];
    const int port = std::atoi(argv[6]);
    ::setenv("TEMP", workDir.c_str(), 1);
    TGroup& task = PrepareRun(programDir, host, port, dataDir);
    task.DoBackup();
    const bool ok = task.LastRunOk != 0;
    if (!ok) {
        WriteRunLog(programDir + "run.log");
    }
    DestroyGlobalObject();
    std::printf("%llu\n", static_cast<unsigned long long>(PeakResidentBytes()));
    return ok ? 0 : 1;
}

// Runs one backup in a fresh process of this program; its peak resident memory in bytes. The child reads its own
// peak: the kernel's count for a child started by vfork and exec would include the parent's peak.
std::uint64_t PeakMemoryOfRun(const std::string& dataDir, const std::string& workDir, const std::string& programDir,
                              const BenchFtpServer& server) {
    const std::string command = "'" + fs::read_symlink("/proc/self/exe").string() + "' --child-run '" + dataDir +
                                "' '" + workDir + "' '" + programDir + "' " + server.Host() + " " +
                                std::to_string(server.Port());
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        throw std::runtime_error("cannot start " + command);
    }
    unsigned long long peak = 0;
    const bool read = std::fscanf(child, "%llu", &peak) == 1;
    if (::pclose(child) != 0 || !read) {
        throw std::runtime_error("the measured run failed; see " + programDir + "run.log");
    }
    return peak;
}

void ClearFolder(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        fs::remove_all(entry.path());
    }
}

std::uint64_t OnlyFileSize(const std::string& folder, const std::string& prefix) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            return entry.file_size();
        }
    }
    throw std::runtime_error("no file " + prefix + "... in " + folder);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::strcmp(argv[1], "--child-run") == 0) {
        return ChildRun(argv);
    }
    const BenchOptions options = ParseBenchOptions(argc, argv, 256);
    try {
        BenchTempDir temp(true);
        const Stopwatch generation;
        const std::uint64_t size = options.sizeMb * 1024 * 1024;
        const DataSet set = GenerateMixedDataSet(temp / "data", size, kSeed);
        std::printf("backup run benchmark: %zu files, %s, made in %.1f s; median of %d pairs\n", set.files.size(),
                    Megabytes(set.totalBytes).c_str(), generation.Seconds(), options.runs);

        const std::string work = temp / "work/";
        const std::string remote = temp / "root/backups/";
        fs::create_directories(work);
        fs::create_directories(remote);
        BenchFtpServer server(temp / "root", temp / "server.log");
        ::setenv("TEMP", work.c_str(), 1);
        TGroup& task = PrepareRun(temp / "program/", server.Host(), server.Port(), temp / "data/");

        const std::string url = server.Url();
        const std::string openssl =
            "openssl enc -aes-128-cbc -nopad -K 00112233445566778899aabbccddeeff -iv ffeeddccbbaa99887766554433221100";
        double deflate = 0;
        double encrypt = 0;
        double upload = 0;
        std::uint64_t volumeSize = 0;
        std::uint64_t referenceSize = 0;
        const auto ours = [&] {
            const Stopwatch watch;
            task.DoBackup();
            const double seconds = watch.Seconds();
            if (task.LastRunOk == 0) {
                throw std::runtime_error("the backup run failed; see " + WriteRunLog(temp / "run.log"));
            }
            volumeSize = OnlyFileSize(remote, "0Bench__");
            ClearFolder(remote);
            return seconds;
        };
        // The reference works on a file of the volume's size (cut to whole cipher blocks for -nopad).
        const auto reference = [&] {
            const std::string deflated = work + "reference.deflate";
            const Stopwatch watch;
            DeflateLoop(set, deflated);
            deflate = watch.Seconds();
            referenceSize = std::min<std::uint64_t>(fs::file_size(deflated), volumeSize) / 16 * 16;
            fs::resize_file(deflated, referenceSize);
            encrypt = TimeCommand(openssl + " -in " + deflated + " -out " + work + "reference.crt");
            upload = TimeCommand("curl -sS --disable -P - -T " + work + "reference.crt " + url + "reference.crt");
            ClearFolder(work);
            fs::remove(temp / "root/reference.crt");
            return deflate + encrypt + upload;
        };
        // The first run gives the volume's size that the reference needs; it is not counted.
        ours();
        const PairedTimes times = TimePairs(options.runs, ours, reference);
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        std::printf("  DoBackup: %.3f s, %.1f MB/s of data, volume %s\n", times.MedianOurs(),
                    MegabytesPerSecond(set.totalBytes, times.MedianOurs()), Megabytes(volumeSize).c_str());
        std::printf("  reference (last): deflate loop %.3f s + openssl enc %.3f s + curl -T %.3f s on %s\n", deflate,
                    encrypt, upload, Megabytes(referenceSize).c_str());
        PrintPairedRatio("encrypted full backup run", times, "deflate loop + openssl enc + curl -T", 1.15);

        // Peak memory of the run alone, at this size and at four times it.
        const std::uint64_t limit = 64ull * 1024 * 1024;
        std::uint64_t small = PeakMemoryOfRun(temp / "data/", work, temp / "program-small/", server);
        ClearFolder(remote);
        // Four times the files and the bytes, as links to the data set's files: made at once, with no second copy
        // of the data in memory.
        std::size_t largeFiles = 0;
        for (int copy = 0; copy < 4; ++copy) {
            for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp / "data")) {
                const fs::path link =
                    fs::path(temp / ("large/" + std::to_string(copy))) / fs::relative(entry.path(), temp / "data");
                if (entry.is_directory()) {
                    fs::create_directories(link);
                } else {
                    fs::create_directories(link.parent_path());
                    fs::create_hard_link(entry.path(), link);
                    ++largeFiles;
                }
            }
        }
        const std::uint64_t largeBytes = set.totalBytes * 4;
        std::uint64_t big = PeakMemoryOfRun(temp / "large/", work, temp / "program-large/", server);
        ClearFolder(remote);
        std::printf("  peak memory of a run: %s at %s of data (%zu files), %s at %s (%zu files)\n",
                    Megabytes(small).c_str(), Megabytes(set.totalBytes).c_str(), set.files.size(),
                    Megabytes(big).c_str(), Megabytes(largeBytes).c_str(), largeFiles);
        const bool met = small < limit && big < limit && big < small + small / 4;
        std::printf("peak memory of a run: %s and %s (goal under 64 MB at both, not growing with the data, %s)\n",
                    Megabytes(small).c_str(), Megabytes(big).c_str(), met ? "met" : "NOT MET");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "backup run benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
