#include "UnitFile.h"

#include "core/app/StoredText.h"
#include "platform/Paths.h"

TFileBase::TFileBase(const std::string& path) : Path(path), Dir(ExtractFilePath(path)) {
    if (FileExists(path)) {
        Stamp = Now();
    }
}

TFileBase::TFileBase(TStream& stream) {
    Path = ReadStringFromStream(stream);
    Dir = ReadStringFromStream(stream);
    const std::string stamp = ReadStringFromStream(stream);
    if (!TryStrToDateTime(stamp, Stamp)) {
        Stamp = 0;
    }
    Flag = stream.ReadByte();
    stream.ReadBuffer(Extra.data(), Extra.size());
}

bool TFileBase::IsSame(const std::string& path) const {
    return SamePath(Path, path);
}

bool TFileBase::IsInside(const std::string& folder) const {
    if (folder.empty()) {
        return false;
    }
    // The added "/" keeps a sibling whose name merely begins with the same letters (/data and /database) out;
    // the root already ends in one.
    const std::string prefix = IsRootPath(folder) ? folder : folder + PathDelim;
    return PathStartsWith(Path, prefix);
}

void TFileBase::SaveToStream(TStream& stream) const {
    WriteStringToStream(stream, Path);
    WriteStringToStream(stream, Dir);
    WriteStringToStream(stream, DateTimeToStr(Stamp));
    stream.WriteByte(Flag);
    stream.WriteBuffer(Extra.data(), Extra.size());
}
