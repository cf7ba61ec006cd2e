#include "CompanionTesting.h"
#include "companion/UnitGo.h"
#include "companion/UnitMainForm.h"
#include "platform/Process.h"
#include "platform/WindowRegistry.h"
#include "support/EventLoop.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <QAction>
#include <QMenu>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string Class = "TmainScheduleForm";
const std::string Caption = "Corvane - Oxn Backup schedule_";

class CompanionWindow : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
        WriteRecordingProgram(program_ / "CorvaneBackUp", record_);
        const TDateTime today = static_cast<double>(DayOf(Now()));
        WriteTasks(program_.Path(), {DailyTask("a", today, EncodeTime(3, 0, 0)), DailyTask("b", today, 0.0)});
        companion::CreateGlobalObject(program_.Path());

        const auto start = std::chrono::steady_clock::now();
        form_ = std::make_unique<TmainScheduleForm>();
        createdIn_ = std::chrono::steady_clock::now() - start;
    }
    void TearDown() override {
        form_.reset();
        companion::DestroyGlobalObject();
    }

    TempDir runtime_;
    TempDir config_;
    TempDir program_;
    std::string record_ = program_ / "record.txt";
    std::unique_ptr<TmainScheduleForm> form_;
    std::chrono::steady_clock::duration createdIn_{};
};

TEST_F(CompanionWindow, StartsHiddenAndFindableWithTasksLoadedAndAutostartWritten) {
    EXPECT_EQ(form_->windowTitle().toStdString(), Caption);
    EXPECT_TRUE(FindWindow(Class, Caption));
    EXPECT_FALSE(FindWindow(Class, "Corvane - Oxn Backup schedule"));

    // Nothing to see but the tray icon.
    EXPECT_FALSE(form_->isVisible());
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(widget->isVisible()) << widget->metaObject()->className();
    }
    EXPECT_EQ(form_->tray->toolTip().toStdString(), "FTP backup schedule");
    EXPECT_FALSE(form_->tray->icon().isNull());
    const auto actions = form_->PopupMenu1->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text().toStdString(), "Open FTP backup");
    EXPECT_EQ(actions[1]->text().toStdString(), "Close Schedule");

    EXPECT_EQ(companion::GetGlobalObject()->ProgramDir, program_.Path());
    EXPECT_EQ(companion::GetGlobalObject()->Tasks.size(), 2u);
    EXPECT_GE(createdIn_, std::chrono::milliseconds(TmainScheduleForm::StartDelayMs));
    EXPECT_NE(ReadFileBytes(config_ / "autostart/Ploverly.desktop").find("\nExec=\"" + ProgramFile() + "\" autorun\n"),
              std::string::npos);
}

TEST_F(CompanionWindow, TrayClicksOpenTheMenuAndNeverAWindow) {
    emit form_->tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form_->PopupMenu1->isVisible());
    form_->PopupMenu1->hide();
    for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
        emit form_->tray->activated(reason);
        EXPECT_FALSE(form_->PopupMenu1->isVisible());
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(form_->isVisible());
}

TEST_F(CompanionWindow, OpenFtpBackupStartsTheBackupProgramFromTheCompanionsFolder) {
    form_->OpenFTPbackup1->trigger();
    EXPECT_EQ(WaitForRecordLines(record_, 1),
              std::vector<std::string>{std::filesystem::path(program_.Path()).parent_path().string() + "|run"});
}

TEST_F(CompanionWindow, NoticeIsAnsweredAndChangesNothing) {
    WriteTasks(program_.Path(), {});
    std::atomic<bool> done = false;
    std::optional<std::int64_t> answer;
    std::thread sender([&] {
        answer = SendCopyData(Class, Caption, TCopyData{4242, 0, ""});
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10s));
    sender.join();
    EXPECT_EQ(answer, 0);
    // The changed tasks wait for the next periodic reread.
    EXPECT_EQ(companion::GetGlobalObject()->Tasks.size(), 2u);
}

TEST_F(CompanionWindow, CloseScheduleEndsTheApplicationObjectAndTheWindow) {
    form_->CloseSchedule1->trigger();
    // The application object is gone: a new one is made for another folder.
    EXPECT_EQ(companion::CreateGlobalObject("/elsewhere/")->ProgramDir, "/elsewhere/");
    EXPECT_FALSE(FindWindow(Class, Caption));
    EXPECT_FALSE(form_->tray->isVisible());
}

// The companion's clock at a moment of a fixed day, from which it moves on with the real time, so that the timer's
// ticks see it pass: the tests take the same time at any hour of the day.
class MovingClock {
public:
    explicit MovingClock(TDateTime start)
        : start_(start), began_(std::chrono::steady_clock::now()), clock_([this] {
              const std::chrono::duration<double> passed = std::chrono::steady_clock::now() - began_;
              return start_ + passed.count() / 86400.0;
          }) {}

private:
    TDateTime start_;
    std::chrono::steady_clock::time_point began_;
    ScopedClock clock_;
};

const TDateTime Day = EncodeDate(2024, 6, 10);
const TDateTime Nine = EncodeTime(9, 0, 0);

TEST_F(CompanionWindow, DueTasksStartTheBackupProgramOnceEachFromItsFolder) {
    const MovingClock clock(Day + Nine - 4.0 / 86400);
    // Not active but due first; then two due together.
    WriteTasks(program_.Path(),
               {DailyTask("off", Day, Nine, false), DailyTask("first", Day, Nine), DailyTask("second", Day, Nine)});
    companion::GetGlobalObject()->Tasks.clear();
    companion::GetGlobalObject()->LoadTasks();
    const std::string run = std::filesystem::path(program_.Path()).parent_path().string() + "|run";
    EXPECT_TRUE(PumpUntil([&] { return WaitForRecordLines(record_, 2, 0ms).size() >= 2; }, 20s));
    // A few ticks more start nothing: both are refused by their repeat guard, the inactive one is never started.
    PumpFor(5s);
    EXPECT_EQ(WaitForRecordLines(record_, 3, 0ms), std::vector<std::string>({run, run}));
}

TEST_F(CompanionWindow, DamagedTaskFileLeavesItIdleAndAChangedOneIsSeenAtTheReread) {
    const MovingClock clock(Day + Nine - 25.0 / 86400);
    WriteFileBytes(program_ / "files.lst", RandomBytes(5000, 11));
    companion::GetGlobalObject()->Tasks.clear();
    companion::GetGlobalObject()->LoadTasks();
    PumpFor(3s);
    EXPECT_FALSE(std::filesystem::exists(record_));

    // Saved by the backup program while the companion runs: due within its window at the next reread, which comes
    // after at most ten idle ticks.
    WriteTasks(program_.Path(), {DailyTask("saved", Day, Nine)});
    EXPECT_TRUE(PumpUntil([&] { return std::filesystem::exists(record_); }, 40s));
    EXPECT_EQ(WaitForRecordLines(record_, 1),
              std::vector<std::string>{std::filesystem::path(program_.Path()).parent_path().string() + "|run"});
}

} // namespace
