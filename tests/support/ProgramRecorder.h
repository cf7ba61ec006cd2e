#pragma once

#include <chrono>
#include <string>
#include <vector>

// A stand-in program for tests that start other programs: a small shell script that appends one line per start to
// a record file, "<working folder>|<argument 1>|<argument 2>...". One write per line, so starts that overlap do
// not mix their lines.
void WriteRecordingProgram(const std::string& programPath, const std::string& recordPath);

// The record's lines once it holds at least `count` of them, or whatever it holds when the timeout ends.
std::vector<std::string> WaitForRecordLines(const std::string& recordPath, std::size_t count,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
