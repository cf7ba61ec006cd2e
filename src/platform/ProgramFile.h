#pragma once

#include "Descriptor.h"
#include "Streams.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

// How a program file's mode is set.
enum class TModeRule {
    Exact,        // Mode as given, whatever the umask (a state file's 0600)
    Umasked,      // Mode less the umask, as a file that the program opened anew would have
    FromReplaced, // the replaced regular file's permission bits, set-user-id and set-group-id left out; Umasked where
                  // there is none. Meanwhile the file is its maker's alone (0600), so a private file replaced by a new
                  // copy of itself is never readable by others, not even for a moment.
};

// What a replacement takes over from the file it replaces, and what a symbolic link at its target means to it. Only
// a regular file standing at the target itself lends anything; where the target is a link that is followed (see
// ThroughLinks), the file the link names stands there.
struct TProgramFileRules {
    TModeRule ModeRule = TModeRule::Exact;
    unsigned Mode = 0600;
    // The replaced file's owner and group, as far as the process may give them (root may give any; another user
    // at most a group of its own); otherwise the new file is the process's.
    bool OwnerFromReplaced = true;
    // Where no regular file is replaced, the new file takes the owner and group of its folder, as far as the process
    // may give them (see GiveFolderOwner): what a start as root makes in a user's folder is the user's.
    bool OwnerFromFolder = true;
    // A symbolic link at a target given by path: true saves through it, as an editor does (the file it names is
    // replaced, or made when the link dangles, and the link stays), where MayFollowLink allows it, and refuses the
    // save at any other link; false replaces the link itself and never looks where it points.
    bool ThroughLinks = true;
    // The bytes forced to the disk before the rename, and the folder after it: after a crash the target is the old
    // file or the whole new one, never an empty one.
    bool Durable = true;
};

// A file the program makes, under a name of its own: a random one made with O_CREAT | O_EXCL | O_NOFOLLOW (what
// mkostemp does, here also in a folder given by descriptor), so it is never anybody else's file or a link planted
// in advance. It is removed however its user leaves, unless it was committed.
//
// A replacement is named "<target's name>.XXXXXX.tmp" in the target's folder (".XXXXXX.tmp" where that name would
// be too long) and renamed over the target by Commit: a reader sees the old file or the new, never a mixture; a
// failed or interrupted write keeps the old file; two replacements at once never touch each other's file, and the
// target ends up as one of them, whole. What the new file takes from the old is the rules' business.
class TProgramFile {
public:
    // A replacement of the file at `target`. Raises EFCreateError, naming the target, when it cannot be made.
    TProgramFile(const std::string& target, const TProgramFileRules& rules);
    // A replacement of `name` (one piece) in the folder open as `folder`, which the caller keeps open until this
    // object is gone (a restore makes thousands in one folder: a copy of the descriptor each would cost a call
    // each). A link standing at the name is replaced, never followed, whatever ThroughLinks says.
    TProgramFile(int folder, const std::string& name, const TProgramFileRules& rules);
    // A work file "<folder><kind>-XXXXXX", empty, mode 0600, that replaces nothing and goes with the object. Raises
    // EFCreateError, naming the folder, when it cannot be made.
    static TProgramFile WorkFile(const std::string& folder, const std::string& kind);
    // A new file under exactly the name `path` gives, empty, mode 0600, for a name that means something outside (a
    // volume's or a list's, which reach the server): made with O_CREAT | O_EXCL | O_NOFOLLOW, so it is never a file
    // that was there or a link planted at the name. Raises EFCreateError, naming the path, when it cannot be made
    // (also when anything stands at the name). Goes with the object unless kept (Keep).
    static TProgramFile NewFile(const std::string& path);
    ~TProgramFile();
    TProgramFile(const TProgramFile&) = delete;
    TProgramFile& operator=(const TProgramFile&) = delete;

    // The open file, for writing; valid until Commit.
    int Descriptor() const { return file_.Get(); }
    TStream& Stream() { return *stream_; }
    // The file's path: the folder as given and the file's own name; in a folder given by descriptor, the name
    // alone (relative to that folder).
    const std::string& Path() const { return path_; }

    // Replaces the target with the file (a replacement only). Raises EWriteError when the bytes cannot be kept and
    // EFCreateError when the target cannot be replaced; the file is gone then and the target is as it was.
    void Commit();
    // A new file (NewFile) stays when the object goes; its descriptor is closed then.
    void Keep();

    // Removes the files that replacements of `target` (by path, with `throughLinks` as the rules say) left when
    // they were killed before their Commit. Only for a target whose replacement name fits its folder, and only
    // while nothing can be replacing it (its program holds its lock): a live writer's file would go too.
    static void RemoveLeftovers(const std::string& target, bool throughLinks = true);

private:
    struct WorkTag {};
    TProgramFile(WorkTag, const std::string& folder, const std::string& kind);
    struct NewTag {};
    TProgramFile(NewTag, const std::string& path);
    void OpenFolder(const std::string& folder);
    void Create(const std::string& prefix, const std::string& suffix);
    void TakeOverFromReplaced();
    // Closes and removes the file.
    void Discard();
    // Raises EFCreateError with the system's text of `error`, naming the target (or a work file's folder).
    [[noreturn]] void Fail(int error);

    TProgramFileRules rules_;
    std::string folderPath_; // "" for a folder given by descriptor
    std::string targetName_; // "" for a work file and a new file
    std::string shownPath_;  // the target as given (a work file's folder), for messages
    std::string name_;       // the file's own name in the folder
    std::string path_;
    TDescriptor folder_;
    bool folderBorrowed_ = false; // folder_ is the caller's, never closed here
    TDescriptor file_;
    std::unique_ptr<TFileStream> stream_;
    bool committed_ = false;
    bool named_ = false; // a new file, under the name given
};

// Picks out a leftover by its name and the names of everything its folder holds (a leftover may be told by its
// neighbours).
using TLeftoverRule = std::function<bool(const std::string& name, const std::unordered_set<std::string>& names)>;

// Removes from `folder` the running user's own regular files that `leftover` picks out. For what a killed copy of the
// program left, and only while no copy can be using them: its program holds the locks that keep a second copy out.
void RemoveOwnLeftovers(const std::string& folder, const TLeftoverRule& leftover);

// A work file of the program's own in the temporary folder (GetTempDir): made empty, with mode 0600, under a unique
// name made from `kind` (a word of ours), and removed when the object goes, whichever way its user leaves. Never
// named after anything from outside: a name the server lists could climb out of the folder, or be too long for it.
// Raises Exception when it cannot be made.
class TWorkFile {
public:
    explicit TWorkFile(const std::string& kind);
    // Removes the user's own regular files that work files of `kind` left in the temporary folder when their
    // program was killed. Only while no copy of the program can be using them (it holds the locks that keep a
    // second copy out).
    static void RemoveLeftovers(const std::string& kind);
    const std::string& Path() const { return file_.Path(); }
    // The open file, for writing it where it was made, never again by its name.
    TStream& Stream() { return file_.Stream(); }

private:
    TProgramFile file_;
};
