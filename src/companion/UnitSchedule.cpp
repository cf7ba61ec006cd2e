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
    // One moment for the whole tick: the due test and the LastRun it leads to agree to the millisecond.
    const TDateTime now = Now();
    for (std::size_t i = 0; i < owner_.Tasks.size(); ++i) {
        TGroupInfo& info = *owner_.Tasks[i]->Info;
        if (info.Period->IsTimeToRun(now) && info.Active != 0) {
            // In memory only: the backup program owns the task file and brings its own LastRun at the next reread.
            info.Period->LastRun = now;
            StartBackupProgram(owner_.ProgramDir);
            return static_cast<int>(i);
        }
    }
    if (++IdleTicks >= IdleTicksPerReread) {
        IdleTicks = 0;
        owner_.Tasks.clear();
        owner_.LoadTasks();
    }
    return -1;
}

} // namespace companion
