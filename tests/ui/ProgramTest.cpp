// The built CorvaneBackUp program: one copy at a time, and the companion started beside it only when it is missing.

#include "MainFormTesting.h"

#include "core/app/StoredText.h"
#include "core/app/TaskFile.h"
#include "platform/WindowRegistry.h"
#include "ui/unitMainForm.h"

#include "support/ProgramRecorder.h"
#include "support/Servers.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <thread>

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

    QProcess& Start() {
        processes.push_back(std::make_unique<QProcess>());
        QProcess& process = *processes.back();
        process.setProcessEnvironment(ProgramEnvironment(runtime, temp, config));
        process.setProgram(QString::fromStdString(program / "CorvaneBackUp"));
        process.setArguments({"run"});
        // Started from elsewhere: the program finds its companion in its own folder.
        process.setWorkingDirectory(QString::fromStdString(temp.Path()));
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000));
        return process;
    }
    static bool Found() { return FindWindow(TmainForm::ClassName, TmainForm::Caption, 500ms); }
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

TEST_F(BackupProgram, TenStartsAtOnceLeaveOneProgramAndOneCompanion) {
    std::filesystem::remove(program / "Ploverly");
    std::filesystem::copy_file(PLOVERLY_PATH, program / "Ploverly");
    for (int i = 0; i < 10; ++i) {
        Start();
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
    for (auto& process : processes) {
        if (process->state() == QProcess::NotRunning) {
            EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(process->exitCode(), 0);
        }
    }
    ASSERT_EQ(Running(), 1u);
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    // One companion was started and stays; it is found.
    ASSERT_TRUE(WaitUntil([] { return FindWindow(TmainForm::CompanionClass, TmainForm::CompanionCaption); }, 20s));
    EXPECT_EQ(Companions().size(), 1u);
    EXPECT_EQ(Running(), 1u);
}

TEST_F(BackupProgram, ATerminationSignalDuringTheLastFileStopsTheRunThereAndEndsTheProgramTheRegularWay) {
    // A task due at the first tick whose last file is large: 2 GiB that take no room on the disk, and seconds to
    // pack.
    TempDir data;
    const std::string large = data / "large.bin";
    WriteFileBytes(large, "");
    std::filesystem::resize_file(large, 2ull << 30);
    std::vector<std::unique_ptr<TGroup>> tasks;
    tasks.push_back(std::make_unique<TGroup>());
    TGroup& task = *tasks.back();
    task.AddFolder(std::make_unique<TFolder>(data.Path()));
    task.Info->Active = 1;
    task.Info->Incremental = 1;
    task.Info->Period->Type = TTimePeriod::Daily;
    task.Info->Period->DailyEveryN = 1;
    task.Info->Period->Mode = 1;
    task.Info->Period->StartDate = Now() - 1;
    WriteTaskFile(program / TaskFileName, tasks);
    const auto volumes = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(temp.Path())) {
            if (entry.path().extension() == ".zip") {
                found.push_back(entry.path());
            }
        }
        return found;
    };

    QProcess& process = Start();
    // The volume is begun: the large file is being packed.
    ASSERT_TRUE(WaitUntil([&] { return !volumes().empty(); }, 60s));
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
    EXPECT_TRUE(volumes().empty());
    std::vector<std::unique_ptr<TGroup>> stored;
    ReadTaskFile(program / TaskFileName, nullptr, stored);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_NE(stored[0]->Info->Period->LastRun, 0.0);
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
