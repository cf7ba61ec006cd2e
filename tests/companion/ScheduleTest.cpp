#include "CompanionTesting.h"
#include "companion/UnitGo.h"
#include "companion/UnitSchedule.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using companion::TGlobalObject;

// 10 June 2024; the tasks are due at 09:00:00, in the window 08:59:36 .. 09:00:24.
const TDateTime Day = EncodeDate(2024, 6, 10);
const TDateTime Nine = EncodeTime(9, 0, 0);
const TDateTime NineOClock = Day + Nine;
const TDateTime Yesterday = Day - 1 + Nine;

TDateTime Seconds(int count) {
    return count / 86400.0;
}

class CompanionSchedule : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        WriteRecordingProgram(dir_ / "CorvaneBackUp", record_);
    }
    // The companion's object with the tasks read once, as at start-up.
    std::unique_ptr<TGlobalObject> Make() {
        auto object = std::make_unique<TGlobalObject>(dir_.Path());
        object->LoadTasks();
        return object;
    }
    int TickAt(TGlobalObject& object, TDateTime moment) {
        ScopedClock clock([moment] { return moment; });
        return object.Schedule->OnTimer();
    }
    static std::vector<std::string> Names(const TGlobalObject& object) {
        std::vector<std::string> names;
        for (const auto& task : object.Tasks) {
            names.push_back(task->Name);
        }
        return names;
    }
    // The line the stand-in writes for a start with "run" in the program folder.
    std::string RunLine() const { return std::filesystem::path(dir_.Path()).parent_path().string() + "|run"; }

    TempDir dir_;
    std::string record_ = dir_ / "record.txt";
};

TEST_F(CompanionSchedule, FirstActiveDueTaskStartsTheBackupProgramOncePerTick) {
    // Not active but due; not due; then two due together.
    WriteTasks(dir_.Path(), {DailyTask("off", Day, Nine, false), DailyTask("ten", Day, EncodeTime(10, 0, 0)),
                             DailyTask("first", Day, Nine), DailyTask("second", Day, Nine)});
    auto object = Make();
    ASSERT_EQ(object->Tasks.size(), 4u);
    const TDateTime first = NineOClock - Seconds(10);

    // The inactive task is passed over and the next ones are tried in the same tick.
    EXPECT_EQ(TickAt(*object, first), 2);
    EXPECT_EQ(object->Tasks[2]->Info->Period->LastRun, first);
    EXPECT_EQ(object->Tasks[0]->Info->Period->LastRun, Yesterday);
    // Two ticks for two tasks due together; then the repeat guard refuses both.
    EXPECT_EQ(TickAt(*object, first + Seconds(2)), 3);
    EXPECT_EQ(TickAt(*object, first + Seconds(4)), -1);
    EXPECT_EQ(TickAt(*object, first + Seconds(6)), -1);

    // The started program was the stand-in in the companion's own folder, with "run" as its only argument.
    EXPECT_EQ(WaitForRecordLines(record_, 2), std::vector<std::string>({RunLine(), RunLine()}));
    EXPECT_EQ(WaitForRecordLines(record_, 3, 300ms).size(), 2u);
    // The companion writes nothing back.
    EXPECT_EQ(ReadTasks(dir_.Path())[2]->Info->Period->LastRun, Yesterday);
}

TEST_F(CompanionSchedule, TenthIdleTickRereadsTheFile) {
    WriteTasks(dir_.Path(), {DailyTask("a", Day, Nine)});
    auto object = Make();
    WriteTasks(dir_.Path(), {DailyTask("a", Day, Nine), DailyTask("b", Day, EncodeTime(10, 0, 0))});
    TDateTime moment = NineOClock - Seconds(3600);
    for (int tick = 1; tick <= 9; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(Names(*object), std::vector<std::string>{"a"});
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    EXPECT_EQ(Names(*object), (std::vector<std::string>{"a", "b"})) << "replaced, not added to";
    EXPECT_EQ(object->Schedule->IdleTicks, 0);

    // A tick that starts something does not count: five idle, one start, five idle make the reread.
    WriteTasks(dir_.Path(), {DailyTask("c", Day, Nine)});
    moment = NineOClock - Seconds(22);
    for (int tick = 1; tick <= 5; ++tick) {
        ASSERT_EQ(TickAt(*object, moment - Seconds(60 - 2 * tick)), -1);
    }
    EXPECT_EQ(TickAt(*object, moment), 0);
    for (int tick = 1; tick <= 4; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(Names(*object), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    EXPECT_EQ(Names(*object), std::vector<std::string>{"c"});
}

TEST_F(CompanionSchedule, RereadInsideTheWindowBringsBackTheStoredLastRun) {
    WriteTasks(dir_.Path(), {DailyTask("a", Day, Nine)});
    auto object = Make();
    TDateTime moment = NineOClock - Seconds(23);
    EXPECT_EQ(TickAt(*object, moment), 0);
    // Ten idle ticks later the file's older LastRun replaces ours, and the task is due once more in its window:
    // a second backup program is started, which ends at once when the first still runs.
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(object->Tasks[0]->Info->Period->LastRun, Yesterday);
    EXPECT_EQ(TickAt(*object, moment += Seconds(2)), 0);
    EXPECT_EQ(WaitForRecordLines(record_, 2).size(), 2u);
}

TEST_F(CompanionSchedule, FailedStartIsNotRetriedInTheSameWindow) {
    std::filesystem::remove(dir_ / "CorvaneBackUp");
    WriteTasks(dir_.Path(), {DailyTask("a", Day, Nine)});
    auto object = Make();
    EXPECT_EQ(TickAt(*object, NineOClock), 0);
    EXPECT_EQ(object->Tasks[0]->Info->Period->LastRun, NineOClock);
    EXPECT_EQ(TickAt(*object, NineOClock + Seconds(2)), -1);
}

TEST_F(CompanionSchedule, MissingOrDamagedFileLeavesTheCompanionIdleUntilAGoodOneComes) {
    auto object = Make();
    TDateTime moment = NineOClock - Seconds(200);
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_TRUE(object->Tasks.empty());

    // Bytes that decrypt to nonsense, then a folder where the file belongs: no tasks, no harm.
    WriteFileBytes(dir_ / "files.lst", RandomBytes(3000, 7));
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    std::filesystem::remove(dir_ / "files.lst");
    std::filesystem::create_directory(dir_ / "files.lst");
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_TRUE(object->Tasks.empty());

    // A file cut short keeps the tasks before the cut.
    std::filesystem::remove(dir_ / "files.lst");
    WriteTasks(dir_.Path(), {DailyTask("a", Day, Nine), DailyTask("b", Day, Nine)});
    const std::string whole = ReadFileBytes(dir_ / "files.lst");
    WriteFileBytes(dir_ / "files.lst", whole.substr(0, whole.size() - 10));
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    ASSERT_GE(object->Tasks.size(), 1u);
    EXPECT_EQ(object->Tasks[0]->Name, "a");

    // Once the whole file is there again, its due task starts the backup program.
    WriteFileBytes(dir_ / "files.lst", whole);
    for (int tick = 1; tick <= 10; ++tick) {
        EXPECT_EQ(TickAt(*object, moment += Seconds(2)), -1);
    }
    EXPECT_EQ(TickAt(*object, NineOClock), 0);
}

} // namespace
