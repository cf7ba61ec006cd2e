#pragma once

#include "Descriptor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The window registry: how one of our programs finds a window of the other by (class, caption) and hands it the
// copy-data notice.
//
// A window that wants to be found announces itself: it listens on a local socket in a folder of this user's own
// (0700, under $XDG_RUNTIME_DIR, else /tmp/CorvaneBackUp-windows-<uid>). The socket's name carries the class, a
// digest of class and caption, and the announcing process's id, so two running copies of a program each have
// their own entry. A lookup is a connect that succeeds: the socket file that a killed program leaves behind
// refuses connections, so it never makes a window look alive, and the next announce of the same window clears it.
//
// The copy-data notice is a small message on such a connection that the owner answers from its event loop before
// the sender goes on; the sender waits a bounded time, so a hung owner cannot hang it.

// The notice's content: who sends it, a tag word and a block of bytes (the registry looks at none of them).
struct TCopyData {
    std::uint64_t Sender = 0;
    std::uint32_t Tag = 0;
    std::string Data;
};

// Largest data block a notice may carry; a longer one is refused by both sides.
inline constexpr std::size_t MaxCopyDataSize = 64 * 1024;

// A window's entry in the registry, alive from Announce until Withdraw or destruction. Announce and notices need a
// Qt event loop in the thread that announced: the handler runs there, between the thread's other events.
class TWindowAnnouncement {
public:
    using CopyDataHandler = std::function<std::int64_t(const TCopyData&)>;

    TWindowAnnouncement();
    ~TWindowAnnouncement();
    TWindowAnnouncement(const TWindowAnnouncement&) = delete;
    TWindowAnnouncement& operator=(const TWindowAnnouncement&) = delete;

    // Makes the window findable as (className, caption) by this user's programs. A second call replaces the first
    // identity, as a caption change does. False when the registry folder or the socket cannot be made; the window
    // is then not findable.
    bool Announce(const std::string& className, const std::string& caption);
    // Removes the entry; the window is no longer found. Nothing happens when it is not announced.
    void Withdraw();
    bool IsAnnounced() const;
    // The socket file of the entry, "" when not announced.
    std::string SocketPath() const;

    // Called for each notice; what it returns goes back to the sender. Without a handler a notice is answered 0.
    void SetCopyDataHandler(CopyDataHandler handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The guard of a program that runs once per user: a lock file named after the program in the registry folder,
// taken before the program looks for a copy of itself and held for its life. The look and the announcement are
// then one step: of starts that come together exactly one gets the lock. A lock left by a program that was
// killed never blocks a start (QLockFile's stale-lock test: the process that wrote it is gone, and nobody holds
// the file's own lock), and a lock that a live program holds is never taken from it, however old.
class TInstanceLock {
public:
    explicit TInstanceLock(const std::string& programName);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // False when another running program holds the lock. True when this process holds it now, and also when no
    // lock can be made at all (no usable registry folder): the start then goes on as it would without one.
    bool Acquire();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The guard of a program folder's state ("files.lst", the settings, the log): a lock file in the folder itself,
// beside the files it guards, held (flock) from the start of a program to its end. What two copies must never
// share is that state, so the lock holds whatever their environment: another XDG_RUNTIME_DIR, no session at all, a
// start through sudo. The system lets go of it when its holder ends, however it ends, so a killed program never
// blocks a start; the file itself stays (removing it would let two starts each lock a file of their own).
class TProgramFolderLock {
public:
    enum class TOutcome {
        Taken,         // held by this process now
        HeldByAnother, // a running program holds it
        Failed,        // it cannot be taken (Problem says why): nothing guards the folder's state
    };

    // The lock file is `path` ("<program folder>/<program>.lock"), made when missing (its folder's owner's, where
    // the process may give it). Anything but a regular file there is a lock that cannot be taken.
    explicit TProgramFolderLock(std::string path);
    ~TProgramFolderLock();
    TProgramFolderLock(const TProgramFolderLock&) = delete;
    TProgramFolderLock& operator=(const TProgramFolderLock&) = delete;

    TOutcome Acquire();
    // After a failed Acquire, a message for the user: which lock, why, and what that means.
    const std::string& Problem() const { return problem_; }

private:
    // Opens (makes) the lock file as fd_; the system's error number when it cannot, 0 otherwise (fd_ stays closed
    // when something else than a regular file stands there).
    int Open();

    std::string path_;
    std::string problem_;
    TDescriptor fd_;
};

// True when a window announced as (className, caption) accepts a connection within the timeout. Needs no event
// loop and may be called from any thread.
bool FindWindow(const std::string& className, const std::string& caption,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// Sends the notice to the first window announced as (className, caption) that answers, and waits for its answer:
// the handler's result, or nothing when no such window exists, the data is too long, or no answer came in time.
// Needs no event loop; must not be called from the thread that owns the target window, which could not answer
// while this waits.
std::optional<std::int64_t> SendCopyData(const std::string& className, const std::string& caption,
                                         const TCopyData& message,
                                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// The registry folder of this user with a trailing "/"; made on demand with mode 0700 when `create` is set. ""
// when it does not exist (and `create` is not set) or when the path is held by something that is not a folder of
// this user, which is then never used.
std::string WindowRegistryFolder(bool create = false);
