#include "TreeTesting.h"

#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class PathExplorerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree.SetDriveLister([this] { return std::vector<std::string>{NoSlash(dir.Path())}; });
    }

    // "My Computer" listed, and its one drive.
    QTreeWidgetItem* Drive() {
        Expand(tree.RootNode());
        return tree.RootNode()->child(0);
    }

    QApplication& app = App(); // before the first widget
    TempDir dir;
    TPathExplorer tree{nullptr};
};

TEST_F(PathExplorerTest, AFreshTreeHoldsOnlyMyComputerNotYetListed) {
    ASSERT_EQ(tree.topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree.RootNode();
    EXPECT_EQ(root->text(0).toStdString(), "My Computer");
    EXPECT_EQ(root->childCount(), 0);
    EXPECT_TRUE(NodeHasChildren(root));
    EXPECT_FALSE(IsNodeExpanded(root));
    EXPECT_EQ(GetFileName(root), "");
    EXPECT_EQ(GetNodeState(root), NodeExcluded);

    // A node the tree did not make has no record and is left alone.
    QTreeWidgetItem stranger;
    EXPECT_EQ(GetFileName(&stranger), "...");
    EXPECT_FALSE(IsNodeExpanded(&stranger));
    SetNodeExpanded(&stranger, true);
    EXPECT_FALSE(IsNodeExpanded(&stranger));
    EXPECT_FALSE(NodeHasChildren(&stranger));
}

TEST_F(PathExplorerTest, ListsFoldersBeforeFilesDotNamesIncludedAndPassesOverWhatIsNeitherFileNorFolder) {
    for (const char* folder : {"b", "A10", "a2", ".hidden"}) {
        MakeFolder(dir / folder);
    }
    // The last one was named in an 8-bit encoding: "\xE9t\xE9" is Latin-1 for "été".
    for (const char* file : {"z.txt", "file10", "file2", ".profile", "\xE9t\xE9"}) {
        WriteFileBytes(dir / file, "x");
    }
    fs::create_symlink(dir / "z.txt", dir / "link.txt");
    fs::create_symlink(dir / "b", dir / "folder-link");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);

    QTreeWidgetItem* drive = Drive();
    EXPECT_EQ(drive->text(0).toStdString(), NoSlash(dir.Path()));
    EXPECT_EQ(GetFileName(drive), NoSlash(dir.Path()));
    EXPECT_EQ(GetNodeState(drive), NodeExcluded);

    Expand(drive);
    EXPECT_TRUE(IsNodeExpanded(drive));
    // Each group in the user's order: letter case aside, numbers by value. Names with a leading "." are no less
    // the user's files: a scan packs them, so the tree shows them.
    EXPECT_EQ(Captions(drive), (std::vector<std::string>{".hidden", "a2", "A10", "b", ".profile", "\u00E9t\u00E9",
                                                         "file2", "file10", "link.txt", "z.txt"}));
    EXPECT_EQ(GetFileName(Child(drive, "a2")), dir / "a2");
    EXPECT_EQ(GetFileName(Child(drive, "\u00E9t\u00E9")), dir / "\xE9t\xE9");
    EXPECT_EQ(GetFileName(Child(drive, "link.txt")), dir / "link.txt");
    for (int i = 0; i < drive->childCount(); ++i) {
        EXPECT_EQ(GetNodeState(drive->child(i)), NodeExcluded);
        EXPECT_FALSE(IsNodeExpanded(drive->child(i)));
    }
}

TEST_F(PathExplorerTest, ExpandIndicatorNeedsASubfolderOrThreeFiles) {
    MakeFolder(dir / "sub/inner");
    MakeFolder(dir / "three");
    MakeFolder(dir / "two");
    MakeFolder(dir / "dotted/.cache");
    MakeFolder(dir / "empty");
    for (const char* file : {"three/1", "three/2", "three/3", "two/1", "two/2", "file"}) {
        WriteFileBytes(dir / file, "x");
    }
    // Neither files nor folders, so they do not make up the third file or a subfolder.
    ASSERT_EQ(::mkfifo((dir / "two/pipe").c_str(), 0600), 0);
    fs::create_symlink(dir / "gone", dir / "two/dangling");
    fs::create_symlink(dir / "sub", dir / "two/link-to-folder");

    QTreeWidgetItem* drive = Drive();
    EXPECT_TRUE(NodeHasChildren(drive));
    Expand(drive);
    EXPECT_TRUE(NodeHasChildren(Child(drive, "sub")));
    EXPECT_TRUE(NodeHasChildren(Child(drive, "three")));
    EXPECT_FALSE(NodeHasChildren(Child(drive, "two")));
    EXPECT_TRUE(NodeHasChildren(Child(drive, "dotted")));
    EXPECT_FALSE(NodeHasChildren(Child(drive, "empty")));
    EXPECT_FALSE(NodeHasChildren(Child(drive, "file")));

    // Given an indicator, a folder that turns out empty loses it when listed; one with items keeps it.
    QTreeWidgetItem* empty = Child(drive, "empty");
    SetNodeExpanded(empty, false);
    EXPECT_TRUE(NodeHasChildren(empty));
    Expand(empty);
    EXPECT_TRUE(IsNodeExpanded(empty));
    EXPECT_FALSE(NodeHasChildren(empty));
    QTreeWidgetItem* two = Child(drive, "two");
    SetNodeExpanded(two, false);
    Expand(two);
    EXPECT_EQ(Captions(two), (std::vector<std::string>{"1", "2"}));
    EXPECT_TRUE(NodeHasChildren(two));
}

TEST_F(PathExplorerTest, ListsANodeOnceUntilItIsResetAndRunsTheWindowsStepsAroundEachExpansion) {
    MakeFolder(dir / "sub/inner");
    QTreeWidgetItem* drive = Drive();

    // The window's own steps, as the main window installs them.
    std::vector<std::string> steps;
    TPathExplorer::TExpandingHandler saved = tree.ExpandingHandler();
    tree.SetExpandingHandler([&](QTreeWidgetItem* node) {
        steps.push_back(std::string(IsNodeExpanded(node) ? "again " : "first ") + node->text(0).toStdString());
        saved(node);
    });
    QObject::connect(&tree, &TPathExplorer::NodeExpanded, [&](QTreeWidgetItem* node) {
        steps.push_back("expanded with " + std::to_string(node->childCount()));
    });

    Expand(drive);
    EXPECT_EQ(Captions(drive), (std::vector<std::string>{"sub"}));
    WriteFileBytes(dir / "later.txt", "x");
    drive->setExpanded(false);
    Expand(drive);
    EXPECT_EQ(Captions(drive), (std::vector<std::string>{"sub"}));
    const std::string name = NoSlash(dir.Path());
    EXPECT_EQ(steps,
              (std::vector<std::string>{"first " + name, "expanded with 1", "again " + name, "expanded with 1"}));

    // Reset: the next expansion reads the folder again, even while the node was shown open.
    qDeleteAll(drive->takeChildren());
    SetNodeExpanded(drive, false);
    EXPECT_FALSE(drive->isExpanded());
    Expand(drive);
    EXPECT_EQ(Captions(drive), (std::vector<std::string>{"sub", "later.txt"}));

    // Children left in place stay, and only items of new paths are added beside them.
    WriteFileBytes(dir / "newest.txt", "x");
    SetNodeExpanded(drive, false);
    Expand(drive);
    EXPECT_EQ(Captions(drive), (std::vector<std::string>{"sub", "later.txt", "newest.txt"}));

    // An empty handler puts the tree's own listing back.
    tree.SetExpandingHandler(nullptr);
    QTreeWidgetItem* sub = Child(drive, "sub");
    Expand(sub);
    EXPECT_EQ(Captions(sub), (std::vector<std::string>{"inner"}));
}

// The folders mounted directly below the root, as the kernel lists them.
std::set<std::string> MountPointsBelowRoot() {
    std::set<std::string> points;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, source, point;
        fields >> id >> parent >> device >> source >> point;
        if (point.size() > 1 && point.find('/', 1) == std::string::npos && point.find('\\') == std::string::npos) {
            points.insert(point);
        }
    }
    return points;
}

TEST_F(PathExplorerTest, TheRootDriveShowsNoMountPointAndNoKernelFolder) {
    // The real root, with its real mount points (/proc at least, wherever this runs).
    const std::set<std::string> mounted = MountPointsBelowRoot();
    ASSERT_EQ(mounted.count("/proc"), 1u);
    tree.SetDriveLister([] { return std::vector<std::string>{"/"}; });
    QTreeWidgetItem* root = Drive();
    Expand(root);
    ASSERT_GT(root->childCount(), 0);
    for (int i = 0; i < root->childCount(); ++i) {
        const std::string path = GetFileName(root->child(i));
        EXPECT_EQ(mounted.count(path), 0u) << path << " is a mount point";
        for (const char* system : {"/proc", "/sys", "/dev", "/run"}) {
            EXPECT_NE(path, system);
        }
    }
}

TEST(MountedDrives, AreDistinctSortedFoldersOfRealFileSystems) {
    const std::vector<std::string> drives = MountedDrives();
    EXPECT_TRUE(std::is_sorted(drives.begin(), drives.end()));
    EXPECT_EQ(std::adjacent_find(drives.begin(), drives.end()), drives.end());
    for (const std::string& drive : drives) {
        EXPECT_TRUE(DirectoryExists(drive)) << drive;
        EXPECT_TRUE(IsRootPath(drive) || drive.back() != '/') << drive;
        for (const char* system : {"/proc", "/sys", "/dev", "/run"}) {
            EXPECT_FALSE(drive == system ||
                         (drive.starts_with(std::string(system) + "/") && !drive.starts_with("/run/media/")))
                << drive;
        }
    }
}

TEST(MountedDrives, RemovableMediaUnderRunMediaAreDrives) {
    // Where the desktop mounts a memory stick: it lies inside /run, and yet no other drive reaches it.
    const std::string folder = "/run/media/corvane-test-" + std::to_string(::getpid());
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    {
        const TmpfsMount mount(folder);
        if (!mount.Mounted()) {
            std::filesystem::remove(folder, error);
            GTEST_SKIP() << "this process may not mount a file system";
        }
        const std::vector<std::string> drives = MountedDrives();
        EXPECT_NE(std::find(drives.begin(), drives.end(), folder), drives.end());
    }
    std::filesystem::remove(folder, error);
}

} // namespace
