#include "UnitFolder.h"

#include "core/app/StoredText.h"
#include "platform/Paths.h"

TFolder::TFolder(const std::string& path) : TFileBase(path) {}

TFolder::TFolder(TStream& stream) : TFileBase(std::string()) {
    Path = ReadStringFromStream(stream);
}

bool TFolder::IsSame(const std::string& path) const {
    // An existing folder is tested with its own trailing "/", so the folder itself is covered; anything else by
    // the folder it lies in. The entry's trailing "/" keeps /data2 out of /data/.
    const std::string subject = DirectoryExists(path) ? path + PathDelim : ExtractFilePath(path);
    return PathStartsWith(subject, Path);
}

void TFolder::SaveToStream(TStream& stream) const {
    WriteStringToStream(stream, Path);
}
