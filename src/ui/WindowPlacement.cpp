#include "WindowPlacement.h"

#include <QApplication>
#include <QMainWindow>
#include <QScreen>
#include <QWidget>

namespace {

QWidget* MainWindow(const QWidget* except) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget != except && widget->isVisible() && qobject_cast<QMainWindow*>(widget)) {
            return widget;
        }
    }
    return nullptr;
}

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

void CentreOnScreen(QWidget* window) {
    if (const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
        CentreOn(window, screen->availableGeometry());
    }
}
