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

// Appends every file under dir (a folder path ending with "/"), depth first: a subfolder's files follow where the
// subfolder was met, in the order the file system gives them, hidden ones included. A file is a regular file or a
// symbolic link to one; a folder is a real folder and is never entered through a link; FIFOs, sockets, devices and
// dangling links are passed over, and so is a dir that is missing, a link or no folder. The scan stays on the file
// system of dir, as find -xdev does: it never enters a mount point below dir (a real file system there is a drive
// of its own), nor /proc, /sys, /dev and /run below the root. A folder that is there but cannot be read (dir
// itself or one below it, or one that can be listed but not entered) adds nothing and goes into `unread` when
// given, once, and so does a file that is there but cannot be opened for reading; the scan goes on with the rest.
// A file that vanishes while it is scanned is no longer there to list. Raises EFOpenError only when the process is
// out of descriptors or memory.
void ScanFolder(FileInfos& out, const std::string& dir, std::vector<TListingError>* unread = nullptr);

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
