#pragma once

#include "core/tasks/UnitGroups.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The listing of a backup run: what the task's files and folders hold now, and which of those files are new or
// changed against the task's snapshot. The TGroup side (MakeArchiveName, CollectFileInfos, ListAllFiles,
// ListChangedFiles) is declared in UnitGroups.h and built here.

// The folder for the run's work files, ending with "/": $TEMP, else $TMPDIR, else PrivateTempDir("/tmp/").
// Raises Exception when the private folder cannot be made or is not the user's own.
std::string GetTempDir();
// parent + "CorvaneBackUp-<uid>/", made with mode 0700 when missing. An existing one must be a real folder (no
// symbolic link) owned by the user; it is closed to others when it was not. Raises Exception otherwise, so that
// nobody else's folder takes the user's archives.
std::string PrivateTempDir(const std::string& parent);

// A work file of the program's own in the temporary folder: made empty, with mode 0600, under a unique name that
// mkstemp chooses from `kind` (a word of ours), and removed when the object goes, whichever way its user leaves.
// Never named after anything from outside: a name the server lists could climb out of the folder, or be too long
// for it. Raises Exception when it cannot be made.
class TWorkFile {
public:
    explicit TWorkFile(const std::string& kind);
    ~TWorkFile();
    TWorkFile(const TWorkFile&) = delete;
    TWorkFile& operator=(const TWorkFile&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Appends every file under dir (a folder path ending with "/"), depth first: a subfolder's files follow where the
// subfolder was met, in the order the file system gives them, hidden ones included. A file is a regular file or a
// symbolic link to one; a folder is a real folder and is never entered through a link; FIFOs, sockets, devices and
// dangling links are passed over, and so is a dir that is missing, a link or no folder. The scan stays on the file
// system of dir, as find -xdev does: it never enters a mount point below dir (a real file system there is a drive
// of its own), nor /proc, /sys, /dev and /run below the root. A folder that is there but cannot be read (dir
// itself or one below it) adds nothing and goes into `unread` when given; the scan goes on with the rest. A file
// that vanishes while it is scanned is no longer there to list. Raises EFOpenError for a file that is there but
// cannot be opened for reading.
void ScanFolder(FileInfos& out, const std::string& dir, std::vector<TUnreadableFolder>* unread = nullptr);

// Finds the first entry of a snapshot with a given path, in constant time. The snapshot must outlive the index and
// stay unchanged while it is used.
class TFileInfoIndex {
public:
    explicit TFileInfoIndex(const FileInfos& entries);
    // The first entry whose path equals `path` exactly; null when there is none.
    const tagFileInfo* Find(std::string_view path) const;

private:
    std::unordered_map<std::string_view, const tagFileInfo*> first_;
};

// True when entry's path is not in the old snapshot, or the first old entry of that path has another size. A file
// rewritten with the same length counts as unchanged.
bool IsFileChanged(const TFileInfoIndex& old, const tagFileInfo& entry);

// The bytes a listing holds: the sum of the sizes, each taken as the unsigned 32 bits that an entry keeps, so a
// listing of more than 2 GiB still gives its true total.
std::int64_t ListingByteTotal(const FileInfos& list);
