#pragma once

#include "core/app/CoreWindows.h"
#include "core/log/UnitLog.h"
#include "core/net/UnitFTP.h"
#include "core/tasks/UnitGroups.h"
#include "platform/StateFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TPool;
class TSchedule;

// How the application object is made. Set before the first GetGlobalObject; it applies to every object made
// after it.
struct TGlobalObjectOptions {
    // The main window's side (not owned; must outlive the object). Null: no task rows, no log box, and windows
    // that only keep their state, for running without a user interface.
    ICoreWindows* Windows = nullptr;
    // Where "files.lst", "ftpbackup.stg" and "Backup.log" lie. Empty: the folder of the running program.
    std::string ProgramDir;
};

// The backup program's one application object: the tasks, the program folder, the log, the worker, the schedule
// timer, the FTP connection, the progress and wait windows, and the flags by which a run, the worker and the
// windows coordinate. Made by GetGlobalObject, taken down by DestroyGlobalObject. Every field is written on the
// main thread; the worker only reads Busy.
class TGlobalObject {
public:
    TGlobalObject(const TGlobalObject&) = delete;
    TGlobalObject& operator=(const TGlobalObject&) = delete;

    // The current task becomes the first position of `task` in Tasks, or -1 when it is not there.
    void SelectTask(const TGroup* task);
    // Replaces the progress window by a new one, shown.
    void ShowSendWindow();
    // Shows the wait window and sets Busy, unless a progress window is visible (then nothing changes). Used in
    // pairs with EndWait around a long operation on the main thread; they do not nest.
    void BeginWait();
    // Without a wait window nothing; otherwise clears Busy (whoever set it) and closes and destroys the window.
    void EndWait();

    // What the progress window's STOP button does: the run ends at its next step, and the window goes with the
    // caption "Stopping......".
    void StopRun();
    // The run is to end at its next step: STOP was pressed, or a termination signal came (seen the moment it
    // arrives, before the event loop gets to close the window).
    bool StopRequested() const;

    // The main window lists the server's backups again.
    void FillServerTree();

    // "files.lst" from the task list, replaced only once the new file is written whole. Raises an Exception naming
    // the file (the old file stays) when it cannot be written, and EStateFileRefused when the file could not be
    // read at start.
    void SaveTasks();
    // Appends the tasks of "files.lst"; a missing or damaged file is not reported (see ReadTaskFile). A file that
    // is there but cannot be read adds nothing and is never written by this object (see UnreadableStateFiles).
    void LoadTasks();
    // "ftpbackup.stg" from the FTP connection's settings. A failure keeps the old file and is logged, naming the
    // file not saved; a file that could not be read at start is left as it was without a word (it was named then).
    void SaveSettings();
    // The FTP settings from "ftpbackup.stg"; a missing file keeps the defaults, a damaged one the fields read
    // before the damage, one that cannot be read at all the defaults (and is never written by this object).
    void LoadSettings();
    // One text for each state file ("files.lst", "ftpbackup.stg", "Backup.log") that was there but could not be
    // read: which, why, that it is left as it was and what to look at. Such a file is never replaced or removed while
    // this object lives, so that a passing fault (a mode, an owner, a folder in its place) never costs the user its
    // content.
    std::vector<std::string> UnreadableStateFiles() const;

    std::unique_ptr<IWaitWindow> WaitWindow;
    // The progress window of the current or last run; none before the first run.
    std::unique_ptr<ISendWindow> SendWindow;
    // In the order of "files.lst" and of the task list rows.
    std::vector<std::unique_ptr<TGroup>> Tasks;
    // Index into Tasks of the task shown in the main window; -1 for none.
    std::int32_t CurrentTask = -1;
    // Ends with "/".
    std::string ProgramDir;
    // Set by STOP, cleared when a run starts; the run reads it through StopRequested.
    std::atomic<bool> Stop{false};
    // Set while a run, a restore, a backup deletion or a wait window is in progress: the worker starts no job and
    // the main window does not close.
    std::atomic<bool> Busy{false};
    std::unique_ptr<TPool> Pool;
    std::unique_ptr<TLog> Log;
    std::unique_ptr<TSchedule> Schedule;
    std::unique_ptr<TFTPconnection> FTP;
    // Bytes of the current run's listing, the divisor of the progress bar.
    std::int64_t RunByteTotal = 0;
    // What the current run's listing left out (each named in the log): folders and files it could not read, entries
    // it refused. They are missing from the backup, so the run cannot count as a success.
    std::int32_t RunListingErrors = 0;
    // The main window's task list, given to the tasks the loader makes; may be null.
    ITaskListView* GroupsList = nullptr;

private:
    explicit TGlobalObject(const TGlobalObjectOptions& options);
    ~TGlobalObject();
    friend TGlobalObject* GetGlobalObject();
    friend void DestroyGlobalObject();

    ICoreWindows* windows_ = nullptr;
    std::unique_ptr<ICoreWindows> headless_;
    // "files.lst" and "ftpbackup.stg", each refused for writing when it could not be read.
    TStateFile tasksFile_;
    TStateFile settingsFile_;
    // The text of the last save of "files.lst" that failed; empty after one that succeeded.
    std::string tasksSaveFailure_;
};

// Removes what saves of the state files that were killed before their end left beside them (see
// TProgramFile::RemoveLeftovers). Only while the program folder's lock is held: no other copy can be saving then.
void RemoveStateFileLeftovers(const std::string& programDir);

// Raises std::logic_error while an application object exists.
void SetGlobalObjectOptions(const TGlobalObjectOptions& options);
// The application object, made at the first call (main thread). The object is recorded only once its
// construction is over: a call made while it is being constructed raises std::logic_error.
TGlobalObject* GetGlobalObject();
// Takes the object down, as the main window's close does; the next GetGlobalObject makes a new one. While it is
// being taken down, GetGlobalObject still returns it.
void DestroyGlobalObject();
