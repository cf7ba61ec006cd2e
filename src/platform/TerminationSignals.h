#pragma once

#include <functional>

// Turns SIGTERM, SIGINT and SIGHUP into a call on the main thread's event loop, so that the end of the desktop
// session or a kill ends a program the way closing its window does (tasks saved, log written) instead of cutting
// it off. Needs the application instance; the handler runs at least once after signals are received (signals that
// come faster than the loop takes them may be counted as one). Main thread only.
void OnTerminationSignal(std::function<void()> handler);

// True from the moment one of those signals reached the process (once OnTerminationSignal took them over), before
// the event loop has seen it: work that runs long without the loop (packing a file, the steps of a run) tests this
// and ends at once, as after STOP. Safe from any thread.
bool TerminationRequested();

// A write past the file size limit (ulimit -f) then fails with EFBIG, as on a full disk, instead of ending the
// process with SIGXFSZ: a save that cannot be made keeps the old file and is named, and the saves after it, the log
// among them, still happen. Called first thing in main; the programs this one starts are ours and want the same.
void IgnoreFileSizeLimitSignal();
