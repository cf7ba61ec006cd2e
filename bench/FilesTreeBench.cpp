// The files tree's first expansion of a big folder: listing plus the marks of every child from the task. Each
// case times the expansion for a task that holds most of the folder's children against the same expansion for an
// empty task, in the same run:
//   - a folder of 5,000 subfolders whose task holds 4,999 of them as folder entries;
//   - a folder of 50,000 files whose task holds 49,999 of them as file entries (what is left after the user
//     unticked one file of the ticked, listed folder), reopened as at each start or change of task.
// The marks should cost about one lookup per child, so the ratios stay near 1. Each side's sample repeats the
// expansion for about two seconds; the two sides alternate in pairs (--runs, default 3) and the median ratio counts.
//
// The sizes are fixed; --size-mb is accepted for the common command line and not used.

#include "core/tasks/UnitGroups.h"
#include "platform/Paths.h"
#include "support/BenchSupport.h"
#include "ui/CheckTree.h"
#include "ui/uPathExplorer.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// A files tree over one drive, wired as the main window wires it: a node's first expansion lists it, then a node
// at 1 or 3 pushes its mark down and the fresh children take theirs from the task.
double TimeExpansion(const std::string& drive, const std::string& folder, const TGroup& task, int children,
                     int marked) {
    TPathExplorer tree(nullptr);
    tree.SetDriveLister([drive] { return std::vector<std::string>{drive}; });
    const TPathExplorer::TExpandingHandler listing = tree.ExpandingHandler();
    bool first = false;
    tree.SetExpandingHandler([&](QTreeWidgetItem* node) {
        first = !IsNodeExpanded(node);
        listing(node);
    });
    QObject::connect(&tree, &TPathExplorer::NodeExpanded, [&](QTreeWidgetItem* node) {
        const int state = GetNodeState(node);
        if (state == NodeIncluded || state == NodeExcluded) {
            SetNodeCheckRecursive(node, state);
        }
        if (first) {
            UpdateListingChecks(node, task);
        }
    });
    SetNodeState(tree.RootNode(), NodeNoBox);
    tree.RootNode()->setExpanded(true);
    QTreeWidgetItem* driveNode = tree.RootNode()->child(0);
    driveNode->setExpanded(true);
    QTreeWidgetItem* big = nullptr;
    for (int i = 0; i < driveNode->childCount(); ++i) {
        if (GetFileName(driveNode->child(i)) == drive + "/" + folder) {
            big = driveNode->child(i);
        }
    }
    if (big == nullptr) {
        throw std::runtime_error("the folder is not listed");
    }
    const Stopwatch watch;
    big->setExpanded(true);
    const double seconds = watch.Seconds();
    if (big->childCount() != children) {
        throw std::runtime_error("the expansion listed " + std::to_string(big->childCount()) + " children");
    }
    int included = 0;
    for (int i = 0; i < big->childCount(); ++i) {
        included += GetNodeState(big->child(i)) == NodeIncluded ? 1 : 0;
    }
    if (included != marked) {
        throw std::runtime_error("the expansion marked " + std::to_string(included) + " children");
    }
    return seconds;
}

// Pairs of samples of the two sides, each sample enough expansions to last about two seconds; the median ratio.
void Compare(const std::string& name, const std::string& drive, const std::string& folder, const TGroup& task,
             int children, int pairs) {
    const TGroup empty;
    const int held = static_cast<int>(task.Files.size() + task.Folders.size());
    const auto plain = [&] { return TimeExpansion(drive, folder, empty, children, 0); };
    const auto marked = [&] { return TimeExpansion(drive, folder, task, children, held); };
    // Untimed: reads the folder into the cache for both sides alike.
    plain();
    const int repeats = RepeatsForSeconds(std::min(plain(), marked()), 2.0);
    PrintPairedRatio(name, TimePairs(pairs, Repeated(repeats, marked), Repeated(repeats, plain)), "an empty task", 2.0);
}

} // namespace

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 0);
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    try {
        BenchTempDir temp;
        const std::string drive = ExcludeTrailingPathDelimiter(temp.Path());
        const Stopwatch generation;
        TGroup folders;
        for (int i = 0; i < 5'000; ++i) {
            const std::string path = temp / ("folders/f" + std::to_string(i));
            std::filesystem::create_directories(path);
            if (i > 0) {
                folders.AddFolder(std::make_unique<TFolder>(path + "/"));
            }
        }
        TGroup files;
        std::filesystem::create_directories(temp / "files");
        for (int i = 0; i < 50'000; ++i) {
            const std::string path = temp / ("files/file" + std::to_string(i) + ".txt");
            std::ofstream(path, std::ios::binary) << 'x';
            if (i > 0) {
                files.AddFile(std::make_unique<TFileBase>(path));
            }
        }
        std::printf("files tree benchmark: a folder of 5,000 subfolders and one of 50,000 files, made in %.1f s\n",
                    generation.Seconds());
        Compare("expanding 5,000 subfolders, 4,999 held as folders", drive, "folders", folders, 5'000, options.runs);
        Compare("reopening 50,000 files, 49,999 held as files", drive, "files", files, 50'000, options.runs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "files tree benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
