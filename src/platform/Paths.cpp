#include "Paths.h"

#include "Descriptor.h"
#include "Exceptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string ExtractFilePath(const std::string& path) {
    const auto slash = path.rfind(PathDelim);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
    const auto slash = path.rfind(PathDelim);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileExt(const std::string& path) {
    const auto dot = path.rfind('.');
    const auto slash = path.rfind(PathDelim);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    return path.substr(dot);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
    return !path.empty() && path.back() == PathDelim ? path : path + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& path) {
    if (path.size() > 1 && path.back() == PathDelim) {
        return path.substr(0, path.size() - 1);
    }
    return path;
}

bool IsRootPath(const std::string& path) {
    return path == "/";
}

bool SamePath(const std::string& a, const std::string& b) {
    return a == b;
}

bool PathStartsWith(const std::string& path, const std::string& prefix) {
    return !prefix.empty() && path.compare(0, prefix.size(), prefix) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(ExcludeTrailingPathDelimiter(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return DirectoryExists(path);
}

bool DeleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

void RaiseCannotOpen(const std::string& path, int error) {
    throw EFOpenError("Cannot open file \"" + path + "\". " + std::strerror(error));
}

std::int64_t FileSizeByName(const std::string& path) {
    // Opened like a reader would, so a file that cannot be read fails here rather than half way through packing;
    // O_NONBLOCK keeps a FIFO from blocking the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        RaiseCannotOpen(path, errno);
    }
    struct stat st {};
    const int result = ::fstat(fd, &st);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
        RaiseCannotOpen(path, error);
    }
    return st.st_size;
}

bool MayFollowLink(const struct stat& link, const struct stat& folder) {
    if (link.st_uid != ::geteuid() && link.st_uid != 0) {
        return false;
    }
    return link.st_uid != 0 || folder.st_uid == 0 || link.st_nlink == 1;
}

std::optional<std::string> ReadPermittedLink(int link, const struct stat& st, int folder) {
    struct stat place {};
    if (::fstat(folder, &place) != 0) {
        return std::nullopt;
    }
    if (!MayFollowLink(st, place)) {
        errno = EPERM;
        return std::nullopt;
    }
    std::vector<char> buffer(PATH_MAX);
    ssize_t size = 0;
    while ((size = ::readlinkat(link, "", buffer.data(), buffer.size())) == static_cast<ssize_t>(buffer.size())) {
        buffer.resize(buffer.size() * 2);
    }
    if (size < 0) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(size));
}

std::string FollowPermittedLinks(const std::string& path) {
    // The kernel's own bound on the links that one path may pass through.
    constexpr int MaxLinks = 40;
    std::string current = path;
    for (int hops = 0; hops <= MaxLinks; ++hops) {
        // The link, its folder and its target are all looked at through one descriptor of the folder, so that
        // what is checked is what is read.
        const std::string folderPath = ExtractFilePath(current);
        const std::string name = ExtractFileName(current);
        const TDescriptor folder(
            ::open(folderPath.empty() ? "." : folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        // The link itself held open: its owner is looked at and its target read through that one descriptor, never
        // by its name again, so that a link swapped in meanwhile is not read as the one that was allowed.
        const TDescriptor held(folder.IsOpen() && !name.empty()
                                   ? ::openat(folder.Get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
                                   : -1);
        struct stat link {};
        if (!held.IsOpen() || ::fstat(held.Get(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            return current;
        }
        const std::optional<std::string> target = ReadPermittedLink(held.Get(), link, folder.Get());
        if (!target) {
            throw ELinkError(errno == EPERM
                                 ? "The symbolic link \"" + current + "\" belongs to another user and is not followed"
                                 : std::string(std::strerror(errno)));
        }
        current = target->starts_with(PathDelim) ? *target : folderPath + *target;
    }
    throw ELinkError(std::strerror(ELOOP));
}

void GiveFolderOwner(int made, int folder) {
    struct stat place {};
    struct stat own {};
    if (::fstat(folder, &place) != 0 || place.st_uid == ::geteuid() || ::fstat(made, &own) != 0 ||
        own.st_uid != ::geteuid()) {
        return;
    }
    // Owner and group together or not at all: half of it would be a file that neither the user nor the process
    // meant.
    ::fchownat(made, "", place.st_uid, place.st_gid, AT_EMPTY_PATH);
}

namespace {

std::optional<TMountId> MountAt(int dirFd, const char* name, int flags) {
    struct statx st {};
    unsigned int mask = STATX_TYPE;
#ifdef STATX_MNT_ID
    mask |= STATX_MNT_ID;
#endif
    if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &st) != 0) {
        return std::nullopt;
    }
    TMountId id;
    id.Device = (static_cast<std::uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
#ifdef STATX_MNT_ID
    if ((st.stx_mask & STATX_MNT_ID) != 0) {
        id.Mount = st.stx_mnt_id;
    }
#endif
    return id;
}

} // namespace

std::optional<TMountId> MountOfOpenFolder(int fd) {
    return MountAt(fd, "", AT_EMPTY_PATH);
}

std::optional<TMountId> MountOfPath(const std::string& path) {
    return path.empty() ? std::nullopt : MountAt(AT_FDCWD, ExcludeTrailingPathDelimiter(path).c_str(), 0);
}

bool IsKernelFolder(const std::string& path) {
    const std::string folder = ExcludeTrailingPathDelimiter(path);
    return folder == "/proc" || folder == "/sys" || folder == "/dev" || folder == "/run";
}

bool LeavesFileSystem(const std::string& path, const TMountId& outer, const TMountId& inner) {
    const bool sameMount =
        outer.Mount != 0 && inner.Mount != 0 ? outer.Mount == inner.Mount : outer.Device == inner.Device;
    return !sameMount || IsKernelFolder(path);
}

std::uint32_t GetFileAttributes(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return InvalidFileAttributes;
    }
    return FileAttributesOf(st, path);
}

std::uint32_t FileAttributesOf(const struct stat& st, const std::string& path) {
    std::uint32_t attributes = S_ISDIR(st.st_mode) ? faDirectory : faArchive;
    if ((st.st_mode & S_IWUSR) == 0) {
        attributes |= faReadOnly;
    }
    if (ExtractFileName(ExcludeTrailingPathDelimiter(path)).starts_with('.')) {
        attributes |= faHidden;
    }
    return attributes;
}

std::string ProgramDirectory() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return IncludeTrailingPathDelimiter(std::filesystem::current_path().string());
    }
    return IncludeTrailingPathDelimiter(exe.parent_path().string());
}

std::string PrivateTempDir(const std::string& parent) {
    const std::string path = IncludeTrailingPathDelimiter(parent) + "CorvaneBackUp-" + std::to_string(::getuid());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Exception("Cannot create the temporary folder " + path + ". " + std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        throw Exception("The temporary folder " + path + " is not the user's own folder");
    }
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        throw Exception("Cannot close the temporary folder " + path + " to others. " + std::strerror(errno));
    }
    return path + PathDelim;
}

std::string GetTempDir() {
    for (const char* variable : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        // Not a folder of another user's, nor one reached through another user's link: a start as root with a
        // user's environment (sudo -E, su) would make its volumes there, where that user could swap one for a link
        // to a file of root's before it is read back and sent. The running user's own folder and root's (as /tmp)
        // serve; one that is not there is named when a file cannot be made in it.
        const auto others = [](const struct stat& st) { return st.st_uid != ::geteuid() && st.st_uid != 0; };
        struct stat link {};
        struct stat folder {};
        if ((::lstat(value, &link) == 0 && S_ISLNK(link.st_mode) && others(link)) ||
            (::stat(value, &folder) == 0 && others(folder))) {
            continue;
        }
        return IncludeTrailingPathDelimiter(value);
    }
    return PrivateTempDir("/tmp/");
}
