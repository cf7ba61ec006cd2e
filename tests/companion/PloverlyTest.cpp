#include "CompanionTesting.h"
#include "platform/WindowRegistry.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string Class = "TmainScheduleForm";
const std::string Caption = "Corvane - Oxn Backup schedule_";

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The built companion copied into a program folder of its own, beside a stand-in backup program, with the
// desktop's folders pointed at temporary ones and no display.
class PloverlyProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        std::filesystem::copy_file(PLOVERLY_PATH, program_ / "Ploverly");
        WriteRecordingProgram(program_ / "CorvaneBackUp", program_ / "record.txt");
    }

    std::unique_ptr<QProcess> Start() {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_.Path()));
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config_.Path()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process->setProcessEnvironment(environment);
        process->setProgram(QString::fromStdString(program_ / "Ploverly"));
        process->setArguments({"run"});
        // Started from another folder: the companion works from its own.
        process->setWorkingDirectory(QString::fromStdString(runtime_.Path()));
        process->start();
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    std::vector<std::string> Starts(std::size_t count, std::chrono::milliseconds timeout) {
        return WaitForRecordLines(program_ / "record.txt", count, timeout);
    }
    std::string RunLine() const { return std::filesystem::path(program_.Path()).parent_path().string() + "|run"; }

    bool Running(QProcess& process) { return !process.waitForFinished(0) && process.state() == QProcess::Running; }

    TempDir runtime_;
    TempDir config_;
    TempDir program_;
};

TEST_F(PloverlyProgram, AnnouncesItselfWritesItsAutostartEntryAndAnswersTheNotice) {
    auto process = Start();
    ASSERT_TRUE(WaitFor([] { return FindWindow(Class, Caption); }));
    // The entry is written last in the start-up; the path is where this copy was started from.
    const std::string entry = config_ / "autostart/Ploverly.desktop";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(entry); }));
    EXPECT_NE(ReadFileBytes(entry).find("\nExec=\"" + (program_ / "Ploverly") + "\" autorun\n"), std::string::npos);

    EXPECT_EQ(SendCopyData(Class, Caption, TCopyData{1, 0, ""}), 0);

    // No tray on this display: the program keeps running past a few ticks of its timer all the same.
    std::this_thread::sleep_for(4500ms);
    EXPECT_TRUE(Running(*process));
    EXPECT_TRUE(FindWindow(Class, Caption));
    // With no task file nothing was started.
    EXPECT_FALSE(std::filesystem::exists(program_ / "record.txt"));

    process->terminate();
    ASSERT_TRUE(process->waitForFinished(10000));
    EXPECT_FALSE(FindWindow(Class, Caption));
}

TEST_F(PloverlyProgram, TenStartsAtOnceLeaveOneAndAKilledOneKeepsNoneFromStarting) {
    // The window's entries in the registry folder (the folder holds the programs' locks too).
    const auto entries = [&] {
        return std::count_if(std::filesystem::directory_iterator(runtime_ / "CorvaneBackUp-windows"),
                             std::filesystem::directory_iterator(), [](const auto& entry) {
                                 return entry.path().filename().string().rfind(Class + "-", 0) == 0;
                             });
    };
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < 10; ++i) {
        starts.push_back(Start());
    }
    // Nine end at once with code 0; the one left is found.
    const auto running = [&] {
        return std::count_if(starts.begin(), starts.end(), [&](auto& process) { return Running(*process); });
    };
    ASSERT_TRUE(WaitFor([&] { return running() <= 1; }, 30s));
    QProcess* survivor = nullptr;
    for (auto& process : starts) {
        if (Running(*process)) {
            survivor = process.get();
        } else {
            EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(process->exitCode(), 0);
        }
    }
    ASSERT_NE(survivor, nullptr);
    ASSERT_TRUE(WaitFor([] { return FindWindow(Class, Caption); }));
    EXPECT_EQ(entries(), 1);

    // Killed, it leaves its lock and its entry behind; neither is taken for a running companion.
    ::kill(static_cast<pid_t>(survivor->processId()), SIGKILL);
    ASSERT_TRUE(survivor->waitForFinished(10000));
    EXPECT_FALSE(FindWindow(Class, Caption));
    EXPECT_FALSE(SendCopyData(Class, Caption, TCopyData{}, 1s).has_value());
    auto next = Start();
    ASSERT_TRUE(WaitFor([] { return FindWindow(Class, Caption); }));
    EXPECT_EQ(entries(), 1) << "the dead entry was cleared";
    EXPECT_TRUE(Running(*next));
    next->kill();
    ASSERT_TRUE(next->waitForFinished(10000));
}

TEST_F(PloverlyProgram, ALockThatCannotBeTakenIsShownWithoutHoldingTheScheduleBack) {
    // A folder in place of the lock, and a task due at any hour: one of hours that never ran.
    std::filesystem::create_directory(program_ / "Ploverly.lock");
    StoredTask due = DailyTask("due", DayOf(Now()), 0.0);
    due.Period.Mode = 1;
    due.Period.LastRun = 0;
    WriteTasks(program_.Path(), {due});
    auto process = Start();
    // The box waits for nobody: the timer runs and the task starts.
    EXPECT_EQ(Starts(1, 20s), std::vector<std::string>{RunLine()});
    process->terminate();
    EXPECT_TRUE(process->waitForFinished(10000));
    EXPECT_TRUE(std::filesystem::is_directory(program_ / "Ploverly.lock"));
}

} // namespace
