#include "CheckTree.h"

#include "Pictures.h"
#include "core/tasks/UnitGroups.h"
#include "platform/Paths.h"
#include "uPathExplorer.h"

#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr int DataRole = Qt::UserRole;
constexpr int CaptionRole = Qt::UserRole + 1;

// Reads a node's look into a style option the way the tree's own delegate does before it paints or takes a click.
class TOptionReader : public QStyledItemDelegate {
public:
    void Fill(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }
};

bool LiesOn(const std::string& path, const std::string& drive) {
    return IsRootPath(drive) ? PathStartsWith(path, drive) : path == drive || PathStartsWith(path, drive + PathDelim);
}

// Whether a task entry belongs to the part of the tree below this node: to the node's own drive, and not to another
// drive mounted deeper inside it (/home inside /), whose nodes alone speak for it. Drives are disjoint: a folder
// entry of / neither covers /home nor is covered by it. Without a drive above it, a node owns all.
bool OwnsEntry(const QTreeWidgetItem* node, const std::string& entry) {
    if (node->parent() == nullptr) {
        return true;
    }
    const QTreeWidgetItem* drive = node;
    while (drive->parent()->parent() != nullptr) {
        drive = drive->parent();
    }
    const std::string own = GetFileName(drive);
    if (!LiesOn(entry, own)) {
        return false;
    }
    const QTreeWidgetItem* top = drive->parent();
    for (int i = 0; i < top->childCount(); ++i) {
        const std::string other = GetFileName(top->child(i));
        if (other.size() > own.size() && LiesOn(other, own) && LiesOn(entry, other)) {
            return false;
        }
    }
    return true;
}

// The task's entries on one drive, indexed once for all the marks of a listing: each question TGroup answers by a
// walk over every entry (and a look at the disk per folder entry) takes a lookup or a few here, with the same
// answer. The task must stay unchanged while the index is used.
class TTaskPaths {
public:
    TTaskPaths(const TGroup& task, const QTreeWidgetItem* owner) {
        for (const auto& file : task.Files) {
            if (OwnsEntry(owner, file->Path)) {
                files_.insert(file->Path);
                AddHolders(file->Path);
            }
        }
        for (const auto& folder : task.Folders) {
            if (!OwnsEntry(owner, folder->Path)) {
                continue;
            }
            if (folder->Path.ends_with(PathDelim)) {
                folders_.insert(folder->Path);
            } else if (!folder->Path.empty()) {
                // Not written by this program, but a loaded task may hold one: it covers as a plain prefix.
                oddFolders_.push_back(folder->Path);
            }
            AddHolders(folder->Path);
        }
    }

    // TGroup::HasFile.
    bool HasFile(const std::string& path) const { return files_.count(path) != 0; }

    // TGroup::HasFolder: a folder entry is a beginning of the path's folder text (the path with "/" when it is an
    // existing folder, else the folder it lies in) that ends at a "/".
    bool HasFolder(const std::string& path) const {
        const std::string subject = DirectoryExists(path) ? path + PathDelim : ExtractFilePath(path);
        const std::string_view text(subject);
        for (std::size_t slash = text.find(PathDelim); slash != std::string_view::npos;
             slash = text.find(PathDelim, slash + 1)) {
            if (folders_.count(text.substr(0, slash + 1)) != 0) {
                return true;
            }
        }
        return std::any_of(oddFolders_.begin(), oddFolders_.end(),
                           [&](std::string_view folder) { return text.starts_with(folder); });
    }

    bool Contains(const std::string& path) const { return HasFolder(path) || HasFile(path); }

    // TGroup::HasItemsUnder.
    bool HasItemsUnder(const std::string& folder) const {
        if (folder.empty()) {
            return false;
        }
        return holders_.count(IsRootPath(folder) ? folder : folder + PathDelim) != 0;
    }

private:
    // Every beginning of the entry's path that ends at a "/": the folder texts it lies inside.
    void AddHolders(std::string_view path) {
        for (std::size_t slash = path.find(PathDelim); slash != std::string_view::npos;
             slash = path.find(PathDelim, slash + 1)) {
            holders_.insert(path.substr(0, slash + 1));
        }
    }

    std::unordered_set<std::string_view> files_;
    std::unordered_set<std::string_view> folders_;
    std::vector<std::string_view> oddFolders_;
    std::unordered_set<std::string_view> holders_;
};

void MarkFromTask(QTreeWidgetItem* node, const TTaskPaths& task) {
    QTreeWidgetItem* parent = node->parent();
    if (parent != nullptr && GetNodeState(parent) == NodeIncluded) {
        SetNodeState(node, NodeIncluded);
        return;
    }
    const std::string path = GetFileName(node);
    if (task.HasItemsUnder(path)) {
        SetNodeState(node, NodePartly);
    }
    // A task entry that covers the parent too, while the parent is not at 1, was unchecked in the tree and not
    // stored yet: the tree's word wins over the task's.
    if ((task.HasFile(path) || task.HasFolder(path)) && !(parent != nullptr && task.Contains(GetFileName(parent)))) {
        SetNodeState(node, NodeIncluded);
    }
}

// Drops every entry whose path an earlier one of its kind has already.
template <typename Entry>
void DropRepeats(std::vector<std::unique_ptr<Entry>>& entries) {
    std::unordered_set<std::string> seen;
    std::erase_if(entries, [&seen](const std::unique_ptr<Entry>& entry) { return !seen.insert(entry->Path).second; });
}

} // namespace

TMarksUpdate::TMarksUpdate(QTreeWidget* tree) : tree_(tree) {
    // The view hears of marks through the model's signals, one per mark; the nodes hold the marks themselves.
    if (tree_ != nullptr) {
        outermost_ = !tree_->model()->blockSignals(true);
    }
}

TMarksUpdate::~TMarksUpdate() {
    if (tree_ != nullptr && outermost_) {
        tree_->model()->blockSignals(false);
        tree_->viewport()->update();
    }
}

int GetNodeState(const QTreeWidgetItem* node) {
    const QVariant value = node->data(0, Qt::CheckStateRole);
    if (!value.isValid()) {
        return NodeNoBox;
    }
    switch (value.value<Qt::CheckState>()) {
    case Qt::Checked:
        return NodeIncluded;
    case Qt::PartiallyChecked:
        return NodePartly;
    case Qt::Unchecked:
        return NodeExcluded;
    }
    return NodeNoBox;
}

void SetNodeState(QTreeWidgetItem* node, int state) {
    // Without these flags the box is still drawn, but Qt neither toggles it on a click or the space key nor rolls
    // marks up to the parent on its own: the rules here alone change marks.
    const Qt::ItemFlags flags = node->flags() & ~(Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    if (flags != node->flags()) {
        node->setFlags(flags);
    }
    switch (state) {
    case NodeIncluded:
        node->setData(0, Qt::CheckStateRole, Qt::Checked);
        break;
    case NodePartly:
        node->setData(0, Qt::CheckStateRole, Qt::PartiallyChecked);
        break;
    case NodeExcluded:
        node->setData(0, Qt::CheckStateRole, Qt::Unchecked);
        break;
    default:
        node->setData(0, Qt::CheckStateRole, QVariant());
        break;
    }
}

int GetNodeData(const QTreeWidgetItem* node) {
    return node->data(0, DataRole).toInt();
}

void SetNodeData(QTreeWidgetItem* node, int value) {
    node->setData(0, DataRole, value);
}

std::string GetNodeCaption(const QTreeWidgetItem* node) {
    const QVariant caption = node->data(0, CaptionRole);
    return caption.isValid() ? caption.toByteArray().toStdString() : node->text(0).toStdString();
}

QTreeWidgetItem* AddTreeNode(QTreeWidgetItem* parent, const std::string& caption) {
    auto* node = new QTreeWidgetItem();
    node->setText(0, QString::fromStdString(caption));
    // The shown text loses bytes that are no UTF-8; a path rebuilt from captions must not.
    node->setData(0, CaptionRole, QByteArray::fromStdString(caption));
    node->setIcon(0, ItemPicture(6));
    SetNodeState(node, NodeExcluded);
    SetNodeData(node, -1);
    parent->addChild(node);
    return node;
}

QTreeWidgetItem* FindOrAddTreeNode(QTreeWidgetItem* parent, const std::string& caption) {
    for (int i = 0; i < parent->childCount(); ++i) {
        if (SamePath(GetNodeCaption(parent->child(i)), caption)) {
            return parent->child(i);
        }
    }
    return AddTreeNode(parent, caption);
}

void SetNodeCheckRecursive(QTreeWidgetItem* node, int state) {
    TMarksUpdate update(node->treeWidget());
    VisitSubtree(node, [state](QTreeWidgetItem* item) {
        if (GetNodeState(item) == NodeNoBox) {
            return false;
        }
        SetNodeState(item, state);
        return true;
    });
}

void MarkAncestorsPartial(QTreeWidgetItem* node) {
    TMarksUpdate update(node != nullptr ? node->treeWidget() : nullptr);
    for (; node != nullptr && GetNodeState(node) != NodeNoBox; node = node->parent()) {
        SetNodeState(node, NodePartly);
    }
}

void ToggleNodeCheck(QTreeWidgetItem* node) {
    TMarksUpdate update(node->treeWidget());
    switch (GetNodeState(node)) {
    case NodePartly:
    case NodeExcluded:
        SetNodeCheckRecursive(node, NodeIncluded);
        MarkAncestorsPartial(node->parent());
        break;
    case NodeIncluded:
        if (node->parent() != nullptr && GetNodeState(node->parent()) == NodeIncluded) {
            SetNodeState(node->parent(), NodePartly);
        }
        SetNodeCheckRecursive(node, NodeExcluded);
        break;
    default:
        break;
    }
}

void UpdateNodeCheck(QTreeWidgetItem* node, const TGroup& task) {
    MarkFromTask(node, TTaskPaths(task, node));
}

void UpdateListingChecks(QTreeWidgetItem* node, const TGroup& task) {
    TMarksUpdate update(node->treeWidget());
    if (node->parent() == nullptr) {
        // The drives: each takes its mark from its own entries.
        for (int i = 0; i < node->childCount(); ++i) {
            UpdateNodeCheck(node->child(i), task);
        }
        return;
    }
    // Below a drive every child lies on the drive of its parent.
    const TTaskPaths paths(task, node);
    for (int i = 0; i < node->childCount(); ++i) {
        MarkFromTask(node->child(i), paths);
    }
}

void CollectCheckedNodes(QTreeWidgetItem* node, TGroup& target, const TGroup& current) {
    const int state = GetNodeState(node);
    if (state == NodeIncluded) {
        std::string path = GetFileName(node);
        // "..." of a node without a path would name something relative to the working folder.
        if (!path.starts_with(PathDelim)) {
            return;
        }
        if (DirectoryExists(path)) {
            target.AddFolder(std::make_unique<TFolder>(IncludeTrailingPathDelimiter(path)));
        } else if (FileExists(path)) {
            target.AddFile(std::make_unique<TFileBase>(path));
        }
    } else if (state == NodePartly && !IsNodeExpanded(node)) {
        // Whatever the task chose below a folder not opened this time stays chosen. This holds also for a folder
        // shown without an expand indicator (one or two files), whose choice would otherwise be lost unseen.
        const std::string path = GetFileName(node);
        TStringList list;
        current.GetFilesUnder(path, list);
        for (const std::string& file : list) {
            if (OwnsEntry(node, file)) {
                target.AddFile(std::make_unique<TFileBase>(file));
            }
        }
        current.GetFoldersUnder(path, list);
        for (const std::string& folder : list) {
            if (OwnsEntry(node, folder)) {
                target.AddFolder(std::make_unique<TFolder>(folder));
            }
        }
    }
}

void StoreTreeToTask(const QTreeWidget& tree, TGroup& task) {
    TGroup collected;
    auto collect = [&](QTreeWidgetItem* node) { CollectCheckedNodes(node, collected, task); };
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
        VisitSubtree(tree.topLevelItem(i), collect);
    }
    // A path the task held twice is still one choice, and a run would otherwise read its files twice.
    DropRepeats(collected.Files);
    DropRepeats(collected.Folders);
    task.Assign(collected);
}

QTreeWidgetItem* StatePictureAt(const QTreeWidget& tree, const QPoint& viewportPos) {
    QTreeWidgetItem* node = tree.itemAt(viewportPos);
    const QModelIndex index = tree.indexAt(viewportPos);
    if (node == nullptr || index.column() != 0 || GetNodeState(node) == NodeNoBox) {
        return nullptr;
    }
    // The option the view hands its delegate: the same rectangle, icon size, font and features, so the style
    // places the box here where it paints it.
    QStyleOptionViewItem option;
    option.initFrom(&tree);
    option.font = tree.font();
    option.fontMetrics = QFontMetrics(option.font);
    const QSize iconSize = tree.iconSize();
    const int small = tree.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &tree);
    option.decorationSize = iconSize.isValid() ? iconSize : QSize(small, small);
    option.decorationPosition = QStyleOptionViewItem::Left;
    option.decorationAlignment = Qt::AlignCenter;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.textElideMode = tree.textElideMode();
    option.locale = tree.locale();
    option.widget = &tree;
    option.rect = tree.visualRect(index);
    TOptionReader().Fill(&option, index);
    const QRect box = tree.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, &tree);
    return box.contains(viewportPos) ? node : nullptr;
}
