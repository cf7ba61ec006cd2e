#include "UnitGo.h"

#include "Encryption.h"
#include "TaskFile.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "core/worker/UnitSchedule.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "platform/TerminationSignals.h"

#include <optional>
#include <stdexcept>

namespace {

constexpr const char* SettingsFileName = "ftpbackup.stg";
constexpr const char* SettingsPassPhrase = "SaveIntoBlockRow74";

// Windows for running without a user interface: they keep the state that the run and the wait logic read back.
class THeadlessSendWindow : public ISendWindow {
public:
    void Show() override { visible_ = true; }
    void Hide() override { visible_ = false; }
    bool IsVisible() const override { return visible_; }
    void SetCaption(const std::string&) override {}
    void SetProgress(int) override {}

private:
    bool visible_ = false;
};

class THeadlessWaitWindow : public IWaitWindow {
public:
    void Show() override {}
    void Close() override {}
    void RepaintNow() override {}
};

class THeadlessWindows : public ICoreWindows {
public:
    ITaskListView* TaskListView() override { return nullptr; }
    ILogBox* LogBox() override { return nullptr; }
    std::unique_ptr<ISendWindow> CreateSendWindow() override { return std::make_unique<THeadlessSendWindow>(); }
    std::unique_ptr<IWaitWindow> CreateWaitWindow() override { return std::make_unique<THeadlessWaitWindow>(); }
    void FillServerTree() override {}
};

TGlobalObjectOptions globalOptions;
// Written on the main thread only; the worker thread reads it, hence atomic.
std::atomic<TGlobalObject*> globalObject{nullptr};
bool constructing = false;

} // namespace

TGlobalObject::TGlobalObject(const TGlobalObjectOptions& options)
    : ProgramDir(options.ProgramDir.empty() ? ProgramDirectory() : IncludeTrailingPathDelimiter(options.ProgramDir)),
      windows_(options.Windows), tasksFile_(ProgramDir + TaskFileName), settingsFile_(ProgramDir + SettingsFileName) {
    if (windows_ == nullptr) {
        headless_ = std::make_unique<THeadlessWindows>();
        windows_ = headless_.get();
    }
    GroupsList = windows_->TaskListView();
    // Made in this order: the worker, the log, the schedule timer, the FTP connection with its default settings.
    // The worker comes first so that the log can carry its box updates through it. The log reads "Backup.log"
    // and must not reach for the application object, which is recorded only once this constructor has returned.
    Pool = std::make_unique<TPool>(Busy, [](TGroup& task) {
        task.DoBackup();
        task.SendAlert();
    });
    Log = std::make_unique<TLog>(windows_->LogBox(), ProgramDir, Pool.get());
    Schedule = std::make_unique<TSchedule>();
    FTP = std::make_unique<TFTPconnection>();
    CurrentTask = -1;
    Busy = false;
}

TGlobalObject::~TGlobalObject() {
    // Saving the tasks and the FTP settings comes first, while everything it reads is alive. A failed save must
    // not stop the steps below: the log is still to be written and the program to end cleanly. A file refused since
    // the start was named then, and a failure that the close of the window has just told is not told twice.
    const std::string told = tasksSaveFailure_;
    try {
        SaveTasks();
    } catch (const EStateFileRefused&) {
    } catch (const std::exception& error) {
        if (error.what() != told) {
            Log->Add(std::string("Error: ") + error.what());
        }
    }
    SaveSettings();
    // The worker goes before the schedule, the log and the windows: a job it has already taken runs to its end
    // and finds them alive. The log stops using it before it goes.
    if (Log) {
        Log->SetSyncCall(nullptr);
    }
    Pool.reset();
    // Then the schedule timer, so that no tick queues anything more, and the FTP connection, whose closing lines
    // still reach the log.
    Schedule.reset();
    FTP.reset();
    Log.reset(); // adds "Program stoped." and writes "Backup.log"
    SendWindow.reset();
    if (WaitWindow) {
        WaitWindow->Close();
        WaitWindow.reset();
    }
    // Last the tasks, whose rows leave the main window's task list, which is still there.
    Tasks.clear();
}

void TGlobalObject::SelectTask(const TGroup* task) {
    CurrentTask = -1;
    for (std::size_t i = 0; i < Tasks.size(); ++i) {
        if (Tasks[i].get() == task) {
            CurrentTask = static_cast<std::int32_t>(i);
            return;
        }
    }
}

void TGlobalObject::ShowSendWindow() {
    // The old window goes first, so that there is never more than one.
    SendWindow.reset();
    SendWindow = windows_->CreateSendWindow();
    SendWindow->Show();
}

void TGlobalObject::BeginWait() {
    // A run shows its own progress; a wait box on top of it would hide the STOP button.
    if (SendWindow && SendWindow->IsVisible()) {
        return;
    }
    Busy = true;
    // A second BeginWait without EndWait keeps the one box, which the one EndWait then removes.
    if (WaitWindow) {
        return;
    }
    WaitWindow = windows_->CreateWaitWindow();
    WaitWindow->Show();
    // Drawn now: the operation that follows holds the main thread, and nothing paints until it ends.
    WaitWindow->RepaintNow();
}

void TGlobalObject::EndWait() {
    if (!WaitWindow) {
        return;
    }
    Busy = false;
    WaitWindow->Close();
    WaitWindow.reset();
}

void TGlobalObject::StopRun() {
    Stop = true;
    if (SendWindow) {
        SendWindow->SetCaption("Stopping......");
        SendWindow->Hide();
    }
}

bool TGlobalObject::StopRequested() const {
    return Stop || TerminationRequested();
}

void TGlobalObject::FillServerTree() {
    windows_->FillServerTree();
}

void TGlobalObject::SaveTasks() {
    try {
        WriteTaskFile(tasksFile_, Tasks);
    } catch (const EStateFileRefused&) {
        throw;
    } catch (const std::exception& error) {
        tasksSaveFailure_ = error.what();
        throw;
    }
    tasksSaveFailure_.clear();
}

void TGlobalObject::LoadTasks() {
    // Once unreadable, never written by this object, even when a later load could read it.
    const std::string reason = ReadTaskFile(tasksFile_.Path(), GroupsList, Tasks);
    if (!reason.empty()) {
        tasksFile_.SetUnreadable(reason);
    }
}

void TGlobalObject::SaveSettings() {
    try {
        TMemoryStream plain;
        FTP->SaveToStream(plain);
        // The file holds the FTP and proxy passwords.
        WriteEncryptedFile(settingsFile_, plain, SettingsPassPhrase);
    } catch (const EStateFileRefused&) {
        // Named at start; the file stays as it was.
    } catch (const std::exception& error) {
        // The previous file stays; the settings typed since the start are lost, and the user is to know why.
        Log->Add(std::string("Error: ") + error.what());
    }
}

void TGlobalObject::LoadSettings() {
    std::optional<TMemoryStream> plain;
    try {
        plain = ReadEncryptedFile(settingsFile_.Path(), SettingsPassPhrase);
    } catch (const std::exception& error) {
        settingsFile_.SetUnreadable(error.what());
        return;
    }
    if (!plain) {
        return;
    }
    try {
        FTP->LoadFromStream(*plain);
    } catch (const std::exception&) {
        // The fields read before the damage keep their new values; the rest keep the defaults.
    }
}

std::vector<std::string> TGlobalObject::UnreadableStateFiles() const {
    std::vector<std::string> texts;
    for (const TStateFile* file : {&tasksFile_, &settingsFile_, &Log->File()}) {
        if (!file->Unreadable().empty()) {
            texts.push_back(file->UnreadableText());
        }
    }
    return texts;
}

void RemoveStateFileLeftovers(const std::string& programDir) {
    for (const char* name : {TaskFileName, SettingsFileName, LogFileName}) {
        TProgramFile::RemoveLeftovers(programDir + name);
    }
}

void SetGlobalObjectOptions(const TGlobalObjectOptions& options) {
    if (globalObject.load() != nullptr || constructing) {
        throw std::logic_error("The application object's options are set before it is made");
    }
    globalOptions = options;
}

TGlobalObject* GetGlobalObject() {
    if (TGlobalObject* object = globalObject.load(std::memory_order_acquire)) {
        return object;
    }
    // Anything the constructor makes that reached for the object would make a second one, without end.
    if (constructing) {
        throw std::logic_error("The application object is used while it is being made");
    }
    constructing = true;
    TGlobalObject* object = nullptr;
    try {
        object = new TGlobalObject(globalOptions);
    } catch (...) {
        constructing = false;
        throw;
    }
    constructing = false;
    globalObject.store(object, std::memory_order_release);
    return object;
}

void DestroyGlobalObject() {
    TGlobalObject* object = globalObject.load(std::memory_order_acquire);
    if (object == nullptr) {
        return;
    }
    // Still returned by the accessor while it goes, for the steps that finish inside its destruction.
    delete object;
    globalObject.store(nullptr, std::memory_order_release);
}
