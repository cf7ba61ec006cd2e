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

#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

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
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    QProcess& Start() {
        processes.push_back(std::make_unique<QProcess>());
        QProcess& process = *processes.back();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.Path()));
        environment.insert("TEMP", QString::fromStdString(temp.Path()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setProgram(QString::fromStdString(program / "CorvaneBackUp"));
        process.setArguments({"run"});
        // Started from elsewhere: the program finds its companion in its own folder.
        process.setWorkingDirectory(QString::fromStdString(temp.Path()));
        process.start();
        EXPECT_TRUE(process.waitForStarted(10000));
        return process;
    }
    static bool Found() { return FindWindow(TmainForm::ClassName, TmainForm::Caption, 500ms); }
    std::string CompanionStart() const { return std::filesystem::path(program.Path()).parent_path().string() + "|run"; }

    TempDir runtime;
    TempDir temp;
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

TEST_F(BackupProgram, ATerminationSignalEndsItAsClosingTheWindowDoes) {
    QProcess& process = Start();
    ASSERT_TRUE(WaitUntil([] { return Found(); }, 20s));
    process.terminate(); // SIGTERM, as the end of the desktop session sends
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    // Closed the regular way: the log was written last thing, and the window withdrew from the registry.
    TMemoryStream log;
    log.LoadFromFile(program / "Backup.log");
    const std::int32_t count = log.ReadInt32();
    std::string last;
    for (std::int32_t i = 0; i < count; ++i) {
        last = ReadStringFromStream(log);
        ReadStringFromStream(log);
    }
    EXPECT_EQ(last, "Program stoped.");
    EXPECT_FALSE(Found());
}

} // namespace
