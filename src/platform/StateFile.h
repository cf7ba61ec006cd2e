#pragma once

#include "Exceptions.h"
#include "Streams.h"

#include <functional>
#include <string>

// A save refused because the file could not be read at start; its text is the file's UnreadableText.
class EStateFileRefused : public Exception {
public:
    using Exception::Exception;
};

// A state file of the program beside it ("files.lst", "ftpbackup.stg", "Backup.log"): the one place that decides
// whether it may be written. A file that was there but could not be read is never replaced while this object lives,
// so that a passing fault (an owner, a mode, a FIFO or another user's link in its place) never costs the user its
// content. A save replaces the file whole, private to its owner (0600), through the links that MayFollowLink allows,
// keeping the replaced file's owner and group, or giving a new one its folder's; or it changes nothing at all.
class TStateFile {
public:
    explicit TStateFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }
    // Records why the file could not be read (the reader's message, which names it); from then on it is not written.
    // The first reason stays.
    void SetUnreadable(const std::string& reason);
    // Why the file could not be read; empty while it may be written.
    const std::string& Unreadable() const { return unreadable_; }
    // For the user, when the file could not be read: why, that it is left as it was, and what to look at.
    std::string UnreadableText() const;

    // Replaces the file with what `write` puts into the stream it is given. Raises EStateFileRefused, with
    // UnreadableText, for a file that could not be read; any other failure (no new file can be made beside the
    // target, a full disk, an error of `write`) keeps the old file as it was and is raised as the same kind of
    // Exception, its text naming the file and saying that it was not saved.
    void Write(const std::function<void(TStream&)>& write);

private:
    std::string NotSavedText(const std::exception& error) const;

    std::string path_;
    std::string unreadable_;
};
