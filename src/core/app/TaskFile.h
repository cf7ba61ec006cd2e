#pragma once

#include "core/tasks/UnitGroups.h"
#include "platform/StateFile.h"

#include <memory>
#include <string>
#include <vector>

// "files.lst": a 32-bit task count and the task records one after another, encrypted as a whole under a fixed
// pass phrase. Both programs read it through ReadTaskFile; only the backup program writes it.

inline constexpr const char* TaskFileName = "files.lst";
inline constexpr const char* TaskFilePassPhrase = "SaveIntoListCore41";

// Appends the tasks of the file at `path` to `tasks`, their rows in `owner` (may be null). A missing file adds
// nothing. Damage ends the reading silently: the tasks read until then stay, the one being read as far as it was
// read; nothing is read past the data and a damaged count allocates nothing. Returns why a file that is there
// could not be read at all (it adds nothing then); empty when it was read, damaged or not, or is not there.
std::string ReadTaskFile(const std::string& path, ITaskListView* owner, std::vector<std::unique_ptr<TGroup>>& tasks);

// Replaces the file with the tasks, as WriteEncryptedFile writes a state file. The old file is replaced only once
// the new one is written whole; a refusal or a failure is raised and keeps the old file.
void WriteTaskFile(TStateFile& file, const std::vector<std::unique_ptr<TGroup>>& tasks);
// The same for the file at `path`, which nothing has refused.
void WriteTaskFile(const std::string& path, const std::vector<std::unique_ptr<TGroup>>& tasks);
