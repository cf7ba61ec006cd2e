#include "TreeTesting.h"

#include <QMouseEvent>
#include <QStyle>

#include <algorithm>
#include <memory>

namespace fs = std::filesystem;

namespace {

// docs/ with deep/d.txt and a.txt, b.txt, c.txt; pics/ with two pictures (so no expand indicator); top.txt.
class CheckTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        MakeFolder(dir / "docs/deep");
        MakeFolder(dir / "pics");
        for (const char* file :
             {"docs/a.txt", "docs/b.txt", "docs/c.txt", "docs/deep/d.txt", "pics/p1.jpg", "pics/p2.jpg", "top.txt"}) {
            WriteFileBytes(dir / file, "x");
        }
        task.Name = "Documents";
    }

    // The files tree for the task as it stands now, drive listed.
    std::unique_ptr<FilesTree> Build() {
        auto files = std::make_unique<FilesTree>(dir.Path(), task);
        Expand(files->Drive());
        return files;
    }

    void Store(FilesTree& files) { StoreTreeToTask(files.tree, task); }

    TempDir dir;
    TGroup task;
};

TEST_F(CheckTreeTest, CheckingAFolderStoresItAloneUntilListedThenWithEveryShownItem) {
    auto files = Build();
    QTreeWidgetItem* docs = Child(files->Drive(), "docs");

    ToggleNodeCheck(docs);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "docs/"}));
    EXPECT_TRUE(task.Files.empty());
    EXPECT_EQ(task.Name, "Documents");

    // Listed under a node at 1, the children show 1, and each is stored beside the folder.
    Expand(docs);
    EXPECT_EQ(GetNodeState(Child(docs, "b.txt")), NodeIncluded);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "docs/", dir / "docs/deep/"}));
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "docs/a.txt", dir / "docs/b.txt", dir / "docs/c.txt"}));

    // One file unchecked: its folder drops to 2 and is no longer stored, its shown siblings are.
    ToggleNodeCheck(Child(docs, "b.txt"));
    EXPECT_EQ(GetNodeState(docs), NodePartly);
    EXPECT_EQ(GetNodeState(Child(docs, "b.txt")), NodeExcluded);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "docs/deep/"}));
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "docs/a.txt", dir / "docs/c.txt"}));
}

TEST_F(CheckTreeTest, ACheckMarksEveryAncestorPartlyUpToTheBoxlessRootWithoutRollingUpOrDown) {
    auto files = Build();
    QTreeWidgetItem* drive = files->Drive();
    QTreeWidgetItem* docs = Child(drive, "docs");
    Expand(docs);
    QTreeWidgetItem* deep = Child(docs, "deep");
    Expand(deep);
    QTreeWidgetItem* d = Child(deep, "d.txt");

    ToggleNodeCheck(d);
    EXPECT_EQ(GetNodeState(d), NodeIncluded);
    // deep holds nothing else, yet shows 2: no roll-up.
    for (QTreeWidgetItem* ancestor : {deep, docs, drive}) {
        EXPECT_EQ(GetNodeState(ancestor), NodePartly) << ancestor->text(0).toStdString();
    }
    EXPECT_EQ(GetNodeState(files->tree.RootNode()), NodeNoBox);
    ToggleNodeCheck(files->tree.RootNode());
    EXPECT_EQ(GetNodeState(files->tree.RootNode()), NodeNoBox);
    EXPECT_EQ(GetNodeState(drive), NodePartly);

    // Unchecked again: a parent at 2 keeps it.
    ToggleNodeCheck(d);
    EXPECT_EQ(GetNodeState(d), NodeExcluded);
    EXPECT_EQ(GetNodeState(deep), NodePartly);

    // Checking the drive and unchecking a folder: only the direct parent leaves 1, and only for 2.
    ToggleNodeCheck(drive);
    ToggleNodeCheck(deep);
    EXPECT_EQ(GetNodeState(docs), NodePartly);
    EXPECT_EQ(GetNodeState(drive), NodeIncluded);
    EXPECT_EQ(GetNodeState(d), NodeExcluded);

    // A node without a box stops the descent below it only.
    SetNodeState(docs, NodeNoBox);
    SetNodeCheckRecursive(drive, NodeExcluded);
    EXPECT_EQ(GetNodeState(docs), NodeNoBox);
    EXPECT_EQ(GetNodeState(Child(docs, "a.txt")), NodeIncluded);
    EXPECT_EQ(GetNodeState(Child(drive, "top.txt")), NodeExcluded);
}

TEST_F(CheckTreeTest, MarksComeFromTheTaskAndAFolderNeverOpenedKeepsExactlyTheTasksEntriesUnderIt) {
    task.AddFile(std::make_unique<TFileBase>(dir / "docs/a.txt"));
    task.AddFile(std::make_unique<TFileBase>(dir / "top.txt"));
    task.AddFile(std::make_unique<TFileBase>(dir / "pics/p1.jpg"));
    task.AddFile(std::make_unique<TFileBase>(dir / "docs/deep/d.txt"));
    task.AddFolder(std::make_unique<TFolder>(dir / "docs/deep/"));
    auto files = Build();
    QTreeWidgetItem* drive = files->Drive();
    EXPECT_EQ(GetNodeState(drive), NodePartly);
    EXPECT_EQ(GetNodeState(Child(drive, "docs")), NodePartly);
    EXPECT_EQ(GetNodeState(Child(drive, "pics")), NodePartly);
    EXPECT_EQ(GetNodeState(Child(drive, "top.txt")), NodeIncluded);

    // Neither docs nor pics was opened; pics cannot even be, having no expand indicator.
    Store(*files);
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "docs/a.txt", dir / "docs/deep/d.txt",
                                                         dir / "pics/p1.jpg", dir / "top.txt"}));
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "docs/deep/"}));

    // Opened, docs shows the task's choice: a covered folder at 1 (its own entry below it as well), a chosen
    // file at 1, the rest at 3; below a folder at 1 everything shows 1.
    QTreeWidgetItem* docs = Child(drive, "docs");
    Expand(docs);
    EXPECT_EQ(GetNodeState(Child(docs, "deep")), NodeIncluded);
    EXPECT_EQ(GetNodeState(Child(docs, "a.txt")), NodeIncluded);
    EXPECT_EQ(GetNodeState(Child(docs, "b.txt")), NodeExcluded);
    Expand(Child(docs, "deep"));
    EXPECT_EQ(GetNodeState(Child(Child(docs, "deep"), "d.txt")), NodeIncluded);
}

TEST_F(CheckTreeTest, AFolderUncheckedInTheTreeListsItsChildrenUncheckedThoughTheTaskStillHoldsIt) {
    task.AddFolder(std::make_unique<TFolder>(dir / "docs/"));
    auto files = Build();
    QTreeWidgetItem* docs = Child(files->Drive(), "docs");
    EXPECT_EQ(GetNodeState(docs), NodeIncluded);

    ToggleNodeCheck(docs);
    Expand(docs);
    EXPECT_EQ(GetNodeState(Child(docs, "a.txt")), NodeExcluded);
    EXPECT_EQ(GetNodeState(Child(docs, "deep")), NodeExcluded);
    Store(*files);
    EXPECT_TRUE(task.Folders.empty());
    EXPECT_TRUE(task.Files.empty());
}

TEST_F(CheckTreeTest, TheRootFolderIsStoredAsItselfAndVanishedOrPathlessNodesAddNothing) {
    TGroup target;
    FilesTree files("/", task);
    ToggleNodeCheck(files.Drive());
    CollectCheckedNodes(files.Drive(), target, task);
    EXPECT_EQ(FolderPaths(target), (std::vector<std::string>{"/"}));

    auto list = Build();
    QTreeWidgetItem* top = Child(list->Drive(), "top.txt");
    ToggleNodeCheck(top);
    DeleteFile(dir / "top.txt");
    QTreeWidgetItem stranger;
    SetNodeState(&stranger, NodeIncluded);
    TGroup more;
    CollectCheckedNodes(top, more, task);
    CollectCheckedNodes(&stranger, more, task);
    EXPECT_TRUE(more.Files.empty());
    EXPECT_TRUE(more.Folders.empty());
}

// A files tree over the given drives, listed, for the task as it stands now.
std::unique_ptr<FilesTree> TreeOverDrives(const std::vector<std::string>& drives, const TGroup& task) {
    auto files = std::make_unique<FilesTree>(drives.front(), task);
    files->tree.SetDriveLister([drives] { return drives; });
    QTreeWidgetItem* root = files->tree.RootNode();
    qDeleteAll(root->takeChildren());
    SetNodeExpanded(root, false);
    Expand(root);
    return files;
}

TEST_F(CheckTreeTest, DrivesAreDisjointInMarksAndStoresAndADriveIsNoFolderOfTheOneThatHoldsIt) {
    // docs stands for a drive mounted inside the drive that holds it, as /home inside /.
    const std::string outer = NoSlash(dir.Path());
    const std::string inner = dir / "docs";
    task.AddFolder(std::make_unique<TFolder>(dir.Path()));
    task.AddFile(std::make_unique<TFileBase>(dir / "docs/a.txt"));
    auto files = TreeOverDrives({outer, inner}, task);
    QTreeWidgetItem* outerNode = files->tree.RootNode()->child(0);
    QTreeWidgetItem* innerNode = files->tree.RootNode()->child(1);
    ASSERT_EQ(GetFileName(innerNode), inner);
    // The outer drive's folder entry covers neither the inner drive nor its file; each drive shows its own.
    EXPECT_EQ(GetNodeState(outerNode), NodeIncluded);
    EXPECT_EQ(GetNodeState(innerNode), NodePartly);
    Expand(outerNode);
    EXPECT_EQ(Captions(outerNode), (std::vector<std::string>{"pics", "top.txt"}));

    // Checking or unchecking one drive leaves the other as it is.
    ToggleNodeCheck(innerNode);
    ToggleNodeCheck(innerNode);
    EXPECT_EQ(GetNodeState(innerNode), NodeExcluded);
    EXPECT_EQ(GetNodeState(outerNode), NodeIncluded);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir.Path(), dir / "pics/"}));
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "top.txt"}));

    // The uncheck holds at the next selection of the task, and an entry on the inner drive marks only it.
    task.AddFile(std::make_unique<TFileBase>(dir / "docs/b.txt"));
    task.Folders.erase(task.Folders.begin());
    files = TreeOverDrives({outer, inner}, task);
    EXPECT_EQ(GetNodeState(files->tree.RootNode()->child(0)), NodePartly);
    EXPECT_EQ(GetNodeState(files->tree.RootNode()->child(1)), NodePartly);
    Expand(files->tree.RootNode()->child(1));
    EXPECT_EQ(GetNodeState(Child(files->tree.RootNode()->child(1), "a.txt")), NodeExcluded);
    EXPECT_EQ(GetNodeState(Child(files->tree.RootNode()->child(1), "b.txt")), NodeIncluded);
}

TEST_F(CheckTreeTest, TwoRealFileSystemsAreTwoDrivesAndAScanOfOneNeverEntersTheOther) {
    MakeFolder(dir / "mnt");
    const TmpfsMount mount(dir / "mnt");
    if (!mount.Mounted()) {
        GTEST_SKIP() << "this process may not mount a file system; the drive list test above stands in";
    }
    MakeFolder(dir / "mnt/inner");
    WriteFileBytes(dir / "mnt/inner/in.txt", "in");
    WriteFileBytes(dir / "mnt/top.txt", "on the mount");

    // Not shown as a drive, the mount point is still no folder of the outer file system.
    auto files = Build();
    EXPECT_EQ(Captions(files->Drive()), (std::vector<std::string>{"docs", "pics", "top.txt"}));

    // Checking the outer drive stores it alone, and its scan packs what the tree shows there: nothing of the
    // mount.
    files = TreeOverDrives({NoSlash(dir.Path()), dir / "mnt"}, task);
    QTreeWidgetItem* mounted = files->tree.RootNode()->child(1);
    ToggleNodeCheck(files->tree.RootNode()->child(0));
    EXPECT_EQ(GetNodeState(mounted), NodeExcluded);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir.Path()}));
    FileInfos scan;
    task.CollectFileInfos(scan);
    std::vector<std::string> scanned;
    for (const tagFileInfo& entry : scan) {
        scanned.push_back(entry.Path);
    }
    std::sort(scanned.begin(), scanned.end());
    EXPECT_EQ(scanned, (std::vector<std::string>{dir / "docs/a.txt", dir / "docs/b.txt", dir / "docs/c.txt",
                                                 dir / "docs/deep/d.txt", dir / "pics/p1.jpg", dir / "pics/p2.jpg",
                                                 dir / "top.txt"}));

    // At the next selection the mount is still unchecked; checked, it is stored and scanned as a drive of its own.
    files = TreeOverDrives({NoSlash(dir.Path()), dir / "mnt"}, task);
    mounted = files->tree.RootNode()->child(1);
    EXPECT_EQ(GetNodeState(mounted), NodeExcluded);
    ToggleNodeCheck(mounted);
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir.Path(), dir / "mnt/"}));
    task.CollectFileInfos(scan);
    EXPECT_EQ(scan.size(), 9u);
    EXPECT_EQ(scan.back().Path, dir / "mnt/inner/in.txt");
}

TEST_F(CheckTreeTest, NamesBeginningWithADotStayChosenWhenASiblingIsUnchecked) {
    MakeFolder(dir / "home/.config/app");
    WriteFileBytes(dir / "home/.config/app/settings", "s");
    WriteFileBytes(dir / "home/.bashrc", "b");
    WriteFileBytes(dir / "home/notes.txt", "n");
    WriteFileBytes(dir / "home/old.txt", "o");
    task.AddFolder(std::make_unique<TFolder>(dir / "home/"));
    auto files = Build();
    QTreeWidgetItem* home = Child(files->Drive(), "home");
    Expand(home);
    ToggleNodeCheck(Child(home, "old.txt"));
    Store(*files);
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "home/.config/"}));
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "home/.bashrc", dir / "home/notes.txt"}));
    FileInfos scan;
    task.CollectFileInfos(scan);
    EXPECT_EQ(scan.size(), 3u);
}

TEST_F(CheckTreeTest, AFolderThatCannotBeListedStaysUnlistedAndKeepsTheChoiceBelowIt) {
    task.AddFile(std::make_unique<TFileBase>(dir / "docs/a.txt"));
    task.AddFolder(std::make_unique<TFolder>(dir / "docs/deep/"));
    auto files = Build();
    QTreeWidgetItem* docs = Child(files->Drive(), "docs");
    ASSERT_EQ(GetNodeState(docs), NodePartly);

    // Gone for the moment (a drive unplugged, a folder being replaced): as root nothing is unreadable by its
    // permissions, but a folder that is not there, or is a file now, cannot be listed either.
    fs::rename(dir / "docs", dir / "docs.away");
    WriteFileBytes(dir / "docs", "a file in the folder's place");
    Expand(docs);
    EXPECT_FALSE(IsNodeExpanded(docs));
    EXPECT_FALSE(docs->isExpanded());
    EXPECT_TRUE(NodeHasChildren(docs));
    EXPECT_EQ(docs->childCount(), 0);
    Store(*files);
    EXPECT_EQ(FilePaths(task), (std::vector<std::string>{dir / "docs/a.txt"}));
    EXPECT_EQ(FolderPaths(task), (std::vector<std::string>{dir / "docs/deep/"}));

    // Back again, it lists at the next expansion with the task's marks.
    fs::remove(dir / "docs");
    fs::rename(dir / "docs.away", dir / "docs");
    Expand(docs);
    EXPECT_TRUE(IsNodeExpanded(docs));
    EXPECT_EQ(GetNodeState(Child(docs, "a.txt")), NodeIncluded);
    EXPECT_EQ(GetNodeState(Child(docs, "deep")), NodeIncluded);
    EXPECT_EQ(GetNodeState(Child(docs, "b.txt")), NodeExcluded);
}

TEST(ServerTreeNodes, CaptionsMatchExactlyAndKeepTheirBytes) {
    App();
    QTreeWidgetItem backup;
    QTreeWidgetItem* docs = FindOrAddTreeNode(&backup, "Docs");
    EXPECT_EQ(FindOrAddTreeNode(&backup, "Docs"), docs);
    QTreeWidgetItem* lower = FindOrAddTreeNode(&backup, "docs");
    EXPECT_NE(lower, docs);
    EXPECT_EQ(GetNodeState(lower), NodeExcluded);
    EXPECT_EQ(GetNodeData(lower), -1);

    const std::string latin1 = "caf\xE9";
    QTreeWidgetItem* odd = AddTreeNode(docs, latin1);
    EXPECT_EQ(GetNodeCaption(odd), latin1);
    EXPECT_EQ(FindOrAddTreeNode(docs, latin1), odd);
    EXPECT_EQ(backup.childCount(), 2);
}

// Clicks the viewport at a point, as the mouse does.
void ClickAt(QTreeWidget& tree, const QPoint& at) {
    const QPointF local(at);
    const QPointF global(tree.viewport()->mapToGlobal(at));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &press);
    QApplication::sendEvent(tree.viewport(), &release);
}

TEST_F(CheckTreeTest, TheHitTestFindsTheBoxWhereTheStyleDrawsItAndQtLeavesTheBoxAlone) {
    auto files = Build();
    TPathExplorer& tree = files->tree;
    tree.resize(400, 300);
    tree.show();
    QApplication::processEvents();
    tree.doItemsLayout();

    QTreeWidgetItem* docs = Child(files->Drive(), "docs");
    const QRect row = tree.visualItemRect(docs);
    ASSERT_FALSE(row.isEmpty());
    int first = -1;
    int last = -1;
    for (int x = 0; x < tree.viewport()->width(); ++x) {
        if (StatePictureAt(tree, QPoint(x, row.center().y())) == docs) {
            first = first < 0 ? x : first;
            last = x;
        }
    }
    ASSERT_GE(first, row.left());
    EXPECT_GT(last - first, 4);
    EXPECT_LT(last, row.left() + 40);
    // Caption, expand indicator and the root without a box are no hits.
    EXPECT_EQ(StatePictureAt(tree, QPoint(row.left() + 120, row.center().y())), nullptr);
    EXPECT_EQ(StatePictureAt(tree, QPoint(row.left() - 5, row.center().y())), nullptr);
    const QRect rootRow = tree.visualItemRect(tree.RootNode());
    for (int x = rootRow.left(); x < rootRow.left() + 40; ++x) {
        EXPECT_EQ(StatePictureAt(tree, QPoint(x, rootRow.center().y())), nullptr);
    }

    // Qt itself does not toggle the box.
    ClickAt(tree, QPoint((first + last) / 2, row.center().y()));
    EXPECT_EQ(GetNodeState(docs), NodeExcluded);

    // A node Qt may toggle shows where its delegate takes the box to be: exactly the hit test's span.
    docs->setFlags(docs->flags() | Qt::ItemIsUserCheckable);
    const auto togglesAt = [&](int x) {
        const Qt::CheckState before = docs->checkState(0);
        ClickAt(tree, QPoint(x, row.center().y()));
        return docs->checkState(0) != before;
    };
    EXPECT_TRUE(togglesAt(first));
    EXPECT_TRUE(togglesAt(last));
    EXPECT_FALSE(togglesAt(first - 1));
    EXPECT_FALSE(togglesAt(last + 1));
}

} // namespace
