#pragma once

// Registers the companion to start at logon with the path it was started from this time and the word "autorun"
// (true), or removes that registration (false). A failure changes nothing and is not reported.
void SetAutoStart(bool value);
