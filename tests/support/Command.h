#pragma once

#include <string>

// Runs a shell command, returning its standard output; the exit status goes to *status when given.
std::string RunCommand(const std::string& command, int* status = nullptr);
// Quotes a text for the shell.
std::string ShellQuote(const std::string& text);
