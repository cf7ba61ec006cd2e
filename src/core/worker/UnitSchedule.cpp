#include "UnitSchedule.h"

#include "UnitPoolOfProcess.h"
#include "core/app/UnitGo.h"

#include <QCoreApplication>

TSchedule::TSchedule() {
    Timer.setInterval(4000);
    connect(&Timer, &QTimer::timeout, this, &TSchedule::OnTimer);
    // Without an application there is no event loop to tick it (tools and tests that only use the core).
    if (QCoreApplication::instance() != nullptr) {
        Timer.start();
    }
}

void TSchedule::OnTimer() {
    TGlobalObject* object = GetGlobalObject();
    for (const auto& task : object->Tasks) {
        if (task->Info->Active == 0) {
            continue;
        }
        TTimePeriod& rule = *task->Info->Period;
        const TDateTime now = Now();
        if (rule.IsTimeToRun(now)) {
            rule.LastRun = now;
            object->Pool->AddJob(task.get(), 1);
        }
    }
}
