#include "core/log/UnitLog.h"

#include "core/app/StoredText.h"
#include "platform/DateTime.h"
#include "support/Command.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const TDateTime moment = EncodeDate(2026, 2, 3) + EncodeTime(4, 5, 6);

struct Entry {
    std::string message;
    std::string time;
};

std::string LogFile(const std::vector<Entry>& entries, std::int32_t count) {
    TMemoryStream stream;
    stream.WriteInt32(count);
    for (const Entry& entry : entries) {
        WriteStringToStream(stream, entry.message);
        WriteStringToStream(stream, entry.time);
    }
    return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

std::string LogFile(const std::vector<Entry>& entries) {
    return LogFile(entries, static_cast<std::int32_t>(entries.size()));
}

std::vector<Entry> ReadLogFile(const std::string& path) {
    TMemoryStream stream(ToBytes(ReadFileBytes(path)));
    std::vector<Entry> entries(static_cast<std::size_t>(stream.ReadInt32()));
    for (Entry& entry : entries) {
        entry.message = ReadStringFromStream(stream);
        entry.time = ReadStringFromStream(stream);
    }
    EXPECT_EQ(stream.Remaining(), 0);
    return entries;
}

std::vector<std::string> Messages(const TLog& log) {
    std::vector<std::string> messages;
    for (const TLogMessage& line : log.Lines()) {
        messages.push_back(line.Message);
    }
    return messages;
}

class Log : public ::testing::Test {
protected:
    std::unique_ptr<TLog> Open() { return std::make_unique<TLog>(&box, dir.Path(), &sync); }

    TempDir dir;
    FakeLogBox box;
    FakeSyncCall sync;
    ScopedClock clock{[] { return moment; }};
};

TEST_F(Log, FirstStartWithoutAFileAddsNoStartLineAndWritesTheStopLine) {
    auto log = Open();
    EXPECT_EQ(log->FileName(), dir / "Backup.log");
    EXPECT_EQ(log->Count(), 0);
    EXPECT_TRUE(box.Items.empty());
    EXPECT_EQ(log->MarkIndex(), -1);
    log.reset();
    const auto entries = ReadLogFile(dir / "Backup.log");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "Program stoped.");
    EXPECT_EQ(entries[0].time, DateTimeToStr(moment));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "Backup.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "paths and server names are the user's alone";
}

TEST_F(Log, FileIsACountThenMessageBeforeTimeAndKeepsEveryTimeTextAsWritten) {
    // Time texts written under other settings come back unchanged; they are never converted.
    WriteFileBytes(dir / "Backup.log", LogFile({{"old one", "1/2/2005 3:04:05 PM"}, {"two\r\nlines", "anything"}}));
    auto log = Open();
    EXPECT_EQ(Messages(*log), (std::vector<std::string>{"old one", "two\r\nlines", "Program Started."}));
    log->Add("now");
    log.reset();

    const std::string stamp = DateTimeToStr(moment);
    EXPECT_EQ(ReadFileBytes(dir / "Backup.log"), LogFile({{"old one", "1/2/2005 3:04:05 PM"},
                                                          {"two\r\nlines", "anything"},
                                                          {"Program Started.", stamp},
                                                          {"now", stamp},
                                                          {"Program stoped.", stamp}}));
    // A second start reads it all again.
    auto again = Open();
    EXPECT_EQ(again->Count(), 6);
    EXPECT_EQ(again->Lines()[1].Time, "anything");
}

TEST_F(Log, AFileWithCountZeroStartsWithTheStartLine) {
    WriteFileBytes(dir / "Backup.log", LogFile({}));
    auto log = Open();
    EXPECT_EQ(Messages(*log), (std::vector<std::string>{"Program Started."}));
}

TEST_F(Log, TheBoxShowsTheNewestLineOnTopWithItsMessageAsHint) {
    WriteFileBytes(dir / "Backup.log", LogFile({{"first", "t1"}, {"second", "t2"}}));
    auto log = Open();
    const std::string stamp = DateTimeToStr(moment);
    EXPECT_EQ(box.Items, (std::deque<std::string>{stamp + " Program Started.", "t2 second", "t1 first"}));
    // While loading the box is filled directly; the application object is not there yet.
    EXPECT_EQ(sync.Calls, 0);

    log->Add("run");
    EXPECT_EQ(sync.Calls, 1);
    EXPECT_EQ(box.Items.front(), stamp + " run");
    EXPECT_EQ(box.Hint, "run");
    EXPECT_TRUE(box.ShowHint);
    EXPECT_EQ(box.ItemIndex, 0);
    log->AddEntry("kept", "t3");
    EXPECT_EQ(sync.Calls, 2);
    EXPECT_EQ(box.Items.front(), "t3 kept");

    // Once the worker is gone the box is updated directly.
    log->SetSyncCall(nullptr);
    log->Add("late");
    EXPECT_EQ(sync.Calls, 2);
    EXPECT_EQ(box.Items.front(), stamp + " late");
}

TEST_F(Log, WorksWithoutABox) {
    WriteFileBytes(dir / "Backup.log", LogFile({{"first", "t1"}}));
    TLog log(nullptr, dir.Path());
    log.Add("x");
    log.Clear();
    log.ShowLast();
    EXPECT_EQ(log.Count(), 0);
}

TEST_F(Log, ATruncatedFileKeepsTheEntriesBeforeTheCutAndAddsNothing) {
    const std::vector<Entry> entries = {{"alpha", "t1"}, {"", ""}, {"gamma", "t3"}};
    const std::string whole = LogFile(entries);
    // Where each entry ends in the file.
    std::vector<std::size_t> ends;
    std::size_t at = 4;
    for (const Entry& entry : entries) {
        at += 4 + entry.message.size() + 1 + 4 + entry.time.size() + 1;
        ends.push_back(at);
    }
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        WriteFileBytes(dir / "Backup.log", whole.substr(0, cut));
        box.Items.clear();
        const TLog log(&box, dir.Path(), &sync);
        const auto complete = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [&](std::size_t end) { return end <= cut; }));
        ASSERT_EQ(log.Count(), static_cast<int>(complete)) << "cut at " << cut;
        for (std::size_t i = 0; i < complete; ++i) {
            EXPECT_EQ(log.Lines()[i].Message, entries[i].message);
            EXPECT_EQ(log.Lines()[i].Time, entries[i].time);
        }
        EXPECT_EQ(box.Items.size(), complete);
    }
}

TEST_F(Log, DamagedCountsAndLengthsEndTheLoadingCleanly) {
    const auto load = [&](const std::string& bytes) {
        WriteFileBytes(dir / "Backup.log", bytes);
        return Messages(TLog(nullptr, dir.Path()));
    };
    // More entries announced than there are.
    EXPECT_EQ(load(LogFile({{"a", "1"}}, 0x7FFFFFFF)), (std::vector<std::string>{"a"}));
    // A negative count reads nothing but is a file that loaded.
    EXPECT_EQ(load(LogFile({{"a", "1"}}, -5)), (std::vector<std::string>{"Program Started."}));

    const std::string good = LogFile({{"a", "1"}}, 2);
    // A huge length, a negative one, and one of zero in the second entry.
    for (const std::string& length :
         {std::string("\xFF\xFF\xFF\x7F"), std::string("\xFE\xFF\xFF\xFF"), std::string("\0\0\0\0", 4)}) {
        EXPECT_EQ(load(good + length + "xyz"), (std::vector<std::string>{"a"}));
    }
    // A text without its closing zero byte.
    EXPECT_EQ(load(good + std::string("\x02\0\0\0ab", 6)), (std::vector<std::string>{"a"}));
    // Fewer than four bytes for the count, and a folder where the file should be.
    EXPECT_TRUE(load("\x01").empty());
    std::filesystem::remove(dir / "Backup.log");
    std::filesystem::create_directory(dir / "Backup.log");
    EXPECT_TRUE(Messages(TLog(nullptr, dir.Path())).empty());
}

TEST_F(Log, AFailedWriteAtExitKeepsThePreviousFile) {
    const std::string previous = LogFile({{"kept", "t"}});
    WriteFileBytes(dir / "Backup.log", previous);
    // A full disk, as a file size limit in a child process: the new file cannot be written whole.
    EXPECT_EQ(RunInChild([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{previous.size(), previous.size()};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  Open()->Add("lost");
                  return 0;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(dir / "Backup.log"), previous);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file stays";
    // A program folder that is gone is no reason to fail either.
    auto gone = std::make_unique<TLog>(&box, dir / "missing/", &sync);
    EXPECT_NO_THROW(gone.reset());
}

TEST_F(Log, EntriesAreReadOneByOneSoAPaddedOrHugeFileCostsOnlyWhatIsKept) {
    const std::string path = dir / "Backup.log";
    // Loaded in a child whose address space is what it uses now and 128 MiB more, so that taking in what the
    // file holds beyond its entries fails there. The sanitizers' shadow memory does not fit under any such
    // limit; their build loads without one.
    const auto loads = [&](const std::vector<std::string>& expected) {
        return RunInChild([&] {
#if !defined(__SANITIZE_ADDRESS__)
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t spare = 128 << 20;
            const rlimit limit{static_cast<rlim_t>(pages) * ::getpagesize() + spare, RLIM_INFINITY};
            ::setrlimit(RLIMIT_AS, &limit);
#endif
            return Messages(TLog(nullptr, dir.Path())) == expected ? 0 : 1;
        });
    };
    // Padded: the second entry's message is a stored text of 256 MiB whose text ends after its first byte.
    {
        TFileStream file(path, FileMode::Create);
        TMemoryStream head;
        head.WriteInt32(2);
        WriteStringToStream(head, "a");
        WriteStringToStream(head, "1");
        const std::int32_t padded = 256 << 20;
        head.WriteInt32(padded);
        head.WriteBuffer("b", 2);
        file.WriteBuffer(head.Bytes().data(), head.Bytes().size());
        file.Seek(padded - 2, SeekOrigin::Current);
        TMemoryStream tail;
        WriteStringToStream(tail, "2");
        file.WriteBuffer(tail.Bytes().data(), tail.Bytes().size());
    }
    EXPECT_EQ(loads({"a", "b", "Program Started."}), 0);
    // Huge: a count far beyond the one entry, and 16 GiB of nothing after it (a sparse file).
    {
        TFileStream file(path, FileMode::Create);
        const std::string head = LogFile({{"a", "1"}}, 0x7FFFFFFF);
        file.WriteBuffer(head.data(), head.size());
        file.SetSize(std::int64_t{16} << 30);
    }
    EXPECT_EQ(loads({"a"}), 0);
}

TEST_F(Log, ClearEmptiesTheLogAndTheBoxButNotTheFileOfLaterLines) {
    WriteFileBytes(dir / "Backup.log", LogFile({{"old", "t"}}));
    auto log = Open();
    log->Clear();
    EXPECT_EQ(log->Count(), 0);
    EXPECT_TRUE(box.Items.empty());
    EXPECT_EQ(box.Text, "");
    // Nothing to show in an empty log.
    log->ShowLast();
    EXPECT_TRUE(box.Items.empty());
    log->Add("after");
    log.reset();
    const auto entries = ReadLogFile(dir / "Backup.log");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, "after");
    EXPECT_EQ(entries[1].message, "Program stoped.");
}

TEST_F(Log, TextSinceTheMarkHasCrLfBeforeEachLine) {
    auto log = Open();
    log->Add("before");
    EXPECT_EQ(log->GetTextSinceMark(), "");
    EXPECT_EQ(log->MarkIndex(), -1);

    log->Mark();
    EXPECT_EQ(log->GetTextSinceMark(), "");
    log->Mark();
    log->Add("one");
    log->AddEntry("two", "t2");
    const std::string stamp = DateTimeToStr(moment);
    EXPECT_EQ(log->GetTextSinceMark(), "\r\n" + stamp + " one\r\nt2 two");
    // The mark is used up.
    EXPECT_EQ(log->MarkIndex(), -1);
    EXPECT_EQ(log->GetTextSinceMark(), "");
}

TEST_F(Log, AClearAfterTheMarkCountsLaterLinesFromTheOldPosition) {
    auto log = Open();
    log->Add("a");
    log->Add("b");
    log->Mark(); // at 2
    log->Add("c");
    log->Clear();
    EXPECT_EQ(log->MarkIndex(), 2);
    log->AddEntry("d", "t");
    // Shorter than the mark: nothing.
    EXPECT_EQ(log->GetTextSinceMark(), "");

    log->Mark(); // at 1
    log->Clear();
    log->AddEntry("e", "t");
    log->AddEntry("f", "t");
    EXPECT_EQ(log->GetTextSinceMark(), "\r\nt f");

    // A mark set on an emptied log starts at its first line.
    log->Clear();
    log->Mark();
    log->AddEntry("g", "t");
    EXPECT_EQ(log->GetTextSinceMark(), "\r\nt g");
}

} // namespace
