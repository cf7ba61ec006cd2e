#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

// Runs a shell command, returning its standard output; the exit status goes to *status when given.
std::string RunCommand(const std::string& command, int* status = nullptr);
// Quotes a text for the shell.
std::string ShellQuote(const std::string& text);

// Runs body in a forked child and returns its result (0..255), or -1 when it died or overran the deadline. For
// what must not touch this process: resource limits, a write cut off half way.
int RunInChild(const std::function<int()>& body, int timeoutSeconds = 120);
// Waits for pid until the deadline, then kills it; returns the exit status or -1.
int WaitBounded(pid_t pid, std::chrono::steady_clock::time_point deadline);
