#pragma once

#include "core/tasks/UnitGroups.h"
#include "platform/Paths.h"
#include "support/TempDir.h"
#include "ui/CheckTree.h"
#include "ui/uPathExplorer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidgetItem>

#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <vector>

// The widgets need an application object; one per test program, never destroyed.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "tree_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A tmpfs mounted on a folder for the life of the object; Mounted() is false where this process may not mount.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& folder) : folder_(folder) {
        mounted_ = ::mount("corvane-test", folder.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~TmpfsMount() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool Mounted() const { return mounted_; }

private:
    std::string folder_;
    bool mounted_ = false;
};

inline std::string NoSlash(const std::string& folder) {
    return ExcludeTrailingPathDelimiter(folder);
}

inline void MakeFolder(const std::string& path) {
    std::filesystem::create_directories(path);
}

inline std::vector<std::string> Captions(const QTreeWidgetItem* node) {
    std::vector<std::string> captions;
    for (int i = 0; i < node->childCount(); ++i) {
        captions.push_back(node->child(i)->text(0).toStdString());
    }
    return captions;
}

// The child with that caption; fails the test when there is none.
inline QTreeWidgetItem* Child(QTreeWidgetItem* node, const std::string& caption) {
    for (int i = 0; i < node->childCount(); ++i) {
        if (node->child(i)->text(0).toStdString() == caption) {
            return node->child(i);
        }
    }
    ADD_FAILURE() << "no child \"" << caption << "\" under \"" << node->text(0).toStdString() << "\"";
    return node;
}

inline void Expand(QTreeWidgetItem* node) {
    node->setExpanded(true);
}

// A files tree whose only drive is the given folder, wired to a task the way the main window wires it: its own
// expanding step learns whether the expansion is the node's first and then lists through the saved handler; after
// the expansion, a node at 1 or 3 pushes its mark down and freshly listed children take theirs from the task.
class FilesTree {
public:
    FilesTree(const std::string& drive, const TGroup& task) : tree(nullptr), task_(task) {
        tree.SetDriveLister([drive] { return std::vector<std::string>{NoSlash(drive)}; });
        saved_ = tree.ExpandingHandler();
        tree.SetExpandingHandler([this](QTreeWidgetItem* node) {
            wasExpanded_ = IsNodeExpanded(node);
            saved_(node);
        });
        QObject::connect(&tree, &TPathExplorer::NodeExpanded, [this](QTreeWidgetItem* node) {
            const int state = GetNodeState(node);
            if (state == NodeIncluded || state == NodeExcluded) {
                SetNodeCheckRecursive(node, state);
            }
            if (!wasExpanded_) {
                UpdateListingChecks(node, task_);
            }
        });
        SetNodeState(tree.RootNode(), NodeNoBox);
        Expand(tree.RootNode());
    }

    QTreeWidgetItem* Drive() { return tree.RootNode()->child(0); }

    TPathExplorer tree;

private:
    const TGroup& task_;
    TPathExplorer::TExpandingHandler saved_;
    bool wasExpanded_ = false;
};

inline std::vector<std::string> FilePaths(const TGroup& task) {
    std::vector<std::string> paths;
    for (const auto& file : task.Files) {
        paths.push_back(file->Path);
    }
    return paths;
}

inline std::vector<std::string> FolderPaths(const TGroup& task) {
    std::vector<std::string> paths;
    for (const auto& folder : task.Folders) {
        paths.push_back(folder->Path);
    }
    return paths;
}
