#include "PaintThrottle.h"

#include <QWidget>

TPaintThrottle::TPaintThrottle(QWidget* widget, std::chrono::milliseconds interval) : QObject(widget), widget_(widget) {
    timer_.setSingleShot(true);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, [this] {
        // Enabling updates again repaints the widget whole, with whatever it shows by now.
        if (!widget_->updatesEnabled()) {
            widget_->setUpdatesEnabled(true);
        }
    });
}

void TPaintThrottle::Changed() {
    if (!timer_.isActive()) {
        timer_.start();
    } else if (widget_->updatesEnabled()) {
        widget_->setUpdatesEnabled(false);
    }
}
