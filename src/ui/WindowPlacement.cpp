#include "WindowPlacement.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

QWidget* MainWindow(const QWidget* except) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget != except && widget->isVisible() && qobject_cast<QMainWindow*>(widget)) {
            return widget;
        }
    }
    return nullptr;
}

class TModalWatcher : public QObject {
public:
    explicit TModalWatcher(QWidget* window) : QObject(window), window_(window) { qApp->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::Show && type != QEvent::Hide) {
            return false;
        }
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || widget == window_ || !widget->isWindow() || !widget->isModal()) {
            return false;
        }
        std::erase_if(modals_, [widget](const QPointer<QWidget>& modal) { return modal.isNull() || modal == widget; });
        if (type == QEvent::Show) {
            modals_.push_back(widget);
            if (window_->isVisible()) {
                hidden_ = true;
                window_->hide();
            }
        } else if (hidden_ && std::none_of(modals_.begin(), modals_.end(),
                                           [](const QPointer<QWidget>& modal) { return modal->isVisible(); })) {
            hidden_ = false;
            window_->show();
        }
        return false;
    }

private:
    QWidget* window_;
    std::vector<QPointer<QWidget>> modals_;
    bool hidden_ = false;
};

void CentreOn(QWidget* window, const QRect& area) {
    QRect frame = window->frameGeometry();
    frame.moveCenter(area.center());
    window->move(frame.topLeft());
}

} // namespace

void CentreOnMainWindow(QWidget* window) {
    if (const QWidget* main = MainWindow(window)) {
        CentreOn(window, main->frameGeometry());
        return;
    }
    CentreOnScreen(window);
}

void StepAsideForModalWindows(QWidget* window) {
    new TModalWatcher(window);
}

void CentreOnScreen(QWidget* window) {
    if (const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        CentreOn(window, screen->availableGeometry());
    }
}
