// One run of one backup task: from the task's files on disk to the list file and the volumes on the FTP server.

#include "core/app/Encryption.h"
#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "core/net/UnitSender.h"
#include "core/tasks/UnitGroups.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "platform/TerminationSignals.h"

#include <sys/stat.h>

namespace {

void Log(const std::string& line) {
    GetGlobalObject()->Log->Add(line);
}

// The ".inf" list holds one path a line: a path with a line break in it would split there, and every pair after
// it would shift.
bool Unlistable(const std::string& path) {
    return path.find_first_of("\r\n") != std::string::npos;
}

// Takes out of the run's list every path that the ".inf" list cannot carry, each with an error line that shows it.
void LeaveOutUnlistable(TStrings& list) {
    TStringList kept;
    for (const std::string& path : list) {
        if (Unlistable(path)) {
            Log("Error: the name of \"" + ShowControlCharacters(path) +
                "\" holds a line break, which a backup's list cannot hold; the file was left out of the backup");
        } else {
            kept.Add(path);
        }
    }
    if (kept.Count() != list.Count()) {
        list = std::move(kept);
    }
}

// The run's work files in the temporary folder: its volumes, plain and encrypted, and its list file. They go
// whichever way the run ends: the volumes that were sent went on the way, and those left are a copy of the user's
// data that nobody would ever clear away. Kept only where the run means to leave them (the list upload refused).
class TRunFiles {
public:
    TRunFiles(const std::string& archive, std::int32_t volumes) : archive_(archive), volumes_(volumes) {}
    ~TRunFiles() {
        if (kept_) {
            return;
        }
        for (std::int32_t i = 0; i < volumes_; ++i) {
            DeleteFile(VolumeFileName(archive_, i));
            DeleteFile(VolumeFileName(archive_ + ".crt", i));
        }
        DeleteFile(archive_ + ".inf");
        DeleteFile(archive_ + ".crt.inf");
    }
    TRunFiles(const TRunFiles&) = delete;
    TRunFiles& operator=(const TRunFiles&) = delete;
    void Keep() { kept_ = true; }

private:
    std::string archive_;
    std::int32_t volumes_;
    bool kept_ = false;
};

// How far a run got. Filled in as the run goes, so that a run cut short by an error still tells what it had done.
struct TRunOutcome {
    // The run reached its completed end ("Task Done.").
    bool Completed = false;
    // The list file and every volume reached the server.
    bool Delivered = false;
    // The listing found nothing to pack.
    bool NothingToSend = false;
};

// What a run needs of its task, taken when it starts: the name, the kind, the encryption and its password, the
// files and folders, and the snapshot to compare against. The run works from this copy alone, so that an edit of the
// task meanwhile (the settings dialog does not wait for the run) is stored and applies to the next run, never half
// way through this one. The listing's new snapshot stays in the copy until the run knows where its files went.
std::unique_ptr<TGroup> RunCopyOf(const TGroup& task) {
    auto copy = std::make_unique<TGroup>(nullptr);
    copy->Name = task.Name;
    copy->Assign(task);
    copy->Snapshot = task.Snapshot;
    copy->Info->Incremental = task.Info->Incremental;
    copy->Info->NeedEncrypt = task.Info->NeedEncrypt;
    copy->Info->Password = task.Info->Password;
    return copy;
}

// The steps of a run up to its end; a failed end returns with Completed false, and the caller sets its state. The
// run's list of files lives only as long as this call, whatever the outcome. `run` is the run's copy of `task`.
void RunSteps(TGroup& run, TGroup& task, TGlobalObject& app, TRunOutcome& outcome) {
    const TGroupInfo& info = *run.Info;
    const std::string archive = run.MakeArchiveName();
    Log("Backup. Task is " + run.Name);
    // A backup of the same name still in the temporary folder (kept a moment ago when its list was refused): the
    // run would neither make its files new under those names nor may it remove them on its way out.
    for (const std::string& name :
         {archive + ".inf", archive + ".crt.inf", VolumeFileName(archive, 0), VolumeFileName(archive + ".crt", 0)}) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) {
            throw Exception("\"" + name + "\" is still in the temporary folder; the backup was not made");
        }
    }

    std::unique_ptr<TStringList> list;
    std::int32_t volumes = 0;
    if (info.Incremental == 0) {
        Log("Type: Full Backup");
        list = info.NeedEncrypt != 0 ? run.EncryptedFullBackup(archive + ".crt") : run.FullBackup(archive);
        volumes = 1;
        if (!list) {
            // An empty listing leaves an empty snapshot; any other way here (STOP, a failure) leaves the listing.
            outcome.NothingToSend = run.Snapshot.empty();
            Log("Process stopped.");
            return;
        }
    } else {
        Log("Type: Incremental Backup");
        list = std::make_unique<TStringList>();
        Log("Enumerating files");
        run.ListChangedFiles(*list);
        LeaveOutUnlistable(*list);
        outcome.NothingToSend = list->Empty();
        if (app.StopRequested()) {
            return;
        }
        volumes = CompressFiles(list.get(), archive, false);
        if (volumes == 0) {
            Log("Process stopped.");
            return;
        }
    }
    TRunFiles files(archive, volumes);
    if (info.Incremental != 0 && info.NeedEncrypt != 0) {
        for (std::int32_t i = 0; i < volumes; ++i) {
            // A STOP click waits for the encryption (and is seen before the upload); the end of the session does
            // not: the volumes not yet encrypted are not begun.
            if (TerminationRequested()) {
                Log("Process stopped.");
                return;
            }
            const std::string volume = VolumeFileName(archive, i);
            if (!EncryptFile(volume, volume + ".crt", info.Password)) {
                Log("Process stopped.");
                return;
            }
            DeleteFile(volume);
        }
    }

    ProcessMessages();
    if (app.StopRequested()) {
        Log("Process stopped.");
        return;
    }
    if (app.SendWindow) {
        app.SendWindow->SetCaption("Sending...");
    }
    const std::string effective = info.NeedEncrypt != 0 ? archive + ".crt" : archive;
    const std::string listFile = effective + ".inf";
    {
        // Made new under the name the server is to receive, never through what may stand at it.
        TProgramFile written = TProgramFile::NewFile(listFile);
        list->SaveToStream(written.Stream());
        written.Keep();
    }
    // The volumes go up only behind their list: a backup on the server is always described by its list file.
    bool delivered = !TerminationRequested() && app.FTP->SendFile(listFile, ExtractFileName(listFile), true);
    if (!delivered) {
        // Kept on purpose: the whole backup, list and volumes, still at hand where the server took none of it. Not
        // when the program is ending: nothing would ever send or clear them.
        if (!TerminationRequested()) {
            files.Keep();
        }
    } else {
        DeleteFile(listFile);
        for (std::int32_t i = 0; i < volumes; ++i) {
            ProcessMessages();
            const std::string volume = VolumeFileName(effective, i);
            const bool sent = !app.StopRequested() && app.FTP->SendFile(volume, ExtractFileName(volume), true);
            delivered = delivered && sent;
            DeleteFile(volume);
        }
    }
    outcome.Delivered = delivered;
    task.Info->Period->LastRun = Now();
    Log("Task Done.");
    task.UpdateListItem();
    if (app.SendWindow) {
        app.SendWindow->Hide();
    }
    // Another talk with the server, which an ending program does without.
    if (!TerminationRequested()) {
        app.FillServerTree();
    }
    outcome.Completed = true;
}

} // namespace

void TGroup::DoBackup() {
    TGlobalObject& app = *GetGlobalObject();
    app.ShowSendWindow();
    app.Stop = false;
    app.RunListingErrors = 0;
    app.Busy = true;
    app.Log->Mark();
    TRunOutcome outcome;
    std::unique_ptr<TGroup> run;
    try {
        run = RunCopyOf(*this);
        RunSteps(*run, *this, app, outcome);
    } catch (const std::exception& error) {
        // A file that cannot be read, a list file that cannot be written: the run ends as a failed one, and the
        // worker goes on with later jobs.
        Log(std::string("Error: ") + error.what());
    }
    // The snapshot tells the next incremental run what it may leave out. Moved on past files that never reached
    // the server (stopped, failed, refused, cut off), it would leave them out of every later backup until their
    // size changed again; so it moves on only once the backup is on the server, or when nothing was to be sent.
    // Until then it is the run's own: a store of the tasks meanwhile keeps the snapshot of the last backup sent.
    const auto unlistable = [](const tagFileInfo& entry) { return Unlistable(entry.Path); };
    bool leftOut = false;
    if (run) {
        // The listing put every file of the task into the snapshot, those that LeaveOutUnlistable took out of the
        // run too: such a file is missing from the backup, so the run failed. Taken out of the snapshot again, it
        // counts as new for the next incremental run, which reports it once more instead of taking it as backed up.
        leftOut = std::erase_if(run->Snapshot, unlistable) > 0;
        if (outcome.Delivered || outcome.NothingToSend) {
            Snapshot = std::move(run->Snapshot);
        }
    }
    std::erase_if(Snapshot, unlistable);
    // A backup that is not whole on the server is no success, even where the run went through to its end: the
    // failure report must go out for it. So is one that misses what the listing could not read.
    LastRunOk = outcome.Delivered && !leftOut && app.RunListingErrors == 0 ? 1 : 0;
    if (!outcome.Completed && app.SendWindow) {
        app.SendWindow->Hide();
    }
    app.Busy = false;
}

std::unique_ptr<TStringList> TGroup::FullBackup(const std::string& archive) {
    auto list = std::make_unique<TStringList>();
    ListAllFiles(*list);
    LeaveOutUnlistable(*list);
    // A listing runs without a look at the window: a stop that came meanwhile (the end of the session) is seen
    // before the packing begins.
    if (GetGlobalObject()->StopRequested()) {
        return nullptr;
    }
    if (CompressFiles(list.get(), archive, true) == 0) {
        return nullptr;
    }
    Log("Compression complete.");
    return list;
}

std::unique_ptr<TStringList> TGroup::EncryptedFullBackup(const std::string& target) {
    const std::string plainArchive = MakeArchiveName();
    std::unique_ptr<TStringList> list = FullBackup(plainArchive);
    if (!list) {
        Log("Process stopped.");
        return nullptr;
    }
    const std::string plainVolume = VolumeFileName(plainArchive, 0);
    const bool encrypted =
        !TerminationRequested() && EncryptFile(plainVolume, VolumeFileName(target, 0), Info->Password);
    DeleteFile(plainVolume);
    if (encrypted) {
        return list;
    }
    DeleteFile(VolumeFileName(target, 0));
    Log("Process stopped.");
    return nullptr;
}

void TGroup::SendAlert() {
    const TGroupInfo& info = *Info;
    if (info.MailEnable == 0) {
        return;
    }
    if ((LastRunOk != 0 && info.MailAlertSuccess != 0) || (LastRunOk == 0 && info.MailAlertFail != 0)) {
        SendReport(*this);
    }
}
