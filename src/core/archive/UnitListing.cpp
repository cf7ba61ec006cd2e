#include "UnitListing.h"

#include "core/app/UnitGo.h"
#include "platform/Convert.h"
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
#include <unordered_map>
#include <unordered_set>

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

// Error numbers of a folder (or file) that is not there to be read, or not as a real folder: it went away, or a
// link or a file took its place. Such a one is passed over in silence, as a missing task entry is.
bool IsNotThere(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// One listing's walk over the files and folders of a task. Each path goes into `out` once, at the first place the
// walk meets it, however the task's entries overlap: a file chosen on its own and inside a chosen folder, a folder
// chosen beside its subfolders (as the files tree stores a ticked folder that was looked into). Only the task's own
// entries can overlap, so only they are kept track of: a chosen file is listed once, and a chosen folder is walked
// once, where the walk first meets it. A folder that is there but cannot be read is kept in `unread` with the
// system's reason; the walk goes on with the rest.
class TListingWalk {
public:
    // `folders`: the task's folders, each of which the walk is given in turn (Folder).
    TListingWalk(FileInfos& out, std::vector<TUnreadableFolder>* unread,
                 const std::vector<std::unique_ptr<TFolder>>& folders = {})
        : out_(out), unread_(unread) {
        for (const auto& folder : folders) {
            taskFolders_.emplace(IncludeTrailingPathDelimiter(folder->Path), false);
        }
    }

    // One of the task's files, when it is a regular file and not listed yet.
    void TaskFile(const std::string& path) {
        if (taskFiles_.contains(path)) {
            return;
        }
        if (const auto size = ReadableFileSize(AT_FDCWD, path.c_str(), path)) {
            AppendEntry(out_, path, *size);
            taskFiles_.insert(path);
        }
    }

    // Everything under the folder dir, unless the walk has been there already.
    void Folder(const std::string& dir) {
        std::string path = IncludeTrailingPathDelimiter(dir);
        bool& walked = taskFolders_[path];
        if (walked) {
            return;
        }
        walked = true;
        // Without the trailing "/", so that O_NOFOLLOW applies to the folder itself.
        const int fd =
            ::open(ExcludeTrailingPathDelimiter(dir).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (!IsNotThere(error)) {
                Unreadable(path, error);
            }
            return;
        }
        const auto start = MountOfOpenFolder(fd);
        if (!start) {
            Unreadable(path, errno);
            ::close(fd);
            return;
        }
        if (DirHandle handle = OpenedFolder(fd, path)) {
            Walk(std::move(handle), path, *start);
        }
    }

private:
    // Scans the open folder whose path (ending with "/") is in `path`. `path` is one buffer for the whole walk:
    // each entry appends its name and the buffer is cut back afterwards. Subfolders are opened relative to their
    // parent and without following a link, so a folder swapped for a link between the listing and the open is not
    // entered; one that lies beyond the file system the walk started on (`start`) is not entered either.
    void Walk(DirHandle dir, std::string& path, const TMountId& start) {
        const int dirFd = ::dirfd(dir.get());
        const std::size_t base = path.size();
        for (;;) {
            errno = 0;
            const dirent* item = ::readdir(dir.get());
            if (item == nullptr) {
                if (errno != 0) {
                    Unreadable(path, errno);
                }
                return;
            }
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
                if (taskFiles_.empty() || !taskFiles_.contains(path)) {
                    if (const auto size = ReadableFileSize(dirFd, name, path)) {
                        AppendEntry(out_, path, *size);
                    }
                }
            } else {
                path.push_back(PathDelim);
                if (DirHandle child = OpenSubfolder(dirFd, name, path, start)) {
                    Walk(std::move(child), path, start);
                }
            }
            path.resize(base);
        }
    }

    // The subfolder `name` of dirFd at `path` (ending with "/") to walk into; null when it is not to be walked: gone,
    // no real folder (any more), beyond the file system, a task folder walked already, or unreadable (kept in
    // unread_).
    DirHandle OpenSubfolder(int dirFd, const char* name, const std::string& path, const TMountId& start) {
        const auto task = taskFolders_.find(path);
        if (task != taskFolders_.end() && task->second) {
            return nullptr;
        }
        const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            // A folder that could not be opened is only missed where the walk would have entered it.
            const auto mount = MountOfPath(path);
            if (!IsNotThere(error) && !(mount && LeavesFileSystem(path, start, *mount))) {
                Unreadable(path, error);
            }
            return nullptr;
        }
        const auto mount = MountOfOpenFolder(fd);
        if (!mount) {
            Unreadable(path, errno);
            ::close(fd);
            return nullptr;
        }
        if (LeavesFileSystem(path, start, *mount)) {
            ::close(fd);
            return nullptr;
        }
        if (task != taskFolders_.end()) {
            // Walked here, where the walk met it first; its own turn will find it done.
            task->second = true;
        }
        return OpenedFolder(fd, path);
    }

    // The folder open as fd, ready to walk; null, with fd closed, when it cannot be read.
    DirHandle OpenedFolder(int fd, const std::string& path) {
        DirHandle handle(::fdopendir(fd));
        if (!handle) {
            Unreadable(path, errno);
            ::close(fd);
        }
        return handle;
    }

    void Unreadable(const std::string& path, int error) {
        if (unread_ != nullptr) {
            unread_->push_back({path, error});
        }
    }

    FileInfos& out_;
    std::vector<TUnreadableFolder>* unread_;
    // The task's files listed so far.
    std::unordered_set<std::string> taskFiles_;
    // The task's folders (with "/"), and whether the walk has been in each (or found it unreadable).
    std::unordered_map<std::string, bool> taskFolders_;
};

// The listing as the run needs it: every path that was scanned, or only the new and changed ones; the scan becomes
// the snapshot. Each folder that could not be read is named in the log and counted for the run.
void ListFiles(TGroup& task, TStrings& list, bool changedOnly) {
    FileInfos fresh;
    std::vector<TUnreadableFolder> unread;
    // Scanned aside first: a listing that fails leaves the old snapshot whole.
    task.CollectFileInfos(fresh, &unread);
    {
        std::optional<TFileInfoIndex> old;
        if (changedOnly) {
            old.emplace(task.Snapshot);
        }
        for (const tagFileInfo& entry : fresh) {
            if (!old || IsFileChanged(*old, entry)) {
                list.Add(entry.Path);
            }
        }
    }
    task.Snapshot = std::move(fresh);
    TGlobalObject& app = *GetGlobalObject();
    app.RunByteTotal = ListingByteTotal(task.Snapshot);
    app.RunUnreadFolders = static_cast<std::int32_t>(unread.size());
    for (const TUnreadableFolder& folder : unread) {
        app.Log->Add("Error: the folder \"" + ShowControlCharacters(folder.Path) + "\" cannot be read (" +
                     std::strerror(folder.Error) + "); the files in it were left out of the backup");
    }
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

void ScanFolder(FileInfos& out, const std::string& dir, std::vector<TUnreadableFolder>* unread) {
    TListingWalk(out, unread).Folder(dir);
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

void TGroup::CollectFileInfos(FileInfos& out, std::vector<TUnreadableFolder>* unread) const {
    ClearFileInfos(out);
    TListingWalk walk(out, unread, Folders);
    for (const auto& file : Files) {
        walk.TaskFile(file->Path);
    }
    for (const auto& folder : Folders) {
        walk.Folder(folder->Path);
    }
}

void TGroup::ListAllFiles(TStrings& list) {
    ListFiles(*this, list, false);
}

void TGroup::ListChangedFiles(TStrings& list) {
    ListFiles(*this, list, true);
}
