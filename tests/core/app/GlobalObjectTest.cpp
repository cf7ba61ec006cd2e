#include "core/app/UnitGo.h"

#include "core/app/StoredText.h"
#include "platform/Paths.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Each test makes its application object over a temporary program folder and takes it down again.
class GlobalObject : public ::testing::Test {
protected:
    void SetUp() override { SetGlobalObjectOptions({&windows, dir.Path()}); }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
    }

    TempDir dir;
    FakeCoreWindows windows;
};

TEST_F(GlobalObject, MadeOnceOnFirstUseOverTheProgramFolder) {
    TGlobalObject* object = GetGlobalObject();
    EXPECT_EQ(GetGlobalObject(), object);
    EXPECT_EQ(object->ProgramDir, dir.Path());
    EXPECT_EQ(object->CurrentTask, -1);
    EXPECT_EQ(object->GroupsList, &windows.List);
    EXPECT_EQ(object->Log->FileName(), dir / "Backup.log");
    // No window is made before a run or a wait asks for one.
    EXPECT_EQ(windows.SendMade + windows.WaitMade, 0);
    // Options cannot change under a live object.
    EXPECT_THROW(SetGlobalObjectOptions({}), std::logic_error);
}

TEST_F(GlobalObject, MadeAndTakenDownAgainAndAgain) {
    WriteFileBytes(dir / "Backup.log", std::string("\0\0\0\0", 4));
    for (int round = 1; round <= 3; ++round) {
        TGlobalObject* object = GetGlobalObject();
        // The log of the previous round was read: its start and stop lines and this round's start line.
        EXPECT_EQ(object->Log->Count(), 2 * round - 1);
        object->Tasks.push_back(std::make_unique<TGroup>(object->GroupsList));
        EXPECT_EQ(windows.List.Rows.size(), 1u);
        DestroyGlobalObject();
        // The tasks went with it, and so did their rows.
        EXPECT_TRUE(windows.List.Rows.empty());
    }
    DestroyGlobalObject(); // nothing left to take down
    TMemoryStream file(ToBytes(ReadFileBytes(dir / "Backup.log")));
    EXPECT_EQ(file.ReadInt32(), 6);
}

TEST_F(GlobalObject, TakingDownClosesAWaitWindowStillShownAndTheProgressWindow) {
    TGlobalObject* object = GetGlobalObject();
    object->ShowSendWindow();
    object->SendWindow->Hide();
    object->BeginWait();
    DestroyGlobalObject();
    EXPECT_EQ(windows.Journal.SendAlive, 0);
    EXPECT_EQ(windows.Journal.WaitAlive, 0);
    EXPECT_EQ(windows.Journal.Events.back(), "wait1 destroy");
}

TEST_F(GlobalObject, UsingItWhileItIsBeingMadeIsRefused) {
    bool refused = false;
    windows.OnLogBox = [&] {
        try {
            GetGlobalObject();
        } catch (const std::logic_error&) {
            refused = true;
        }
    };
    TGlobalObject* object = GetGlobalObject();
    EXPECT_TRUE(refused);
    EXPECT_EQ(GetGlobalObject(), object);
}

TEST_F(GlobalObject, SelectTaskTakesTheFirstPositionOrNone) {
    TGlobalObject* object = GetGlobalObject();
    for (int i = 0; i < 3; ++i) {
        object->Tasks.push_back(std::make_unique<TGroup>());
    }
    object->SelectTask(object->Tasks[2].get());
    EXPECT_EQ(object->CurrentTask, 2);
    const TGroup stranger;
    object->SelectTask(&stranger);
    EXPECT_EQ(object->CurrentTask, -1);
    object->SelectTask(nullptr);
    EXPECT_EQ(object->CurrentTask, -1);
    object->SelectTask(object->Tasks[0].get());
    EXPECT_EQ(object->CurrentTask, 0);
}

TEST_F(GlobalObject, ShowSendWindowLeavesExactlyOneNewVisibleWindow) {
    TGlobalObject* object = GetGlobalObject();
    object->ShowSendWindow();
    object->ShowSendWindow();
    EXPECT_EQ(windows.Journal.SendAlive, 1);
    EXPECT_EQ(object->SendWindow.get(), windows.LastSend);
    EXPECT_TRUE(object->SendWindow->IsVisible());
    EXPECT_EQ(windows.Journal.Events,
              (std::vector<std::string>{"send1 create", "send1 show", "send1 destroy", "send2 create", "send2 show"}));
}

TEST_F(GlobalObject, NoWaitWindowOverAVisibleProgressWindow) {
    TGlobalObject* object = GetGlobalObject();
    object->ShowSendWindow();
    for (const bool busy : {false, true}) {
        object->Busy = busy;
        object->BeginWait();
        EXPECT_EQ(object->WaitWindow, nullptr);
        EXPECT_EQ(object->Busy, busy);
        object->EndWait();
        EXPECT_EQ(object->Busy, busy);
    }
    EXPECT_EQ(windows.WaitMade, 0);
}

TEST_F(GlobalObject, WaitWindowAroundAnOperationSetsAndClearsBusy) {
    TGlobalObject* object = GetGlobalObject();
    // A progress window left hidden by the end of a run, or by STOP, does not hold the wait window back.
    object->ShowSendWindow();
    object->SendWindow->Hide();
    windows.Journal.Events.clear();

    object->BeginWait();
    EXPECT_TRUE(object->Busy);
    ASSERT_NE(object->WaitWindow, nullptr);
    EXPECT_EQ(windows.Journal.Events, (std::vector<std::string>{"wait1 create", "wait1 show", "wait1 repaint"}));
    // A BeginWait too many keeps the one window.
    object->BeginWait();
    EXPECT_EQ(windows.WaitMade, 1);

    object->EndWait();
    EXPECT_FALSE(object->Busy);
    EXPECT_EQ(object->WaitWindow, nullptr);
    EXPECT_EQ(windows.Journal.WaitAlive, 0);
    EXPECT_EQ(windows.Journal.Events.back(), "wait1 destroy");

    // Without a wait window EndWait leaves the busy flag to whoever set it.
    object->Busy = true;
    object->EndWait();
    EXPECT_TRUE(object->Busy);
}

TEST(GlobalObjectHeadless, RunsWithoutAUserInterface) {
    const TempDir dir;
    SetGlobalObjectOptions({nullptr, dir.Path()});
    TGlobalObject* object = GetGlobalObject();
    EXPECT_EQ(object->GroupsList, nullptr);
    object->ShowSendWindow();
    EXPECT_TRUE(object->SendWindow->IsVisible());
    object->BeginWait();
    EXPECT_FALSE(object->Busy);
    object->SendWindow->Hide();
    object->BeginWait();
    EXPECT_TRUE(object->Busy);
    object->EndWait();
    EXPECT_FALSE(object->Busy);
    object->Log->Add("hello");
    DestroyGlobalObject();
    SetGlobalObjectOptions({});
    EXPECT_TRUE(FileExists(dir / "Backup.log"));
}

} // namespace
