// Opening a backup of 100,000 files (2,000 folders of 50) in the main window's tree of backups, its list read from a
// loopback FTP server, against building the same tree of plain nodes directly: the memory each node adds and the
// work it takes. The plain nodes hold what a node of the tree must hold (its caption twice, as text and as bytes, a
// check box, a data word and a picture shared by all), so the ratio of the memory shows what a node costs beyond
// that.
//
// The loading lets events through and pauses 70 ms every 51 pairs, as the program does: some 140 s of pauses for
// this list. A pause takes no processor time, so the work is measured as the processor time of the process (every
// thread, the FTP download included), not as time on the clock; the plain tree is measured the same way. Since
// neither measure sees the pauses, the main thread's sleeps while the backup opens return at once (they are
// counted and shown), so that a run takes seconds instead of minutes.
// Goal: under 1 KB per node; the work is shown beside it without a goal.
//
// Options: --runs N (default 3 pairs, each side in turn; the median of the pairs' ratios of the work counts, and the
// memory of the last pair).

#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "support/BenchSupport.h"
#include "ui/unitMainForm.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QTreeWidget>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// While set, sleeps of this thread return at once and are counted.
std::atomic<bool> skipSleeps{false};
std::thread::id sleepsSkippedOn;
std::atomic<int> sleepsSkipped{0};

} // namespace

// The program's pauses come through here (the Qt library sleeps with nanosleep); every other sleep is passed on.
extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (skipSleeps && std::this_thread::get_id() == sleepsSkippedOn) {
        ++sleepsSkipped;
        return 0;
    }
    return ::clock_nanosleep(CLOCK_REALTIME, 0, request, remaining) == 0 ? 0 : -1;
}

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 2000;
constexpr int kFilesPerFolder = 50;

double ProcessorSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Bytes the heap has handed out and not had back.
std::uint64_t HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::string FilePath(int folder, int file) {
    return "/home/ann/d" + std::to_string(folder) + "/file" + std::to_string(folder * kFilesPerFolder + file) + ".txt";
}

// The backup's list file: volume 0 and the path of every file, CR LF after each line.
void WriteListFile(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    for (int folder = 0; folder < kFolders; ++folder) {
        for (int file = 0; file < kFilesPerFolder; ++file) {
            out << "0\r\n" << FilePath(folder, file) << "\r\n";
        }
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

int CountNodes(const QTreeWidgetItem* node) {
    int count = 1;
    for (int i = 0; i < node->childCount(); ++i) {
        count += CountNodes(node->child(i));
    }
    return count;
}

struct Measure {
    double seconds = 0;
    std::uint64_t bytes = 0;
    int nodes = 0;
    double BytesPerNode() const { return nodes > 0 ? static_cast<double>(bytes) / nodes : 0.0; }
};

QTreeWidgetItem* PlainNode(QTreeWidgetItem* parent, const std::string& caption, int data, const QIcon& picture) {
    auto* node = new QTreeWidgetItem(parent);
    node->setText(0, QString::fromStdString(caption));
    node->setData(0, Qt::UserRole + 1, QByteArray::fromStdString(caption));
    node->setData(0, Qt::UserRole, data);
    node->setData(0, Qt::CheckStateRole, Qt::Unchecked);
    node->setIcon(0, picture);
    return node;
}

// The same folders and files as plain nodes under a node like the backup's.
Measure BuildPlainTree(QTreeWidget& tree) {
    const QIcon picture = [] {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::gray);
        return QIcon(pixmap);
    }();
    auto* top = new QTreeWidgetItem(&tree, {"Server"});
    const std::uint64_t heap = HeapInUse();
    const double start = ProcessorSeconds();
    QTreeWidgetItem* backup = PlainNode(top, "backup", 0, picture);
    QTreeWidgetItem* ann =
        PlainNode(PlainNode(PlainNode(backup, "", -1, picture), "home", -1, picture), "ann", -1, picture);
    for (int folder = 0; folder < kFolders; ++folder) {
        QTreeWidgetItem* parent = PlainNode(ann, "d" + std::to_string(folder), -1, picture);
        for (int file = 0; file < kFilesPerFolder; ++file) {
            PlainNode(parent, fs::path(FilePath(folder, file)).filename().string(), 0, picture);
        }
    }
    Measure measure;
    measure.seconds = ProcessorSeconds() - start;
    measure.bytes = HeapInUse() - heap;
    measure.nodes = CountNodes(backup);
    return measure;
}

// A main window over the program folder, connected to the server; the backup's node expanded.
Measure OpenBackup(const std::string& programDir) {
    TmainForm form(nullptr, TmainFormStart{programDir, std::vector<std::string>{}});
    form.show();
    QApplication::processEvents();
    QTreeWidgetItem* root = form.treeBacupFiles->topLevelItem(0);
    if (root == nullptr || root->childCount() != 1) {
        throw std::runtime_error("the tree of backups does not show the one backup; see " +
                                 WriteRunLog(programDir + "run.log"));
    }
    QTreeWidgetItem* backup = root->child(0);
    const std::uint64_t heap = HeapInUse();
    const double start = ProcessorSeconds();
    sleepsSkippedOn = std::this_thread::get_id();
    skipSleeps = true;
    backup->setExpanded(true);
    skipSleeps = false;
    Measure measure;
    measure.seconds = ProcessorSeconds() - start;
    measure.bytes = HeapInUse() - heap;
    measure.nodes = CountNodes(backup);
    if (measure.nodes < kFolders * (kFilesPerFolder + 1)) {
        throw std::runtime_error("the backup opened with " + std::to_string(measure.nodes) + " nodes only");
    }
    return measure;
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 0, 3);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    try {
        BenchTempDir temp(true);
        const std::string program = temp / "program/";
        const std::string remote = temp / "root/backups/";
        fs::create_directories(program);
        fs::create_directories(remote);
        fs::create_directories(temp / "runtime");
        fs::create_directories(temp / "work");
        ::setenv("XDG_RUNTIME_DIR", (temp / "runtime").c_str(), 1);
        ::setenv("TEMP", (temp / "work").c_str(), 1);
        WriteListFile(remote + "Home__05_17_05_10-00-00.zip.inf");
        BenchFtpServer server(temp / "root", temp / "server.log");
        QApplication application(argc, argv);

        // The connection's settings and a task (without one the window asks for one first), stored where the
        // window reads them.
        SetGlobalObjectOptions({nullptr, program});
        TGlobalObject& app = *GetGlobalObject();
        AimAtBenchServer(server.Host(), server.Port());
        app.Tasks.push_back(std::make_unique<TGroup>());
        DestroyGlobalObject();
        SetGlobalObjectOptions({});

        std::printf("server tree benchmark: a backup of %d files in %d folders; median of %d pairs\n",
                    kFolders * kFilesPerFolder, kFolders, options.runs);
        Measure ours;
        Measure plain;
        const PairedTimes work = TimePairs(
            options.runs,
            [&] {
                ours = OpenBackup(program);
                return ours.seconds;
            },
            [&] {
                QTreeWidget tree;
                plain = BuildPlainTree(tree);
                return plain.seconds;
            });
        std::printf("  opening the backup: %d nodes, %.0f bytes per node, %.3f s of processor time (%d pauses "
                    "skipped)\n",
                    ours.nodes, ours.BytesPerNode(), work.MedianOurs(), sleepsSkipped.load() / options.runs);
        std::printf("  plain nodes:        %d nodes, %.0f bytes per node, %.3f s of processor time\n", plain.nodes,
                    plain.BytesPerNode(), work.MedianReference());
        const double memoryRatio = plain.BytesPerNode() > 0 ? ours.BytesPerNode() / plain.BytesPerNode() : 0.0;
        std::printf("server tree, memory per node: ratio %.3f (%.0f bytes against %.0f bytes of a plain node; goal "
                    "under 1024 bytes per node, %s)\n",
                    memoryRatio, ours.BytesPerNode(), plain.BytesPerNode(),
                    ours.BytesPerNode() < 1024 ? "met" : "NOT MET");
        // The work has no goal of its own: it is shown so that a cost per node beyond the tree's shows up.
        PrintPairedRatio("server tree, work of opening a backup (processor time)", work, "building plain nodes", 0.0);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "server tree benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
