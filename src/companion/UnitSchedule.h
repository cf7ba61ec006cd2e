#pragma once

#include <QTimer>

#include <cstdint>
#include <memory>

namespace companion {

class TGlobalObject;

// The companion's timer: every 2000 ms it starts the backup program for the first active task that is due, and
// after every tenth tick that started nothing it rereads the task file, which is how tasks saved by the backup
// program reach the companion.
class TSchedule {
public:
    static constexpr int Interval = 2000; // ms
    static constexpr int IdleTicksPerReread = 10;

    // Starts the timer at once; its ticks run in the thread's event loop, so they never meet another use of the
    // task list.
    explicit TSchedule(TGlobalObject& owner);
    ~TSchedule();
    TSchedule(const TSchedule&) = delete;
    TSchedule& operator=(const TSchedule&) = delete;

    // One tick at Now(): the first task in list order that is due and active gets LastRun := Now() in memory and
    // the backup program is started for it; at most one start per tick. Returns that task's index, or -1 when
    // the tick started nothing (and so counted as idle).
    int OnTimer();

    std::unique_ptr<QTimer> Timer;
    std::int32_t IdleTicks = 0; // ticks that started nothing since the last reread

private:
    TGlobalObject& owner_;
};

} // namespace companion
