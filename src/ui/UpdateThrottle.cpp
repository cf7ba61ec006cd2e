#include "UpdateThrottle.h"

TUpdateThrottle::TUpdateThrottle(QObject* parent, std::function<void()> update, std::chrono::milliseconds interval)
    : QObject(parent), update_(std::move(update)) {
    timer_.setSingleShot(true);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (held_) {
            held_ = false;
            update_();
            // A flood goes on being shown at the same pace.
            timer_.start();
        }
    });
}

void TUpdateThrottle::Request() {
    if (timer_.isActive()) {
        held_ = true;
        return;
    }
    update_();
    timer_.start();
}

void TUpdateThrottle::Flush() {
    if (held_) {
        held_ = false;
        update_();
    }
}
