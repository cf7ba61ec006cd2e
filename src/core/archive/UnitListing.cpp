#include "UnitListing.h"

#include "core/app/UnitGo.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { ::close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

private:
    int fd_;
};

[[noreturn]] void RaiseOpenError(const std::string& path, int error) {
    throw EFOpenError("Cannot open file \"" + path + "\". " + std::strerror(error));
}

// The size of the regular file `name` (relative to dirFd), taken from the file opened for reading, so that a file
// the packing could not read fails now rather than half way through the archive. Empty when there is no such file
// (any more) or it is no regular file. O_NONBLOCK: a FIFO put in a file's place must not hold the open.
std::optional<std::int64_t> ReadableFileSize(int dirFd, const char* name, const std::string& path) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return std::nullopt;
        }
        // Some things that are no files cannot be opened at all: a socket (ENXIO), a link that loops (ELOOP).
        // They are passed over as a FIFO is; only a real file that cannot be read fails the listing.
        struct stat st {};
        if (::fstatat(dirFd, name, &st, 0) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
                return std::nullopt;
            }
        } else if (!S_ISREG(st.st_mode)) {
            return std::nullopt;
        }
        RaiseOpenError(path, error);
    }
    const FdCloser closer(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        RaiseOpenError(path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return st.st_size;
}

void AppendEntry(FileInfos& out, const std::string& path, std::int64_t size) {
    tagFileInfo entry;
    entry.Path = path;
    // An entry keeps the low 32 bits of the length; the running total wraps the same way (unsigned arithmetic,
    // since the stored record is signed 32-bit).
    const auto size32 = static_cast<std::uint32_t>(size);
    const auto previous = out.empty() ? 0u : static_cast<std::uint32_t>(out.back().Total);
    entry.Size = static_cast<std::int32_t>(size32);
    entry.Total = static_cast<std::int32_t>(previous + size32);
    out.push_back(std::move(entry));
}

enum class Kind { Other, File, Folder };

// What the scan makes of a folder entry. Links count as the files they point to; a link to a folder is not
// followed (it may loop) and neither are FIFOs, sockets, devices or dangling links.
Kind KindOf(int dirFd, const dirent& item) {
    switch (item.d_type) {
    case DT_REG:
        return Kind::File;
    case DT_DIR:
        return Kind::Folder;
    case DT_LNK: {
        struct stat st {};
        return ::fstatat(dirFd, item.d_name, &st, 0) == 0 && S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
    }
    case DT_UNKNOWN: {
        struct stat st {};
        if (::fstatat(dirFd, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return Kind::Other;
        }
        if (S_ISDIR(st.st_mode)) {
            return Kind::Folder;
        }
        if (S_ISLNK(st.st_mode)) {
            return ::fstatat(dirFd, item.d_name, &st, 0) == 0 && S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
        }
        return S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
    }
    default:
        return Kind::Other;
    }
}

// Scans the open folder whose path (ending with "/") is in `path`. `path` is one buffer for the whole walk: each
// entry appends its name and the buffer is cut back afterwards. Subfolders are opened relative to their parent
// and without following a link, so a folder swapped for a link between the listing and the open is not entered;
// one that lies beyond the file system the scan started on (`start`) is not entered either.
void ScanOpenFolder(FileInfos& out, DirHandle dir, std::string& path, const TMountId& start) {
    const int dirFd = ::dirfd(dir.get());
    const std::size_t base = path.size();
    while (const dirent* item = ::readdir(dir.get())) {
        const char* name = item->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        const Kind kind = KindOf(dirFd, *item);
        if (kind == Kind::Other) {
            continue;
        }
        path.append(name);
        if (kind == Kind::File) {
            if (const auto size = ReadableFileSize(dirFd, name, path)) {
                AppendEntry(out, path, *size);
            }
        } else {
            const int childFd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd >= 0) {
                const auto mount = MountOfOpenFolder(childFd);
                DirHandle child(mount && !LeavesFileSystem(path, start, *mount) ? ::fdopendir(childFd) : nullptr);
                if (child) {
                    path.push_back(PathDelim);
                    ScanOpenFolder(out, std::move(child), path, start);
                } else {
                    ::close(childFd);
                }
            }
        }
        path.resize(base);
    }
}

void SetRunByteTotal(const FileInfos& snapshot) {
    GetGlobalObject()->RunByteTotal = ListingByteTotal(snapshot);
}

// Every name made from an archive name must fit the file-name limit of 255 bytes, here and on the server. The
// longest are a volume's, with the ten digits of the largest volume number in front and ".crt" behind, and the list
// file's: a long task name gives way to them, so that its backups can still be made, sent, listed and opened.
constexpr std::size_t TaskNameRoom = 255 - 10 - std::string_view("__yy_dd_mm_hh-nn-ss.zip.crt").size();

std::string FileNameSafe(std::string name) {
    // A "/" would put the archive in another folder, or outside the temporary one ("../").
    std::replace(name.begin(), name.end(), PathDelim, '_');
    std::replace(name.begin(), name.end(), '\0', '_');
    if (name.size() > TaskNameRoom) {
        // Cut where a character begins, not inside a UTF-8 sequence.
        std::size_t end = TaskNameRoom;
        while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
            --end;
        }
        name.resize(end);
    }
    return name;
}

} // namespace

void ScanFolder(FileInfos& out, const std::string& dir) {
    // Without the trailing "/", so that O_NOFOLLOW applies to the folder itself.
    const int fd = ::open(ExcludeTrailingPathDelimiter(dir).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const auto start = MountOfOpenFolder(fd);
    DirHandle handle(start ? ::fdopendir(fd) : nullptr);
    if (!handle) {
        ::close(fd);
        return;
    }
    std::string path = IncludeTrailingPathDelimiter(dir);
    ScanOpenFolder(out, std::move(handle), path, *start);
}

TFileInfoIndex::TFileInfoIndex(const FileInfos& entries) {
    first_.reserve(entries.size());
    for (const tagFileInfo& entry : entries) {
        // emplace keeps what is there: the first entry of a path wins, as a walk from the front finds it.
        first_.emplace(entry.Path, &entry);
    }
}

const tagFileInfo* TFileInfoIndex::Find(std::string_view path) const {
    const auto found = first_.find(path);
    return found == first_.end() ? nullptr : found->second;
}

bool IsFileChanged(const TFileInfoIndex& old, const tagFileInfo& entry) {
    const tagFileInfo* previous = old.Find(entry.Path);
    return previous == nullptr || previous->Size != entry.Size;
}

std::int64_t ListingByteTotal(const FileInfos& list) {
    std::int64_t total = 0;
    for (const tagFileInfo& entry : list) {
        total += static_cast<std::uint32_t>(entry.Size);
    }
    return total;
}

std::string TGroup::MakeArchiveName() const {
    return GetTempDir() + FileNameSafe(Name) + "__" + FormatArchiveStamp(Now()) + ".zip";
}

void TGroup::CollectFileInfos(FileInfos& out) const {
    ClearFileInfos(out);
    for (const auto& file : Files) {
        if (const auto size = ReadableFileSize(AT_FDCWD, file->Path.c_str(), file->Path)) {
            AppendEntry(out, file->Path, *size);
        }
    }
    for (const auto& folder : Folders) {
        ScanFolder(out, folder->Path);
    }
}

void TGroup::ListAllFiles(TStrings& list) {
    // Scanned aside first: a listing that fails leaves the old snapshot whole.
    FileInfos fresh;
    CollectFileInfos(fresh);
    for (const tagFileInfo& entry : fresh) {
        list.Add(entry.Path);
    }
    Snapshot = std::move(fresh);
    SetRunByteTotal(Snapshot);
}

void TGroup::ListChangedFiles(TStrings& list) {
    FileInfos fresh;
    CollectFileInfos(fresh);
    {
        const TFileInfoIndex old(Snapshot);
        for (const tagFileInfo& entry : fresh) {
            if (IsFileChanged(old, entry)) {
                list.Add(entry.Path);
            }
        }
    }
    Snapshot = std::move(fresh);
    SetRunByteTotal(Snapshot);
}
