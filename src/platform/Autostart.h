#pragma once

#include <string>

// Start at logon through the desktop's autostart folder: an entry "<name>.desktop" in $XDG_CONFIG_HOME/autostart
// (~/.config/autostart when the variable is unset or not an absolute path).

// The autostart folder with a trailing "/", "" when neither the variable nor a home folder is known.
std::string AutostartFolder();

// Writes the entry that starts `programPath` with `argument` at logon: its Exec line is the quoted path, a blank
// and the argument (bare when it is a plain word, else quoted too). The entry replaces any earlier one whole (never
// half written). False when it cannot be written, or when the path or argument holds a control character that no entry
// line can carry.
bool WriteAutostartEntry(const std::string& name, const std::string& programPath, const std::string& argument);

// Removes the entry; true when it is gone afterwards (also when there was none).
bool RemoveAutostartEntry(const std::string& name);
