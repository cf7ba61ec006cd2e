#include "Unitstartup.h"

#include "platform/Autostart.h"
#include "platform/Process.h"

namespace {
constexpr const char* EntryName = "Ploverly";
}

void SetAutoStart(bool value) {
    if (value) {
        WriteAutostartEntry(EntryName, ProgramFile(), "autorun");
    } else {
        RemoveAutostartEntry(EntryName);
    }
}
