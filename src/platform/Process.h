#pragma once

#include <string>
#include <vector>

// Starts a program that lives on by itself: not our child, not waited for, still running when we end. The
// arguments reach it as they are (no shell), and it starts in `workingDirectory`. True when it was started; a
// missing program or folder gives false.
bool StartProgram(const std::string& path, const std::vector<std::string>& arguments,
                  const std::string& workingDirectory);

// The full path of the running executable, as the program was started from it.
std::string ProgramFile();
