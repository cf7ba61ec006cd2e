#pragma once

#include "platform/DateTime.h"
#include "platform/Streams.h"

#include <array>
#include <cstdint>
#include <string>

// One file chosen for a task. Answers the two path questions of the files tree and the task: is a path this
// entry's own, and does the entry lie inside a folder. Paths compare exactly (Paths.h).
class TFileBase {
public:
    // An entry for `path`: Dir is its folder, Flag 1, Stamp now when the file exists (else 0), Extra zero.
    explicit TFileBase(const std::string& path);
    // Reads a file entry record at the stream's position. A stamp text that does not convert in the current
    // locale reads as 0 and the record goes on, so one entry written under other date settings costs nothing else.
    // Raises EReadError on a damaged or truncated record.
    explicit TFileBase(TStream& stream);
    virtual ~TFileBase() = default;
    TFileBase(const TFileBase&) = delete;
    TFileBase& operator=(const TFileBase&) = delete;

    // The path itself, exactly.
    virtual bool IsSame(const std::string& path) const;
    // The entry lies inside `folder`, a folder path without a trailing "/" (or the root "/"). An empty folder
    // holds nothing; a folder text ending in "/" other than the root holds nothing either.
    virtual bool IsInside(const std::string& folder) const;
    // Path, Dir, the stamp as the locale's date-and-time text, Flag, Extra.
    virtual void SaveToStream(TStream& stream) const;

    std::string Path;
    std::string Dir;
    // Stored and read back; nothing in the system interprets Flag, Stamp or Extra.
    std::uint8_t Flag = 1;
    TDateTime Stamp = 0;
    std::array<std::uint8_t, 8> Extra{};
};
