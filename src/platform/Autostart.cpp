#include "Autostart.h"

#include "Descriptor.h"
#include "Exceptions.h"
#include "Paths.h"
#include "ProgramFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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

// The configuration folder ($XDG_CONFIG_HOME, else ~/.config) without a trailing "/", "" when none is known.
std::string ConfigFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return ExcludeTrailingPathDelimiter(config);
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return IncludeTrailingPathDelimiter(home) + ".config";
    }
    return "";
}

// The folder `piece` in the folder open as `at`: made when missing and `make` is set (its folder's owner's, so that a
// start as root with the user's home leaves the user's configuration folders the user's), entered through a
// symbolic link only as MayFollowLink allows, the link read through the descriptor whose owner was looked at. Not
// open when it cannot be reached.
TDescriptor EnterFolder(const TDescriptor& at, const std::string& piece, bool make) {
    constexpr int Flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    TDescriptor held(::openat(at.Get(), piece.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!held.IsOpen()) {
        if (errno != ENOENT || !make) {
            return {};
        }
        const bool made = ::mkdirat(at.Get(), piece.c_str(), 0777) == 0;
        TDescriptor folder(::openat(at.Get(), piece.c_str(), Flags | O_NOFOLLOW));
        if (made && folder.IsOpen()) {
            GiveFolderOwner(folder.Get(), at.Get());
        }
        return folder;
    }
    struct stat st {};
    if (::fstat(held.Get(), &st) != 0) {
        return {};
    }
    if (S_ISDIR(st.st_mode)) {
        return held;
    }
    // Each refusal says why in errno, as a failed call would: a caller tells "nothing there" from the rest.
    if (!S_ISLNK(st.st_mode)) {
        errno = ENOTDIR;
        return {};
    }
    const std::optional<std::string> target = ReadPermittedLink(held.Get(), st, at.Get());
    if (!target) {
        return {};
    }
    // A relative target from the link's own folder; the folders that the target names are the system's to follow.
    return TDescriptor(::openat(at.Get(), target->c_str(), Flags));
}

// The autostart folder by descriptor, reached from the folder that holds the configuration folder (the home folder,
// by default) one piece at a time, each looked at through the descriptor of the one before (see EnterFolder). Not
// open when it cannot be reached.
TDescriptor OpenAutostartFolder(const std::string& config, bool make) {
    TDescriptor folder(::open(ExtractFilePath(config).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& piece : {ExtractFileName(config), std::string("autostart")}) {
        if (!folder.IsOpen()) {
            return {};
        }
        folder = EnterFolder(folder, piece, make);
    }
    return folder;
}

} // namespace

std::string AutostartFolder() {
    const std::string config = ConfigFolder();
    return config.empty() ? "" : config + "/autostart/";
}

bool WriteAutostartEntry(const std::string& name, const std::string& programPath, const std::string& argument) {
    const std::string config = ConfigFolder();
    if (config.empty() || name.empty() || name.find('/') != std::string::npos || HasControlCharacter(name) ||
        HasControlCharacter(programPath) || HasControlCharacter(argument)) {
        return false;
    }
    const TDescriptor folder = OpenAutostartFolder(config, true);
    if (!folder.IsOpen()) {
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
        // Named through the descriptor of the folder that was checked, never looked up by its path again; a link at
        // the entry's own name is saved through as MayFollowLink allows.
        TProgramFile entry("/proc/self/fd/" + std::to_string(folder.Get()) + "/" + name + ".desktop", rules);
        entry.Stream().WriteBuffer(text.data(), text.size());
        entry.Commit();
    } catch (const Exception&) {
        return false;
    }
    return true;
}

bool RemoveAutostartEntry(const std::string& name) {
    const std::string config = ConfigFolder();
    if (config.empty() || name.empty() || name.find('/') != std::string::npos) {
        return false;
    }
    // Only where an entry could have been written: never in a folder that another user's link leads to.
    const TDescriptor folder = OpenAutostartFolder(config, false);
    if (!folder.IsOpen()) {
        return errno == ENOENT;
    }
    const std::string entry = name + ".desktop";
    return ::unlinkat(folder.Get(), entry.c_str(), 0) == 0 || errno == ENOENT;
}
