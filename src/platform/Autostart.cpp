#include "Autostart.h"

#include "Exceptions.h"
#include "Paths.h"
#include "ProgramFile.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace {

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

// A path as one quoted argument of an Exec line. Inside the quotes '"', '`', '$' and '\' take a backslash; then
// the string escaping of entry values doubles every backslash; '%' would start a field code and is doubled.
std::string QuoteExecArgument(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
        case '`':
        case '$':
            quoted += "\\\\";
            quoted += c;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        default:
            quoted += c;
        }
    }
    return quoted + "\"";
}

bool IsPlainWord(const std::string& text) {
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || c == '/';
        if (!plain) {
            return false;
        }
    }
    return !text.empty();
}

// A plain value of the entry (the Name line): backslashes doubled.
std::string EscapeValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '\\') {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

std::string AutostartFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return IncludeTrailingPathDelimiter(config) + "autostart/";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return IncludeTrailingPathDelimiter(home) + ".config/autostart/";
    }
    return "";
}

bool WriteAutostartEntry(const std::string& name, const std::string& programPath, const std::string& argument) {
    const std::string folder = AutostartFolder();
    if (folder.empty() || name.empty() || name.find('/') != std::string::npos || HasControlCharacter(name) ||
        HasControlCharacter(programPath) || HasControlCharacter(argument) || !ForceDirectories(folder)) {
        return false;
    }
    const std::string text = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=" +
                             EscapeValue(name) +
                             "\n"
                             "Exec=" +
                             QuoteExecArgument(programPath) + " " +
                             (IsPlainWord(argument) ? argument : QuoteExecArgument(argument)) +
                             "\n"
                             "Terminal=false\n";
    try {
        TProgramFileRules rules;
        rules.Mode = 0644;
        TProgramFile entry(folder + name + ".desktop", rules);
        entry.Stream().WriteBuffer(text.data(), text.size());
        entry.Commit();
    } catch (const Exception&) {
        return false;
    }
    return true;
}

bool RemoveAutostartEntry(const std::string& name) {
    const std::string folder = AutostartFolder();
    if (folder.empty() || name.empty() || name.find('/') != std::string::npos) {
        return false;
    }
    const std::string path = folder + name + ".desktop";
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}
