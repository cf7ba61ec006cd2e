#pragma once

#include <functional>

// Turns SIGTERM, SIGINT and SIGHUP into a call on the main thread's event loop, so that the end of the desktop
// session or a kill ends a program the way closing its window does (tasks saved, log written) instead of cutting
// it off. Needs the application instance; the handler runs once per signal received. Main thread only.
void OnTerminationSignal(std::function<void()> handler);
