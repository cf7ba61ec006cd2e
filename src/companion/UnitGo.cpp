#include "UnitGo.h"

#include "UnitSchedule.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace companion {

namespace {
TGlobalObject* TheGlobalObject = nullptr;
}

TGlobalObject::TGlobalObject(std::string programDir, std::unique_ptr<TTaskSource> tasks)
    : Tasks(std::move(tasks)), ProgramDir(std::move(programDir)) {
    Schedule = std::make_unique<TSchedule>(*this);
}

TGlobalObject::~TGlobalObject() {
    Schedule.reset();
    if (TheGlobalObject == this) {
        TheGlobalObject = nullptr;
    }
}

void TGlobalObject::LoadTasks() {
    // Reading the task file never disturbs the companion: whatever goes wrong, the next reread tries again.
    try {
        Tasks->Reload();
    } catch (...) {
    }
}

TGlobalObject* CreateGlobalObject(std::string programDir, std::unique_ptr<TTaskSource> tasks) {
    if (TheGlobalObject == nullptr) {
        TheGlobalObject = new TGlobalObject(std::move(programDir), std::move(tasks));
    }
    return TheGlobalObject;
}

TGlobalObject* GetGlobalObject() {
    if (TheGlobalObject == nullptr) {
        const std::string programDir = ProgramDirectory();
        CreateGlobalObject(programDir, MakeTaskFileSource(programDir));
    }
    return TheGlobalObject;
}

void DestroyGlobalObject() {
    delete TheGlobalObject; // its destructor clears the pointer
}

void StartBackupProgram(const std::string& programDir) {
    StartProgram(programDir + BackupProgramName, {"run"}, programDir);
}

} // namespace companion
