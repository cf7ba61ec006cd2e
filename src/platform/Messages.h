#pragma once

// Lets the events waiting for the main thread run now: painting, timers and the STOP button of a long operation
// that holds the main thread. Does nothing when the program has no application instance (tests, tools). Main
// thread only.
void ProcessMessages();
