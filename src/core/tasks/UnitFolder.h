#pragma once

#include "UnitFile.h"

// One folder chosen for a task, with everything under it. Path ends in "/" (the root is "/" itself): the folder
// scan and the covering test below rely on that separator.
class TFolder : public TFileBase {
public:
    // As a file entry for `path`; a folder is no file, so Stamp is 0.
    explicit TFolder(const std::string& path);
    // Reads a folder entry record, which holds the path only: Dir is empty, Flag 1, Stamp 0, Extra zero whatever
    // the folder had when it was written. Raises EReadError on a damaged or truncated record.
    explicit TFolder(TStream& stream);

    // This folder covers `path`: a file or folder inside it, or the folder itself while it exists.
    bool IsSame(const std::string& path) const override;
    // Writes the path only.
    void SaveToStream(TStream& stream) const override;
};
