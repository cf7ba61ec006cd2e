#pragma once

#include "core/tasks/UnitTime.h"

#include <cstdint>
#include <memory>
#include <string>

// The companion's own application object. The backup program's one holds a log, a worker, an FTP connection and
// windows that the companion has no use for; the companion's holds the tasks, its folder and its timer. Both
// programs link the same core, so the companion's classes live in a namespace of their own.
namespace companion {

// The tasks as the companion sees them: read from "files.lst" in its folder and never written back. The timer
// needs only each task's Active flag and its schedule rule, whose LastRun it sets in memory.
class TTaskSource {
public:
    virtual ~TTaskSource() = default;
    // Drops every task and reads the file again. A missing file gives no tasks; an error while reading is
    // swallowed and keeps the tasks read before it.
    virtual void Reload() = 0;
    virtual int Count() const = 0;
    virtual bool IsActive(int index) const = 0;
    virtual TTimePeriod& Period(int index) = 0;
};

// The task source over "files.lst" in `programDir` (UnitTaskFile).
std::unique_ptr<TTaskSource> MakeTaskFileSource(const std::string& programDir);

class TSchedule;

class TGlobalObject {
public:
    // Starts the schedule timer; the tasks stay empty until LoadTasks.
    TGlobalObject(std::string programDir, std::unique_ptr<TTaskSource> tasks);
    // Stops the timer first, so no tick sees a half-destroyed object.
    ~TGlobalObject();
    TGlobalObject(const TGlobalObject&) = delete;
    TGlobalObject& operator=(const TGlobalObject&) = delete;

    // Reads "files.lst" again, replacing every task; never fails.
    void LoadTasks();

    std::unique_ptr<TTaskSource> Tasks;
    std::int32_t Current = -1; // never changed here
    std::string ProgramDir;    // the companion's own folder, with a trailing "/"
    std::unique_ptr<TSchedule> Schedule;
};

// The one application object, made at the first call from the program's own folder and "files.lst" there.
TGlobalObject* GetGlobalObject();
// Makes the one application object from the given parts unless it exists already (which is then returned as it
// is); lets a test choose the folder and the tasks.
TGlobalObject* CreateGlobalObject(std::string programDir, std::unique_ptr<TTaskSource> tasks);
// Deletes the application object and its timer; the next GetGlobalObject makes a new one.
void DestroyGlobalObject();

// The name of the backup program in the companion's folder.
inline constexpr const char* BackupProgramName = "CorvaneBackUp";
// Starts the backup program from `programDir` with "run", in that folder. Whether it started is not looked at:
// the schedule rule keeps the task from being tried again at once.
void StartBackupProgram(const std::string& programDir);

} // namespace companion
