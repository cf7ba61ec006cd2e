#include "core/tasks/UnitGroups.h"

#include "core/app/StoredText.h"
#include "platform/Exceptions.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

namespace {

const TDateTime moment = EncodeDate(2026, 5, 17) + EncodeTime(10, 0, 0);

std::vector<std::string> Paths(const auto& entries) {
    std::vector<std::string> paths;
    for (const auto& entry : entries) {
        paths.push_back(entry->Path);
    }
    return paths;
}

// A task with every stored field set to something other than its default.
void Fill(TGroup& task) {
    task.SetName("Docs");
    auto file = std::make_unique<TFileBase>("/home/ann/a.txt");
    file->Stamp = moment;
    file->Flag = 2;
    file->Extra = {9, 8, 7, 6, 5, 4, 3, 2};
    task.AddFile(std::move(file));
    task.AddFile(std::make_unique<TFileBase>("/home/ann/b.txt"));
    task.AddFolder(std::make_unique<TFolder>("/home/ann/Data/"));
    task.AddFolder(std::make_unique<TFolder>("/"));
    TGroupInfo& info = *task.Info;
    info.Incremental = 1;
    info.Active = 1;
    info.NeedEncrypt = 1;
    info.Password = "secret";
    info.Period->Type = TTimePeriod::Weekly;
    info.Period->WeeklyEveryN = 2;
    info.Period->AddWeekDay(1);
    info.Period->AddMonth(11);
    info.Period->LastRun = moment;
    info.Period->EveryHours = 7;
    task.Snapshot = {{"/home/ann/a.txt", 10, 10}, {"/home/ann/Data/c.txt", 30, 20}};
    info.MailUserName = "Ann";
    info.MailAddress = "ann@example.org";
    info.MailRecipient = "ops@example.org";
    info.MailServer = "smtp.example.org";
    info.MailUserId = "ann";
    info.MailPassword = "pw";
    info.MailNeedAuth = 1;
    info.MailEnable = 1;
    info.MailAlertFail = 0;
    info.MailAlertSuccess = 1;
}

std::vector<std::uint8_t> Record(const TGroup& task) {
    TMemoryStream stream;
    task.SaveToStream(stream);
    return stream.Bytes();
}

std::vector<std::uint8_t> RuleBytes(const TTimePeriod& rule) {
    TMemoryStream stream;
    rule.SaveToStream(stream);
    return stream.Bytes();
}

TEST(GroupRow, ATaskWithAnOwnerShowsItsRowAtOnceAndTakesItAlongWhenDestroyed) {
    FakeTaskListView view;
    auto first = std::make_unique<TGroup>(&view);
    auto second = std::make_unique<TGroup>(&view);
    ASSERT_EQ(view.Rows.size(), 2u);
    FakeTaskRow& row = view.Row(0);
    EXPECT_EQ(first->Item, &row);
    EXPECT_EQ(row.Caption, "NewTask");
    EXPECT_EQ(row.Data, first.get());
    EXPECT_EQ(row.ImageIndex, 0);
    EXPECT_EQ(row.SubItems, (std::vector<std::string>{"False", "Once", "Never"}));

    first.reset();
    ASSERT_EQ(view.Rows.size(), 1u);
    EXPECT_EQ(view.Row(0).Data, second.get());
    second.reset();
    EXPECT_TRUE(view.Rows.empty());
    EXPECT_EQ(view.UnknownDeletes, 0);

    // Without an owner there is no row to make or to remove.
    TGroup loose;
    loose.UpdateListItem();
    EXPECT_EQ(loose.Item, nullptr);
}

TEST(GroupRow, UpdateRefreshesTheSameRow) {
    FakeTaskListView view;
    TGroup task(&view);
    task.SetName("Photos");
    task.Info->Active = 5; // any non-zero byte is true
    task.Info->Period->Type = TTimePeriod::Monthly;
    task.Info->Period->LastRun = moment;
    // SetName alone leaves the row as it was.
    EXPECT_EQ(view.Row(0).Caption, "NewTask");
    task.UpdateListItem();
    task.UpdateListItem();
    ASSERT_EQ(view.Rows.size(), 1u);
    EXPECT_EQ(view.Row(0).Caption, "Photos");
    EXPECT_EQ(view.Row(0).SubItems, (std::vector<std::string>{"True", "Monthly", DateTimeToStr(moment)}));

    // Only the whole-day part decides whether the task ever ran: 18:00 on day 0 is "Never".
    task.Info->Period->LastRun = 0.75;
    task.Info->Period->Type = 9;
    task.UpdateListItem();
    EXPECT_EQ(view.Row(0).SubItems, (std::vector<std::string>{"True", "", "Never"}));

    // A task made without an owner gets its row when it is given one.
    TGroup added;
    added.Owner = &view;
    added.UpdateListItem();
    EXPECT_EQ(view.Rows.size(), 2u);
    EXPECT_EQ(view.Row(1).Data, &added);
}

TEST(GroupRecord, LayoutByteForByte) {
    TGroup task;
    task.SetName("T");
    auto file = std::make_unique<TFileBase>("/f");
    file->Flag = 1;
    task.AddFile(std::move(file));
    task.AddFolder(std::make_unique<TFolder>("/d/"));
    task.Info->Incremental = 1;
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "pw";
    task.Snapshot = {{"/f", 3, 3}};
    task.Info->MailServer = "m";
    task.Info->MailEnable = 1;
    task.Info->MailAlertSuccess = 1;

    TMemoryStream expected;
    expected.WriteBuffer("\x02\0\0\0T\0", 6);
    expected.WriteBuffer("\x01\0\0\0", 4); // one file
    expected.WriteBuffer("\x03\0\0\0/f\0", 7);
    expected.WriteBuffer("\x02\0\0\0/\0", 6);
    WriteStringToStream(expected, DateTimeToStr(0));
    expected.WriteBuffer("\x01\0\0\0\0\0\0\0\0", 9); // flag, then the 8 extra bytes
    expected.WriteBuffer("\x01\0\0\0", 4);           // one folder
    expected.WriteBuffer("\x04\0\0\0/d/\0", 8);
    expected.WriteBuffer("\x01\x00\x01", 3); // incremental, active, needs encryption
    expected.WriteBuffer("\x03\0\0\0pw\0", 7);
    const auto rule = RuleBytes(*task.Info->Period);
    expected.WriteBuffer(rule.data(), rule.size());
    expected.WriteBuffer("\x01\0\0\0", 4);                          // one snapshot entry
    expected.WriteBuffer("\x03\0\0\0\x03\0\0\0\x03\0\0\0/f\0", 15); // total, size, then the path
    expected.WriteBuffer("\x01\0\0\0\0\x01\0\0\0\0\x01\0\0\0\0", 15);
    expected.WriteBuffer("\x02\0\0\0m\0", 6);
    expected.WriteBuffer("\x01\0\0\0\0\x01\0\0\0\0", 10);
    expected.WriteBuffer("\x00\x01\x00\x01", 4);
    EXPECT_EQ(Record(task), expected.Bytes());
}

TEST(GroupRecord, ReadsBackEveryStoredFieldButTheHourStep) {
    TGroup original;
    Fill(original);
    TMemoryStream stream;
    original.SaveToStream(stream);
    original.SaveToStream(stream); // records follow one another directly
    stream.SetPosition(0);

    for (int round = 0; round < 2; ++round) {
        TGroup copy;
        copy.LoadFromStream(stream);
        // Every stored field shows in the record written again; the hour step is not stored.
        ASSERT_EQ(Record(copy), Record(original));
        EXPECT_EQ(copy.Info->Period->EveryHours, 3);
        EXPECT_EQ(copy.GetName(), "Docs");
        EXPECT_EQ(copy.Files[0]->Stamp, moment);
        EXPECT_EQ(copy.Snapshot[1].Path, "/home/ann/Data/c.txt");
        EXPECT_EQ(copy.Info->MailAlertSuccess, 1);
    }
    EXPECT_EQ(stream.Remaining(), 0);
}

// The record of "Docs" with its counts replaced, built field by field.
std::vector<std::uint8_t> RecordWithCounts(std::int32_t files, std::int32_t folders, std::int32_t snapshot) {
    TGroup task;
    Fill(task);
    TMemoryStream stream;
    WriteStringToStream(stream, task.Name);
    stream.WriteInt32(files);
    stream.WriteInt32(folders);
    stream.WriteBuffer("\x01\x01\x00", 3);
    WriteStringToStream(stream, "pw");
    task.Info->Period->SaveToStream(stream);
    stream.WriteInt32(snapshot);
    for (int i = 0; i < 6; ++i) {
        WriteStringToStream(stream, "mail" + std::to_string(i));
    }
    stream.WriteBuffer("\x01\x00\x01\x00", 4);
    return stream.Bytes();
}

TEST(GroupRecord, ZeroAndNegativeCountsReadNoEntries) {
    for (const std::int32_t count : {0, -1, -2147483647 - 1}) {
        TMemoryStream stream(RecordWithCounts(count, count, count));
        TGroup task;
        task.LoadFromStream(stream);
        EXPECT_TRUE(task.Files.empty());
        EXPECT_TRUE(task.Folders.empty());
        EXPECT_TRUE(task.Snapshot.empty());
        // The field after each count follows at once.
        EXPECT_EQ(task.Info->Password, "pw");
        EXPECT_EQ(task.Info->MailPassword, "mail5");
        EXPECT_EQ(task.Info->MailAlertFail, 1);
        EXPECT_EQ(stream.Remaining(), 0);
    }
}

TEST(GroupRecord, ADamagedRecordLeavesTheTaskAsFarAsItWasRead) {
    TGroup original;
    Fill(original);
    const auto whole = Record(original);
    FakeTaskListView view;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        TMemoryStream stream(std::vector<std::uint8_t>(whole.begin(), whole.begin() + cut));
        TGroup task(&view);
        EXPECT_THROW(task.LoadFromStream(stream), EReadError) << "cut at " << cut;
        // What was read is a leading part of what was written, entry by entry.
        const auto files = Paths(task.Files);
        const auto folders = Paths(task.Folders);
        const auto all = Paths(original.Files);
        const auto allFolders = Paths(original.Folders);
        ASSERT_LE(files.size(), all.size());
        ASSERT_LE(folders.size(), allFolders.size());
        EXPECT_TRUE(std::equal(files.begin(), files.end(), all.begin()));
        EXPECT_TRUE(std::equal(folders.begin(), folders.end(), allFolders.begin()));
        ASSERT_LE(task.Snapshot.size(), original.Snapshot.size());
        // The row shows the name as soon as it was read.
        EXPECT_EQ(view.Row(view.Rows.size() - 1).Caption, task.GetName());
    }
}

TEST(GroupRecord, HugeCountsEndAtTheEndOfTheData) {
    auto bytes = RecordWithCounts(0, 0, 0);
    // The name is stored as 4 + 5 bytes; the file count follows it.
    constexpr std::size_t fileCountAt = 9;
    TFileBase file("/one");
    TMemoryStream entry;
    file.SaveToStream(entry);
    std::vector<std::uint8_t> damaged(bytes.begin(), bytes.begin() + fileCountAt);
    damaged.insert(damaged.end(), {0xFF, 0xFF, 0xFF, 0x7F});
    damaged.insert(damaged.end(), entry.Bytes().begin(), entry.Bytes().end());
    damaged.insert(damaged.end(), entry.Bytes().begin(), entry.Bytes().end());

    TMemoryStream stream(damaged);
    TGroup task;
    EXPECT_THROW(task.LoadFromStream(stream), EReadError);
    EXPECT_EQ(task.GetName(), "Docs");
    EXPECT_EQ(Paths(task.Files), (std::vector<std::string>{"/one", "/one"}));

    // The same for the snapshot, whose entries begin with two numbers.
    TMemoryStream snapshot(RecordWithCounts(0, 0, 0x7FFFFFFF));
    TGroup other;
    EXPECT_THROW(other.LoadFromStream(snapshot), EReadError);
    EXPECT_LE(other.Snapshot.size(), 1u);
}

TEST(GroupRecord, LoadingFillsTheRowOfTheTask) {
    TGroup original;
    Fill(original);
    TMemoryStream stream(Record(original));
    FakeTaskListView view;
    TGroup task(&view);
    task.LoadFromStream(stream);
    ASSERT_EQ(view.Rows.size(), 1u);
    EXPECT_EQ(view.Row(0).Caption, "Docs");
    EXPECT_EQ(view.Row(0).Data, &task);
    EXPECT_EQ(view.Row(0).SubItems, (std::vector<std::string>{"True", "Weekly", DateTimeToStr(moment)}));
}

TEST(GroupRecord, OddStoredDatesLoadShowAndTestAsTheDatesTheyStandFor) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const TDateTime today = EncodeDate(2026, 5, 17);
    std::vector<TDateTime> nows;
    for (int second = 0; second < 86400; second += 3607) {
        nows.push_back(today + second / 86400.0);
    }
    // A rule with every date set to `value`, through a stored record into a task with a row.
    const auto loaded = [&](TDateTime value, FakeTaskListView& view, std::uint8_t type, std::uint8_t mode) {
        TGroup original;
        Fill(original);
        TTimePeriod& rule = *original.Info->Period;
        rule.StartDate = rule.EndDate = rule.At = rule.LastRun = value;
        rule.HasEndDate = 1;
        rule.Type = type;
        rule.Mode = mode;
        rule.DailyEveryN = 2;
        rule.MonthDay = DecodeDate(value).day;
        rule.AddWeekDay(DayOfWeek(value) - 1);
        TMemoryStream stream(Record(original));
        auto task = std::make_unique<TGroup>(&view);
        task->LoadFromStream(stream);
        return task;
    };
    for (const auto& [odd, meant] : std::vector<std::pair<double, double>>{
             {nan, 0}, {inf, MaxDateTime}, {-inf, MinDateTime}, {9.3e18, MaxDateTime}, {-1e300, MinDateTime}}) {
        for (std::uint8_t type = 0; type <= 3; ++type) {
            for (std::uint8_t mode = 0; mode <= 1; ++mode) {
                FakeTaskListView oddView;
                FakeTaskListView meantView;
                const auto oddTask = loaded(odd, oddView, type, mode);
                const auto meantTask = loaded(meant, meantView, type, mode);
                EXPECT_EQ(oddView.Row(0).SubItems, meantView.Row(0).SubItems) << odd;
                for (const TDateTime now : nows) {
                    EXPECT_EQ(oddTask->Info->Period->IsTimeToRun(now), meantTask->Info->Period->IsTimeToRun(now))
                        << odd << " type " << int(type) << " mode " << int(mode) << " at " << now;
                }
                // A moment that is itself odd gets an answer too.
                EXPECT_EQ(oddTask->Info->Period->IsTimeToRun(odd), meantTask->Info->Period->IsTimeToRun(meant));
            }
        }
    }
    FakeTaskListView view;
    const auto never = loaded(nan, view, 0, 0);
    EXPECT_EQ(view.Row(0).SubItems[2], "Never") << "NaN stands for day 0, never run";
    FakeTaskListView late;
    const auto last = loaded(inf, late, 0, 0);
    EXPECT_EQ(late.Row(0).SubItems[2], DateTimeToStr(EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59)));
}

class GroupQueries : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"Data/Sub", "Database", "Data2", "data", "Other"}) {
            std::filesystem::create_directories(dir / name);
        }
        for (const char* name : {"Data/x.txt", "Data2/y.txt", "Other/keep.txt", "Other/KEEP.txt", "top.txt"}) {
            WriteFileBytes(dir / name, name);
        }
        task.AddFolder(std::make_unique<TFolder>(dir / "Data/"));
    }
    TempDir dir;
    TGroup task;
};

TEST_F(GroupQueries, AFolderEntryCoversWhatLiesInItAndNothingBeside) {
    EXPECT_TRUE(task.Contains(dir / "Data/x.txt"));
    EXPECT_TRUE(task.Contains(dir / "Data/Sub"));
    EXPECT_TRUE(task.Contains(dir / "Data"));
    EXPECT_FALSE(task.Contains(dir / "Data2/y.txt"));
    EXPECT_FALSE(task.Contains(dir / "Database"));
    EXPECT_FALSE(task.Contains(dir / "data"));
    for (const char* name : {"Data/x.txt", "Data", "Data2/y.txt"}) {
        EXPECT_FALSE(task.HasFile(dir / name));
    }
    // The folder removed between two questions no longer covers its own path.
    std::filesystem::remove_all(dir / "Data");
    EXPECT_FALSE(task.HasFolder(dir / "Data"));
    EXPECT_TRUE(task.HasFolder(dir / "Data/x.txt"));
}

TEST_F(GroupQueries, FileEntriesMatchTheirPathExactly) {
    task.AddFile(std::make_unique<TFileBase>(dir / "Other/keep.txt"));
    EXPECT_TRUE(task.HasFile(dir / "Other/keep.txt"));
    EXPECT_TRUE(task.Contains(dir / "Other/keep.txt"));
    EXPECT_FALSE(task.Contains(dir / "Other/KEEP.txt"));
    EXPECT_FALSE(task.Contains(dir / "Other"));
    EXPECT_TRUE(task.HasItemsUnder(dir / "Other"));
    EXPECT_FALSE(task.HasItemsUnder(dir / "other"));
}

TEST_F(GroupQueries, ItemsUnderAFolderInTaskOrder) {
    task.AddFile(std::make_unique<TFileBase>(dir / "Other/keep.txt"));
    task.AddFile(std::make_unique<TFileBase>(dir / "top.txt"));
    task.AddFile(std::make_unique<TFileBase>(dir / "Other/KEEP.txt"));
    task.AddFolder(std::make_unique<TFolder>(dir / "Data/Sub/"));
    task.AddFolder(std::make_unique<TFolder>(dir / "Database/"));

    TStringList list{"left over"};
    task.GetFilesUnder(dir / "Other", list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{dir / "Other/keep.txt", dir / "Other/KEEP.txt"}));
    task.GetFoldersUnder(dir / "Data", list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{dir / "Data/", dir / "Data/Sub/"}));
    task.GetFoldersUnder(dir / "Data/Sub", list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{dir / "Data/Sub/"}));
    task.GetFilesUnder(dir / "Data", list);
    EXPECT_TRUE(list.Empty());

    EXPECT_TRUE(task.HasItemsUnder(dir / "Data"));
    EXPECT_TRUE(task.HasItemsUnder(dir / "Database"));
    EXPECT_FALSE(task.HasItemsUnder(dir / "Data2"));
    EXPECT_TRUE(task.HasItemsUnder("/"));
    EXPECT_FALSE(task.HasItemsUnder(""));

    TGroup empty;
    list.Add("left over");
    empty.GetFilesUnder("/", list);
    EXPECT_TRUE(list.Empty());
}

TEST(GroupAssign, TakesOnlyThePathsOfTheOtherTask) {
    TGroup source;
    Fill(source);
    source.Folders.pop_back();
    TGroup target;
    target.SetName("Kept");
    target.AddFile(std::make_unique<TFileBase>("/old/file"));
    target.AddFolder(std::make_unique<TFolder>("/old/"));
    target.Snapshot = {{"/old/file", 1, 1}};
    target.Info->Password = "own";

    target.Assign(source);
    EXPECT_EQ(Paths(target.Files), (std::vector<std::string>{"/home/ann/a.txt", "/home/ann/b.txt"}));
    EXPECT_EQ(Paths(target.Folders), (std::vector<std::string>{"/home/ann/Data/"}));
    // Fresh entries: nothing but the path passes over.
    EXPECT_EQ(target.Files[0]->Flag, 1);
    EXPECT_EQ(target.Files[0]->Extra, (std::array<std::uint8_t, 8>{}));
    EXPECT_NE(target.Files[0].get(), source.Files[0].get());
    EXPECT_EQ(target.GetName(), "Kept");
    EXPECT_EQ(target.Info->Password, "own");
    ASSERT_EQ(target.Snapshot.size(), 1u);
    EXPECT_EQ(source.Files.size(), 2u);

    // Assigning a task to itself keeps its entries.
    target.Assign(target);
    EXPECT_EQ(target.Files.size(), 2u);
    EXPECT_EQ(target.Folders.size(), 1u);
}

} // namespace
