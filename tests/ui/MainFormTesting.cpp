#include "MainFormTesting.h"

#include "platform/WindowRegistry.h"

#include <QDialog>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>

#include <chrono>
#include <gtest/gtest.h>

QApplication& WidgetApp() {
    static int argc = 1;
    static char name[] = "ui_main_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void AnswerNextDialog(std::function<void(QDialog&)> act) {
    auto* timer = new QTimer(&WidgetApp());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, deadline, act = std::move(act)] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(*dialog);
        } else if (std::chrono::steady_clock::now() > deadline) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no dialog opened";
        }
    });
    timer->start(20);
}

ModalUser::ModalUser() {
    SetModalResponder([this](const TModalRequest& request) {
        Requests.push_back(request);
        if (OnRequest) {
            OnRequest(request);
        }
        TModalAnswer answer;
        if (request.kind == TModalRequest::Confirm) {
            answer.ok = true;
            if (!Confirms.empty()) {
                answer.ok = Confirms.front();
                Confirms.pop_front();
            }
        } else if (request.kind == TModalRequest::Password && !Passwords.empty()) {
            answer.ok = true;
            answer.text = Passwords.front();
            Passwords.pop_front();
        }
        return answer;
    });
}

ModalUser::~ModalUser() {
    SetModalResponder({});
}

RegistryPeer::RegistryPeer(const std::string& className, const std::string& caption) {
    thread_ = std::thread([this, className, caption] {
        // The loop first: it gives the thread the event dispatcher that the announcement's socket needs.
        QEventLoop loop;
        TWindowAnnouncement announcement;
        announcement.SetCopyDataHandler([this](const TCopyData& notice) {
            const std::lock_guard lock(mutex_);
            notices_.push_back(notice);
            return std::int64_t{0};
        });
        const bool announced = announcement.Announce(className, caption);
        ready_ = true;
        if (!announced) {
            return;
        }
        while (!stop_) {
            loop.processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    while (!ready_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

RegistryPeer::~RegistryPeer() {
    stop_ = true;
    thread_.join();
}

std::vector<TCopyData> RegistryPeer::Notices() const {
    const std::lock_guard lock(mutex_);
    return notices_;
}

QPoint CheckBoxPoint(QTreeWidget& tree, QTreeWidgetItem* node) {
    tree.scrollToItem(node);
    const QRect row = tree.visualItemRect(node);
    for (int x = row.left(); x <= row.right(); ++x) {
        const QPoint point(x, row.center().y());
        if (StatePictureAt(tree, point) == node) {
            return point;
        }
    }
    ADD_FAILURE() << "no check box on " << node->text(0).toStdString();
    return row.center();
}

void ClickAt(QTreeWidget& tree, const QPoint& point) {
    const QPointF local(point);
    const QPointF global(tree.viewport()->mapToGlobal(point));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(tree.viewport(), &release);
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const std::string& caption) {
    for (int i = 0; parent != nullptr && i < parent->childCount(); ++i) {
        if (GetNodeCaption(parent->child(i)) == caption) {
            return parent->child(i);
        }
    }
    return nullptr;
}
