#include "UnitGroups.h"

#include "core/app/StoredText.h"
#include "platform/DateTime.h"

#include <algorithm>

TGroupInfo::TGroupInfo() : Period(std::make_unique<TTimePeriod>()) {}

TGroupInfo::~TGroupInfo() = default;

TGroup::TGroup(ITaskListView* owner) : Info(std::make_unique<TGroupInfo>()), Owner(owner) {
    UpdateListItem();
}

TGroup::~TGroup() {
    Info.reset();
    if (Item != nullptr && Owner != nullptr) {
        Owner->DeleteItem(Item);
    }
    Item = nullptr;
}

int TGroup::AddFile(std::unique_ptr<TFileBase> file) {
    Files.push_back(std::move(file));
    return static_cast<int>(Files.size()) - 1;
}

int TGroup::AddFolder(std::unique_ptr<TFolder> folder) {
    Folders.push_back(std::move(folder));
    return static_cast<int>(Folders.size()) - 1;
}

void TGroup::ClearFiles() {
    Files.clear();
    Folders.clear();
}

void TGroup::ClearFileInfos(FileInfos& list) {
    list.clear();
}

void TGroup::Assign(const TGroup& other) {
    // Clearing first would leave nothing to copy from.
    if (&other == this) {
        return;
    }
    ClearFiles();
    for (const auto& file : other.Files) {
        AddFile(std::make_unique<TFileBase>(file->Path));
    }
    for (const auto& folder : other.Folders) {
        AddFolder(std::make_unique<TFolder>(folder->Path));
    }
}

bool TGroup::HasFile(const std::string& path) const {
    return std::any_of(Files.begin(), Files.end(), [&](const auto& file) { return file->IsSame(path); });
}

bool TGroup::HasFolder(const std::string& path) const {
    return std::any_of(Folders.begin(), Folders.end(), [&](const auto& folder) { return folder->IsSame(path); });
}

bool TGroup::Contains(const std::string& path) const {
    return HasFolder(path) || HasFile(path);
}

bool TGroup::HasItemsUnder(const std::string& folder) const {
    const auto inside = [&](const auto& entry) { return entry->IsInside(folder); };
    return std::any_of(Files.begin(), Files.end(), inside) || std::any_of(Folders.begin(), Folders.end(), inside);
}

void TGroup::GetFilesUnder(const std::string& folder, TStrings& list) const {
    list.Clear();
    for (const auto& file : Files) {
        if (file->IsInside(folder)) {
            list.Add(file->Path);
        }
    }
}

void TGroup::GetFoldersUnder(const std::string& folder, TStrings& list) const {
    list.Clear();
    for (const auto& entry : Folders) {
        if (entry->IsInside(folder)) {
            list.Add(entry->Path);
        }
    }
}

void TGroup::UpdateListItem() {
    if (Owner == nullptr) {
        return;
    }
    if (Item == nullptr) {
        Item = Owner->AddItem();
    }
    Item->SetCaption(Name);
    Item->SetData(this);
    Item->SetImageIndex(0);
    const TTimePeriod& period = *Info->Period;
    Item->SetSubItems({
        Info->Active != 0 ? "True" : "False",
        period.TypeName(),
        DayOf(period.LastRun) != 0 ? DateTimeToStr(period.LastRun) : "Never",
    });
}

void TGroup::SaveToStream(TStream& stream) const {
    WriteStringToStream(stream, Name);
    stream.WriteInt32(static_cast<std::int32_t>(Files.size()));
    for (const auto& file : Files) {
        file->SaveToStream(stream);
    }
    stream.WriteInt32(static_cast<std::int32_t>(Folders.size()));
    for (const auto& folder : Folders) {
        folder->SaveToStream(stream);
    }
    stream.WriteByte(Info->Incremental);
    stream.WriteByte(Info->Active);
    stream.WriteByte(Info->NeedEncrypt);
    WriteStringToStream(stream, Info->Password);
    Info->Period->SaveToStream(stream);
    stream.WriteInt32(static_cast<std::int32_t>(Snapshot.size()));
    for (const tagFileInfo& entry : Snapshot) {
        stream.WriteInt32(entry.Total);
        stream.WriteInt32(entry.Size);
        WriteStringToStream(stream, entry.Path);
    }
    for (const std::string* text : {&Info->MailUserName, &Info->MailAddress, &Info->MailRecipient, &Info->MailServer,
                                    &Info->MailUserId, &Info->MailPassword}) {
        WriteStringToStream(stream, *text);
    }
    stream.WriteByte(Info->MailNeedAuth);
    stream.WriteByte(Info->MailEnable);
    stream.WriteByte(Info->MailAlertFail);
    stream.WriteByte(Info->MailAlertSuccess);
}

void TGroup::LoadFromStream(TStream& stream) {
    try {
        ReadRecord(stream);
    } catch (...) {
        // The task stays in its list as far as it was read; its row should show that much, not the defaults.
        UpdateListItem();
        throw;
    }
}

void TGroup::ReadRecord(TStream& stream) {
    // Counts are signed: zero or a negative count reads no entries. A count larger than the entries that follow
    // ends at the first entry that runs past the data, each entry taking at least five bytes, so a damaged count
    // costs neither memory nor a read beyond the end.
    Name = ReadStringFromStream(stream);
    const std::int32_t fileCount = stream.ReadInt32();
    for (std::int32_t i = 0; i < fileCount; ++i) {
        AddFile(std::make_unique<TFileBase>(stream));
    }
    const std::int32_t folderCount = stream.ReadInt32();
    for (std::int32_t i = 0; i < folderCount; ++i) {
        AddFolder(std::make_unique<TFolder>(stream));
    }
    if (Item != nullptr) {
        Item->SetData(this);
        Item->SetCaption(Name);
    }
    Info->Incremental = stream.ReadByte();
    Info->Active = stream.ReadByte();
    Info->NeedEncrypt = stream.ReadByte();
    Info->Password = ReadStringFromStream(stream);
    Info->Period->LoadFromStream(stream);
    UpdateListItem();
    const std::int32_t snapshotCount = stream.ReadInt32();
    for (std::int32_t i = 0; i < snapshotCount; ++i) {
        tagFileInfo entry;
        entry.Total = stream.ReadInt32();
        entry.Size = stream.ReadInt32();
        entry.Path = ReadStringFromStream(stream);
        Snapshot.push_back(std::move(entry));
    }
    for (std::string* text : {&Info->MailUserName, &Info->MailAddress, &Info->MailRecipient, &Info->MailServer,
                              &Info->MailUserId, &Info->MailPassword}) {
        *text = ReadStringFromStream(stream);
    }
    Info->MailNeedAuth = stream.ReadByte();
    Info->MailEnable = stream.ReadByte();
    Info->MailAlertFail = stream.ReadByte();
    Info->MailAlertSuccess = stream.ReadByte();
}
