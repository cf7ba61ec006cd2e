#include "UnitListing.h"

#include "core/app/UnitGo.h"
#include "platform/Convert.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"

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

// Failures that no one file or folder is to blame for: the process is out of descriptors or memory, and every later
// open would fail the same way. They end the listing rather than leave out the rest of the task file by file.
bool IsExhaustion(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// The size of the regular file `name` (relative to dirFd), taken from the file opened for reading, so that a file
// the packing could not read is found now rather than half way through the archive. Empty when there is no such
// file (any more) or it is no regular file, and also when it is a file that cannot be opened: `error` then holds
// the reason. O_NONBLOCK: a FIFO put in a file's place must not hold the open.
std::optional<std::int64_t> ReadableFileSize(int dirFd, const char* name, const std::string& path, int& error) {
    error = 0;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int failure = errno;
        if (failure == ENOENT || failure == ENOTDIR) {
            return std::nullopt;
        }
        if (IsExhaustion(failure)) {
            RaiseOpenError(path, failure);
        }
        // Some things that are no files cannot be opened at all: a socket (ENXIO), a link that loops (ELOOP).
        // They are passed over as a FIFO is; only a real file that cannot be read is left out with an error.
        struct stat st {};
        if (::fstatat(dirFd, name, &st, 0) != 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
                return std::nullopt;
            }
        } else if (!S_ISREG(st.st_mode)) {
            return std::nullopt;
        }
        error = failure;
        return std::nullopt;
    }
    const FdCloser closer(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return st.st_size;
}

// Whether names can be looked up in the open folder dirFd. A folder that may be read but not searched (mode 0644)
// lists its names, yet every one of them fails to open: the folder is what cannot be read then, not each file.
bool Enterable(int dirFd) {
    struct stat st {};
    return ::fstatat(dirFd, ".", &st, 0) == 0 || errno != EACCES;
}

// A task's path as the listing takes it: without empty and "." pieces, a folder's with its trailing "/" (the root
// stays "/"). Empty when a piece is "..": dropped by its text it would name another folder wherever the piece
// before it is a link, and a restore refuses such a path, so a backup of it could never come back.
std::optional<std::string> CleanEntryPath(const std::string& path, bool folder) {
    std::string clean;
    if (path.starts_with(PathDelim)) {
        clean.push_back(PathDelim);
    }
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(PathDelim, start), path.size());
        const std::string_view piece(path.data() + start, end - start);
        start = end + 1;
        if (piece.empty() || piece == ".") {
            continue;
        }
        if (piece == "..") {
            return std::nullopt;
        }
        if (!clean.empty() && clean.back() != PathDelim) {
            clean.push_back(PathDelim);
        }
        clean.append(piece);
    }
    if (folder && !clean.empty() && clean.back() != PathDelim) {
        clean.push_back(PathDelim);
    }
    return clean;
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
        if (::fstatat(dirFd, item.d_name, &st, 0) != 0) {
            return errno == EACCES ? Kind::File : Kind::Other;
        }
        return S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
    }
    case DT_UNKNOWN: {
        struct stat st {};
        if (::fstatat(dirFd, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Refused, not missing: the opening that follows tells why, or finds the folder closed.
            return errno == EACCES ? Kind::File : Kind::Other;
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
// once, where the walk first meets it. What is there but cannot be read (a folder, a file) is kept in `unread`
// once, with the system's reason; the walk goes on with the rest. Paths are taken as given: clean ones
// (CleanEntryPath), as the task's own are made before they get here.
class TListingWalk {
public:
    // `folders`: the task's folders (each with its "/"), each of which the walk is given in turn (Folder).
    TListingWalk(FileInfos& out, std::vector<TListingError>* unread, const std::vector<std::string>& folders = {})
        : out_(out), unread_(unread) {
        for (const std::string& folder : folders) {
            taskFolders_.emplace(folder, false);
        }
    }

    // One of the task's files, when it is a regular file and not listed (or found unreadable) yet.
    void TaskFile(const std::string& path) {
        if (TerminationRequested() || !taskFiles_.insert(path).second) {
            return;
        }
        // Looked at before it is opened, as the walk looks at a folder's names: an open alone sets a FIFO's waiting
        // writer going and does what a device does on an open (a rewind, an armed watchdog). A stat that is refused
        // leaves it to the open to say why.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return;
        }
        int error = 0;
        if (const auto size = ReadableFileSize(AT_FDCWD, path.c_str(), path, error)) {
            AppendEntry(out_, path, *size);
        } else if (error != 0) {
            Left(TListingError::File, path, error);
        }
    }

    // Everything under the folder dir, unless the walk has been there already.
    void Folder(const std::string& dir) {
        std::string path = IncludeTrailingPathDelimiter(dir);
        bool& walked = taskFolders_[path];
        if (walked || TerminationRequested()) {
            return;
        }
        walked = true;
        // Without the trailing "/", so that O_NOFOLLOW applies to the folder itself.
        const int fd =
            ::open(ExcludeTrailingPathDelimiter(dir).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (!IsNotThere(error)) {
                Left(TListingError::Folder, path, error);
            }
            return;
        }
        const auto start = MountOfOpenFolder(fd);
        if (!start) {
            Left(TListingError::Folder, path, errno);
            ::close(fd);
            return;
        }
        if (DirHandle handle = OpenedFolder(fd, path)) {
            Walk(std::move(handle), path, *start);
        }
    }

private:
    // Scans the open folder whose path (ending with "/") is in `path`. `path` is one buffer for the whole walk:
    // each entry appends its name and the buffer is cut back afterwards. A termination signal ends the walk at the
    // next name: a large tree on a cold disk lists for minutes, longer than a session's end waits. Subfolders are
    // opened relative to their parent and without following a link, so a folder swapped for a link between the listing
    // and the open is not entered; one that lies beyond the file system the walk started on (`start`) is not entered
    // either.
    void Walk(DirHandle dir, std::string& path, const TMountId& start) {
        const int dirFd = ::dirfd(dir.get());
        const std::size_t base = path.size();
        // A name that cannot be opened in a folder that cannot be entered: the folder is named, once, and left.
        const auto closed = [&](int error) {
            if (Enterable(dirFd)) {
                return false;
            }
            path.resize(base);
            Left(TListingError::Folder, path, error);
            return true;
        };
        for (;;) {
            if (TerminationRequested()) {
                return;
            }
            errno = 0;
            const dirent* item = ::readdir(dir.get());
            if (item == nullptr) {
                if (errno != 0) {
                    Left(TListingError::Folder, path, errno);
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
                    int error = 0;
                    if (const auto size = ReadableFileSize(dirFd, name, path, error)) {
                        AppendEntry(out_, path, *size);
                    } else if (error != 0) {
                        if (closed(error)) {
                            return;
                        }
                        Left(TListingError::File, path, error);
                    }
                }
            } else {
                path.push_back(PathDelim);
                int error = 0;
                if (DirHandle child = OpenSubfolder(dirFd, name, path, start, error)) {
                    Walk(std::move(child), path, start);
                } else if (error != 0) {
                    if (closed(error)) {
                        return;
                    }
                    Left(TListingError::Folder, path, error);
                }
            }
            path.resize(base);
        }
    }

    // The subfolder `name` of dirFd at `path` (ending with "/") to walk into; null when it is not to be walked:
    // gone, no real folder (any more), beyond the file system, a task folder walked (or found unreadable) already,
    // or unreadable, `error` then telling why.
    DirHandle OpenSubfolder(int dirFd, const char* name, const std::string& path, const TMountId& start, int& error) {
        const auto task = taskFolders_.find(path);
        if (task != taskFolders_.end() && task->second) {
            return nullptr;
        }
        const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int failure = errno;
            // A folder that could not be opened is only missed where the walk would have entered it.
            const auto mount = MountOfPath(path);
            if (!IsNotThere(failure) && !(mount && LeavesFileSystem(path, start, *mount))) {
                error = failure;
                if (task != taskFolders_.end()) {
                    // Named here; its own turn must not name it again.
                    task->second = true;
                }
            }
            return nullptr;
        }
        const auto mount = MountOfOpenFolder(fd);
        if (!mount) {
            Left(TListingError::Folder, path, errno);
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
            Left(TListingError::Folder, path, errno);
            ::close(fd);
        }
        return handle;
    }

    void Left(TListingError::TKind kind, const std::string& path, int error) {
        if (IsExhaustion(error)) {
            RaiseOpenError(path, error);
        }
        if (unread_ != nullptr) {
            unread_->push_back({kind, path, error});
        }
    }

    FileInfos& out_;
    std::vector<TListingError>* unread_;
    // The task's files listed (or found unreadable) so far.
    std::unordered_set<std::string> taskFiles_;
    // The task's folders (with "/"), and whether the walk has been in each (or found it unreadable).
    std::unordered_map<std::string, bool> taskFolders_;
};

// The log line of something a listing left out.
std::string ListingErrorLine(const TListingError& left) {
    const std::string shown = "\"" + ShowControlCharacters(left.Path) + "\"";
    switch (left.Kind) {
    case TListingError::Folder:
        return "Error: the folder " + shown + " cannot be read (" + std::strerror(left.Error) +
               "); the files in it were left out of the backup";
    case TListingError::File:
        return "Error: the file " + shown + " cannot be read (" + std::strerror(left.Error) +
               "); it was left out of the backup";
    case TListingError::Relative:
        return "Error: the task's entry " + shown +
               " is no full path, which names a place only from where the program was started; it was left out of "
               "the backup";
    case TListingError::Entry:
        break;
    }
    return "Error: the task's entry " + shown +
           " climbs with a \"..\" piece, which may name another place than it shows; it was left out of the backup";
}

// The listing as the run needs it: every path that was scanned, or only the new and changed ones; the scan becomes
// the snapshot. Each folder that could not be read is named in the log and counted for the run.
void ListFiles(TGroup& task, TStrings& list, bool changedOnly) {
    FileInfos fresh;
    std::vector<TListingError> unread;
    // Scanned aside first: a listing that fails leaves the old snapshot whole, and so does one cut short by a
    // termination signal, which lists nothing; the run sees the signal next.
    task.CollectFileInfos(fresh, &unread);
    if (TerminationRequested()) {
        return;
    }
    {
        std::optional<TFileInfoIndex> old;
        if (changedOnly) {
            old.emplace(task.Snapshot);
        } else {
            list.Lines().reserve(list.Lines().size() + fresh.size());
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
    app.RunListingErrors = static_cast<std::int32_t>(unread.size());
    for (const TListingError& left : unread) {
        app.Log->Add(ListingErrorLine(left));
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

void ScanFolder(FileInfos& out, const std::string& dir, std::vector<TListingError>* unread) {
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

void TGroup::CollectFileInfos(FileInfos& out, std::vector<TListingError>* unread) const {
    ClearFileInfos(out);
    // The entries as clean paths, so that "/data/d", "/data//d" and "/data/./d" are one folder to the walk.
    std::vector<std::string> files;
    std::vector<std::string> folders;
    const auto take = [&](const std::string& path, bool folder, std::vector<std::string>& into) {
        // Taken from the folder the program happened to start in, it would name other files from start to start,
        // and the restore refuses a listed path that is not full: its backup could never come back.
        if (!path.empty() && !path.starts_with(PathDelim)) {
            if (unread != nullptr) {
                unread->push_back({TListingError::Relative, path, 0});
            }
            return;
        }
        if (std::optional<std::string> clean = CleanEntryPath(path, folder)) {
            if (!clean->empty()) {
                into.push_back(std::move(*clean));
            }
        } else if (unread != nullptr) {
            unread->push_back({TListingError::Entry, path, 0});
        }
    };
    for (const auto& file : Files) {
        take(file->Path, false, files);
    }
    for (const auto& folder : Folders) {
        take(folder->Path, true, folders);
    }
    TListingWalk walk(out, unread, folders);
    for (const std::string& file : files) {
        walk.TaskFile(file);
    }
    for (const std::string& folder : folders) {
        walk.Folder(folder);
    }
}

void TGroup::ListAllFiles(TStrings& list) {
    ListFiles(*this, list, false);
}

void TGroup::ListChangedFiles(TStrings& list) {
    ListFiles(*this, list, true);
}
