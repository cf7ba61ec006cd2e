#pragma once

#include "core/app/TaskFile.h"
#include "core/tasks/UnitGroups.h"
#include "platform/DateTime.h"

#include <QApplication>

#include <memory>
#include <string>
#include <vector>

// The widgets need an application object; one per test program, never destroyed.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "companion_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// A task as the tests store it in "files.lst": daily at a time of day, last run the day before.
struct StoredTask {
    std::string Name;
    bool Active = true;
    TTimePeriod Period;
};

inline StoredTask DailyTask(const std::string& name, TDateTime day, TDateTime at, bool active = true) {
    StoredTask task;
    task.Name = name;
    task.Active = active;
    task.Period.Type = TTimePeriod::Daily;
    task.Period.DailyEveryN = 1;
    task.Period.StartDate = day - 30;
    task.Period.At = at;
    task.Period.LastRun = day - 1 + at;
    return task;
}

// "files.lst" in `programDir` written by the backup program's own writer.
inline void WriteTasks(const std::string& programDir, const std::vector<StoredTask>& stored) {
    std::vector<std::unique_ptr<TGroup>> tasks;
    for (const StoredTask& item : stored) {
        auto task = std::make_unique<TGroup>();
        task->Name = item.Name;
        task->Info->Active = item.Active ? 1 : 0;
        *task->Info->Period = item.Period;
        tasks.push_back(std::move(task));
    }
    WriteTaskFile(programDir + TaskFileName, tasks);
}

inline std::vector<std::unique_ptr<TGroup>> ReadTasks(const std::string& programDir) {
    std::vector<std::unique_ptr<TGroup>> tasks;
    ReadTaskFile(programDir + TaskFileName, nullptr, tasks);
    return tasks;
}
