#pragma once

#include "core/tasks/UnitGroups.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The companion's own application object. The backup program's one holds a log, a worker, an FTP connection and
// windows that the companion has no use for; the companion's holds the tasks, its folder and its timer. Both
// programs link the same core, so the companion's classes live in a namespace of their own.
namespace companion {

class TSchedule;

class TGlobalObject {
public:
    // Starts the schedule timer; the task list stays empty until LoadTasks.
    explicit TGlobalObject(std::string programDir);
    // Stops the timer first, so no tick sees a half-destroyed object.
    ~TGlobalObject();
    TGlobalObject(const TGlobalObject&) = delete;
    TGlobalObject& operator=(const TGlobalObject&) = delete;

    // Appends the tasks of "files.lst" in ProgramDir through the reader the backup program uses. Never fails: a
    // missing file adds nothing, damage keeps what was read before it. The companion never writes the file.
    void LoadTasks();

    // The tasks in file order, without list rows; only their Active flags and schedule rules are used here.
    std::vector<std::unique_ptr<TGroup>> Tasks;
    std::int32_t Current = -1; // never changed here
    std::string ProgramDir;    // the companion's own folder, with a trailing "/"
    std::unique_ptr<TSchedule> Schedule;
};

// The one application object, made at the first call for the program's own folder.
TGlobalObject* GetGlobalObject();
// Makes the one application object for `programDir` unless it exists already (which is then returned as it is);
// lets a test choose the folder.
TGlobalObject* CreateGlobalObject(std::string programDir);
// Deletes the application object and its timer; the next GetGlobalObject makes a new one.
void DestroyGlobalObject();

// The name of the backup program in the companion's folder.
inline constexpr const char* BackupProgramName = "CorvaneBackUp";
// Starts the backup program from `programDir` with "run", in that folder. Whether it started is not looked at:
// the schedule rule keeps the task from being tried again at once.
void StartBackupProgram(const std::string& programDir);

} // namespace companion
