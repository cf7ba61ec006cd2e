#include "FakeTasks.h"
#include "companion/UnitSchedule.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using companion::TGlobalObject;

// 10 June 2024, a Monday; the tasks are due at 09:00:00, in the window 08:59:36 .. 09:00:24.
const TDateTime Day = EncodeDate(2024, 6, 10);
const TDateTime NineOClock = Day + EncodeTime(9, 0, 0);

FakeTask DailyAtNine(bool active = true) {
    FakeTask task;
    task.Active = active;
    task.Period.Type = TTimePeriod::Daily;
    task.Period.DailyEveryN = 1;
    task.Period.StartDate = Day - 30;
    task.Period.At = EncodeTime(9, 0, 0);
    task.Period.LastRun = Day - 1 + EncodeTime(9, 0, 1);
    return task;
}

FakeTask DailyAtTen() {
    FakeTask task = DailyAtNine();
    task.Period.At = EncodeTime(10, 0, 0);
    return task;
}

TDateTime Seconds(int count) {
    return count / 86400.0;
}

class CompanionSchedule : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        WriteRecordingProgram(dir_ / "CorvaneBackUp", record_);
    }
    // The companion's object over `file`, with the tasks read once as at start-up.
    std::unique_ptr<TGlobalObject> Make(std::vector<FakeTask> file) {
        shared_->File = std::move(file);
        auto object = std::make_unique<TGlobalObject>(dir_.Path(), std::make_unique<FakeTasks>(shared_));
        object->LoadTasks();
        return object;
    }
    int TickAt(TGlobalObject& object, TDateTime moment) {
        ScopedClock clock([moment] { return moment; });
        return object.Schedule->OnTimer();
    }
    // The line the stand-in writes for a start with "run" in the program folder.
    std::string RunLine() const { return std::filesystem::path(dir_.Path()).parent_path().string() + "|run"; }

    TempDir dir_;
    std::string record_ = dir_ / "record.txt";
    std::shared_ptr<FakeTasks::Shared> shared_ = std::make_shared<FakeTasks::Shared>();
};

TEST_F(CompanionSchedule, TimerTicksEveryTwoSecondsFromTheStart) {
    auto object = Make({});
    EXPECT_TRUE(object->Schedule->Timer->isActive());
    EXPECT_EQ(object->Schedule->Timer->interval(), 2000);
    EXPECT_EQ(object->Current, -1);
}

TEST_F(CompanionSchedule, FirstActiveDueTaskStartsTheBackupProgramOncePerTick) {
    // Not active but due; not due; then two due together.
    auto object = Make({DailyAtNine(false), DailyAtTen(), DailyAtNine(), DailyAtNine()});
    const TDateTime first = NineOClock - Seconds(10);

    // The inactive task is passed over and the next ones are tried in the same tick.
    EXPECT_EQ(TickAt(*object, first), 2);
    EXPECT_EQ(object->Tasks->Period(2).LastRun, first);
    EXPECT_EQ(object->Tasks->Period(0).LastRun, DailyAtNine().Period.LastRun);
    // Two ticks for two tasks due together; then the repeat guard refuses both.
    EXPECT_EQ(TickAt(*object, first + Seconds(2)), 3);
    EXPECT_EQ(TickAt(*object, first + Seconds(4)), -1);
    EXPECT_EQ(TickAt(*object, first + Seconds(6)), -1);

    const auto lines = WaitForRecordLines(record_, 2);
    EXPECT_EQ(lines, std::vector<std::string>({RunLine(), RunLine()}));
    // The started program was the stand-in in the companion's own folder, with "run" as its only argument.
    EXPECT_EQ(WaitForRecordLines(record_, 3, 300ms).size(), 2u);
    EXPECT_EQ(shared_->File[2].Period.LastRun, DailyAtNine().Period.LastRun) << "nothing goes back to the file";
}

TEST_F(CompanionSchedule, TenthIdleTickRereadsTheTasks) {
    auto object = Make({DailyAtNine()});
    ASSERT_EQ(shared_->Reloads, 1);
    TDateTime moment = NineOClock - Seconds(3600);
    for (int tick = 1; tick <= 9; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(shared_->Reloads, 1);
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    EXPECT_EQ(shared_->Reloads, 2);
    EXPECT_EQ(object->Schedule->IdleTicks, 0);

    // A tick that starts something does not count: five idle, one start, five idle make the reread.
    moment = NineOClock - Seconds(22);
    for (int tick = 1; tick <= 5; ++tick) {
        ASSERT_EQ(TickAt(*object, moment - Seconds(60 - 2 * tick)), -1);
    }
    EXPECT_EQ(TickAt(*object, moment), 0);
    for (int tick = 1; tick <= 4; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(shared_->Reloads, 2);
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    EXPECT_EQ(shared_->Reloads, 3);
}

TEST_F(CompanionSchedule, RereadInsideTheWindowBringsBackTheStoredLastRun) {
    auto object = Make({DailyAtNine()});
    TDateTime moment = NineOClock - Seconds(23);
    EXPECT_EQ(TickAt(*object, moment), 0);
    // Ten idle ticks later the file's older LastRun replaces ours, and the task is due once more in its window:
    // a second backup program is started, which ends at once when the first still runs.
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(shared_->Reloads, 2);
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), 0);
    EXPECT_EQ(WaitForRecordLines(record_, 2).size(), 2u);
}

TEST_F(CompanionSchedule, FailedStartIsNotRetriedInTheSameWindow) {
    std::filesystem::remove(dir_ / "CorvaneBackUp");
    auto object = Make({DailyAtNine()});
    EXPECT_EQ(TickAt(*object, NineOClock), 0);
    EXPECT_EQ(object->Tasks->Period(0).LastRun, NineOClock);
    EXPECT_EQ(TickAt(*object, NineOClock + Seconds(2)), -1);
}

TEST_F(CompanionSchedule, EmptyOrFailingTaskListLeavesTheCompanionIdle) {
    auto object = Make({});
    for (int tick = 1; tick <= 20; ++tick) {
        EXPECT_EQ(TickAt(*object, NineOClock + Seconds(2 * tick)), -1);
    }
    EXPECT_EQ(shared_->Reloads, 3);

    // A reader that fails is swallowed; the timer goes on.
    class Failing : public companion::TTaskSource {
    public:
        void Reload() override { throw std::runtime_error("damaged"); }
        int Count() const override { return 0; }
        bool IsActive(int) const override { return false; }
        TTimePeriod& Period(int) override { throw std::out_of_range("none"); }
    };
    TGlobalObject failing(dir_.Path(), std::make_unique<Failing>());
    failing.LoadTasks();
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(failing, NineOClock + Seconds(2 * tick)), -1);
    }
}

TEST_F(CompanionSchedule, OneApplicationObjectUntilItIsDestroyed) {
    auto* object = companion::CreateGlobalObject(dir_.Path(), std::make_unique<FakeTasks>(shared_));
    EXPECT_EQ(companion::GetGlobalObject(), object);
    EXPECT_EQ(companion::CreateGlobalObject("/elsewhere/", nullptr), object);
    companion::DestroyGlobalObject();
    EXPECT_TRUE(shared_->Destroyed);
    // Made anew from the program's own folder.
    EXPECT_EQ(companion::GetGlobalObject()->ProgramDir, ProgramDirectory());
    EXPECT_EQ(companion::GetGlobalObject()->Tasks->Count(), 0);
    companion::DestroyGlobalObject();
}

} // namespace
