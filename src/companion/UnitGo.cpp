#include "UnitGo.h"

#include "UnitSchedule.h"
#include "core/app/TaskFile.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace companion {

namespace {
TGlobalObject* TheGlobalObject = nullptr;
}

TGlobalObject::TGlobalObject(std::string programDir) : ProgramDir(std::move(programDir)) {
    Schedule = std::make_unique<TSchedule>(*this);
}

TGlobalObject::~TGlobalObject() {
    Schedule.reset();
    if (TheGlobalObject == this) {
        TheGlobalObject = nullptr;
    }
}

void TGlobalObject::LoadTasks() {
    // The reader swallows what goes wrong in the file; anything else must not reach the event loop either.
    try {
        ReadTaskFile(ProgramDir + TaskFileName, nullptr, Tasks);
    } catch (...) {
    }
}

TGlobalObject* CreateGlobalObject(std::string programDir) {
    if (TheGlobalObject == nullptr) {
        TheGlobalObject = new TGlobalObject(std::move(programDir));
    }
    return TheGlobalObject;
}

TGlobalObject* GetGlobalObject() {
    return CreateGlobalObject(ProgramDirectory());
}

void DestroyGlobalObject() {
    delete TheGlobalObject; // its destructor clears the pointer
}

void StartBackupProgram(const std::string& programDir) {
    StartProgram(programDir + BackupProgramName, {"run"}, programDir);
}

} // namespace companion
