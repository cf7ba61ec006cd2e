#pragma once

// What the main window's tests share: the widget application, the user's answers to dialogs and message boxes,
// a window of the registry that stands for the companion, and clicks on the trees' check boxes.

#include "ui/CheckTree.h"
#include "ui/ModalBoxes.h"

#include <QApplication>
#include <QTreeWidget>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QDialog;
struct TCopyData;

// One widget application per test program, never destroyed.
QApplication& WidgetApp();

// Runs `act` on the next modal dialog once it is open (within ten seconds), as the user would answer it.
void AnswerNextDialog(std::function<void(QDialog&)> act);

// Stands in for the user at every message box and prompt: records each request, answers Confirm with the next
// queued yes/no (yes when none is queued) and Password with the next queued text (cancel when none).
class ModalUser {
public:
    ModalUser();
    ~ModalUser();
    ModalUser(const ModalUser&) = delete;
    ModalUser& operator=(const ModalUser&) = delete;

    // Runs at each request, before it is answered (to look at the windows as the user sees them then).
    std::function<void(const TModalRequest&)> OnRequest;
    std::deque<bool> Confirms;
    std::deque<std::string> Passwords;
    std::vector<TModalRequest> Requests;
};

// A window announced in the registry from a thread of its own, as the companion's window is announced from its
// own process: it answers notices while the test's main thread waits for the answer.
class RegistryPeer {
public:
    RegistryPeer(const std::string& className, const std::string& caption);
    ~RegistryPeer();
    RegistryPeer(const RegistryPeer&) = delete;
    RegistryPeer& operator=(const RegistryPeer&) = delete;

    std::vector<TCopyData> Notices() const;

private:
    mutable std::mutex mutex_;
    std::vector<TCopyData> notices_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A point of the tree's viewport on the node's check box, found through the tree's own hit test.
QPoint CheckBoxPoint(QTreeWidget& tree, QTreeWidgetItem* node);
// A press and a release of the left button at the point, as a click of the user's.
void ClickAt(QTreeWidget& tree, const QPoint& point);
// The first child of `parent` with this caption; null when there is none.
QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const std::string& caption);
