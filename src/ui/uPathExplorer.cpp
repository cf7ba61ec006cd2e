#include "uPathExplorer.h"

#include "CheckTree.h"
#include "Pictures.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QCollator>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLocale>
#include <QStorageInfo>
#include <QStringDecoder>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_set>

namespace {

// What a node stands for. Lives and dies with its node.
struct TNodeInfo {
    std::string Path;      // "" for "My Computer"
    bool Folder = false;   // can be listed: "My Computer", a drive or a folder
    bool Expanded = false; // the children have been listed
};

// A node made by the tree: a node of any other kind has no record.
class TPathNode : public QTreeWidgetItem {
public:
    static constexpr int Kind = QTreeWidgetItem::UserType + 1;

    explicit TPathNode(TNodeInfo info) : QTreeWidgetItem(Kind), Info(std::move(info)) {}

    TNodeInfo Info;
};

TNodeInfo* RecordOf(QTreeWidgetItem* node) {
    return node != nullptr && node->type() == TPathNode::Kind ? &static_cast<TPathNode*>(node)->Info : nullptr;
}

const TNodeInfo* RecordOf(const QTreeWidgetItem* node) {
    return RecordOf(const_cast<QTreeWidgetItem*>(node));
}

void SetHasChildren(QTreeWidgetItem* node, bool hasChildren) {
    node->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator
                                              : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

enum class ItemKind { Folder, File, Other };

// A real folder; a regular file or a link to one; anything else (FIFO, socket, device, dangling link, link to a
// folder) is neither. The file type the directory read reported saves a stat for all but links.
ItemKind KindOf(const std::filesystem::directory_entry& entry) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_type own = entry.symlink_status(error).type();
    if (error) {
        return ItemKind::Other;
    }
    if (own == fs::file_type::directory) {
        return ItemKind::Folder;
    }
    if (own == fs::file_type::regular) {
        return ItemKind::File;
    }
    if (own == fs::file_type::symlink && entry.status(error).type() == fs::file_type::regular && !error) {
        return ItemKind::File;
    }
    return ItemKind::Other;
}

// Calls visit(name, kind) for each listable item of the folder until it returns false; false when the folder
// could not be read to its end (missing, unreadable, no folder any more, or failing half way). A folder on another
// file system than this one's (a mount point) is no item of it: it is a drive of its own or nothing to back up.
template <typename Visit>
bool WalkFolder(const std::string& folder, Visit visit) {
    namespace fs = std::filesystem;
    const std::optional<TMountId> own = MountOfPath(folder);
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (!own || error) {
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            return false;
        }
        const ItemKind kind = KindOf(*it);
        if (kind == ItemKind::Folder) {
            const std::optional<TMountId> mount = MountOfPath(it->path().string());
            if (!mount || LeavesFileSystem(it->path().string(), *own, *mount)) {
                continue;
            }
        }
        if (kind != ItemKind::Other && !visit(it->path().filename().string(), kind)) {
            return true;
        }
    }
    return !error;
}

std::string ChildPath(const std::string& folder, const std::string& name) {
    return IncludeTrailingPathDelimiter(folder) + name;
}

// A name as the user reads it. Names are bytes; those that are no UTF-8 were mostly written in an older 8-bit
// encoding, and read as Latin-1 they keep their letters rather than turning into replacement marks. The node's path
// keeps the bytes either way.
QString ShownName(const std::string& name) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString shown = utf8(QByteArrayView(name));
    return utf8.hasError() ? QString::fromLatin1(name) : shown;
}

// The user's own order, as a file manager sorts: letter case aside, "file2" before "file10"; names equal to the
// collation keep a fixed order by their bytes. The C locale collates by code point alone, which would put "Zeta"
// before "alpha": there a neutral collation stands in.
void SortNames(std::vector<std::string>& names) {
    const QLocale locale;
    QCollator collator(locale.language() == QLocale::C ? QLocale(QLocale::English) : locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<std::pair<QString, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names) {
        keyed.emplace_back(ShownName(name), std::move(name));
    }
    std::sort(keyed.begin(), keyed.end(), [&collator](const auto& a, const auto& b) {
        const int order = collator.compare(a.first, b.first);
        return order != 0 ? order < 0 : a.second < b.second;
    });
    names.clear();
    for (auto& [shown, name] : keyed) {
        names.push_back(std::move(name));
    }
}

// A wait cursor for as long as the listing lasts, taken down also when it throws.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

bool IsPseudoFileSystem(std::string_view type) {
    // Kernel interfaces, and the read-only package images some desktops mount by the dozen: no user calls them
    // drives, and nobody backs them up.
    static const std::set<std::string_view> pseudo = {
        "autofs",     "binfmt_misc", "bpf",       "cgroup",    "cgroup2", "configfs", "debugfs", "devpts",
        "devtmpfs",   "efivarfs",    "fusectl",   "hugetlbfs", "mqueue",  "nsfs",     "proc",    "pstore",
        "rpc_pipefs", "securityfs",  "selinuxfs", "squashfs",  "sysfs",   "tracefs",
    };
    return pseudo.count(type) != 0 || type.starts_with("fuse.gvfsd") || type == "fuse.portal";
}

// A mount in one of the kernel's folders, or one of them itself. Removable media that the desktop mounts under
// /run/media/<user> are the user's drives all the same: they can be reached through no other drive.
bool IsSystemMount(const std::string& path) {
    if (path.starts_with("/run/media/")) {
        return false;
    }
    const std::size_t second = path.find(PathDelim, 1);
    return IsKernelFolder(second == std::string::npos ? path : path.substr(0, second));
}

} // namespace

std::vector<std::string> MountedDrives() {
    std::set<std::string> drives;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const std::string path = volume.rootPath().toStdString();
        // A file bind-mounted over another (as containers do with /etc/hosts) is no drive.
        if (!volume.isValid() || IsPseudoFileSystem(volume.fileSystemType().toStdString()) || IsSystemMount(path) ||
            !DirectoryExists(path)) {
            continue;
        }
        drives.insert(ExcludeTrailingPathDelimiter(path));
    }
    return {drives.begin(), drives.end()};
}

TPathExplorer::TPathExplorer(QWidget* owner) : QTreeWidget(owner) {
    setColumnCount(1);
    setHeaderHidden(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    SetExpandingHandler(nullptr);
    SetDriveLister(nullptr);
    // Ours runs after QTreeWidget's own itemExpanded, which it connected first: see NodeExpanded.
    connect(this, &QTreeView::expanded, this, &TPathExplorer::OnExpanded);

    auto* root = new TPathNode(TNodeInfo{"", true, false});
    root->setText(0, QStringLiteral("My Computer"));
    QIcon icon = icons_.icon(QFileIconProvider::Computer);
    root->setIcon(0, icon.isNull() ? ItemPicture(6) : icon);
    SetNodeState(root, NodeExcluded);
    SetHasChildren(root, true);
    addTopLevelItem(root);
}

QTreeWidgetItem* TPathExplorer::RootNode() const {
    return topLevelItem(0);
}

void TPathExplorer::SetExpandingHandler(TExpandingHandler handler) {
    expanding_ = handler ? std::move(handler) : [this](QTreeWidgetItem* node) { TreeExpanding(node); };
}

void TPathExplorer::SetDriveLister(TDriveLister lister) {
    drives_ = lister ? std::move(lister) : TDriveLister(&MountedDrives);
}

void TPathExplorer::TreeExpanding(QTreeWidgetItem* node) {
    TNodeInfo* info = RecordOf(node);
    if (info == nullptr || info->Expanded) {
        return;
    }
    WaitCursor wait;
    if (EnumFolder(node)) {
        info->Expanded = true;
        return;
    }
    // Shown as listed, the node would stand for a folder that holds nothing, and what the task chose in it would
    // be dropped at the next store. Closed again, it can be opened once more when the folder can be read.
    SetHasChildren(node, true);
    node->setExpanded(false);
}

bool TPathExplorer::EnumFolder(QTreeWidgetItem* node) {
    struct Listed {
        std::string path;
        QString caption;
        bool folder;
    };
    const TNodeInfo info = *RecordOf(node);
    std::vector<Listed> listed;
    if (!info.Folder) {
        // A file: nothing to list.
    } else if (info.Path.empty()) {
        for (std::string& drive : drives_()) {
            listed.push_back({drive, ShownName(drive), true});
        }
    } else {
        std::vector<std::string> folders;
        std::vector<std::string> files;
        const bool read = WalkFolder(info.Path, [&](std::string name, ItemKind kind) {
            (kind == ItemKind::Folder ? folders : files).push_back(std::move(name));
            return true;
        });
        if (!read) {
            return false;
        }
        SortNames(folders);
        SortNames(files);
        // A drive mounted in this folder is the tree's own node beside this drive, not a folder of it: the task's
        // entries below it belong to that drive alone.
        std::unordered_set<std::string> drives;
        const QTreeWidgetItem* root = RootNode();
        for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
            drives.insert(GetFileName(root->child(i)));
        }
        for (const std::string& name : folders) {
            std::string path = ChildPath(info.Path, name);
            if (drives.count(path) == 0) {
                listed.push_back({std::move(path), ShownName(name), true});
            }
        }
        for (const std::string& name : files) {
            listed.push_back({ChildPath(info.Path, name), ShownName(name), false});
        }
    }
    // Children left from an earlier listing stay; an item is added only under a path none of them has. Added in
    // one go, so that the view lays the node out once rather than once per item.
    std::unordered_set<std::string> present;
    for (int i = 0; i < node->childCount(); ++i) {
        if (const TNodeInfo* child = RecordOf(node->child(i))) {
            present.insert(child->Path);
        }
    }
    QList<QTreeWidgetItem*> added;
    for (const Listed& item : listed) {
        if (!item.path.empty() && present.insert(item.path).second) {
            added.append(NewChildNode(item.path, item.caption, item.folder, info.Path.empty()));
        }
    }
    node->addChildren(added);
    // Items all passed over as already there still count: the node keeps its indicator then.
    if (listed.empty()) {
        SetHasChildren(node, false);
    }
    return true;
}

QTreeWidgetItem* TPathExplorer::NewChildNode(const std::string& path, const QString& caption, bool folder, bool drive) {
    auto* child = new TPathNode(TNodeInfo{path, folder, false});
    child->setText(0, caption);
    QIcon icon = drive ? icons_.icon(QFileIconProvider::Drive) : icons_.icon(QFileInfo(QString::fromStdString(path)));
    if (icon.isNull()) {
        icon = ItemPicture(folder ? 6 : 7);
    }
    child->setIcon(0, icon);
    SetNodeState(child, NodeExcluded);
    SetHasChildren(child, folder && HasSubfolders(path));
    return child;
}

bool TPathExplorer::HasSubfolders(const std::string& folder) {
    bool answer = false;
    int files = 0;
    WalkFolder(folder, [&](const std::string&, ItemKind kind) {
        // One or two files alone give no indicator.
        answer = kind == ItemKind::Folder || ++files >= 3;
        return !answer;
    });
    return answer;
}

void TPathExplorer::OnExpanded(const QModelIndex& index) {
    QTreeWidgetItem* node = itemFromIndex(index);
    if (node == nullptr) {
        return;
    }
    expanding_(node);
    emit NodeExpanded(node);
}

void TPathExplorer::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Asterisk) {
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

bool IsNodeExpanded(const QTreeWidgetItem* node) {
    const TNodeInfo* info = RecordOf(node);
    return info != nullptr && info->Expanded;
}

void SetNodeExpanded(QTreeWidgetItem* node, bool expanded) {
    TNodeInfo* info = RecordOf(node);
    if (info == nullptr) {
        return;
    }
    info->Expanded = expanded;
    SetHasChildren(node, true);
    if (!expanded) {
        // A node shown open would not be expanded again, so its listing would never come.
        node->setExpanded(false);
    }
}

std::string GetFileName(const QTreeWidgetItem* node) {
    const TNodeInfo* info = RecordOf(node);
    return info == nullptr ? std::string("...") : info->Path;
}

bool NodeHasChildren(const QTreeWidgetItem* node) {
    return node != nullptr &&
           (node->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator || node->childCount() > 0);
}
