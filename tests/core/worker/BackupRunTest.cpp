// Backup runs end to end: tasks over real files, queued by hand or by the schedule timer, handed to the main thread
// by the real worker, packed, encrypted and uploaded to a real FTP server on loopback, then restored from what the
// server holds. No window: the application object runs with fake windows of our own.

#include "core/app/Encryption.h"
#include "core/app/TaskFile.h"
#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "core/archive/UnitListing.h"
#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "platform/DateTime.h"
#include "platform/ProgramFile.h"
#include "platform/TerminationSignals.h"
#include "zip/ZipArchive.h"

#include "support/Command.h"
#include "support/EventLoop.h"
#include "support/FakeCoreWindows.h"
#include "support/Servers.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <minizip/unzip.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;

namespace {

// A progress window through which the test acts while a file is packed: STOP pressed, or the disk changed under
// the run.
class ActingSendWindow : public FakeSendWindow {
public:
    ActingSendWindow(FakeWindowJournal& journal, int number, const std::function<void()>& onProgress)
        : FakeSendWindow(journal, number), onProgress_(onProgress) {}
    void SetProgress(int position) override {
        FakeSendWindow::SetProgress(position);
        if (onProgress_) {
            onProgress_();
        }
    }

private:
    const std::function<void()>& onProgress_;
};

// A log box through which the test acts when the run logs a message.
class ActingLogBox : public FakeLogBox {
public:
    explicit ActingLogBox(const std::function<void(const std::string&)>& onMessage) : onMessage_(onMessage) {}
    void ShowNewest(const ILogLines& lines, int index) override {
        FakeLogBox::ShowNewest(lines, index);
        if (onMessage_) {
            onMessage_(Hint);
        }
    }

private:
    const std::function<void(const std::string&)>& onMessage_;
};

class ActingWindows : public FakeCoreWindows {
public:
    std::unique_ptr<ISendWindow> CreateSendWindow() override {
        auto window = std::make_unique<ActingSendWindow>(Journal, ++SendMade, OnProgress);
        LastSend = window.get();
        return window;
    }
    ILogBox* LogBox() override { return &ActingBox; }
    std::function<void()> OnProgress;
    std::function<void(const std::string&)> OnMessage;
    ActingLogBox ActingBox{OnMessage};
};

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The (volume, path) pairs of a list file's text; the text must end every line with CR LF.
std::vector<std::pair<int, std::string>> Pairs(const std::string& text) {
    EXPECT_TRUE(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) << "the last line ends with CR LF";
    const std::vector<std::string> lines = SplitCrLf(text);
    EXPECT_EQ(lines.size() % 2, 0u);
    std::vector<std::pair<int, std::string>> pairs;
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
        pairs.emplace_back(std::stoi(lines[i]), lines[i + 1]);
        EXPECT_EQ(std::to_string(pairs.back().first), lines[i]) << "plain decimal";
    }
    return pairs;
}

// The entry names of a zip file in archive order, as minizip reads them.
std::vector<std::string> ZipEntries(const std::string& path) {
    std::vector<std::string> names;
    unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr) {
        ADD_FAILURE() << path << " is no zip file";
        return names;
    }
    for (int step = unzGoToFirstFile(zip); step == UNZ_OK; step = unzGoToNextFile(zip)) {
        char name[4096];
        unz_file_info64 info{};
        unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        names.emplace_back(name, std::min<std::size_t>(info.size_filename, sizeof name));
    }
    unzClose(zip);
    return names;
}

std::set<std::string> NamesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Half text, half random: deflate works on it, yet it does not shrink to nothing.
std::string Content(std::size_t size, std::uint32_t seed) {
    std::string bytes = RandomBytes(size, seed);
    for (std::size_t i = 0; i < size / 2; ++i) {
        bytes[i] = "backup volume list "[(i + seed) % 19];
    }
    return bytes;
}

// The application object over a temporary program folder, with the schedule timer and the worker running on the
// test's event loop, the FTP connection aimed at a real server whose remote folder is "backups", work files in a
// folder of the test, and a clock the test sets.
class BackupRun : public ::testing::Test {
protected:
    explicit BackupRun(FtpServerOptions options = {}) : server(options) {}

    void SetUp() override {
        EnsureCoreApplication();
        ::setenv("TEMP", temp.Path().c_str(), 1);
        fs::create_directory(Remote());
        clock = std::make_unique<ScopedClock>([this] { return moment; });
        SetGlobalObjectOptions({&windows, program.Path()});
        app = GetGlobalObject();
        TFTPconnection& ftp = *app->FTP;
        ftp.Host = server.Host();
        ftp.Port = server.Port();
        ftp.Login = server.User();
        ftp.Password = server.Password();
        ftp.RemoteDir = "backups";
        app->Log->Clear();
    }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        clock.reset();
        ::unsetenv("TEMP");
    }

    std::string Remote() const { return server.Root() + "backups/"; }

    TGroup& AddTask(const std::string& name) {
        auto task = std::make_unique<TGroup>(app->GroupsList);
        task->SetName(name);
        app->Tasks.push_back(std::move(task));
        return *app->Tasks.back();
    }

    // A folder of files of every kind the listing meets: text, binary, empty, hidden, in a subfolder, a name with
    // non-ASCII letters, and a FIFO that must be passed over (opening it would hold the run for ever).
    std::string MakeDocuments() {
        const std::string docs = data / "docs/";
        fs::create_directories(docs + "sub");
        WriteFileBytes(docs + "a.txt", Content(20000, 1));
        WriteFileBytes(docs + "sub/b.bin", RandomBytes(300000, 2));
        WriteFileBytes(docs + "empty.txt", "");
        WriteFileBytes(docs + ".hidden", "hidden");
        WriteFileBytes(docs + "Gr\xC3\xBC\xC3\x9F"
                              "e \xE2\x82\xAC.txt",
                       Content(5000, 3));
        EXPECT_EQ(::mkfifo((docs + "pipe").c_str(), 0600), 0);
        return docs;
    }

    // Queues the task by hand and pumps the event loop until the worker has run it.
    void Run(TGroup& task, std::chrono::seconds limit = 30s) {
        runStart = app->Log->Count();
        app->Pool->AddJob(&task, 0);
        ASSERT_TRUE(PumpUntil([&] { return app->Pool->QueuedJobs() == 0; }, limit)) << "the job was not run";
        EXPECT_FALSE(app->Busy);
    }

    // The messages of the last run, without the connection's status lines.
    std::vector<std::string> RunLines() const {
        std::vector<std::string> messages;
        const TLogMessageList lines = app->Log->Lines();
        for (std::size_t i = static_cast<std::size_t>(runStart); i < lines.size(); ++i) {
            if (lines[i].Message.rfind("Status: ", 0) != 0) {
                messages.push_back(lines[i].Message);
            }
        }
        return messages;
    }

    std::vector<std::string> AllMessages() const {
        std::vector<std::string> messages;
        for (const TLogMessage& line : app->Log->Lines()) {
            messages.push_back(line.Message);
        }
        return messages;
    }

    // The archive name of a run of `task` at the current moment, without its folder.
    std::string ArchiveOf(const std::string& name) const { return name + "__" + FormatArchiveStamp(moment) + ".zip"; }

    // Takes the chosen files back, in this order, from the backup whose list file the server holds under `info`,
    // the way the program restores: its list read through the connection and parsed, each volume that holds a
    // chosen file downloaded (and decrypted, for an encrypted backup) into work files of the program's own, the
    // chosen files extracted by their places in the volumes. Returns the volumes fetched.
    std::set<int> RestoreInOrder(const std::string& info, const std::vector<std::string>& chosen,
                                 const std::string& password = "") {
        const std::unique_ptr<TStringList> list = app->FTP->ReadInfo(info);
        std::vector<std::string> errors;
        const std::vector<TListedFile> listed = ParseBackupList(*list, errors);
        EXPECT_THAT(errors, IsEmpty());
        std::map<int, std::vector<TListedFile>> byVolume;
        for (const std::string& path : chosen) {
            const auto found =
                std::find_if(listed.begin(), listed.end(), [&](const TListedFile& file) { return file.Path == path; });
            EXPECT_NE(found, listed.end()) << path << " is in the list";
            if (found != listed.end()) {
                byVolume[found->Volume].push_back(*found);
            }
        }
        const std::string archive = info.substr(0, info.size() - 4);
        const bool encrypted = archive.size() > 4 && archive.compare(archive.size() - 4, 4, ".crt") == 0;
        std::set<int> fetched;
        for (const auto& [volume, files] : byVolume) {
            const TWorkFile local("volume");
            EXPECT_TRUE(app->FTP->ReceiveFile(VolumeFileName(archive, volume), local.Path(), true)) << volume;
            TWorkFile plain("volume");
            if (encrypted) {
                EXPECT_TRUE(DecryptFile(local.Path(), plain, password));
            }
            EXPECT_TRUE(DecompressArchive(encrypted ? plain.Path() : local.Path(), files));
            fetched.insert(volume);
        }
        return fetched;
    }
    // The same, with the chosen files deleted first, so that what is there afterwards came from the backup.
    std::set<int> Restore(const std::string& info, const std::set<std::string>& chosen,
                          const std::string& password = "") {
        for (const std::string& path : chosen) {
            fs::remove(path);
        }
        return RestoreInOrder(info, std::vector<std::string>(chosen.begin(), chosen.end()), password);
    }

    // Runs the task in a process of its own (a termination signal's stop stays for the rest of a process's life),
    // with SIGTERM raised the moment the run logs `line`. There the run must end at once: `check` of its lines
    // holds (it returns what is wrong, or nothing), and no work file is left here and no file on the server.
    void ExpectASignalToEndTheRun(TGroup& task, const std::string& line,
                                  const std::function<std::string(const std::vector<std::string>&)>& check) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        const auto signalled = [&] {
            OnTerminationSignal([] {});
            windows.OnMessage = [&](const std::string& message) {
                if (message == line) {
                    ::raise(SIGTERM);
                }
            };
            Run(task);
            std::string wrong = check(RunLines());
            if (!TerminationRequested()) {
                wrong += " The signal was not raised.";
            }
            if (task.LastRunOk) {
                wrong += " The run counts as a success.";
            }
            if (!NamesIn(temp.Path()).empty()) {
                wrong += " Work files were left: " + *NamesIn(temp.Path()).begin();
            }
            if (!NamesIn(Remote()).empty()) {
                wrong += " The server holds " + *NamesIn(Remote()).begin();
            }
            for (const std::string& logged : RunLines()) {
                std::fprintf(stderr, "%s\n", logged.c_str());
            }
            std::fprintf(stderr, "%s\n", wrong.c_str());
            // The folders of this process go here: the fixture is not taken down after _exit.
            for (const TempDir* folder : {&program, &temp, &data}) {
                std::error_code ignored;
                fs::remove_all(folder->Path(), ignored);
            }
            ::_exit(wrong.empty() ? 0 : 1);
        };
        EXPECT_EXIT(signalled(), ::testing::ExitedWithCode(0), "") << "signalled at \"" << line << "\"";
    }

    FtpServer server;
    TempDir program;
    TempDir temp;
    TempDir data;
    ActingWindows windows;
    TDateTime moment = EncodeDate(2005, 5, 17) + EncodeTime(10, 0, 0);
    std::unique_ptr<ScopedClock> clock;
    TGlobalObject* app = nullptr;
    int runStart = 0;
};

TEST_F(BackupRun, FullBackupsPlainAndEncryptedReachTheServerAndComeBackWhole) {
    const std::string docs = MakeDocuments();
    const std::string single = data / "single.dat";
    WriteFileBytes(single, Content(70000, 4));
    // A socket or a link that loops where a chosen file was is no file and is passed over, like a missing file.
    const std::string loop = data / "loop";
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    const std::string socketPath = data / "socket";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    TGroup& plain = AddTask("Docs");
    plain.AddFile(std::make_unique<TFileBase>(single));
    plain.AddFile(std::make_unique<TFileBase>(socketPath));
    plain.AddFile(std::make_unique<TFileBase>(loop));
    plain.AddFile(std::make_unique<TFileBase>(data / "missing.txt"));
    plain.AddFolder(std::make_unique<TFolder>(docs));
    Run(plain);
    ::close(listener);

    const std::string archive = ArchiveOf("Docs");
    EXPECT_EQ(archive, "Docs__05_17_05_10-00-00.zip");
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{archive + ".inf", "0" + archive}));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty()) << "no work file stays behind";
    EXPECT_TRUE(plain.LastRunOk);
    EXPECT_EQ(plain.Info->Period->LastRun, moment);
    EXPECT_FALSE(windows.LastSend->Visible);
    std::vector<::testing::Matcher<std::string>> expectedLines{"Backup. Task is Docs", "Type: Full Backup",
                                                               "Start compressing file " + temp / "0" + archive};
    for (int i = 0; i < 6; ++i) {
        expectedLines.push_back(StartsWith("Adding file" + data.Path()));
    }
    for (const std::string& line :
         {std::string("Compressing is done"), std::string("Compression complete."),
          "Sending file... " + temp / archive + ".inf", std::string("Connectig to the sever..."),
          "File sent... " + temp / archive + ".inf", "Sending file... " + temp / "0" + archive,
          "File sent... " + temp / "0" + archive, std::string("Task Done.")}) {
        expectedLines.push_back(line);
    }
    EXPECT_THAT(RunLines(), ElementsAreArray(expectedLines));

    // The list names every file once, volume 0, the single file first; the volume holds exactly those entries, in
    // that order.
    const auto pairs = Pairs(ReadFileBytes(Remote() + archive + ".inf"));
    std::vector<std::string> paths;
    for (const auto& [volume, path] : pairs) {
        EXPECT_EQ(volume, 0);
        paths.push_back(path);
    }
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), single);
    const std::set<std::string> expected{single,
                                         docs + "a.txt",
                                         docs + "sub/b.bin",
                                         docs + "empty.txt",
                                         docs + ".hidden",
                                         docs + "Gr\xC3\xBC\xC3\x9F"
                                                "e \xE2\x82\xAC.txt"};
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), expected);
    std::vector<std::string> entryNames;
    for (const std::string& path : paths) {
        entryNames.push_back(ZipEntryName(path, ""));
    }
    EXPECT_EQ(ZipEntries(Remote() + "0" + archive), entryNames);

    // The same files encrypted: another list name, the volume no zip file any more, no plain copy left behind.
    moment += EncodeTime(0, 1, 0);
    TGroup& secret = AddTask("Secret");
    secret.Info->NeedEncrypt = 1;
    secret.Info->Password = "pass phrase";
    secret.Assign(plain);
    Run(secret);
    const std::string encrypted = ArchiveOf("Secret") + ".crt";
    EXPECT_EQ(NamesIn(Remote()),
              (std::set<std::string>{archive + ".inf", "0" + archive, encrypted + ".inf", "0" + encrypted}));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_TRUE(secret.LastRunOk);
    EXPECT_EQ(ReadFileBytes(Remote() + encrypted + ".inf"), ReadFileBytes(Remote() + archive + ".inf"));
    EXPECT_NE(ReadFileBytes(Remote() + "0" + encrypted).substr(0, 4), "PK\x03\x04");

    // Restore from the server: every byte comes back, from either backup.
    std::map<std::string, std::string> before;
    for (const std::string& path : expected) {
        before[path] = ReadFileBytes(path);
    }
    const std::set<std::string> chosen{single, docs + "sub/b.bin",
                                       docs + "Gr\xC3\xBC\xC3\x9F"
                                              "e \xE2\x82\xAC.txt"};
    EXPECT_EQ(Restore(archive + ".inf", chosen), std::set<int>{0});
    for (const std::string& path : chosen) {
        EXPECT_EQ(ReadFileBytes(path), before[path]) << path;
    }
    EXPECT_EQ(Restore(encrypted + ".inf", expected, "pass phrase"), std::set<int>{0});
    for (const std::string& path : expected) {
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(ReadFileBytes(path), before[path]) << path;
    }
}

TEST_F(BackupRun, IncrementalBackupsSpreadOverVolumesAndLaterSendOnlyWhatChanged) {
    // Five files of 1,000,000 bytes: a volume takes files until it holds 2,000,000 bytes, so they fill volumes 0
    // and 1 two by two and the fifth opens volume 2, where the folder's small files follow it.
    TGroup& task = AddTask("Inc");
    task.Info->Incremental = 1;
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "volumes";
    std::vector<std::string> big;
    for (int i = 0; i < 5; ++i) {
        big.push_back(data / ("big" + std::to_string(i) + ".bin"));
        WriteFileBytes(big.back(), Content(1000000, 10 + i));
        task.AddFile(std::make_unique<TFileBase>(big.back()));
    }
    const std::string docs = MakeDocuments();
    task.AddFolder(std::make_unique<TFolder>(docs));
    Run(task);

    const std::string first = ArchiveOf("Inc") + ".crt";
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{first + ".inf", "0" + first, "1" + first, "2" + first}));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_TRUE(task.LastRunOk);
    const auto pairs = Pairs(ReadFileBytes(Remote() + first + ".inf"));
    ASSERT_EQ(pairs.size(), 10u);
    const std::vector<int> volumesOfBig{0, 0, 1, 1, 2};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(pairs[i], std::make_pair(volumesOfBig[i], big[i]));
    }
    for (std::size_t i = 5; i < pairs.size(); ++i) {
        EXPECT_EQ(pairs[i].first, 2) << pairs[i].second;
    }
    // Each volume holds exactly the files its lines name, in their order.
    for (int volume = 0; volume < 3; ++volume) {
        const std::string zip = temp / "check.zip";
        fs::remove(zip);
        ASSERT_TRUE(DecryptFile(Remote() + std::to_string(volume) + first, zip, "volumes"));
        std::vector<std::string> names;
        for (const auto& [v, path] : pairs) {
            if (v == volume) {
                names.push_back(ZipEntryName(path, ""));
            }
        }
        EXPECT_EQ(ZipEntries(zip), names) << "volume " << volume;
        fs::remove(zip);
    }

    // One file grows: the next run sends that file alone, in a volume 0 of its own.
    moment += EncodeTime(1, 0, 0);
    std::string grown = ReadFileBytes(docs + "a.txt") + "one more line\r\n";
    WriteFileBytes(docs + "a.txt", grown);
    Run(task);
    const std::string second = ArchiveOf("Inc") + ".crt";
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{first + ".inf", "0" + first, "1" + first, "2" + first,
                                                        second + ".inf", "0" + second}));
    EXPECT_EQ(ReadFileBytes(Remote() + second + ".inf"), "0\r\n" + docs + "a.txt\r\n");
    EXPECT_EQ(task.Info->Period->LastRun, moment);

    // A restore takes only the volumes that hold the chosen files.
    const std::string oldest = ReadFileBytes(big[0]);
    const std::string last = ReadFileBytes(big[4]);
    const std::string hidden = ReadFileBytes(docs + ".hidden");
    EXPECT_EQ(Restore(first + ".inf", {big[0], big[4], docs + ".hidden"}, "volumes"), (std::set<int>{0, 2}));
    EXPECT_EQ(ReadFileBytes(big[0]), oldest);
    EXPECT_EQ(ReadFileBytes(big[4]), last);
    EXPECT_EQ(ReadFileBytes(docs + ".hidden"), hidden);
    EXPECT_EQ(Restore(second + ".inf", {docs + "a.txt"}, "volumes"), std::set<int>{0});
    EXPECT_EQ(ReadFileBytes(docs + "a.txt"), grown);
}

TEST_F(BackupRun, TheTimerQueuesEveryDueTaskAndTheWorkerRunsThemInTurn) {
    moment = EncodeDate(2024, 3, 5) + EncodeTime(14, 30, 0);
    WriteFileBytes(data / "f.txt", Content(10000, 5));
    const auto schedule = [&](TGroup& task, TDateTime at, bool active) {
        TTimePeriod& rule = *task.Info->Period;
        rule.Type = TTimePeriod::Daily;
        rule.DailyEveryN = 1;
        rule.Mode = 0;
        rule.StartDate = EncodeDate(2024, 3, 1);
        rule.At = at;
        task.Info->Active = active ? 1 : 0;
        task.AddFile(std::make_unique<TFileBase>(data / "f.txt"));
    };
    TGroup& early = AddTask("Early");
    TGroup& idle = AddTask("Idle");
    TGroup& later = AddTask("Later");
    TGroup& off = AddTask("Off");
    schedule(early, EncodeTime(14, 30, 0), true);
    schedule(idle, EncodeTime(17, 30, 0), true);
    schedule(later, EncodeTime(14, 29, 50), true);
    schedule(off, EncodeTime(14, 30, 0), false);

    const auto done = [&] {
        const auto messages = AllMessages();
        return std::count(messages.begin(), messages.end(), "Task Done.") == 2;
    };
    ASSERT_TRUE(PumpUntil(done, 15s)) << ::testing::PrintToString(AllMessages());
    EXPECT_EQ(early.Info->Period->LastRun, moment);
    EXPECT_EQ(later.Info->Period->LastRun, moment);
    EXPECT_EQ(idle.Info->Period->LastRun, 0);
    EXPECT_EQ(off.Info->Period->LastRun, 0);
    EXPECT_TRUE(early.LastRunOk);
    EXPECT_TRUE(later.LastRunOk);

    // One run after the other, in task-list order: the second starts only after the first is done.
    std::vector<std::string> order;
    for (const std::string& message : AllMessages()) {
        if (message.rfind("Backup. Task is ", 0) == 0 || message == "Task Done.") {
            order.push_back(message);
        }
    }
    EXPECT_THAT(order, ElementsAre("Backup. Task is Early", "Task Done.", "Backup. Task is Later", "Task Done."));
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{ArchiveOf("Early") + ".inf", "0" + ArchiveOf("Early"),
                                                        ArchiveOf("Later") + ".inf", "0" + ArchiveOf("Later")}));

    // Later ticks inside the same window queue nothing again.
    PumpFor(4500ms);
    EXPECT_EQ(app->Pool->QueuedJobs(), 0u);
    const auto messages = AllMessages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "Task Done."), 2);
}

TEST_F(BackupRun, AJobHandedToTheMainThreadWaitsWhileTheApplicationIsBusy) {
    WriteFileBytes(data / "f.txt", "text");
    TGroup& task = AddTask("Waiting");
    task.AddFile(std::make_unique<TFileBase>(data / "f.txt"));
    app->Pool->AddJob(&task, 0);
    // The worker takes the job within its 1000 ms poll and hands it over while the main thread is elsewhere;
    // meanwhile a long operation of the main window begins, and pumps events while it works.
    std::this_thread::sleep_for(2500ms);
    app->BeginWait();
    ASSERT_TRUE(app->Busy);
    PumpFor(2500ms);
    EXPECT_THAT(AllMessages(), Not(Contains("Backup. Task is Waiting"))) << "a run started inside a busy operation";
    app->EndWait();
    ASSERT_TRUE(PumpUntil([&] { return app->Pool->QueuedJobs() == 0; }, 10s));
    EXPECT_THAT(AllMessages(), Contains("Task Done."));
    EXPECT_TRUE(task.LastRunOk);
}

class MailedBackupRun : public BackupRun {
protected:
    SmtpServer smtp;
};

TEST_F(MailedBackupRun, TheReportHoldsTheRunsLinesAndAFailureToReachTheServerIsReportedAsOne) {
    WriteFileBytes(data / "f.txt", Content(10000, 6));
    TGroup& task = AddTask("Mailed");
    task.AddFile(std::make_unique<TFileBase>(data / "f.txt"));
    TGroupInfo& info = *task.Info;
    info.MailEnable = 1;
    info.MailAlertSuccess = 1;
    info.MailServer = smtp.Host();
    info.MailUserName = "Backup Robot";
    info.MailAddress = "robot@example.test";
    info.MailRecipient = "admin@example.test";
    Run(task);
    ASSERT_TRUE(WaitUntil([&] { return smtp.Mails().size() == 1; }, 10s));

    // The body is the run's log, one line each, from the run's first line to "Sending report..".
    const std::string message = smtp.Mails()[0].data;
    const std::string body = message.substr(message.find("\r\n\r\n") + 4);
    const std::vector<std::string> bodyLines = SplitCrLf(body.substr(0, body.find_last_not_of("\r\n") + 1));
    const TLogMessageList log = app->Log->Lines();
    std::vector<std::string> expected;
    for (std::size_t i = static_cast<std::size_t>(runStart); i < log.size(); ++i) {
        expected.push_back(log[i].Time + " " + log[i].Message);
        if (log[i].Message == "Sending report..") {
            break;
        }
    }
    ASSERT_THAT(bodyLines, Not(IsEmpty()));
    EXPECT_TRUE(bodyLines.front().empty()) << "the body opens with an empty line";
    EXPECT_THAT(std::vector<std::string>(bodyLines.begin() + 1, bodyLines.end()), ElementsAreArray(expected));
    EXPECT_THAT(expected.front(), HasSubstr("Backup. Task is Mailed"));
    EXPECT_THAT(expected, Contains(HasSubstr("Task Done.")));
    EXPECT_THAT(expected.back(), HasSubstr("Sending report.."));
    EXPECT_THAT(AllMessages(), Contains("Report sent."));

    // With the FTP server gone nothing reaches it: a task that wants to hear only of failures hears of this one.
    info.MailAlertSuccess = 0;
    info.MailAlertFail = 1;
    server.Stop();
    app->FTP->Disconnect();
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_THAT(RunLines(), Contains(StartsWith("Can't connect to the server. Error message: ")));
    ASSERT_TRUE(WaitUntil([&] { return smtp.Mails().size() == 2; }, 10s));
    EXPECT_THAT(smtp.Mails()[1].data, HasSubstr("Can't connect to the server."));
}

TEST_F(BackupRun, ARefusedListUploadKeepsTheFilesAndTheNextRunSendsThemAgain) {
    const std::string docs = MakeDocuments();
    TGroup& task = AddTask("Refused");
    task.Info->Incremental = 1;
    task.AddFolder(std::make_unique<TFolder>(docs));
    // A folder of the list file's name on the server: the upload of the list is refused.
    const std::string archive = ArchiveOf("Refused");
    fs::create_directory(Remote() + archive + ".inf");
    Run(task);
    const std::vector<std::string> lines = RunLines();
    EXPECT_THAT(lines, Contains(StartsWith("Can't send file to the server . Error message: ")));
    EXPECT_THAT(lines, Not(Contains(StartsWith("Sending file... " + temp / "0"))));
    EXPECT_EQ(lines.back(), "Task Done.");
    EXPECT_EQ(task.Info->Period->LastRun, moment);
    EXPECT_FALSE(task.LastRunOk) << "nothing of the backup reached the server";
    EXPECT_EQ(NamesIn(Remote()), std::set<std::string>{archive + ".inf"});
    EXPECT_EQ(NamesIn(temp.Path()), (std::set<std::string>{archive + ".inf", "0" + archive}));

    // Run again within the same second: its names are the kept backup's, which it neither replaces nor removes.
    const std::string keptVolume = ReadFileBytes(temp / ("0" + archive));
    Run(task);
    EXPECT_THAT(RunLines(), Contains("Error: \"" + temp / archive +
                                     ".inf\" is still in the temporary folder; the "
                                     "backup was not made"));
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_EQ(NamesIn(temp.Path()), (std::set<std::string>{archive + ".inf", "0" + archive}));
    EXPECT_EQ(ReadFileBytes(temp / ("0" + archive)), keptVolume);

    // Nothing changed since, yet nothing of it is on the server: the next incremental run sends every file.
    fs::remove(Remote() + archive + ".inf");
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_TRUE(task.LastRunOk);
    const std::string next = ArchiveOf("Refused");
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{next + ".inf", "0" + next}));
    EXPECT_EQ(Pairs(ReadFileBytes(Remote() + next + ".inf")).size(), 5u);
}

TEST_F(BackupRun, StopWhilePackingEndsTheRunFailedAndLeavesNothing) {
    MakeDocuments();
    TGroup& task = AddTask("Stopped");
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "p";
    task.AddFolder(std::make_unique<TFolder>(data / "docs/"));
    // STOP pressed while the first file is packed.
    windows.OnProgress = [this] { app->Stop = true; };
    Run(task);
    const std::vector<std::string> lines = RunLines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 4),
                ElementsAre("Backup. Task is Stopped", "Type: Full Backup", StartsWith("Start compressing file "),
                            StartsWith("Adding file")));
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 4, lines.end()),
                ElementsAre("Process stopped.", "Process stopped."));
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_EQ(task.Info->Period->LastRun, 0);
    EXPECT_FALSE(app->Busy);
    EXPECT_FALSE(windows.LastSend->Visible);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_THAT(NamesIn(Remote()), IsEmpty());
    EXPECT_TRUE(server.Connections().empty());
}

TEST_F(BackupRun, ATaskWhoseEntriesOverlapPacksAndListsEachFileOnce) {
    const std::string docs = MakeDocuments();
    TGroup& task = AddTask("Overlap");
    task.Info->Incremental = 1;
    // As the files tree stores a ticked folder that was looked into: the folder, and beside it each item shown
    // under it, a subfolder and files among them.
    // A file of the nested folder that is no entry of its own is met by the walk of both folders. Entries as only a
    // hand-made task file holds them, with an empty or a "." piece, name the same folders and files.
    WriteFileBytes(docs + "sub/c.txt", Content(3000, 5));
    task.AddFolder(std::make_unique<TFolder>(docs));
    task.AddFolder(std::make_unique<TFolder>(docs + "sub/"));
    task.AddFile(std::make_unique<TFileBase>(docs + "a.txt"));
    task.AddFile(std::make_unique<TFileBase>(docs + "sub/b.bin"));
    task.AddFolder(std::make_unique<TFolder>(data / "/docs//sub"));
    task.AddFolder(std::make_unique<TFolder>(data / "./docs/./"));
    task.AddFile(std::make_unique<TFileBase>(data / "docs/./sub//b.bin"));
    Run(task);
    EXPECT_THAT(RunLines(), Not(Contains(HasSubstr("Error"))));
    ASSERT_TRUE(task.LastRunOk);

    const std::string archive = ArchiveOf("Overlap");
    std::vector<std::string> listed;
    for (const auto& [volume, path] : Pairs(ReadFileBytes(Remote() + archive + ".inf"))) {
        listed.push_back(path);
    }
    // Each at its first place: the single files come first in a listing.
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), 6u);
    EXPECT_THAT(std::vector<std::string>(listed.begin(), listed.begin() + 2),
                ElementsAre(docs + "a.txt", docs + "sub/b.bin"));
    std::vector<std::string> entries;
    for (const std::string& path : listed) {
        entries.push_back(ZipEntryName(path, ""));
    }
    EXPECT_EQ(ZipEntries(Remote() + "0" + archive), entries);
    EXPECT_EQ(task.Snapshot.size(), 6u);

    // Nothing changed since: the next run finds nothing to send.
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_THAT(RunLines(), Contains("Nothing to send."));
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{archive + ".inf", "0" + archive}));
}

// The file-system identity of the calling thread, which runs the backup, becomes that of a user without the
// capabilities to read past modes, until the object goes: for root the kernel drops those capabilities with it, so
// a folder closed to others is closed to the run. Changes nothing for a test that does not run as root.
class AnotherUserOnThisThread {
public:
    AnotherUserOnThisThread() {
        if (root_) {
            ::setfsgid(65534);
            ::setfsuid(65534);
            EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 65534);
        }
    }
    ~AnotherUserOnThisThread() {
        if (root_) {
            ::setfsuid(0);
            ::setfsgid(0);
        }
    }
    AnotherUserOnThisThread(const AnotherUserOnThisThread&) = delete;
    AnotherUserOnThisThread& operator=(const AnotherUserOnThisThread&) = delete;

private:
    bool root_ = ::geteuid() == 0;
};

TEST_F(BackupRun, WhatCannotBeReadIsNamedOnceLeftOutAndFailsTheRunWhileTheRestIsSent) {
    const std::string docs = MakeDocuments();
    const std::string locked = docs + "sub/locked/";
    fs::create_directories(locked + "inner");
    WriteFileBytes(locked + "secret.txt", "kept from others");
    // A file nobody but root may read, as a tool run with sudo leaves in a home folder.
    const std::string closed = docs + "sub/closed.txt";
    WriteFileBytes(closed, "root's");
    // A folder that lists its names but cannot be entered: each of its files, and its subfolder, fails to open.
    const std::string shut = docs + "shut/";
    fs::create_directories(shut + "deeper");
    WriteFileBytes(shut + "x.txt", "x");
    WriteFileBytes(shut + "y.txt", "y");
    TGroup& task = AddTask("Locked");
    task.Info->Incremental = 1;
    task.AddFolder(std::make_unique<TFolder>(docs));
    // The locked folder is also an entry of its own: it is named once all the same.
    task.AddFolder(std::make_unique<TFolder>(locked));
    // A chosen folder that is not there (an unplugged drive) is passed over without a word, as ever.
    task.AddFolder(std::make_unique<TFolder>(data / "unplugged/"));
    // An entry that climbs: dropping ".." by its text would name another folder where "docs" is a link.
    const std::string climbing = data / "docs/sub/../";
    task.AddFolder(std::make_unique<TFolder>(climbing));
    // An entry that is no full path names a file only from the folder the program was started in, which changes
    // from start to start, and the restore refuses such a listed path: its backup could never come back.
    const std::string relative = "docs/a.txt";
    task.AddFile(std::make_unique<TFileBase>(relative));
    const fs::path startedIn = fs::current_path();
    fs::current_path(data.Path());
    // The run's own folders are open to the other user; the locked one is closed to everyone but root.
    fs::permissions(data.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(temp.Path(), fs::perms::all);
    fs::permissions(locked, fs::perms::none);
    fs::permissions(closed, fs::perms::none);
    fs::permissions(shut, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    {
        const AnotherUserOnThisThread nobody;
        Run(task);
    }
    fs::current_path(startedIn);
    fs::permissions(locked, fs::perms::owner_all);

    const std::vector<std::string> lines = RunLines();
    std::vector<std::string> errors;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(errors),
                 [](const std::string& line) { return line.starts_with("Error"); });
    EXPECT_THAT(errors, ::testing::UnorderedElementsAre(
                            "Error: the folder \"" + locked +
                                "\" cannot be read (Permission denied); the files in it were left out of the backup",
                            "Error: the folder \"" + shut +
                                "\" cannot be read (Permission denied); the files in it were left out of the backup",
                            "Error: the file \"" + closed +
                                "\" cannot be read (Permission denied); it was left out of the backup",
                            "Error: the task's entry \"" + climbing +
                                "\" climbs with a \"..\" piece, which may name another place than it shows; it was "
                                "left out of the backup",
                            "Error: the task's entry \"" + relative +
                                "\" is no full path, which names a place only from where the program was started; "
                                "it was left out of the backup"));
    EXPECT_EQ(lines.back(), "Task Done.") << "the rest went";
    EXPECT_FALSE(task.LastRunOk) << "chosen files are missing from the backup";
    const std::string archive = ArchiveOf("Locked");
    const auto pairs = Pairs(ReadFileBytes(Remote() + archive + ".inf"));
    EXPECT_EQ(pairs.size(), 5u);
    EXPECT_TRUE(fs::exists(Remote() + "0" + archive));
    for (const tagFileInfo& entry : task.Snapshot) {
        EXPECT_TRUE(entry.Path.starts_with(docs)) << entry.Path;
        EXPECT_FALSE(entry.Path.starts_with(locked) || entry.Path.starts_with(shut) || entry.Path == closed)
            << "a file left out is no part of the snapshot either: " << entry.Path;
    }

    // Once they can be read, the next incremental run sends exactly what was left out.
    fs::permissions(closed, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(shut, fs::perms::owner_all);
    task.Folders.pop_back();
    task.Files.pop_back();
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_TRUE(task.LastRunOk);
    std::set<std::string> sent;
    for (const auto& [volume, path] : Pairs(ReadFileBytes(Remote() + ArchiveOf("Locked") + ".inf"))) {
        sent.insert(path);
    }
    EXPECT_EQ(sent, (std::set<std::string>{locked + "secret.txt", closed, shut + "x.txt", shut + "y.txt"}));
}

// The end of the desktop session ends a run in every phase, not only while a file is packed: the listing is followed
// by no packing, the encryption of a volume stops within a piece, the volumes after it are not begun, and the run
// leaves no work file. A STOP click keeps its rule (the encryption runs to its end): the test above.
TEST_F(BackupRun, ATerminationSignalEndsTheRunInEveryPhaseAndLeavesNothingBehind) {
    const std::string docs = MakeDocuments();
    WriteFileBytes(data / "large.bin", RandomBytes(3'000'000, 60));
    const auto packsNothing = [](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            if (line.starts_with("Start compressing file")) {
                return std::string("The listing was followed by packing.");
            }
        }
        return lines.empty() || lines.back() != "Process stopped." ? std::string("No \"Process stopped.\" last.")
                                                                   : std::string();
    };
    TGroup& full = AddTask("Full");
    full.AddFolder(std::make_unique<TFolder>(docs));
    ExpectASignalToEndTheRun(full, "Type: Full Backup", packsNothing);
    TGroup& incremental = AddTask("Incremental");
    incremental.Info->Incremental = 1;
    incremental.AddFolder(std::make_unique<TFolder>(docs));
    // The walk itself ends at the signal (a large home folder on a cold disk lists for minutes): it never opens a
    // subfolder or a file in it.
    const int opened = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opened, 0);
    ASSERT_GE(::inotify_add_watch(opened, (docs + "sub").c_str(), IN_OPEN), 0);
    ExpectASignalToEndTheRun(incremental, "Enumerating files", [&](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            if (line.starts_with("Start compressing file")) {
                return std::string("The listing was followed by packing.");
            }
        }
        char events[4096];
        if (::read(opened, events, sizeof events) > 0) {
            return std::string("The listing went on after the signal.");
        }
        return std::string();
    });
    ::close(opened);

    // The encryption of a volume of 3 MB, cut within it.
    TGroup& encrypted = AddTask("Encrypted");
    encrypted.Info->NeedEncrypt = 1;
    encrypted.Info->Password = "p";
    encrypted.AddFile(std::make_unique<TFileBase>(data / "large.bin"));
    ExpectASignalToEndTheRun(encrypted, "Start encrypting file...", [](const std::vector<std::string>& lines) {
        if (std::find(lines.begin(), lines.end(), "Encrypting is done.") != lines.end()) {
            return std::string("The encryption went to its end.");
        }
        if (std::find(lines.begin(), lines.end(),
                      "Can't encrypt file. ErrorMessage isStopped: the program is ending") == lines.end()) {
            return std::string("The encryption does not say why it stopped.");
        }
        return std::string();
    });
    // Two volumes, the signal once both are packed: neither is encrypted.
    TGroup& volumes = AddTask("Volumes");
    volumes.Info->Incremental = 1;
    volumes.Info->NeedEncrypt = 1;
    volumes.Info->Password = "p";
    volumes.AddFile(std::make_unique<TFileBase>(data / "large.bin"));
    volumes.AddFolder(std::make_unique<TFolder>(docs));
    ExpectASignalToEndTheRun(volumes, "Compressing is done", [](const std::vector<std::string>& lines) {
        if (std::find(lines.begin(), lines.end(), "Start encrypting file...") != lines.end()) {
            return std::string("A volume was encrypted after the signal.");
        }
        return std::string();
    });
}

// A run works from what its task was when it started: the task edited while its files are packed (the settings
// dialog does not wait for the run) still gets the backup it began, whole on the server; the edit is kept for the
// next run.
TEST_F(BackupRun, AnEditOfTheRunningTaskIsKeptForTheNextRunAndThisOneEndsAsItBegan) {
    const std::string docs = MakeDocuments();
    TGroup& task = AddTask("Edited");
    task.AddFolder(std::make_unique<TFolder>(docs));
    bool edited = false;
    windows.OnProgress = [&] {
        if (!edited) {
            edited = true;
            task.Info->Incremental = 1;
            task.Info->NeedEncrypt = 1;
            task.Info->Password = "typed meanwhile";
            task.ClearFiles();
            task.AddFile(std::make_unique<TFileBase>(docs + "a.txt"));
        }
    };
    Run(task);
    ASSERT_TRUE(edited);
    EXPECT_THAT(RunLines(), Contains("Type: Full Backup"));
    EXPECT_TRUE(task.LastRunOk);
    const std::string archive = ArchiveOf("Edited");
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{archive + ".inf", "0" + archive}));
    EXPECT_EQ(Pairs(ReadFileBytes(Remote() + archive + ".inf")).size(), 5u);
    EXPECT_EQ(ZipEntries(Remote() + "0" + archive).size(), 5u);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_EQ(task.Info->NeedEncrypt, 1);
    EXPECT_EQ(task.Info->Password, "typed meanwhile");

    // The next run is the edited one: incremental, encrypted, of the one file, which the full backup had sent.
    windows.OnProgress = nullptr;
    WriteFileBytes(docs + "a.txt", "changed since");
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_THAT(RunLines(), Contains("Type: Incremental Backup"));
    EXPECT_TRUE(task.LastRunOk);
    const std::string next = ArchiveOf("Edited") + ".crt";
    EXPECT_TRUE(fs::exists(Remote() + "0" + next));
    EXPECT_EQ(Pairs(ReadFileBytes(Remote() + next + ".inf")),
              (std::vector<std::pair<int, std::string>>{{0, docs + "a.txt"}}));
}

// The tasks stored while a run packs (Save Task, an edit, the exit) hold the snapshot of the last backup that got
// away, not the run's listing: a program killed then starts again with a task whose next incremental run sends
// the files that never reached the server.
TEST_F(BackupRun, TasksStoredDuringARunKeepTheSnapshotOfTheLastBackupSent) {
    const std::string docs = MakeDocuments();
    TGroup& task = AddTask("Saved");
    task.Info->Incremental = 1;
    task.AddFolder(std::make_unique<TFolder>(docs));
    bool saved = false;
    windows.OnProgress = [&] {
        if (!saved) {
            saved = true;
            app->SaveTasks();
        }
    };
    Run(task);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(task.LastRunOk);
    EXPECT_EQ(task.Snapshot.size(), 5u) << "the backup is on the server: the snapshot moved on";

    // What a start after a kill during the packing finds.
    std::vector<std::unique_ptr<TGroup>> stored;
    ReadTaskFile(program / TaskFileName, nullptr, stored);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_THAT(stored[0]->Snapshot, IsEmpty());
    windows.OnProgress = nullptr;
    app->Tasks.push_back(std::move(stored[0]));
    TGroup& restarted = *app->Tasks.back();
    moment += EncodeTime(0, 1, 0);
    Run(restarted);
    EXPECT_THAT(RunLines(), Not(Contains("Nothing to send.")));
    EXPECT_TRUE(restarted.LastRunOk);
    EXPECT_EQ(Pairs(ReadFileBytes(Remote() + ArchiveOf("Saved") + ".inf")).size(), 5u);
}

TEST_F(BackupRun, AStopAfterPackingAndAFailedEncryptionOfALaterVolumeLeaveNoWorkFiles) {
    TGroup& task = AddTask("Halted");
    task.Info->Incremental = 1;
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "p";
    for (const std::string name : {"first.bin", "second.bin"}) {
        WriteFileBytes(data / name, RandomBytes(name == "first.bin" ? 2'500'000 : 10, 50));
        task.AddFile(std::make_unique<TFileBase>(data / name));
    }
    // STOP pressed once every volume is packed, before the volumes are encrypted and sent.
    windows.OnMessage = [this](const std::string& message) {
        app->Stop = app->Stop || message == "Compressing is done";
    };
    Run(task);
    EXPECT_THAT(RunLines(), Contains(StartsWith("Start compressing file " + temp / "1")));
    EXPECT_EQ(RunLines().back(), "Process stopped.");
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_THAT(NamesIn(Remote()), IsEmpty());

    // The second volume is gone when its turn to be encrypted comes: the first, encrypted already, goes too.
    moment += EncodeTime(0, 1, 0);
    windows.OnMessage = [this](const std::string& message) {
        if (message == "Compressing is done") {
            fs::remove(temp / ("1" + ArchiveOf("Halted")));
        }
    };
    Run(task);
    EXPECT_THAT(RunLines(), Contains(StartsWith("Can't encrypt file.")));
    EXPECT_EQ(RunLines().back(), "Process stopped.");
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
}

TEST_F(BackupRun, AnIncrementalRunWithNothingChangedSendsNothing) {
    WriteFileBytes(data / "f.txt", "unchanged");
    TGroup& task = AddTask("Same");
    task.Info->Incremental = 1;
    task.AddFile(std::make_unique<TFileBase>(data / "f.txt"));
    Run(task);
    ASSERT_TRUE(task.LastRunOk);
    const TDateTime firstRun = moment;
    const std::set<std::string> onServer = NamesIn(Remote());
    // Rewritten with the same length: not a change.
    WriteFileBytes(data / "f.txt", "UNCHANGED");
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_THAT(RunLines(), ElementsAre("Backup. Task is Same", "Type: Incremental Backup", "Enumerating files",
                                        "Nothing to send.", "Process stopped."));
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_EQ(task.Info->Period->LastRun, firstRun);
    EXPECT_FALSE(windows.LastSend->Visible);
    EXPECT_EQ(NamesIn(Remote()), onServer);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
}

// What Info-ZIP's unzip -t and Python's zipfile say of a zip file: both test every entry; Python then lists each
// entry's name, size and the tag of its first extra field, and prints the content of the entry `show`.
struct ZipToolsVerdict {
    int unzipStatus = -1;
    int pythonStatus = -1;
    std::string listing;
};

ZipToolsVerdict AskZipTools(const std::string& zip, const std::string& show) {
    ZipToolsVerdict verdict;
    RunCommand("unzip -tq " + ShellQuote(zip) + " >/dev/null 2>&1", &verdict.unzipStatus);
    const std::string script = "import sys, zipfile\n"
                               "z = zipfile.ZipFile(sys.argv[1])\n"
                               "for i in z.infolist():\n"
                               "    print(i.filename, i.file_size, i.extra[:2].hex())\n"
                               "print(z.read(sys.argv[2]).decode())\n";
    verdict.listing =
        RunCommand("/usr/bin/python3 -c " + ShellQuote(script) + " " + ShellQuote(zip) + " " + ShellQuote(show),
                   &verdict.pythonStatus);
    return verdict;
}

// A full backup of a home folder's size: more files than the plain end record counts, through the run to the
// server, and some of them back.
TEST_F(BackupRun, AFullBackupOf70000FilesPassesTheEntryCountAndComesBackInPart) {
    const std::string home = data / "home/";
    std::vector<std::string> files;
    for (int folder = 0; folder < 70; ++folder) {
        const std::string path = home + "d" + std::to_string(folder) + "/";
        fs::create_directories(path);
        for (int i = 0; i < 1000; ++i) {
            files.push_back(path + "f" + std::to_string(i));
            WriteFileBytes(files.back(), "");
        }
    }
    WriteFileBytes(files[12345], "one with content");
    TGroup& task = AddTask("Home");
    task.AddFolder(std::make_unique<TFolder>(home));
    Run(task, 300s);
    EXPECT_TRUE(task.LastRunOk);
    EXPECT_THAT(RunLines(), Not(Contains(HasSubstr("Error"))));
    const std::string archive = ArchiveOf("Home");
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{archive + ".inf", "0" + archive}));
    EXPECT_EQ(Pairs(ReadFileBytes(Remote() + archive + ".inf")).size(), files.size());

    const ZipToolsVerdict verdict = AskZipTools(Remote() + "0" + archive, files[12345]);
    EXPECT_EQ(verdict.unzipStatus, 0);
    EXPECT_EQ(verdict.pythonStatus, 0) << verdict.listing.substr(0, 2000);
    EXPECT_EQ(std::count(verdict.listing.begin(), verdict.listing.end(), '\n'), 70001);
    EXPECT_THAT(verdict.listing, HasSubstr("one with content"));

    WriteFileBytes(files[69999], "changed since");
    EXPECT_EQ(Restore(archive + ".inf", {files[0], files[12345], files[69999]}), std::set<int>{0});
    EXPECT_EQ(ReadFileBytes(files[0]), "");
    EXPECT_EQ(ReadFileBytes(files[12345]), "one with content");
    EXPECT_EQ(ReadFileBytes(files[69999]), "");
    EXPECT_EQ(ReadFileBytes(files[50000]), "");
}

// The long runs: each compresses 4 GiB or more, which takes zlib most of a minute. The build with sanitizers leaves
// them out (tests/CMakeLists.txt): zlib is not instrumented there, so they would only take the same minute again.
class LargeBackupRun : public BackupRun {};

// A disk image of 4 GiB and a few bytes beside a small file. Listed and opened below the size that needs Zip64
// sizes, it grows past 4 GiB while it is packed, as a file being written to does, so its entry is written again
// with Zip64 sizes; the encrypted volume reaches the server, the zip tools accept it, and the small neighbour comes
// back. The image is sparse: it takes no disk, and its zeros compress to a few megabytes.
TEST_F(LargeBackupRun, AFileGrowingPastFourGiBWhilePackedGetsZip64SizesAndItsNeighbourComesBack) {
    const std::string image = data / "disk.img";
    const std::string notes = data / "notes.txt";
    WriteFileBytes(image, "");
    fs::resize_file(image, 4'200'000'000);
    WriteFileBytes(notes, "beside the image");
    TGroup& task = AddTask("Image");
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "large";
    task.AddFile(std::make_unique<TFileBase>(image));
    task.AddFile(std::make_unique<TFileBase>(notes));

    // Once the image's header is in the volume (its size was taken before), the image takes its last bytes.
    const std::string volume = temp / ("0" + ArchiveOf("Image"));
    std::atomic<bool> grown{false};
    std::atomic<bool> runOver{false};
    std::thread grower([&] {
        while (!runOver) {
            std::error_code error;
            if (fs::file_size(volume, error) >= 30 + image.size() && !error) {
                fs::resize_file(image, (4ull << 30) + 5, error);
                grown = !error;
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    Run(task, 600s);
    runOver = true;
    grower.join();
    EXPECT_TRUE(grown);
    EXPECT_TRUE(task.LastRunOk);
    EXPECT_THAT(RunLines(), Not(Contains(HasSubstr("Error"))));
    const std::string archive = ArchiveOf("Image") + ".crt";
    EXPECT_EQ(NamesIn(Remote()), (std::set<std::string>{archive + ".inf", "0" + archive}));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());

    const std::string zip = temp / "check.zip";
    ASSERT_TRUE(DecryptFile(Remote() + "0" + archive, zip, "large"));
    const ZipToolsVerdict verdict = AskZipTools(zip, notes);
    EXPECT_EQ(verdict.unzipStatus, 0);
    EXPECT_EQ(verdict.pythonStatus, 0) << verdict.listing;
    // The image has its sizes in a Zip64 extra field (tag 0x0001), the small file has no extra field.
    EXPECT_EQ(verdict.listing, image + " 4294967301 0100\n" + notes + " 16 \nbeside the image\n");
    fs::remove(zip);

    EXPECT_EQ(Restore(archive + ".inf", {notes}, "large"), std::set<int>{0});
    EXPECT_EQ(ReadFileBytes(notes), "beside the image");
}

class VanishingServerRun : public BackupRun {
protected:
    VanishingServerRun() : BackupRun(Options()) {}
    static FtpServerOptions Options() {
        FtpServerOptions options;
        options.exitAfterUploadBytes = 300000;
        return options;
    }
};

TEST_F(VanishingServerRun, AServerThatDiesInAVolumeLeavesNoWorkFilesAndTheNextRunSendsAllAgain) {
    TGroup& task = AddTask("Cut");
    task.Info->Incremental = 1;
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
        files.push_back(data / ("part" + std::to_string(i) + ".bin"));
        WriteFileBytes(files.back(), RandomBytes(2000000, 20 + i));
        task.AddFile(std::make_unique<TFileBase>(files.back()));
    }
    Run(task);
    const std::string archive = ArchiveOf("Cut");
    const std::vector<std::string> lines = RunLines();
    EXPECT_THAT(lines, Contains("File sent... " + temp / archive + ".inf"));
    EXPECT_THAT(lines, Contains(StartsWith("Can't send file to the server . Error message: ")));
    EXPECT_THAT(lines, Not(Contains("File sent... " + temp / "0" + archive)));
    EXPECT_EQ(lines.back(), "Task Done.");
    EXPECT_FALSE(task.LastRunOk) << "the volumes did not reach the server";
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty()) << "a volume goes whether it was sent or not";
    EXPECT_FALSE(server.Running());
    EXPECT_LT(fs::file_size(Remote() + "0" + archive), fs::file_size(files[0]));

    // The server is back: the files that never got there go up with the next run.
    server.Options().exitAfterUploadBytes = 0;
    server.Start();
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_TRUE(task.LastRunOk);
    const std::string next = ArchiveOf("Cut");
    const auto pairs = Pairs(ReadFileBytes(Remote() + next + ".inf"));
    EXPECT_THAT(pairs,
                ElementsAre(std::make_pair(0, files[0]), std::make_pair(1, files[1]), std::make_pair(2, files[2])));
    for (int volume = 0; volume < 3; ++volume) {
        EXPECT_TRUE(fs::exists(Remote() + std::to_string(volume) + next)) << volume;
    }
}

TEST_F(BackupRun, AnErrorInAStepEndsTheRunFailedAndTheWorkerGoesOn) {
    const std::string docs = MakeDocuments();
    TGroup& task = AddTask("Broken");
    task.AddFile(std::make_unique<TFileBase>(data / "first.txt"));
    task.AddFile(std::make_unique<TFileBase>(data / "second.txt"));
    WriteFileBytes(data / "first.txt", "1");
    WriteFileBytes(data / "second.txt", "2");

    // A listed file becomes a folder before it is packed: the packing fails, the run ends failed.
    windows.OnProgress = [this] {
        if (fs::is_regular_file(data / "second.txt")) {
            fs::remove(data / "second.txt");
            fs::create_directory(data / "second.txt");
        }
    };
    Run(task);
    EXPECT_THAT(RunLines(), Contains(StartsWith("Error:")));
    EXPECT_EQ(RunLines().back(), "Process stopped.");
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_FALSE(windows.LastSend->Visible);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    windows.OnProgress = nullptr;
    fs::remove(data / "second.txt");
    WriteFileBytes(data / "second.txt", "2");

    // The list file cannot be written (a folder holds its name): the error leaves the step, the run logs it and
    // takes its failed end.
    moment += EncodeTime(0, 1, 0);
    const std::string archive = ArchiveOf("Broken");
    fs::create_directory(temp / archive + ".inf");
    Run(task);
    const std::vector<std::string> lines = RunLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines.back(), StartsWith("Error: "));
    EXPECT_THAT(lines, Not(Contains("Task Done.")));
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_EQ(task.Info->Period->LastRun, 0);
    EXPECT_FALSE(app->Busy);
    EXPECT_FALSE(windows.LastSend->Visible);
    EXPECT_THAT(NamesIn(Remote()), IsEmpty());
    EXPECT_EQ(NamesIn(temp.Path()), std::set<std::string>{archive + ".inf"}) << "only the folder; no volume stays";

    // The worker serves the next job as ever.
    fs::remove(temp / archive + ".inf");
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_EQ(RunLines().back(), "Task Done.");
    EXPECT_TRUE(task.LastRunOk);
    EXPECT_EQ(task.Info->Period->LastRun, moment);

    // Encrypting the second of two volumes fails (a folder holds its name): the first, encrypted already, goes too.
    task.Info->Incremental = 1;
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "p";
    WriteFileBytes(data / "first.txt", RandomBytes(2'500'000, 9));
    WriteFileBytes(data / "second.txt", "22");
    moment += EncodeTime(0, 1, 0);
    fs::create_directory(temp / "1" + ArchiveOf("Broken") + ".crt");
    Run(task);
    EXPECT_FALSE(task.LastRunOk);
    EXPECT_EQ(NamesIn(temp.Path()), std::set<std::string>{"1" + ArchiveOf("Broken") + ".crt"});
}

TEST_F(BackupRun, FilesWhoseNamesShareOneEntryNameComeBackEachWithItsOwnBytes) {
    // The zip writer's table gives all three the entry name ".../caf" "A ", and the two Cyrillic ones "\xA5\x20" x2.
    const std::string folder = data / "names/";
    fs::create_directories(folder);
    const std::vector<std::string> paths{folder + "caf\xC3\xA9.txt", folder + "caf\xC3\xA4.txt",
                                         folder + "caf\xC3\xA8.txt", folder + "\xD1\x82\xD0\xB5.txt",
                                         folder + "\xD1\x80\xD0\xB5.txt"};
    ASSERT_EQ(ZipEntryName(paths[0], ""), ZipEntryName(paths[1], ""));
    ASSERT_EQ(ZipEntryName(paths[0], ""), ZipEntryName(paths[2], ""));
    ASSERT_EQ(ZipEntryName(paths[3], ""), ZipEntryName(paths[4], ""));
    std::map<std::string, std::string> bytes;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        bytes[paths[i]] = Content(3000 + 100 * i, static_cast<std::uint32_t>(30 + i));
        WriteFileBytes(paths[i], bytes[paths[i]]);
    }
    TGroup& task = AddTask("Names");
    task.AddFolder(std::make_unique<TFolder>(folder));
    Run(task);
    ASSERT_TRUE(task.LastRunOk);
    const std::string info = ArchiveOf("Names") + ".inf";
    const auto restoreAndCheck = [&](const std::vector<std::string>& chosen) {
        for (const std::string& path : paths) {
            WriteFileBytes(path, "changed since");
        }
        RestoreInOrder(info, chosen);
        for (const std::string& path : paths) {
            const bool wanted = std::find(chosen.begin(), chosen.end(), path) != chosen.end();
            EXPECT_EQ(ReadFileBytes(path), wanted ? bytes[path] : "changed since")
                << ::testing::PrintToString(chosen) << " " << path;
        }
    };
    // One at a time, then all of them in one order and in the other.
    for (const std::string& path : paths) {
        restoreAndCheck({path});
    }
    restoreAndCheck(paths);
    restoreAndCheck(std::vector<std::string>(paths.rbegin(), paths.rend()));
    for (const std::string& line : AllMessages()) {
        EXPECT_THAT(line, Not(StartsWith("Error"))) << "each entry is where the list says";
    }
}

TEST_F(BackupRun, ARestoredFileTakesTheModeOfTheFileItReplacesAndANewOneTheUmasksMode) {
    const std::string key = data / "id_key";
    const std::string script = data / "run.sh";
    const std::string fresh = data / "notes.txt";
    WriteFileBytes(key, "private");
    WriteFileBytes(script, "#!/bin/sh\necho hi\n");
    WriteFileBytes(fresh, "notes");
    TGroup& task = AddTask("Modes");
    for (const std::string& path : {key, script, fresh}) {
        task.AddFile(std::make_unique<TFileBase>(path));
    }
    Run(task);
    ASSERT_TRUE(task.LastRunOk);
    // The files as they are now: the key private, the script runnable (and, where the test may, someone else's).
    ASSERT_EQ(::chmod(key.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(script.c_str(), 65534, 65534), 0);
    }
    fs::remove(fresh);
    const mode_t previous = ::umask(027);
    RestoreInOrder(ArchiveOf("Modes") + ".inf", {key, script, fresh});
    ::umask(previous);
    const auto statOf = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st;
    };
    EXPECT_EQ(statOf(key).st_mode & 07777, 0600u);
    EXPECT_EQ(statOf(script).st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(fresh).st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(statOf(script).st_uid, 65534u);
        EXPECT_EQ(statOf(script).st_gid, 65534u);
    }
    EXPECT_EQ(ReadFileBytes(key), "private");
    EXPECT_EQ(ReadFileBytes(script), "#!/bin/sh\necho hi\n");
}

TEST_F(BackupRun, AFileWhoseNameHoldsALineBreakIsLeftOutAndTheRunFailsSayingWhich) {
    const std::string folder = data / "lines/";
    fs::create_directories(folder);
    const std::string broken = folder + "two\nlines.txt";
    const std::vector<std::string> others{folder + "a.txt", folder + "z.txt"};
    WriteFileBytes(broken, "cannot be listed");
    for (const std::string& path : others) {
        WriteFileBytes(path, Content(4000, 40));
    }
    TGroup& task = AddTask("Lines");
    task.Info->Incremental = 1;
    task.AddFolder(std::make_unique<TFolder>(folder));
    Run(task);
    const std::string said = "Error: the name of \"" + folder +
                             "two\\nlines.txt\" holds a line break, which a backup's list cannot hold; the file was "
                             "left out of the backup";
    EXPECT_THAT(RunLines(), Contains(said));
    EXPECT_EQ(RunLines().back(), "Task Done.") << "the others went";
    EXPECT_FALSE(task.LastRunOk) << "a chosen file is missing from the backup";
    const std::string archive = ArchiveOf("Lines");
    const auto pairs = Pairs(ReadFileBytes(Remote() + archive + ".inf"));
    EXPECT_THAT(pairs, ::testing::UnorderedElementsAre(std::make_pair(0, others[0]), std::make_pair(0, others[1])));
    EXPECT_EQ(Restore(archive + ".inf", {others[0], others[1]}), std::set<int>{0});
    for (const std::string& path : others) {
        EXPECT_EQ(ReadFileBytes(path), Content(4000, 40));
    }

    // Nothing changed: the next run has nothing to send, yet it says again which file it never backed up.
    moment += EncodeTime(0, 1, 0);
    Run(task);
    EXPECT_THAT(RunLines(), Contains(said));
    EXPECT_FALSE(task.LastRunOk);
}

} // namespace
