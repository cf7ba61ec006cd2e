#pragma once

#include "core/app/CoreWindows.h"
#include "core/tasks/UnitFile.h"
#include "core/tasks/UnitFolder.h"
#include "core/tasks/UnitTime.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A task's settings. A new record has every text empty and every flag 0; any non-zero flag means true.
struct TGroupInfo {
    TGroupInfo();
    ~TGroupInfo();

    std::unique_ptr<TTimePeriod> Period;
    std::uint8_t Incremental = 0;
    std::uint8_t Active = 0; // the task takes part in the schedule ("Enable")
    std::uint8_t NeedEncrypt = 0;
    std::string Password;
    std::string MailUserName;
    std::string MailAddress;
    std::string MailRecipient;
    std::string MailServer;
    std::string MailUserId;
    std::string MailPassword;
    std::uint8_t MailNeedAuth = 0;
    std::uint8_t MailEnable = 0;
    std::uint8_t MailAlertFail = 0;
    std::uint8_t MailAlertSuccess = 0;
};

// One entry of a task's snapshot: a listed file, its size and the running total of the listing up to it.
struct tagFileInfo {
    std::string Path;
    std::int32_t Total = 0;
    std::int32_t Size = 0;
};

// A snapshot: the listing of a task's last run, in listing order.
using FileInfos = std::vector<tagFileInfo>;

// Something a listing found but left out, with the system's error number: a folder it could not read or enter
// (none of its files is listed), a file it could not open, or a task entry whose path climbs with a ".." piece.
struct TListingError {
    enum TKind { Folder, File, Entry };
    TKind Kind = Folder;
    std::string Path; // a folder's ends with "/"
    int Error = 0;    // 0 for an entry
};

// One backup task: the files and folders it backs up, its settings and schedule, the snapshot of its last listing
// and, in the backup program, its row in the task list. Main thread only.
class TGroup {
public:
    // A task named "NewTask" with default settings. With an owner view its row is made at once.
    explicit TGroup(ITaskListView* owner = nullptr);
    // Removes the row from the owner view; the view must still exist.
    ~TGroup();
    TGroup(const TGroup&) = delete;
    TGroup& operator=(const TGroup&) = delete;

    // The task takes the entry; the result is its index.
    int AddFile(std::unique_ptr<TFileBase> file);
    int AddFolder(std::unique_ptr<TFolder> folder);
    // Drops every file and folder entry.
    void ClearFiles();
    static void ClearFileInfos(FileInfos& list);

    // The files and folders become fresh entries for the other task's paths, in its order; the name, settings and
    // snapshot of both tasks stay as they are.
    void Assign(const TGroup& other);

    const std::string& GetName() const { return Name; }
    // Does not refresh the row: callers follow with UpdateListItem.
    void SetName(const std::string& name) { Name = name; }

    // The path is one of the chosen files.
    bool HasFile(const std::string& path) const;
    // A chosen folder covers the path.
    bool HasFolder(const std::string& path) const;
    bool Contains(const std::string& path) const;
    // Some chosen file or folder lies inside `folder`.
    bool HasItemsUnder(const std::string& folder) const;
    // Replaces the list's lines by the paths of the files (folders) inside `folder`, in task order.
    void GetFilesUnder(const std::string& folder, TStrings& list) const;
    void GetFoldersUnder(const std::string& folder, TStrings& list) const;

    // Makes the row when there is an owner view and none yet, then fills it: caption Name, data this task,
    // picture 0, and the columns "Enable" ("True"/"False"), "Period" (the rule's kind) and "Last run" (the
    // locale's date-and-time text, or "Never" while the whole-day part of LastRun is 0). Nothing without an owner.
    void UpdateListItem();

    // Listing of a run (built with the archive units, which the companion does not link).
    // The temporary folder, the task name with any "/" made "_" (cut to 218 bytes, so that every name made from the
    // archive's fits the file-name limit), "__", the moment as yy_dd_mm_hh-nn-ss, ".zip".
    std::string MakeArchiveName() const;
    // Replaces out's entries by a scan: the single files that exist as files, in task order, then every file under
    // each folder, depth first. The task's paths are taken clean (no empty or "." piece); one with a ".." piece is
    // left out. Each path is listed once, at its first place, however the entries overlap. What is there but cannot
    // be read (a folder, one that can be listed but not entered, a file) is left out and goes into `unread` when
    // given, once each, and so does an entry left out for its ".."; missing entries are passed over. Raises
    // EFOpenError when the system runs out of descriptors or memory, which no file is to blame for.
    void CollectFileInfos(FileInfos& out, std::vector<TListingError>* unread = nullptr) const;
    // Appends every scanned path to list, makes the scan the snapshot and sets the application object's run byte
    // total and count of listing errors; each thing left out gets one "Error: " line in the log. On an error
    // nothing is appended and the snapshot stays as it was.
    void ListAllFiles(TStrings& list);
    // As ListAllFiles, but appends only the paths that are new or have another size than in the old snapshot.
    void ListChangedFiles(TStrings& list);

    // The backup run (built with the worker, which the companion does not link). Runs the task once: lists,
    // packs, encrypts when asked, uploads the list file and then the volumes, and records the outcome: LastRun
    // when the run went through to its end, LastRunOk only when the list file and every volume reached the server.
    // The new listing stays the snapshot only then, or when it found nothing to send. Main thread, inside the
    // worker's job.
    void DoBackup();
    // Every file into volume 0 of `archive`; the (volume, path) pairs, or null when nothing was packed.
    std::unique_ptr<TStringList> FullBackup(const std::string& archive);
    // A full backup whose volume 0 is encrypted into volume 0 of `target`; the pairs, or null.
    std::unique_ptr<TStringList> EncryptedFullBackup(const std::string& target);
    // Mails the report of the last run when the task's mail settings ask for one for its outcome.
    void SendAlert();

    // The task record of "files.lst".
    void SaveToStream(TStream& stream) const;
    // Reads a task record into this (fresh) task. A damaged or truncated record raises EReadError and leaves the
    // task as far as it was read, its row showing that much.
    void LoadFromStream(TStream& stream);

    std::vector<std::unique_ptr<TFileBase>> Files;
    std::vector<std::unique_ptr<TFolder>> Folders;
    ITaskListItem* Item = nullptr; // the row, owned by Owner
    std::string Name = "NewTask";
    FileInfos Snapshot;
    std::uint8_t LastRunOk = 0; // set by each run, not stored
    std::unique_ptr<TGroupInfo> Info;
    ITaskListView* Owner = nullptr; // not owned

private:
    void ReadRecord(TStream& stream);
};
