// A full backup of 200,000 small files run from the main window, with the main and progress windows shown (offscreen
// platform), against the same run without any window and against `zip -6 -r - . | curl -T -` to the same loopback
// FTP server. The three are run in turn, round after round, every other round in the opposite order, and the
// median of the rounds' ratios counts, so that a spell of load on the machine falls on all of them alike. Then the
// memory of the program with its windows, each measured as the peak resident memory of a process of its own: a
// start with a log of 600,000 lines against a start with an empty log (the excess against the log file's size), and
// the growth of a run per packed file.
//
// The run in the window refills the server tree twice (at its connect and at its end), each refill with its
// 200 ms pause before the listing: 0.4 s of the window's share that no speed of ours takes away. Five rounds by
// default, so that a spell of load on the machine does not decide a goal that close.
//
// Options: --runs N (default 5 rounds). Files live in /dev/shm unless TMPDIR is set.

#include "core/app/StoredText.h"
#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "platform/Streams.h"
#include "support/BenchSupport.h"
#include "ui/unitMainForm.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 400;
constexpr int kFilesPerFolder = 500;
constexpr int kLogLines = 600000;

// Small text files of 200 to 1,200 bytes in folders of 500, the same every time.
std::uint64_t WriteSmallFiles(const std::string& folder) {
    std::uint32_t state = 12345;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    static const char* const words[] = {"backup", "volume", "archive", "server", "folder", "report", "task", "schedule",
                                        "file",   "copy",   "night",   "week",   "list",   "entry",  "path"};
    std::uint64_t total = 0;
    std::string text;
    for (int d = 0; d < kFolders; ++d) {
        const std::string dir = folder + "/dir" + std::to_string(d);
        fs::create_directories(dir);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            const std::size_t size = 200 + next() % 1000;
            text.clear();
            while (text.size() < size) {
                text += words[next() % (sizeof words / sizeof *words)];
                text += (next() % 9 == 0) ? '\n' : ' ';
            }
            text.resize(size);
            std::ofstream(dir + "/note" + std::to_string(f) + ".txt", std::ios::binary) << text;
            total += size;
        }
    }
    return total;
}

// A log file of `lines` lines such as a run leaves: "Adding file" and a path, with the time text of the moment.
std::uint64_t WriteLog(const std::string& path, int lines) {
    TMemoryStream data;
    data.WriteInt32(lines);
    for (int i = 0; i < lines; ++i) {
        WriteStringToStream(data, "Adding file/home/ann/documents/projects/dir" + std::to_string(i / 500) + "/note" +
                                      std::to_string(i % 500) + ".txt");
        WriteStringToStream(data, "12/09/2026 05:55:18");
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.Bytes().data()), static_cast<std::streamsize>(data.Bytes().size()));
    return data.Bytes().size();
}

std::uint64_t PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stoull(line.substr(6)) * 1024;
        }
    }
    return 0;
}

TGroup& OnlyTask() {
    TGlobalObject& app = *GetGlobalObject();
    if (app.Tasks.empty()) {
        throw std::runtime_error("the program folder holds no task");
    }
    return *app.Tasks.front();
}

// One backup of the task; the seconds it took.
double TimedRun(const std::string& programDir) {
    TGroup& task = OnlyTask();
    const Stopwatch watch;
    task.DoBackup();
    const double seconds = watch.Seconds();
    if (task.LastRunOk == 0) {
        throw std::runtime_error("the backup run failed; see " + WriteRunLog(programDir + "run.log"));
    }
    return seconds;
}

// The main window over `programDir` (not connecting at start), shown, its events run.
std::unique_ptr<TmainForm> OpenWindow(const std::string& programDir) {
    auto form = std::make_unique<TmainForm>(nullptr, TmainFormStart{programDir, std::vector<std::string>{"run"}});
    form->show();
    QApplication::processEvents();
    return form;
}

// The children: a start of the program with its window, and a start followed by one run. Each prints its peak
// resident memory after the start, and after the run.
int Child(int argc, char** argv) {
    QApplication application(argc, argv);
    const std::string programDir = argv[2];
    const bool run = std::strcmp(argv[1], "--child-run") == 0;
    auto form = OpenWindow(programDir);
    const std::uint64_t started = PeakResidentBytes();
    std::uint64_t after = started;
    if (run) {
        TimedRun(programDir);
        QApplication::processEvents();
        after = PeakResidentBytes();
    }
    std::printf("%llu %llu\n", static_cast<unsigned long long>(started), static_cast<unsigned long long>(after));
    std::fflush(stdout);
    // The log of a run is not kept: the next child starts from the same folder.
    std::_Exit(0);
}

struct ChildPeaks {
    std::uint64_t started = 0;
    std::uint64_t after = 0;
};

ChildPeaks RunChild(const std::string& mode, const std::string& programDir) {
    const std::string command =
        "'" + fs::read_symlink("/proc/self/exe").string() + "' " + mode + " '" + programDir + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) {
        throw std::runtime_error("cannot start " + command);
    }
    unsigned long long started = 0;
    unsigned long long after = 0;
    const bool read = std::fscanf(child, "%llu %llu", &started, &after) == 2;
    if (::pclose(child) != 0 || !read) {
        throw std::runtime_error("the measured child failed: " + command);
    }
    return {started, after};
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (argc == 3 && (std::strcmp(argv[1], "--child-start") == 0 || std::strcmp(argv[1], "--child-run") == 0)) {
        return Child(argc, argv);
    }
    const BenchOptions options = ParseBenchOptions(argc, argv, 0, 5);
    try {
        BenchTempDir temp(true);
        const std::string data = temp / "data";
        const std::string program = temp / "program/";
        const std::string remote = temp / "root/backups/";
        fs::create_directories(program);
        fs::create_directories(remote);
        fs::create_directories(temp / "runtime");
        fs::permissions(temp / "runtime", fs::perms::owner_all);
        fs::create_directories(temp / "work");
        ::setenv("XDG_RUNTIME_DIR", (temp / "runtime").c_str(), 1);
        ::setenv("TEMP", (temp / "work").c_str(), 1);
        const Stopwatch generation;
        const std::uint64_t bytes = WriteSmallFiles(data);
        const int files = kFolders * kFilesPerFolder;
        BenchFtpServer server(temp / "root", temp / "server.log");
        QApplication application(argc, argv);

        // The connection's settings and a full backup of the files, stored where both sides read them.
        SetGlobalObjectOptions({nullptr, program});
        {
            TGlobalObject& app = *GetGlobalObject();
            AimAtBenchServer(server.Host(), server.Port());
            auto task = std::make_unique<TGroup>(app.GroupsList);
            task->SetName("Bench");
            task->AddFolder(std::make_unique<TFolder>(data + "/"));
            app.Tasks.push_back(std::move(task));
            app.SaveTasks();
            app.SaveSettings();
        }
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        fs::remove(program + "Backup.log");
        std::printf("window run benchmark: %d files, %s, made in %.1f s; median of %d rounds, each round the "
                    "three in turn\n",
                    files, Megabytes(bytes).c_str(), generation.Seconds(), options.runs);

        const auto clean = [&] {
            for (const auto& entry : fs::directory_iterator(remote)) {
                fs::remove_all(entry.path());
            }
            fs::remove(temp / "root/pipe.zip");
            // Each run starts from an empty log, as the other side does.
            fs::remove(program + "Backup.log");
        };
        std::vector<double> windowed;
        std::vector<double> bare;
        std::vector<double> pipeline;
        const auto runWindowed = [&] {
            auto form = OpenWindow(program);
            windowed.push_back(TimedRun(program));
        };
        const auto runBare = [&] {
            SetGlobalObjectOptions({nullptr, program});
            GetGlobalObject()->LoadTasks();
            GetGlobalObject()->LoadSettings();
            bare.push_back(TimedRun(program));
            DestroyGlobalObject();
            SetGlobalObjectOptions({});
        };
        const auto runPipeline = [&] {
            pipeline.push_back(TimeCommand("cd '" + data + "' && zip -q -6 -r - . | curl -sS --disable -P - -T - " +
                                           server.Url() + "pipe.zip"));
        };
        for (int round = 0; round < options.runs; ++round) {
            // Every other round in the opposite order, so that no side always comes first.
            const std::vector<std::function<void()>> order =
                round % 2 == 0 ? std::vector<std::function<void()>>{runWindowed, runBare, runPipeline}
                               : std::vector<std::function<void()>>{runPipeline, runBare, runWindowed};
            for (const auto& side : order) {
                side();
                clean();
            }
        }
        std::printf("  with windows: %.3f s, without: %.3f s, zip | curl: %.3f s (%.1f us a file shown)\n",
                    Median(windowed), Median(bare), Median(pipeline), (Median(windowed) - Median(bare)) * 1e6 / files);
        PrintPairedRatio("backup run in the window", PairedTimes{windowed, bare}, "the same run without windows", 1.10);
        PrintPairedRatio("backup run in the window", PairedTimes{windowed, pipeline}, "zip -6 -r - . | curl -T -",
                         1.15);

        // Memory: starts with an empty log and with a long one, then a run.
        const std::string logged = temp / "program-log/";
        fs::create_directories(logged);
        for (const char* name : {"files.lst", "ftpbackup.stg"}) {
            fs::copy_file(program + name, logged + name, fs::copy_options::overwrite_existing);
        }
        const std::uint64_t logSize = WriteLog(logged + "Backup.log", kLogLines);
        const ChildPeaks empty = RunChild("--child-start", program);
        const ChildPeaks full = RunChild("--child-start", logged);
        const double excess = static_cast<double>(full.started) - static_cast<double>(empty.started);
        std::printf("  start: %s with an empty log, %s with a log of %d lines (%s)\n", Megabytes(empty.started).c_str(),
                    Megabytes(full.started).c_str(), kLogLines, Megabytes(logSize).c_str());
        std::printf("start with a long log: %.2f x the log file's size more than with an empty log (goal <= 2, "
                    "%s)\n",
                    excess / static_cast<double>(logSize),
                    excess <= 2.0 * static_cast<double>(logSize) ? "met" : "NOT MET");
        const ChildPeaks run = RunChild("--child-run", program);
        clean();
        const double perFile = (static_cast<double>(run.after) - static_cast<double>(run.started)) / files;
        // 1,059 bytes a file measured here before the log's lines were held once and the run's paths once.
        std::printf("run's memory growth: %.0f bytes a packed file (%s after the start, %s after the run; goal <= "
                    "353, a third of the 1,059 before, %s)\n",
                    perFile, Megabytes(run.started).c_str(), Megabytes(run.after).c_str(),
                    perFile <= 353 ? "met" : "NOT MET");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "window run benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
