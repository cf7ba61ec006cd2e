#pragma once

#include <QObject>
#include <QTimer>

// The backup program's schedule: every 4000 ms, on the main thread, each active task that its rule finds due gets
// its last-run time set to now and is queued for the worker. The rule's repeat guard, not the timer, keeps a task
// from being queued on every tick of its window.
class TSchedule : public QObject {
    Q_OBJECT
public:
    TSchedule();
    // One tick.
    void OnTimer();

    QTimer Timer;
};
