#pragma once

#include <chrono>
#include <functional>

// A Qt application object for tests that need an event loop (made once per test program; GUI-less).
void EnsureCoreApplication();
// Runs the event loop until `done` holds or the time is up; returns `done()`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
// Runs the event loop for a while.
void PumpFor(std::chrono::milliseconds duration);
