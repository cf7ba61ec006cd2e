#pragma once

#include <QPoint>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class TGroup;

// The check marks of the files tree and of the server tree, over the nodes of any QTreeWidget (column 0).
//
// A node's check state is one of four values and is shown with the desktop style's own tri-state check box, drawn
// left of the node's icon:
//   1 included (checked box): the node's path, with everything under it, is chosen;
//   2 partly included (partly checked box): something under the node is chosen;
//   3 not included (empty box);
//  -1 no box: the node is never marked and stops the rules below ("My Computer", the server tree's root).
// Qt does not toggle these boxes by itself (the nodes are not user-checkable): a click on a box changes marks only
// through the window's click handler, which finds the node with StatePictureAt and calls ToggleNodeCheck.

inline constexpr int NodeIncluded = 1;
inline constexpr int NodePartly = 2;
inline constexpr int NodeExcluded = 3;
inline constexpr int NodeNoBox = -1;

// The node's state; -1 when it has no box.
int GetNodeState(const QTreeWidgetItem* node);
// Sets and shows the state; any value but 1, 2 and 3 removes the box. Also makes sure Qt never toggles the box.
void SetNodeState(QTreeWidgetItem* node, int state);

// One update of a tree's marks: while it lives, marks change without the view hearing of each one, and when the
// outermost one ends the view repaints once. Checking a listed folder of 20,000 files takes a few milliseconds so,
// where a view told of every mark takes most of a second. SetNodeCheckRecursive, MarkAncestorsPartial and
// ToggleNodeCheck open one themselves; a window that marks many nodes in a loop (UpdateNodeCheck over a fresh
// listing) opens one around the loop. Only marks may change meanwhile: nodes added, removed or moved while the
// view does not hear of it would leave the view out of step with its nodes.
class TMarksUpdate {
public:
    // A null tree (a node not in any tree) makes an update that does nothing.
    explicit TMarksUpdate(QTreeWidget* tree);
    ~TMarksUpdate();
    TMarksUpdate(const TMarksUpdate&) = delete;
    TMarksUpdate& operator=(const TMarksUpdate&) = delete;

private:
    QTreeWidget* tree_;
    bool outermost_ = false;
};

// Calls visit(n) for the node and every node under it, parents before their children, in the tree's order. Where
// visit returns a bool, false keeps the walk out of that node's children. Walked with a stack of its own, not by
// recursion: a tree built from a server's list may be thousands of levels deep.
template <typename Item, typename Visit>
void VisitSubtree(Item* node, Visit&& visit) {
    const auto enter = [&](Item* item) {
        if constexpr (std::is_same_v<decltype(visit(item)), bool>) {
            return visit(item);
        } else {
            visit(item);
            return true;
        }
    };
    if (!enter(node)) {
        return;
    }
    std::vector<std::pair<Item*, int>> stack{{node, 0}};
    while (!stack.empty()) {
        Item* parent = stack.back().first;
        const int next = stack.back().second++;
        if (next >= parent->childCount()) {
            stack.pop_back();
        } else if (Item* child = parent->child(next); enter(child)) {
            stack.emplace_back(child, 0);
        }
    }
}

// The node's data word (the server tree keeps a file's volume number there); 0 until set.
int GetNodeData(const QTreeWidgetItem* node);
void SetNodeData(QTreeWidgetItem* node, int value);
// The caption exactly as AddTreeNode was given it, bytes included that are no UTF-8; otherwise the shown text.
std::string GetNodeCaption(const QTreeWidgetItem* node);

// A new last child of parent with the caption, state 3, data word -1 and folder picture 6.
QTreeWidgetItem* AddTreeNode(QTreeWidgetItem* parent, const std::string& caption);
// The first child of parent whose caption (GetNodeCaption) is exactly the given one, or a new one by AddTreeNode.
// Exact, letter case included: this file system tells "Docs" from "docs", so two such folders stay two nodes.
QTreeWidgetItem* FindOrAddTreeNode(QTreeWidgetItem* parent, const std::string& caption);

// The node and everything under it take the state; a node without a box keeps its own and stops the descent
// below it (the rest of the tree goes on).
void SetNodeCheckRecursive(QTreeWidgetItem* node, int state);
// From the node upwards, every node takes state 2 until there is no node or a node has no box, which keeps its
// state as do those above it.
void MarkAncestorsPartial(QTreeWidgetItem* node);
// A click on a node's box. At 2 or 3: the node and its subtree take 1, and every ancestor with a box takes 2. At
// 1: a parent at 1 alone takes 2, then the node and its subtree take 3. There is no roll-up in either direction
// (ancestors show 2 after a check even when everything below them is now chosen). A node without a box: nothing.
void ToggleNodeCheck(QTreeWidgetItem* node);

// The mark of a freshly listed node of the files tree, from the task: 1 below a parent at 1; 1 when the task holds
// the node's path as a file or covers it by a folder, unless the task covers the parent's path; else 2 when the
// task holds something under the node; else the state it was listed with. Drives are disjoint: only the task's
// entries on the node's own drive count (not those of another drive mounted deeper inside it, /home inside /,
// nor a folder entry of the drive that holds it).
void UpdateNodeCheck(QTreeWidgetItem* node, const TGroup& task);
// UpdateNodeCheck for every child of a node just listed, as one update of the marks. The task's entries are
// indexed once for the whole listing, so each child costs about one lookup however many entries the task holds.
void UpdateListingChecks(QTreeWidgetItem* node, const TGroup& task);
// Adds to `target` what one node of the files tree stands for:
//  - at 1: its path, as a folder entry with a trailing "/" (the root "/" as itself) when it is a folder, as a file
//    entry when it is a file, nothing when it is neither any more or is no absolute path;
//  - at 2, while its children have never been listed: the entries of `current` under its path, files then
//    folders, so that a choice made below a folder the user has not opened this time is kept; entries on another
//    drive mounted deeper inside the node's drive (/home inside /) are left to that drive's nodes, so that a
//    choice undone there does not come back;
//  - otherwise nothing (the listed children of a node at 2 speak for themselves).
void CollectCheckedNodes(QTreeWidgetItem* node, TGroup& target, const TGroup& current);
// The tree's marks into the task: every node of the tree, a node before its children, is collected into a
// temporary task, whose files and folders the task then takes in that order (TGroup::Assign), each path once; the
// task's name, settings and snapshot stay.
void StoreTreeToTask(const QTreeWidget& tree, TGroup& task);

// The node whose check box lies under a point of the tree's viewport (the coordinates of its mouse events), or
// null: for a point on a caption, an icon, an expand indicator or empty space, and on a node without a box. The box
// is found exactly where the tree's style draws it.
QTreeWidgetItem* StatePictureAt(const QTreeWidget& tree, const QPoint& viewportPos);
