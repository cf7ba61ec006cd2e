// The built CorvaneBackUp program: one copy at a time, and the companion started beside it only when it is missing.

#include "MainFormTesting.h"

#include "core/app/Encryption.h"
#include "core/app/StoredText.h"
#include "core/app/TaskFile.h"
#include "core/net/UnitFTP.h"
#include "platform/WindowRegistry.h"
#include "ui/unitMainForm.h"

#include "support/ProgramRecorder.h"
#include "support/ScopedEnv.h"
#include "support/Servers.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The messages of a "Backup.log", oldest first.
std::vector<std::string> LogMessages(const std::string& path) {
    TMemoryStream log;
    log.LoadFromFile(path);
    std::vector<std::string> messages(static_cast<std::size_t>(log.ReadInt32()));
    for (std::string& message : messages) {
        message = ReadStringFromStream(log);
        ReadStringFromStream(log); // its time
    }
    return messages;
}

// The bytes a process has read through read calls so far, from its /proc/<pid>/io; 0 when it is gone.
std::int64_t BytesRead(const std::string& io) {
    std::ifstream in(io);
    std::string key;
    std::int64_t value = 0;
    while (in >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return 0;
}

// The environment of a program under test: no display, and a registry, temporary and configuration folder of the
// test's own.
QProcessEnvironment ProgramEnvironment(const TempDir& runtime, const TempDir& temp, const TempDir& config) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
    environment.insert("TEMP", QString::fromStdString(temp.Path()));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config.Path()));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    return environment;
}

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// The process that holds a flock on the file, as the system lists its locks; -1 for none.
pid_t LockHolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return -1;
    }
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, access, file;
        pid_t pid = -1;
        fields >> number >> kind >> advisory >> access >> pid >> file;
        if (kind == "FLOCK" && file.ends_with(":" + std::to_string(st.st_ino))) {
            return pid;
        }
    }
    return -1;
}

// A user without the capability to read past modes.
const QStringList Nobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                            "--bounding-set=-all"};

// The built program copied into a folder of its own beside a stand-in companion that records its starts; no
// display, and its own registry and temporary folders.
class BackupProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        std::filesystem::copy_file(CORVANE_BACKUP_PATH, program / "CorvaneBackUp");
        WriteRecordingProgram(program / "Ploverly", record);
        // A task is there, so that the start opens no task dialog that nobody would answer.
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(std::make_unique<TGroup>());
        WriteTaskFile(program / TaskFileName, tasks);
    }
    void TearDown() override {
        for (auto& process : processes) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(10000);
            }
        }
        // Companions started by the programs under test.
        for (const pid_t pid : Companions()) {
            ::kill(pid, SIGKILL);
        }
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    // Started with "run"; `adjust` changes the environment it is given, `user` (setpriv's options) starts it as
    // another user, and `child` runs in the new process before the program (to set its limits).
    QProcess& Start(const std::function<void(QProcessEnvironment&)>& adjust = nullptr, const QStringList& user = {},
                    const std::function<void()>& child = nullptr) {
        processes.push_back(std::make_unique<QProcess>());
        QProcess& process = *processes.back();
        if (child) {
            process.setChildProcessModifier(child);
        }
        QProcessEnvironment environment = ProgramEnvironment(runtime, temp, config);
        if (adjust) {
            adjust(environment);
        }
        process.setProcessEnvironment(environment);
        const QString path = QString::fromStdString(program / "CorvaneBackUp");
        if (user.isEmpty()) {
            process.setProgram(path);
            process.setArguments({"run"});
        } else {
            process.setProgram("setpriv");
            process.setArguments(user + QStringList{path, "run"});
        }
        // Started from elsewhere: the program finds its companion in its own folder.
        process.setWorkingDirectory(QString::fromStdString(temp.Path()));
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000));
        return process;
    }
    static bool Found() { return FindWindow(TmainForm::ClassName, TmainForm::Caption, 500ms); }
    // Ends it as the end of the desktop session does, with SIGTERM, repeated while it runs: a box that is open
    // when a signal comes is closed by it, and one the start opens after it would wait for a user.
    static void EndBySignals(QProcess& process) {
        ASSERT_TRUE(WaitUntil(
            [&] {
                process.terminate();
                return process.waitForFinished(300);
            },
            30s));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
    }
    // The names in the program folder that end in ".tmp".
    std::vector<std::string> TemporaryFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(program.Path())) {
            if (entry.path().extension() == ".tmp") {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The running processes of the companion in the program folder.
    std::vector<pid_t> Companions() const {
        std::vector<pid_t> found;
        const std::filesystem::path companion = std::filesystem::canonical(program.Path()) / "Ploverly";
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code error;
            const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
            if (!error && exe == companion) {
                found.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
            }
        }
        return found;
    }
    std::size_t Running() const {
        return static_cast<std::size_t>(std::count_if(processes.begin(), processes.end(), [](const auto& process) {
            return process->state() != QProcess::NotRunning;
        }));
    }
    std::string CompanionStart() const { return std::filesystem::path(program.Path()).parent_path().string() + "|run"; }
    // Started as the user without capabilities, with `session` (the user's) as its registry, temporary,
    // configuration and home folder.
    QProcess& StartAsNobody(const TempDir& session) {
        return Start(
            [&](QProcessEnvironment& environment) {
                for (const char* variable : {"XDG_RUNTIME_DIR", "TEMP", "XDG_CONFIG_HOME", "HOME"}) {
                    environment.insert(variable, QString::fromStdString(session.Path()));
                }
            },
            Nobody);
    }
    // Whether a program announced its window in the registry of `session`: a start as another user is found there,
    // and the signals it gets are then its own (a start and a SIGTERM).
    static bool FoundIn(const TempDir& session) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(session / "CorvaneBackUp-windows", error)) {
            if (entry.path().filename().string().starts_with(TmainForm::ClassName)) {
                return true;
            }
        }
        return false;
    }
    // A task due at the first tick whose one file is large: 2 GiB that take no room on the disk, and seconds to
    // pack, so that its volume is seen in the temporary folder while it is packed.
    void WriteDueTaskOfALargeFile(const TempDir& data) {
        const std::string large = data / "large.bin";
        WriteFileBytes(large, "");
        std::filesystem::resize_file(large, 2ull << 30);
        std::vector<std::unique_ptr<TGroup>> tasks;
        TGroup& task = AddDueTask(tasks);
        task.AddFolder(std::make_unique<TFolder>(data.Path()));
        task.Info->Incremental = 1;
        WriteTaskFile(program / TaskFileName, tasks);
    }
    // A new active task in `tasks`, due daily since yesterday: the program runs it at its first tick.
    static TGroup& AddDueTask(std::vector<std::unique_ptr<TGroup>>& tasks) {
        tasks.push_back(std::make_unique<TGroup>());
        TGroup& task = *tasks.back();
        task.Info->Active = 1;
        task.Info->Period->Type = TTimePeriod::Daily;
        task.Info->Period->DailyEveryN = 1;
        task.Info->Period->Mode = 1;
        task.Info->Period->StartDate = Now() - 1;
        return task;
    }
    // The volumes in the program's temporary folder.
    std::vector<std::string> Volumes() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(temp.Path())) {
            if (entry.path().extension() == ".zip") {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    TempDir runtime;
    TempDir temp;
    TempDir config;
    TempDir program;
    std::string record = program / "record.txt";
    std::vector<std::unique_ptr<QProcess>> processes;
};

TEST_F(BackupProgram, RunsOnceStartsAMissingCompanionFromItsFolderAndLeavesARunningOneAlone) {
    {
        // The companion runs: the program starts none, and a second copy ends at once with code 0.
        const RegistryPeer companion(TmainForm::CompanionClass, TmainForm::CompanionCaption);
        QProcess& first = Start();
        ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
        QProcess& second = Start();
        ASSERT_TRUE(second.waitForFinished(10000));
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_EQ(first.state(), QProcess::Running) << "the first copy runs on";
        EXPECT_TRUE(WaitForRecordLines(record, 1, 0ms).empty());
        first.kill();
        ASSERT_TRUE(first.waitForFinished(10000));
    }
    ASSERT_TRUE(WaitUntil([] { return !Found(); }, 10s));

    // No companion: it is started from the program's folder with "run", once.
    QProcess& third = Start();
    EXPECT_EQ(WaitForRecordLines(record, 1, 20s), std::vector<std::string>{CompanionStart()});
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    EXPECT_EQ(third.state(), QProcess::Running);
}

TEST_F(BackupProgram, TenStartsAtOnceLeaveOneProgramAndOneCompanionWhateverTheirEnvironment) {
    std::filesystem::remove(program / "Ploverly");
    std::filesystem::copy_file(PLOVERLY_PATH, program / "Ploverly");
    // Three sessions, each with a registry of its own, and starts without any session. Those share the user's
    // fallback registry under /tmp with whatever else runs on this machine.
    const TempDir second;
    const TempDir third;
    const auto session = [&](std::size_t start) -> std::optional<std::string> {
        switch (start % 4) {
        case 0:
            return runtime.Path();
        case 1:
            return second.Path();
        case 2:
            return third.Path();
        default:
            return std::nullopt;
        }
    };
    for (std::size_t i = 0; i < 10; ++i) {
        Start([&](QProcessEnvironment& environment) {
            if (const auto folder = session(i)) {
                environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(*folder));
            } else {
                environment.remove("XDG_RUNTIME_DIR");
            }
        });
    }
    // Nine end at once with code 0.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (auto& process : processes) {
                process->waitForFinished(0);
            }
            return Running() <= 1;
        },
        60s));
    std::optional<std::size_t> running;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        if (processes[i]->state() == QProcess::NotRunning) {
            EXPECT_EQ(processes[i]->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(processes[i]->exitCode(), 0);
        } else {
            running = i;
        }
    }
    ASSERT_TRUE(running.has_value()) << "one copy runs";
    EXPECT_EQ(LockHolder(program / "CorvaneBackUp.lock"), processes[*running]->processId());
    // It started one companion, which holds the folder's lock and stays, unless it found one in its registry: only
    // in the shared one can that be another program's.
    if (WaitUntil([&] { return Companions().size() == 1 && LockHolder(program / "Ploverly.lock") > 0; }, 20s)) {
        EXPECT_EQ(Companions(), std::vector<pid_t>{LockHolder(program / "Ploverly.lock")});
    } else {
        ASSERT_FALSE(session(*running).has_value());
        const ScopedEnv shared("XDG_RUNTIME_DIR", nullptr);
        EXPECT_TRUE(FindWindow(TmainForm::CompanionClass, TmainForm::CompanionCaption));
    }
    EXPECT_EQ(Running(), 1u);
}

TEST_F(BackupProgram, ATerminationSignalDuringTheLastFileStopsTheRunThereAndEndsTheProgramTheRegularWay) {
    TempDir data;
    const std::string large = data / "large.bin";
    WriteDueTaskOfALargeFile(data);

    QProcess& process = Start();
    // The volume is begun: the large file is being packed.
    ASSERT_TRUE(WaitUntil([&] { return !Volumes().empty(); }, 60s));
    const std::string io = "/proc/" + std::to_string(process.processId()) + "/io";
    process.terminate();
    // How far the program read until it ended: not the whole file.
    std::int64_t read = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            read = std::max(read, BytesRead(io));
            return process.waitForFinished(0);
        },
        60s))
        << "the program ends once the stopped run has ended";
    EXPECT_LT(read, 1ll << 30);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);

    // Stopped part way through the file, before any upload, its volume gone; then closed the regular way: the log
    // written last, the tasks saved with the run's start time.
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Adding file" + large), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Process stopped."), messages.end());
    EXPECT_EQ(std::find(messages.begin(), messages.end(), "Compressing is done"), messages.end());
    EXPECT_EQ(std::find(messages.begin(), messages.end(), "Task Done."), messages.end());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Program stoped.");
    EXPECT_TRUE(Volumes().empty());
    std::vector<std::unique_ptr<TGroup>> stored;
    ReadTaskFile(program / TaskFileName, nullptr, stored);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_NE(stored[0]->Info->Period->LastRun, 0.0);
}

// The end of the session while a large volume is encrypted: the encryption stops within a piece rather than
// running to its end (at some seconds per gigabyte a large backup would outlast the wait before SIGKILL), and the
// program ends within a few seconds, its plain and encrypted volumes gone. The program is frozen the moment the
// encrypted volume appears, so that the signal surely finds the encryption under way.
TEST_F(BackupProgram, ATerminationSignalDuringTheEncryptionOfALargeVolumeEndsItWithinSecondsAndLeavesNothing) {
    TempDir data;
    // Random bytes do not shrink: the volume is as large as the file.
    const std::string large = data / "large.bin";
    WriteFileBytes(large, RandomBytes(96u << 20, 7));
    std::vector<std::unique_ptr<TGroup>> tasks;
    TGroup& task = AddDueTask(tasks);
    task.AddFile(std::make_unique<TFileBase>(large));
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "session ends";
    WriteTaskFile(program / TaskFileName, tasks);
    const auto encrypted = [&]() -> std::optional<std::filesystem::path> {
        for (const auto& entry : std::filesystem::directory_iterator(temp.Path())) {
            if (entry.path().extension() == ".crt") {
                return entry.path();
            }
        }
        return std::nullopt;
    };

    QProcess& process = Start();
    std::optional<std::filesystem::path> volume;
    ASSERT_TRUE(WaitUntil(
        [&] {
            volume = encrypted();
            return volume.has_value();
        },
        120s));
    ::kill(static_cast<pid_t>(process.processId()), SIGSTOP);
    std::error_code unknown;
    ASSERT_LT(std::filesystem::file_size(*volume, unknown), std::filesystem::file_size(large))
        << "frozen while it encrypts";
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(process.processId()), SIGCONT);
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(temp.Path()));
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Start encrypting file..."), messages.end());
    EXPECT_EQ(std::find(messages.begin(), messages.end(), "Encrypting is done."), messages.end());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Program stoped.");
}

// Whether one of the lines begins with `prefix`.
bool AnyBeginsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); });
}

// The program aimed at an FTP server that misbehaves as told, with a task due at the first tick whose one volume
// takes a while to send, and its report mailed to `mail` when there is one; signalled once `reached` holds: it ends
// within 3 s, its last FTP or mail operation stopped with a line that says so, and no new login made.
class BackupProgramOnFtp : public BackupProgram {
protected:
    void EndsAtOnceWhenSignalledOnce(const FtpServerOptions& options,
                                     const std::function<bool(const FtpServer&)>& reached,
                                     const SmtpServer* mail = nullptr) {
        FtpServer server(options);
        TFTPconnection settings;
        settings.Host = server.Host();
        settings.Port = server.Port();
        settings.Login = server.User();
        settings.Password = server.Password();
        TMemoryStream plain;
        settings.SaveToStream(plain);
        TStateFile stored(program / "ftpbackup.stg");
        WriteEncryptedFile(stored, plain, "SaveIntoBlockRow74");
        TempDir data;
        WriteFileBytes(data / "data.bin", RandomBytes(3 << 20, 12));
        std::vector<std::unique_ptr<TGroup>> tasks;
        TGroup& task = AddDueTask(tasks);
        task.AddFolder(std::make_unique<TFolder>(data.Path()));
        task.Info->Incremental = 1;
        if (mail != nullptr) {
            task.Info->MailEnable = 1;
            task.Info->MailAlertSuccess = 1;
            task.Info->MailAlertFail = 1;
            task.Info->MailServer = mail->Host();
            task.Info->MailAddress = "robot@example.test";
            task.Info->MailRecipient = "admin@example.test";
        }
        WriteTaskFile(program / TaskFileName, tasks);

        QProcess& process = Start();
        ASSERT_TRUE(WaitUntil([&] { return reached(server); }, 60s));
        std::this_thread::sleep_for(500ms);
        const auto signalled = std::chrono::steady_clock::now();
        process.terminate();
        ASSERT_TRUE(process.waitForFinished(20000));
        const auto took = std::chrono::steady_clock::now() - signalled;
        EXPECT_LT(took, 3s) << std::chrono::duration<double>(took).count() << " s";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        const std::vector<std::string> messages = LogMessages(program / "Backup.log");
        std::string shown;
        for (const std::string& message : messages) {
            shown += message + "\n";
        }
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
            return message.ends_with(". The operation was stopped: the program is ending.") ||
                   message.ends_with(": The operation was stopped: the program is ending.");
        })) << shown;
        EXPECT_EQ(server.Connections().size(), 1u) << shown;
        if (options.dataRate != 0) {
            // The volume cut on its way up stays where it is: the restore refuses it, and deleting it would take
            // a new login at the program's end.
            bool cut = false;
            for (const auto& entry : std::filesystem::directory_iterator(server.Root())) {
                cut = cut || (entry.path().filename().string().starts_with("0") && entry.file_size() < (3u << 20));
            }
            EXPECT_TRUE(cut);
        }
    }
};

TEST_F(BackupProgramOnFtp, ATerminationSignalEndsASilentNameListAtOnce) {
    FtpServerOptions options;
    options.stallNameLists = true;
    EndsAtOnceWhenSignalledOnce(options,
                                [](const FtpServer& server) { return AnyBeginsWith(server.Commands(), "NLST"); });
}

TEST_F(BackupProgramOnFtp, ATerminationSignalEndsASlowUploadAtOnce) {
    FtpServerOptions options;
    options.dataRate = 100000;
    // The list file goes first, then the volume, numbered in front of the archive's name.
    EndsAtOnceWhenSignalledOnce(options,
                                [](const FtpServer& server) { return AnyBeginsWith(server.Commands(), "APPE 0"); });
}

TEST_F(BackupProgramOnFtp, ATerminationSignalEndsTheWaitForASilentMailServerAtOnce) {
    SmtpServerOptions silent;
    silent.silentAt = "EHLO";
    const SmtpServer mail(silent);
    EndsAtOnceWhenSignalledOnce(
        FtpServerOptions{}, [&](const FtpServer&) { return AnyBeginsWith(mail.Commands(), "EHLO"); }, &mail);
}

TEST_F(BackupProgram, ATerminationSignalEndsItAsClosingTheWindowDoes) {
    QProcess& process = Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    process.terminate(); // SIGTERM, as the end of the desktop session sends
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    // Closed the regular way: the log was written last thing, and the window withdrew from the registry.
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Program stoped.");
    EXPECT_FALSE(Found());
}

// One start of a built program in a program folder and desktop folders of its own, so that several run side by
// side, each found only through its own registry folder.
struct SoloStart {
    SoloStart(const std::string& built, const std::string& classToFind, const std::string& captionToFind,
              std::chrono::milliseconds signalDelay)
        : program(folder / std::filesystem::path(built).filename().string()), className(classToFind),
          caption(captionToFind), delay(signalDelay) {
        std::filesystem::copy_file(built, program);
    }
    void Start() {
        process.setProcessEnvironment(ProgramEnvironment(runtime, temp, config));
        process.setProgram(QString::fromStdString(program));
        process.setArguments({"run"});
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000));
    }
    // Whether the program can be found now by whoever looks in its registry folder.
    bool Found() const {
        const char* own = std::getenv("XDG_RUNTIME_DIR");
        const std::string previous = own != nullptr ? own : "";
        ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        const bool seen = FindWindow(className, caption, 200ms);
        if (own != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        return seen;
    }

    TempDir folder;
    TempDir runtime;
    TempDir config;
    TempDir temp;
    std::string program;
    std::string className;
    std::string caption;
    std::chrono::milliseconds delay;
    QProcess process;
    std::optional<std::chrono::steady_clock::time_point> foundAt;
    bool signalled = false;
};

TEST(BothPrograms, ATerminationSignalAsSoonAsTheyCanBeFoundOrShortlyAfterClosesThemTheRegularWay) {
    WidgetApp();
    // The backup program on a first start (no task file: the new-task dialog opens while its window is made), and
    // the companion, each signalled at once and after a few short delays, all side by side.
    std::vector<std::unique_ptr<SoloStart>> starts;
    for (const auto delay : {0ms, 20ms, 100ms, 300ms}) {
        starts.push_back(
            std::make_unique<SoloStart>(CORVANE_BACKUP_PATH, TmainForm::ClassName, TmainForm::Caption, delay));
        starts.push_back(
            std::make_unique<SoloStart>(PLOVERLY_PATH, TmainForm::CompanionClass, TmainForm::CompanionCaption, delay));
    }
    for (auto& start : starts) {
        start->Start();
    }
    // Looked for without a pause, so that "at once" is at once.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!std::all_of(starts.begin(), starts.end(), [](const auto& start) { return start->signalled; })) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        for (auto& start : starts) {
            if (start->signalled) {
                continue;
            }
            if (!start->foundAt && start->Found()) {
                start->foundAt = std::chrono::steady_clock::now();
            }
            if (start->foundAt && std::chrono::steady_clock::now() >= *start->foundAt + start->delay) {
                start->process.terminate();
                start->signalled = true;
            }
            // One that ended before it could be found fails below.
            start->signalled = start->signalled || start->process.waitForFinished(0);
        }
    }
    for (auto& start : starts) {
        const std::string which =
            start->program + " signalled " + std::to_string(start->delay.count()) + " ms after it could be found";
        EXPECT_TRUE(start->process.waitForFinished(20000)) << which;
        EXPECT_EQ(start->process.exitStatus(), QProcess::NormalExit) << which;
        EXPECT_EQ(start->process.exitCode(), 0) << which;
        if (start->className == TmainForm::ClassName) {
            // Closed as the user closes it: the task of the cancelled dialog saved, the log written last.
            std::vector<std::unique_ptr<TGroup>> stored;
            ReadTaskFile(start->folder / TaskFileName, nullptr, stored);
            EXPECT_EQ(stored.size(), 1u) << which;
            const std::vector<std::string> messages = LogMessages(start->folder / "Backup.log");
            EXPECT_TRUE(!messages.empty() && messages.back() == "Program stoped.") << which;
        }
        if (start->process.state() != QProcess::NotRunning) {
            start->process.kill();
            start->process.waitForFinished(10000);
        }
    }
}

TEST_F(BackupProgram, StateFilesItCannotReadAreNamedAndLeftAsTheyWere) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the program is started as another user, which takes root";
    }
    // The program folder is the other user's; the three files are there, but unreadable to it (mode 000).
    const TempDir session;
    for (const std::string& folder : {program.Path(), session.Path()}) {
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    }
    WriteFileBytes(program / "ftpbackup.stg", RandomBytes(300, 1));
    WriteFileBytes(program / "Backup.log", RandomBytes(200, 2));
    const std::vector<std::string> names = {TaskFileName, "ftpbackup.stg", "Backup.log"};
    std::map<std::string, std::string> before;
    for (const std::string& name : names) {
        before[name] = ReadFileBytes(program / name);
        ASSERT_EQ(::chown((program / name).c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod((program / name).c_str(), 0), 0);
    }
    const auto asNobody = [&] {
        QProcess& process = StartAsNobody(session);
        ASSERT_TRUE(WaitUntil([&] { return FoundIn(session); }, 20s));
        EndBySignals(process);
    };
    asNobody();
    for (const std::string& name : names) {
        EXPECT_EQ(ReadFileBytes(program / name), before[name]) << name;
        EXPECT_EQ(Stat(program / name).st_mode & 07777, 0u) << name;
    }
    EXPECT_TRUE(TemporaryFiles().empty());

    // With a log it may write, the log tells which files it could not read and why.
    std::filesystem::remove(program / "Backup.log");
    asNobody();
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    for (const std::string& name : {names[0], names[1]}) {
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "Error: Cannot open file \"" + program / name +
                                "\". Permission denied. The file is left as it was and is not saved while the "
                                "program runs; look at the file's owner and permissions, and at what stands at its "
                                "name."),
                  messages.end())
            << name;
        EXPECT_EQ(ReadFileBytes(program / name), before[name]) << name;
    }
}

TEST_F(BackupProgram, AStartAsRootLeavesTheFilesItSavesToTheirOwnerAndSavesThroughALink) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "files of another user are made by root";
    }
    // The user's files, open to others, "files.lst" a link to where the user keeps it.
    std::filesystem::create_directory(program / "kept");
    std::filesystem::rename(program / TaskFileName, program / "kept/tasks");
    std::filesystem::create_symlink("kept/tasks", program / TaskFileName);
    WriteFileBytes(program / "ftpbackup.stg", "");
    WriteFileBytes(program / "Backup.log", "");
    const std::vector<std::string> saved = {"kept/tasks", "ftpbackup.stg", "Backup.log"};
    for (const std::string& name : saved) {
        ASSERT_EQ(::chown((program / name).c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod((program / name).c_str(), 0644), 0);
    }

    QProcess& process = Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    EndBySignals(process);

    // Each replaced: the link stays, and the files are private now, still the user's.
    EXPECT_TRUE(S_ISLNK(Stat(program / TaskFileName).st_mode));
    std::vector<std::unique_ptr<TGroup>> stored;
    EXPECT_EQ(ReadTaskFile(program / TaskFileName, nullptr, stored), "");
    EXPECT_EQ(stored.size(), 1u);
    for (const std::string& name : saved) {
        EXPECT_EQ(Stat(program / name).st_uid, 65534u) << name;
        EXPECT_EQ(Stat(program / name).st_gid, 65534u) << name;
        EXPECT_EQ(Stat(program / name).st_mode & 07777, 0600u) << name;
    }
    EXPECT_EQ(LogMessages(program / "Backup.log").back(), "Program stoped.");
}

TEST_F(BackupProgram, LeftoversOfKilledSavesGoAtStartAndFilesOfSimilarNamesStay) {
    const std::vector<std::string> leftovers = {"files.lst.Ab12Cd.tmp", "ftpbackup.stg.zzzzzz.tmp",
                                                "Backup.log.000000.tmp"};
    const std::vector<std::string> others = {"files.lst.Ab12C.tmp", "files.lst.Ab-2Cd.tmp", "tasks.lst.Ab12Cd.tmp",
                                             "files.lst.Ab12Cd.tmp.bak"};
    for (const std::string& name : leftovers) {
        WriteFileBytes(program / name, "a killed save's tasks");
    }
    for (const std::string& name : others) {
        WriteFileBytes(program / name, "the user's");
    }
    Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    EXPECT_EQ(TemporaryFiles(),
              (std::vector<std::string>{"files.lst.Ab-2Cd.tmp", "files.lst.Ab12C.tmp", "tasks.lst.Ab12Cd.tmp"}));
    EXPECT_EQ(ReadFileBytes(program / "files.lst.Ab12Cd.tmp.bak"), "the user's");
}

// A run or a restore killed outright leaves plain copies of the user's files in the temporary folder; the next
// start removes them, but not a set that a run kept on purpose (its list's upload failed), nor anything that merely
// looks alike, is not a regular file, or is not the user's.
TEST_F(BackupProgram, VolumesOfKilledRunsGoAtStartAndAKeptSetStays) {
    const std::string stamp = "__05_17_05_10-00-00.zip";
    // With the work files of a restore killed while it held a downloaded and a decrypted volume, and of a list's
    // download.
    const std::vector<std::string> leftovers = {"0Docs" + stamp, "3Docs" + stamp + ".crt", "0" + stamp,
                                                "0Kept" + stamp, "volume-Ab12Cd",          "volume-000000",
                                                "list-zzzzzz"};
    const std::vector<std::string> kept = {"Kept" + stamp + ".crt.inf",
                                           "0Kept" + stamp + ".crt",
                                           "1Kept" + stamp + ".crt",
                                           "2024" + stamp + ".inf",
                                           "12024" + stamp,
                                           "Docs" + stamp,
                                           "0Docs__05_17_05.zip",
                                           "0Docs" + stamp + ".bak",
                                           "notes.zip",
                                           "0Docs" + stamp + ".inf",
                                           "volume-abc12",
                                           "list-abc1234",
                                           "volumes-abc123"};
    for (const std::string& name : leftovers) {
        WriteFileBytes(temp / name, "a killed run's volume");
    }
    for (const std::string& name : kept) {
        WriteFileBytes(temp / name, "kept");
    }
    // A link of that form (its target stays whole), and a file of another user's.
    WriteFileBytes(temp / "target", "target");
    std::filesystem::create_symlink(temp / "target", temp / ("7Docs" + stamp));
    const bool root = ::geteuid() == 0;
    if (root) {
        WriteFileBytes(temp / ("8Docs" + stamp), "another user's");
        ASSERT_EQ(::chown((temp / ("8Docs" + stamp)).c_str(), 65534, 65534), 0);
    }
    Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    for (const std::string& name : leftovers) {
        EXPECT_FALSE(std::filesystem::exists(temp / name)) << name;
    }
    for (const std::string& name : kept) {
        EXPECT_EQ(ReadFileBytes(temp / name), "kept") << name;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(temp / ("7Docs" + stamp)));
    EXPECT_EQ(ReadFileBytes(temp / "target"), "target");
    if (root) {
        EXPECT_TRUE(std::filesystem::exists(temp / ("8Docs" + stamp)));
    }
}

TEST_F(BackupProgram, WhatAStartAsRootMakesInAUsersFolderIsTheUsersAndLocksTheUserOutOfNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a start as root";
    }
    // A fresh program folder of the user's, with the real companion and the user's task; the user's home.
    std::filesystem::remove(program / "Ploverly");
    std::filesystem::copy_file(PLOVERLY_PATH, program / "Ploverly");
    const TempDir session;
    for (const std::string& path : {program.Path(), session.Path(), program / TaskFileName}) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
    // As sudo -E starts it: root, with the user's home (and so the user's ~/.config) and the user's runtime folder,
    // which is not root's to use: root's copies are found where a copy of root's without one is found.
    QProcess& root = Start([&](QProcessEnvironment& environment) {
        environment.remove("XDG_CONFIG_HOME");
        environment.insert("HOME", QString::fromStdString(session.Path()));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(session.Path()));
    });
    {
        const ScopedEnv rootsRegistry("XDG_RUNTIME_DIR", nullptr);
        ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    }
    const std::string entry = session / ".config/autostart/Ploverly.desktop";
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(entry); }, 20s)) << "the companion's start is done";
    EndBySignals(root);
    for (const pid_t companion : Companions()) {
        ::kill(companion, SIGTERM);
    }
    ASSERT_TRUE(WaitUntil([&] { return Companions().empty(); }, 20s));
    const std::vector<std::string> made = {program / "CorvaneBackUp.lock", program / "Ploverly.lock",
                                           program / "Backup.log",         program / "ftpbackup.stg",
                                           program / TaskFileName,         session / ".config",
                                           session / ".config/autostart",  entry};
    for (const std::string& path : made) {
        EXPECT_EQ(Stat(path).st_uid, 65534u) << path;
        EXPECT_EQ(Stat(path).st_gid, 65534u) << path;
    }
    EXPECT_EQ(Stat(program / "Backup.log").st_mode & 07777, 0600u);
    for (const auto& found : std::filesystem::recursive_directory_iterator(session.Path())) {
        EXPECT_EQ(Stat(found.path()).st_uid, 65534u) << found.path();
    }

    // The user's own start then finds nothing wrong: no box, no error line, both locks taken.
    QProcess& user = StartAsNobody(session);
    ASSERT_TRUE(WaitUntil([&] { return FoundIn(session); }, 20s));
    EXPECT_EQ(LockHolder(program / "CorvaneBackUp.lock"), user.processId());
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<pid_t> companions = Companions();
            return companions.size() == 1 && LockHolder(program / "Ploverly.lock") == companions[0];
        },
        20s))
        << "the user's companion holds its lock";
    EndBySignals(user);
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& line) { return line.starts_with("Error"); }),
              0);
    EXPECT_EQ(messages.back(), "Program stoped.");
}

TEST_F(BackupProgram, AStartAsRootFollowsNoLinkOfTheFoldersOwnerAndNamesTheFileBehindIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a start as root";
    }
    // Files of root's elsewhere, and the user's links to them in the user's program folder; the leftover name of a
    // killed save beside the link's target.
    const TempDir elsewhere;
    const std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
    WriteFileBytes(elsewhere / "passwd", passwd);
    WriteFileBytes(elsewhere / "passwd.Ab12Cd.tmp", "root's own");
    ASSERT_EQ(::chown(program.Path().c_str(), 65534, 65534), 0);
    std::filesystem::remove(program / TaskFileName);
    std::filesystem::create_symlink(elsewhere / "passwd", program / TaskFileName);
    std::filesystem::create_symlink(elsewhere / "nologin", program / "ftpbackup.stg");
    for (const std::string name : {TaskFileName, "ftpbackup.stg"}) {
        ASSERT_EQ(::lchown((program / name).c_str(), 65534, 65534), 0);
    }

    QProcess& process = Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    EndBySignals(process);

    EXPECT_EQ(ReadFileBytes(elsewhere / "passwd"), passwd);
    EXPECT_EQ(Stat(elsewhere / "passwd").st_mode & 07777, 0644u);
    EXPECT_EQ(ReadFileBytes(elsewhere / "passwd.Ab12Cd.tmp"), "root's own");
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "nologin"));
    EXPECT_TRUE(S_ISLNK(Stat(program / TaskFileName).st_mode));
    EXPECT_TRUE(S_ISLNK(Stat(program / "ftpbackup.stg").st_mode));
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    for (const std::string name : {TaskFileName, "ftpbackup.stg"}) {
        const std::string path = program / name;
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "Error: Cannot open file \"" + path + "\". The symbolic link \"" + path +
                                "\" belongs to another user and is not followed. The file is left as it was and is "
                                "not saved while the program runs; look at the file's owner and permissions, and at "
                                "what stands at its name."),
                  messages.end())
            << name;
    }
}

TEST_F(BackupProgram, AFifoAtAStateFileOrAtTheLockHoldsNoStartAndASignalEndsItAtOnce) {
    for (const std::string name : {TaskFileName, "CorvaneBackUp.lock"}) {
        std::filesystem::remove(program / name);
        ASSERT_EQ(::mkfifo((program / name).c_str(), 0600), 0);
        QProcess& process = Start();
        ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s)) << name;
        process.terminate();
        EXPECT_TRUE(process.waitForFinished(2000)) << name;
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << name;
        EXPECT_EQ(process.exitCode(), 0) << name;
        // The FIFO named, left as it was.
        EXPECT_TRUE(S_ISFIFO(Stat(program / name).st_mode)) << name;
        const std::string named = name == TaskFileName ? "Error: Cannot open file \"" + program / name + "\". "
                                                       : "Error: Cannot lock \"" + program / name + "\". ";
        const std::vector<std::string> messages = LogMessages(program / "Backup.log");
        EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& line) {
            return line.starts_with(named);
        })) << name;
        std::filesystem::remove(program / name);
        WriteTaskFile(program / TaskFileName, {});
    }
}

TEST_F(BackupProgram, ASaveThatCannotBeMadeBesideItsFileIsNamedOnceInTheLog) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the program is started as another user, which takes root";
    }
    // A program folder the user may not write, holding the user's own files, and a log linked to the user's
    // session folder.
    const TempDir session;
    ASSERT_EQ(::chown(session.Path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(program.Path().c_str(), 0755), 0);
    WriteFileBytes(program / "ftpbackup.stg", "");
    WriteFileBytes(program / "CorvaneBackUp.lock", "");
    const std::vector<std::string> names = {TaskFileName, "ftpbackup.stg"};
    std::map<std::string, std::string> before;
    for (const std::string& name : {names[0], names[1], std::string("CorvaneBackUp.lock")}) {
        before[name] = ReadFileBytes(program / name);
        ASSERT_EQ(::chown((program / name).c_str(), 65534, 65534), 0);
    }
    std::filesystem::create_symlink(session / "Backup.log", program / "Backup.log");

    QProcess& process = StartAsNobody(session);
    ASSERT_TRUE(WaitUntil([&] { return FoundIn(session); }, 20s));
    EndBySignals(process);

    const std::vector<std::string> messages = LogMessages(session / "Backup.log");
    for (const std::string& name : names) {
        EXPECT_EQ(std::count(messages.begin(), messages.end(),
                             "Error: Cannot create file \"" + program / name +
                                 "\". Permission denied. The file was not saved and stays as it was."),
                  1)
            << name;
        EXPECT_EQ(ReadFileBytes(program / name), before[name]) << name;
    }
    EXPECT_EQ(messages.back(), "Program stoped.");
}

TEST_F(BackupProgram, AFileSizeLimitFailsTheSaveItStopsAloneWhichIsNamed) {
    // A task list larger than the file size limit the program is given (ulimit -f); the log far smaller.
    std::vector<std::unique_ptr<TGroup>> tasks;
    tasks.push_back(std::make_unique<TGroup>());
    for (int i = 0; i < 2000; ++i) {
        tasks.back()->AddFolder(
            std::make_unique<TFolder>("/nowhere/" + std::string(40, 'x') + std::to_string(i) + "/"));
    }
    WriteTaskFile(program / TaskFileName, tasks);
    const std::string before = ReadFileBytes(program / TaskFileName);
    constexpr rlim_t Limit = 64 * 1024;
    ASSERT_GT(before.size(), Limit);

    QProcess& process = Start(nullptr, {}, [] {
        const rlimit limit{Limit, Limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    // Not ended by the limit's signal: the regular way, the log written after the failed save.
    EndBySignals(process);
    EXPECT_EQ(ReadFileBytes(program / TaskFileName), before);
    EXPECT_TRUE(TemporaryFiles().empty());
    const std::vector<std::string> messages = LogMessages(program / "Backup.log");
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& line) {
        return line.find(program / TaskFileName) != std::string::npos &&
               line.ends_with("The file was not saved and stays as it was.");
    }));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Program stoped.");
}

TEST_F(BackupProgram, AStartForADueTaskRunsItWhateverBoxTheStartShows) {
    TempDir data;
    WriteDueTaskOfALargeFile(data);
    // A log that cannot be read and a lock that cannot be taken: the start names them in a box, which nobody
    // answers.
    std::filesystem::create_directory(program / "Backup.log");
    std::filesystem::create_directory(program / "CorvaneBackUp.lock");
    QProcess& process = Start();
    EXPECT_TRUE(WaitUntil([&] { return !Volumes().empty(); }, 60s)) << "the due task runs";
    EndBySignals(process);
}

TEST_F(BackupProgram, AStartAsRootWithAUsersTemporaryFolderWorksInAFolderOfItsOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a start as root";
    }
    // As su starts it, with the user's TEMP: root's volumes in the user's folder could be swapped by the user for
    // links to root's files before they are sent. Root's TMPDIR serves instead.
    const TempDir session;
    ASSERT_EQ(::chown(session.Path().c_str(), 65534, 65534), 0);
    TempDir data;
    // The user's link to a folder of root's is passed over too: the user could point it elsewhere meanwhile.
    const TempDir roots;
    const std::string link = session / "tmp";
    std::filesystem::create_directory_symlink(roots.Path(), link);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    for (const std::string& users : {session.Path(), link}) {
        WriteDueTaskOfALargeFile(data);
        QProcess& process = Start([&](QProcessEnvironment& environment) {
            environment.insert("TEMP", QString::fromStdString(users));
            environment.insert("TMPDIR", QString::fromStdString(temp.Path()));
        });
        EXPECT_TRUE(WaitUntil([&] { return !Volumes().empty(); }, 60s)) << "the due task packs in root's folder";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(session.Path()), {}), 1) << users;
        EndBySignals(process);
        for (const std::string& volume : Volumes()) {
            std::filesystem::remove(volume);
        }
    }
}

// scripts/run --ftp, as a newcomer tries the program: the FTP server it starts must outlive the program, so that the
// backups the companion starts later (the program closed, a task due) find it.
class TryOutScript : public ::testing::Test {
protected:
    void SetUp() override {
        WidgetApp();
        ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    }
    void TearDown() override {
        if (server > 0) {
            ::kill(server, SIGTERM);
        }
        // The script's record of the server, beside the build tree.
        const std::string record = std::filesystem::path(CORVANE_BUILD_DIR).parent_path() / "ftp-server-";
        std::filesystem::remove(record + std::to_string(port) + ".pid");
        std::filesystem::remove(record + std::to_string(port) + ".log");
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    // One run of the script; its output.
    std::string Run() {
        QProcess script;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
        environment.insert("CORVANE_BUILD_DIR", CORVANE_BUILD_DIR);
        environment.insert("CORVANE_FTP_PORT", QString::number(port));
        script.setProcessEnvironment(environment);
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QString(CORVANE_SOURCE_DIR) + "/scripts/run", {"--ftp", "run"});
        EXPECT_TRUE(script.waitForFinished(300000));
        EXPECT_EQ(script.exitCode(), 0);
        const std::string output = script.readAll().toStdString();
        const std::size_t kill = output.find("stop it with: kill ");
        EXPECT_NE(kill, std::string::npos) << output;
        if (kill != std::string::npos) {
            server = std::stoi(output.substr(kill + 19));
        }
        return output;
    }

    TempDir runtime;
    int port = FindFreePort();
    pid_t server = -1;
};

TEST_F(TryOutScript, TheFtpServerIsStartedOnceAndOutlivesTheProgramUntilStopped) {
    // A copy of the program runs already (as far as a new one can tell): the one the script starts ends at once.
    const RegistryPeer running(TmainForm::ClassName, TmainForm::Caption);
    const std::string first = Run();
    EXPECT_NE(first.find("FTP server started on 127.0.0.1 port " + std::to_string(port)), std::string::npos) << first;
    ASSERT_GT(server, 0);
    // The program has ended (and with it the script); the server runs on.
    EXPECT_FALSE(WaitUntil([&] { return !PortAccepts("127.0.0.1", port); }, 2s));

    const pid_t started = server;
    const std::string second = Run();
    EXPECT_NE(second.find("runs already"), std::string::npos) << second;
    EXPECT_EQ(server, started);

    // The printed way to stop it stops it.
    ASSERT_EQ(::kill(server, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return !PortAccepts("127.0.0.1", port); }, 10s));
    server = -1;
}

// The names of the windows of an X display, as the window system holds them.
std::vector<std::string> WindowNames(const std::string& listing) {
    std::vector<std::string> names;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t id = line.find("0x");
        const std::size_t open = line.find(" \"", id);
        const std::size_t close = line.find("\":", open == std::string::npos ? 0 : open + 2);
        if (id != std::string::npos && open != std::string::npos && close != std::string::npos) {
            names.push_back(line.substr(open + 2, close - open - 2));
        }
    }
    return names;
}

TEST_F(BackupProgram, OnARealDisplayEachWindowShowsExactlyItsCaption) {
    if (QStandardPaths::findExecutable("xvfb-run").isEmpty() || QStandardPaths::findExecutable("xwininfo").isEmpty()) {
        GTEST_SKIP() << "xvfb-run and xwininfo (scripts/install-deps installs them) are needed";
    }
    // A first start: the task dialog opens while the main window loads.
    std::filesystem::remove(program / TaskFileName);
    QProcess display;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
    environment.insert("TEMP", QString::fromStdString(temp.Path()));
    environment.insert("QT_QPA_PLATFORM", "xcb");
    display.setProcessEnvironment(environment);
    display.setProgram("xvfb-run");
    display.setArguments({"-a", "-s", "-screen 0 1024x768x24", "sh", "-c",
                          "\"$0\" run & program=$!\n"
                          "for i in $(seq 300); do\n"
                          "  xwininfo -root -tree | grep -q '\"Task Settings' && break\n"
                          "  sleep 0.1\n"
                          "done\n"
                          "xwininfo -root -tree\n"
                          "kill $program; wait $program",
                          QString::fromStdString(program / "CorvaneBackUp")});
    display.start();
    ASSERT_TRUE(display.waitForFinished(90000)) << display.readAllStandardError().toStdString();
    const std::vector<std::string> names = WindowNames(display.readAllStandardOutput().toStdString());
    EXPECT_NE(std::find(names.begin(), names.end(), "Task Settings"), names.end());
    // Qt would append a display name to every caption ("Task Settings \u2014 Corvane - Oxn Backup").
    for (const std::string& name : names) {
        EXPECT_EQ(name.find("\u2014"), std::string::npos) << name;
    }
}

} // namespace
