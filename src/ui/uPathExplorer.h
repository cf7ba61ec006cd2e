#pragma once

#include <QFileIconProvider>
#include <QTreeWidget>

#include <functional>
#include <string>
#include <vector>

class QKeyEvent;
class QModelIndex;

// The tree of drives, folders and files below "My Computer", in which the user picks what a task backs up.
//
// The top-level node "My Computer" lists the mounted file systems a user would call drives (MountedDrives); below a
// drive come its folders and then its files, and so on down. A node's children are read from the disk only on the
// node's first expansion. Every node the tree makes carries a record: its path (GetFileName), whether its children
// have been listed (IsNodeExpanded) and whether it can be listed at all (a drive or folder). Nodes the tree makes
// start with check state 3 (CheckTree.h); the tree knows nothing else of check marks or tasks.
//
// What a listing shows: real folders (never one reached through a symbolic link, which could loop), then regular
// files and links to them, each group in the user's collation order with numbers compared by value, as a file
// manager shows them. Names that begin with "." are listed like any other: the tree shows exactly what a scan of
// the folder packs. FIFOs, sockets, devices, dangling links and links to folders are passed over, and so is a
// folder on another file system (a mount point, or /proc, /sys, /dev and /run below the root) or one that the
// tree shows as a drive: drives are disjoint, and a scan stays on its file system.
//
// A folder that cannot be read (missing, unreadable, no folder any more) is not listed: its node stays not yet
// listed, is shown closed again with its expand indicator, and lists on a later expansion once it can be read.
//
// The expand indicator of a node not yet listed: a folder shows one when it holds a subfolder or three or more
// files (one or two files alone give none); a file shows none. A listing that finds nothing removes the indicator.
// SetNodeExpanded gives a node the indicator whatever it holds.
//
// Running the window's own code around an expansion. Qt has no signal before an expansion, so the tree turns each
// expansion (mouse, keyboard, double click, QTreeWidgetItem::setExpanded) into two steps, in this order:
//   1. the expanding handler, given the node: by default TreeExpanding, which lists the node on its first
//      expansion. A window that wants its own step keeps the old handler (ExpandingHandler), installs its own
//      (SetExpandingHandler), reads IsNodeExpanded there to learn whether this expansion is the node's first, and
//      then calls the old handler;
//   2. the signal NodeExpanded(node), once the listing is done. Connect to it, not to itemExpanded: Qt sends
//      itemExpanded before step 1, while the node's children are not listed yet.
// The node is already shown open while the handler runs; the handler cannot refuse the expansion.
//
// To list a node afresh on its next expansion, delete its children and call SetNodeExpanded(node, false); children
// left in place stay, and the next listing adds only items whose paths none of them has.
//
// The "*" key (expand everything below) is refused: below a drive it would read the whole file system.
class TPathExplorer : public QTreeWidget {
    Q_OBJECT

public:
    using TExpandingHandler = std::function<void(QTreeWidgetItem* node)>;
    // The drives "My Computer" lists: absolute folder paths without a trailing "/" (the root "/" as itself).
    using TDriveLister = std::function<std::vector<std::string>()>;

    // The owner becomes the tree's parent. The tree then holds one node, "My Computer": with a record of empty
    // path, not yet listed, with an expand indicator and check state 3. Labels cannot be edited.
    explicit TPathExplorer(QWidget* owner);

    // "My Computer".
    QTreeWidgetItem* RootNode() const;

    // Lists the node's children on its first expansion (folders first, then files, each at check state 3) with the
    // wait cursor shown, and marks the node listed; a folder that cannot be read leaves the node not yet listed
    // and closed. Does nothing for a node already listed or without a record.
    void TreeExpanding(QTreeWidgetItem* node);

    // The handler run before NodeExpanded on every expansion; initially one that calls TreeExpanding.
    const TExpandingHandler& ExpandingHandler() const { return expanding_; }
    // An empty handler puts TreeExpanding back.
    void SetExpandingHandler(TExpandingHandler handler);

    // Where "My Computer" finds its drives; MountedDrives unless replaced (the tests point it at a folder of their
    // own). An empty lister puts MountedDrives back.
    void SetDriveLister(TDriveLister lister);

    // The expand-indicator rule for a folder: it holds a listable subfolder, or three or more listable files.
    // Reads no further than it needs to decide.
    static bool HasSubfolders(const std::string& folder);

signals:
    // After the expanding handler of this expansion has run.
    void NodeExpanded(QTreeWidgetItem* node);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Adds the node's children below it, each path once; a node whose listing finds nothing loses its expand
    // indicator. False, with nothing added, when the folder could not be read.
    bool EnumFolder(QTreeWidgetItem* node);
    // A node for one listed item, with its icon, check state 3 and expand indicator.
    QTreeWidgetItem* NewChildNode(const std::string& path, const QString& caption, bool folder, bool drive);
    void OnExpanded(const QModelIndex& index);

    TExpandingHandler expanding_;
    TDriveLister drives_;
    QFileIconProvider icons_;
};

// The mounted file systems a user would call drives: the mount points of real file systems that are folders,
// sorted, each once. Kernel and other pseudo file systems (proc, sysfs, cgroup, devtmpfs and the like), read-only
// package images, and mounts below /proc, /sys, /dev and /run are left out.
std::vector<std::string> MountedDrives();

// Whether the node's children have been listed; false for a node without a record (one the tree did not make).
bool IsNodeExpanded(const QTreeWidgetItem* node);
// Sets the node's listed flag and gives it an expand indicator, whatever the flag; with false the node is also
// shown closed, so that its next expansion lists it. A node without a record is left untouched.
void SetNodeExpanded(QTreeWidgetItem* node, bool expanded);
// The node's path: a folder or file as its full path without a trailing "/", a drive as its mount point (the
// root "/" as itself), "" for "My Computer", and "..." for a node without a record.
std::string GetFileName(const QTreeWidgetItem* node);
// Whether the node shows an expand indicator: one set on it, or children below it.
bool NodeHasChildren(const QTreeWidgetItem* node);
