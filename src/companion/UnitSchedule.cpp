#include "UnitSchedule.h"

#include "UnitGo.h"
#include "platform/DateTime.h"

namespace companion {

TSchedule::TSchedule(TGlobalObject& owner) : Timer(std::make_unique<QTimer>()), owner_(owner) {
    Timer->setInterval(Interval);
    QObject::connect(Timer.get(), &QTimer::timeout, Timer.get(), [this] { OnTimer(); });
    Timer->start();
}

TSchedule::~TSchedule() = default;

int TSchedule::OnTimer() {
    TTaskSource& tasks = *owner_.Tasks;
    // One moment for the whole tick: the due test and the LastRun it leads to agree to the millisecond.
    const TDateTime now = Now();
    for (int i = 0; i < tasks.Count(); ++i) {
        TTimePeriod& period = tasks.Period(i);
        if (period.IsTimeToRun(now) && tasks.IsActive(i)) {
            // In memory only: the backup program owns the task file and brings its own LastRun at the next reread.
            period.LastRun = now;
            StartBackupProgram(owner_.ProgramDir);
            return i;
        }
    }
    if (++IdleTicks >= IdleTicksPerReread) {
        IdleTicks = 0;
        owner_.LoadTasks();
    }
    return -1;
}

} // namespace companion
