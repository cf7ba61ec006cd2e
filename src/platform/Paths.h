#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

// Path helpers with this platform's rules: "/" separates, "/" alone is the root, folder texts end with "/", and
// paths compare exactly, letter case included, because the file system tells "a.txt" from "A.TXT".

inline constexpr char PathDelim = '/';

// Everything up to and including the last "/" ("" when there is none).
std::string ExtractFilePath(const std::string& path);
// The part after the last "/".
std::string ExtractFileName(const std::string& path);
// The text from the last "." on, when that dot lies in the last piece of the path; "" otherwise.
std::string ExtractFileExt(const std::string& path);
std::string IncludeTrailingPathDelimiter(const std::string& path);
std::string ExcludeTrailingPathDelimiter(const std::string& path);
bool IsRootPath(const std::string& path);

// The one comparison of paths and path pieces.
bool SamePath(const std::string& a, const std::string& b);
bool PathStartsWith(const std::string& path, const std::string& prefix);

// A regular file, or a symbolic link to one.
bool FileExists(const std::string& path);
// A real folder; a symbolic link to a folder is not one, so nothing walks into a link loop.
bool DirectoryExists(const std::string& path);
// Makes the folder and its missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& path);
bool DeleteFile(const std::string& path);
// Size of a file opened for reading; raises EFOpenError when it cannot be opened.
std::int64_t FileSizeByName(const std::string& path);
// Raises the EFOpenError of a file that could not be opened: "Cannot open file "<path>". " and the system's text.
[[noreturn]] void RaiseCannotOpen(const std::string& path, int error);

// Whether this process follows the symbolic link `link` (as lstat gives it) that stands in the folder `folder` (as
// stat gives it). Only a link of the running user's or of root's is followed, as the kernel's rule for links in
// shared folders has it, so that a save or a restore of root's in a user's folders is never led by that user into
// files of root's. A link of root's in a folder that root does not own is followed only when it has one name: where
// the system lets users hard-link files of others, a user could give a link of root's (one to /run, say) a name of
// his own there. The one rule for every save, leftover removal and restore.
bool MayFollowLink(const struct stat& link, const struct stat& folder);
// The target of the symbolic link held open as `link` (O_PATH | O_NOFOLLOW; `st` is what fstat gave of it) in the
// folder held open as `folder`, when MayFollowLink allows it. Owner and target are read through that one
// descriptor, never by the link's name again, so a link swapped in meanwhile is not read as the one allowed. Empty
// when the link is not followed: errno is then EPERM for a link the rule refuses, else the system's reason.
std::optional<std::string> ReadPermittedLink(int link, const struct stat& st, int folder);
// The file that `path` names once the symbolic links at its end are followed as MayFollowLink allows, whether
// anything is there or not; the folders on the way are the system's to follow. Raises ELinkError with the reason
// (a link that is not followed, a loop) otherwise.
std::string FollowPermittedLinks(const std::string& path);
// Gives what this process has just made, open as `made` (any descriptor, O_PATH too), the owner and group of the
// folder open as `folder`, when that folder is not the process's own and the process may (root may): what a start
// as root makes in a user's folder is the user's, as if the user had made it. A process in its own folder, or one
// that may not give files away, changes nothing. Nothing is given that the process does not own.
void GiveFolderOwner(int made, int folder);

// Which mount a folder lies on. A folder scan and the drive tree stay on the file system they start on, as
// find -xdev does: they never enter a mount point below it (a file system mounted on a folder, or a folder bound
// onto another). Where the kernel names mounts (Linux 5.8 on), the mount decides, so that a bind of a folder of the
// same device is a mount point too and a btrfs subvolume is not; before that, the device decides.
struct TMountId {
    std::uint64_t Device = 0;
    std::uint64_t Mount = 0; // 0 when the kernel does not tell
};
// The mount of the folder open as `fd`; empty when it cannot be examined.
std::optional<TMountId> MountOfOpenFolder(int fd);
// The mount of the path itself (a last symbolic link is not followed); empty when it cannot be examined.
std::optional<TMountId> MountOfPath(const std::string& path);
// The kernel's own folders below the root: /proc, /sys, /dev and /run (with or without a trailing "/"). They hold
// no user's data, and some of their files never end; a scan of the root counts them as other file systems even
// where one of them is a plain folder of the root's (as /run is in some containers).
bool IsKernelFolder(const std::string& path);
// Whether a folder at `path` on `inner`, met inside a folder on `outer`, lies beyond the outer one's file system.
bool LeavesFileSystem(const std::string& path, const TMountId& outer, const TMountId& inner);

// DOS-style attribute bits: 0x10 folder, 0x20 file, +0x01 when the owner may not write, +0x02 when the name
// begins with "."; InvalidFileAttributes when the path cannot be examined.
inline constexpr std::uint32_t InvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
std::uint32_t GetFileAttributes(const std::string& path);
// The same bits from what stat said of the file at path, for a caller that has it already.
std::uint32_t FileAttributesOf(const struct stat& status, const std::string& path);

// The folder of the running executable, with a trailing "/".
std::string ProgramDirectory();

// The folder for the program's work files, ending with "/": $TEMP, else $TMPDIR, else PrivateTempDir("/tmp/"); a
// variable that names a folder of another user's (neither this user's nor root's) is passed over.
// Raises Exception when the private folder cannot be made or is not the user's own.
std::string GetTempDir();
// parent + "CorvaneBackUp-<uid>/", made with mode 0700 when missing. An existing one must be a real folder (no
// symbolic link) owned by the user; it is closed to others when it was not. Raises Exception otherwise, so that
// nobody else's folder takes the user's archives.
std::string PrivateTempDir(const std::string& parent);
