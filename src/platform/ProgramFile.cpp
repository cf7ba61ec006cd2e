#include "ProgramFile.h"

#include "Exceptions.h"
#include "Paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The letters and the length of mkostemp's "XXXXXX".
constexpr char NameLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t RandomLength = 6;
constexpr std::string_view ReplacementSuffix = ".tmp";

std::string RandomPiece() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::string piece;
    for (std::size_t i = 0; i < RandomLength; ++i) {
        piece += NameLetters[random() % (sizeof NameLetters - 1)];
    }
    return piece;
}

// What a replacement of `name` is called before the random piece: "<name>." where the whole name fits the
// file-name limit, else "." alone.
std::string ReplacementPrefix(const std::string& name) {
    return name.size() + 1 + RandomLength + ReplacementSuffix.size() <= NAME_MAX ? name + "." : ".";
}

bool IsReplacementOf(const std::string& candidate, const std::string& prefix) {
    const std::size_t size = prefix.size() + RandomLength + ReplacementSuffix.size();
    if (candidate.size() != size || !candidate.starts_with(prefix) || !candidate.ends_with(ReplacementSuffix)) {
        return false;
    }
    const std::string_view piece = std::string_view(candidate).substr(prefix.size(), RandomLength);
    return piece.find_first_not_of(NameLetters) == std::string_view::npos;
}

std::string CreateErrorText(const std::string& path, const std::string& reason) {
    return "Cannot create file \"" + path + "\". " + reason;
}

// The file that a save through the links at `path` replaces (see FollowPermittedLinks).
std::string ResolveLinks(const std::string& path) {
    try {
        return FollowPermittedLinks(path);
    } catch (const ELinkError& error) {
        throw EFCreateError(CreateErrorText(path, error.what()));
    }
}

// Puts the file `name` in place of `target` in one folder by swapping the two names, then removes what stood at the
// target: 0 when done, -1 when a swap cannot be made (nothing at the target, or a file system without swaps), else
// the system's error, with both names as they were. A rename over an existing file makes ext4 (and others, with
// their "replace by rename" rule) start writing the new file's blocks at once, as if a crash-safe save were meant:
// a restore of a volume of small files then waits on the disk file by file, where a swap does not.
int SwapInPlace(int folder, const std::string& name, const std::string& target) {
    if (::renameat2(folder, name.c_str(), folder, target.c_str(), RENAME_EXCHANGE) != 0) {
        return -1;
    }
    if (::unlinkat(folder, name.c_str(), 0) == 0) {
        return 0;
    }
    // A folder stood there: it is never replaced, so it goes back where it was.
    const int error = errno;
    ::renameat2(folder, name.c_str(), folder, target.c_str(), RENAME_EXCHANGE);
    return error;
}

// A folder to make files in by descriptor: readable, so that it can be flushed, or else only usable as a place.
int OpenFolderDescriptor(const std::string& folder) {
    const char* at = folder.empty() ? "." : folder.c_str();
    const int fd = ::open(at, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        return ::open(at, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return fd;
}

} // namespace

TProgramFile::TProgramFile(const std::string& target, const TProgramFileRules& rules)
    : rules_(rules), shownPath_(target) {
    const std::string replaced = rules.ThroughLinks ? ResolveLinks(target) : target;
    targetName_ = ExtractFileName(replaced);
    if (targetName_.empty()) {
        Fail(EISDIR);
    }
    OpenFolder(ExtractFilePath(replaced));
    Create(ReplacementPrefix(targetName_), std::string(ReplacementSuffix));
}

TProgramFile::TProgramFile(int folder, const std::string& name, const TProgramFileRules& rules)
    : rules_(rules), targetName_(name), shownPath_(name) {
    if (name.empty() || name.find(PathDelim) != std::string::npos || name == "." || name == "..") {
        throw std::invalid_argument("A program file's name is one piece of a path");
    }
    folder_ = TDescriptor(folder);
    folderBorrowed_ = true;
    try {
        Create(ReplacementPrefix(targetName_), std::string(ReplacementSuffix));
    } catch (...) {
        folder_.Release();
        throw;
    }
}

TProgramFile::TProgramFile(WorkTag, const std::string& folder, const std::string& kind)
    : shownPath_(IncludeTrailingPathDelimiter(folder)) {
    rules_.ModeRule = TModeRule::Exact;
    rules_.Mode = 0600;
    OpenFolder(shownPath_);
    Create(kind + "-", "");
}

TProgramFile TProgramFile::WorkFile(const std::string& folder, const std::string& kind) {
    return TProgramFile(WorkTag{}, folder, kind);
}

TProgramFile::TProgramFile(NewTag, const std::string& path) : shownPath_(path), named_(true) {
    const std::string name = ExtractFileName(path);
    if (name.empty() || name == "." || name == "..") {
        Fail(EISDIR);
    }
    OpenFolder(ExtractFilePath(path));
    const int fd = ::openat(folder_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        Fail(errno);
    }
    file_ = TDescriptor(fd);
    name_ = name;
    path_ = path;
    ::fchmod(fd, 0600);
    stream_ = std::make_unique<TFileStream>(fd, path_);
}

TProgramFile TProgramFile::NewFile(const std::string& path) {
    return TProgramFile(NewTag{}, path);
}

void TProgramFile::Keep() {
    if (!named_) {
        throw std::logic_error("Only a new file is kept");
    }
    committed_ = true;
}

TProgramFile::~TProgramFile() {
    if (!committed_) {
        Discard();
    }
    if (folderBorrowed_) {
        folder_.Release();
    }
}

void TProgramFile::Discard() {
    stream_.reset();
    file_ = TDescriptor();
    if (!name_.empty()) {
        ::unlinkat(folder_.Get(), name_.c_str(), 0);
        name_.clear();
    }
}

void TProgramFile::OpenFolder(const std::string& folder) {
    folderPath_ = folder;
    folder_ = TDescriptor(OpenFolderDescriptor(folder));
    if (!folder_.IsOpen()) {
        Fail(errno);
    }
}

void TProgramFile::Create(const std::string& prefix, const std::string& suffix) {
    mode_t mode = static_cast<mode_t>(rules_.Mode);
    if (rules_.ModeRule == TModeRule::FromReplaced) {
        struct stat st {};
        if (::fstatat(folder_.Get(), targetName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            mode = 0600;
        }
    }
    for (int attempt = 0; attempt < 100 && !file_.IsOpen(); ++attempt) {
        std::string name = prefix + RandomPiece() + suffix;
        const int fd = ::openat(folder_.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            file_ = TDescriptor(fd);
            name_ = std::move(name);
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (!file_.IsOpen()) {
        Fail(errno);
    }
    path_ = folderPath_ + name_;
    // The mode asked for, not narrowed by the umask. A file system that keeps no modes keeps the file all the same.
    if (rules_.ModeRule == TModeRule::Exact) {
        ::fchmod(file_.Get(), mode);
    }
    stream_ = std::make_unique<TFileStream>(file_.Get(), path_);
}

void TProgramFile::TakeOverFromReplaced() {
    if (!rules_.OwnerFromReplaced && !rules_.OwnerFromFolder && rules_.ModeRule != TModeRule::FromReplaced) {
        return;
    }
    struct stat st {};
    if (::fstatat(folder_.Get(), targetName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        // Nothing there to take from: a new file, its folder's as if its owner had made it where the rules say so.
        if (rules_.OwnerFromFolder) {
            GiveFolderOwner(file_.Get(), folder_.Get());
        }
        return;
    }
    // The owner first: changing it may clear set-id bits, and the mode is set after it. Refusals leave the file
    // the process's own, which is all another user may have.
    if (rules_.OwnerFromReplaced && ::fchown(file_.Get(), st.st_uid, st.st_gid) != 0) {
        ::fchown(file_.Get(), static_cast<uid_t>(-1), st.st_gid);
    }
    if (rules_.ModeRule == TModeRule::FromReplaced) {
        ::fchmod(file_.Get(), st.st_mode & 01777 & ~static_cast<mode_t>(S_ISUID | S_ISGID));
    }
}

void TProgramFile::Commit() {
    if (targetName_.empty() || !file_.IsOpen()) {
        throw std::logic_error("Only an open replacement is committed");
    }
    try {
        if (rules_.Durable) {
            stream_->Flush();
        }
        TakeOverFromReplaced();
        stream_.reset();
        if (::close(file_.Release()) != 0) {
            Fail(errno);
        }
        // A durable save has its bytes on the disk already, so a rename costs it nothing more.
        const int swapped = rules_.Durable ? -1 : SwapInPlace(folder_.Get(), name_, targetName_);
        if (swapped > 0) {
            Fail(swapped);
        }
        if (swapped < 0 && ::renameat(folder_.Get(), name_.c_str(), folder_.Get(), targetName_.c_str()) != 0) {
            Fail(errno);
        }
    } catch (...) {
        Discard();
        throw;
    }
    committed_ = true;
    // The rename itself made durable, so that a crash right after cannot bring back the old file.
    if (rules_.Durable) {
        ::fsync(folder_.Get());
    }
}

void TProgramFile::Fail(int error) {
    const std::string reason = std::strerror(error);
    if (targetName_.empty() && !named_) {
        throw EFCreateError("Cannot create a work file in " + shownPath_ + ". " + reason, error);
    }
    throw EFCreateError(CreateErrorText(shownPath_, reason), error);
}

namespace {

// Removes from `folder` the regular files (never a link, nor what it names) that `leftover` picks out, only the
// running user's own when `ownOnly`.
void RemoveRegularFiles(const std::string& folder, const TLeftoverRule& leftover, bool ownOnly) {
    const TDescriptor at(OpenFolderDescriptor(folder));
    std::unique_ptr<DIR, int (*)(DIR*)> dir(at.IsOpen() ? ::fdopendir(::fcntl(at.Get(), F_DUPFD_CLOEXEC, 0)) : nullptr,
                                            &::closedir);
    if (!dir) {
        return;
    }
    std::unordered_set<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        names.insert(entry->d_name);
    }
    for (const std::string& name : names) {
        struct stat st {};
        if (name != "." && name != ".." && leftover(name, names) &&
            ::fstatat(at.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            (!ownOnly || st.st_uid == ::geteuid())) {
            ::unlinkat(at.Get(), name.c_str(), 0);
        }
    }
}

} // namespace

void TProgramFile::RemoveLeftovers(const std::string& target, bool throughLinks) {
    std::string replaced;
    try {
        replaced = throughLinks ? ResolveLinks(target) : target;
    } catch (const EFCreateError&) {
        return; // a link loop: no save could have been made there
    }
    const std::string prefix = ReplacementPrefix(ExtractFileName(replaced));
    if (prefix == ".") {
        return; // the short form is shared by every long name of the folder
    }
    // Whoever owns it: a save's leftover in the folder keeps the owner of the file it was to replace.
    RemoveRegularFiles(
        ExtractFilePath(replaced),
        [&](const std::string& name, const std::unordered_set<std::string>&) { return IsReplacementOf(name, prefix); },
        false);
}

TWorkFile::TWorkFile(const std::string& kind) : file_(TProgramFile::WorkFile(GetTempDir(), kind)) {}

void RemoveOwnLeftovers(const std::string& folder, const TLeftoverRule& leftover) {
    RemoveRegularFiles(folder, leftover, true);
}

void TWorkFile::RemoveLeftovers(const std::string& kind) {
    const std::string prefix = kind + "-";
    RemoveOwnLeftovers(GetTempDir(), [&](const std::string& name, const std::unordered_set<std::string>&) {
        return name.size() == prefix.size() + RandomLength && name.starts_with(prefix) &&
               name.find_first_not_of(NameLetters, prefix.size()) == std::string::npos;
    });
}
