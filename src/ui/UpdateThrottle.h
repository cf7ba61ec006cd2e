#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

// Brings what a control shows up to date at most once per interval. The first request after a quiet spell is
// served at once; later ones within the interval are held, and served once, with the latest state, when it ends. A
// backup run changes the log line and the bar for every file and lets pending events through after each: without
// this every file would cost the control's model and signals, a repaint and the shaping of a long path.
class TUpdateThrottle : public QObject {
public:
    TUpdateThrottle(QObject* parent, std::function<void()> update,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(40));
    // What the control should show has changed.
    void Request();
    // Serves a held request now.
    void Flush();

private:
    std::function<void()> update_;
    QTimer timer_;
    bool held_ = false;
};
