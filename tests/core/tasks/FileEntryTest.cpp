#include "core/tasks/UnitFile.h"
#include "core/tasks/UnitFolder.h"

#include "core/app/StoredText.h"
#include "platform/Exceptions.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const TDateTime moment = EncodeDate(2026, 3, 4) + EncodeTime(10, 11, 12);

std::vector<std::uint8_t> Saved(const TFileBase& entry) {
    TMemoryStream stream;
    entry.SaveToStream(stream);
    return stream.Bytes();
}

TEST(FileEntry, MadeFromAPathTakesItsFolderAndStampsOnlyAnExistingFile) {
    const TempDir dir;
    WriteFileBytes(dir / "report.doc", "x");
    const ScopedClock clock([] { return moment; });

    const TFileBase existing(dir / "report.doc");
    EXPECT_EQ(existing.Path, dir / "report.doc");
    EXPECT_EQ(existing.Dir, dir.Path());
    EXPECT_EQ(existing.Flag, 1);
    EXPECT_EQ(existing.Stamp, moment);
    EXPECT_EQ(existing.Extra, (std::array<std::uint8_t, 8>{}));

    EXPECT_EQ(TFileBase(dir / "missing.doc").Stamp, 0);
    // A folder is no file.
    EXPECT_EQ(TFolder(dir.Path()).Stamp, 0);
    EXPECT_EQ(TFileBase("").Dir, "");
    EXPECT_EQ(TFileBase("plain").Dir, "");
}

TEST(FileEntry, RecordLayoutIsPathDirStampFlagExtra) {
    TFileBase entry("/home/ann/a.txt");
    entry.Stamp = moment;
    entry.Flag = 7;
    entry.Extra = {1, 2, 3, 4, 5, 6, 7, 0xFF};

    TMemoryStream expected;
    expected.WriteInt32(16);
    expected.WriteBuffer("/home/ann/a.txt", 16);
    expected.WriteInt32(11);
    expected.WriteBuffer("/home/ann/", 11);
    WriteStringToStream(expected, DateTimeToStr(moment));
    expected.WriteByte(7);
    expected.WriteBuffer("\x01\x02\x03\x04\x05\x06\x07\xFF", 8);
    EXPECT_EQ(Saved(entry), expected.Bytes());

    // A folder record is its path alone.
    EXPECT_EQ(Saved(TFolder("/home/ann/")),
              (std::vector<std::uint8_t>{11, 0, 0, 0, '/', 'h', 'o', 'm', 'e', '/', 'a', 'n', 'n', '/', 0}));
}

TEST(FileEntry, RecordsReadBackKeepingFlagExtraAndStampToTheSecond) {
    TFileBase entry("/srv/x.bin");
    entry.Flag = 0x80;
    entry.Extra = {0, 0xFE, 0, 0x10, 0, 0, 0, 1};
    entry.Stamp = moment;
    TFileBase never("/srv/never.bin"); // stamp 0: the text of day 0 must read back as 0
    TFolder folder("/srv/data/");
    folder.Flag = 9;
    folder.Stamp = moment;
    folder.Extra[0] = 5;

    TMemoryStream stream;
    entry.SaveToStream(stream);
    never.SaveToStream(stream);
    folder.SaveToStream(stream);
    stream.SetPosition(0);

    const TFileBase first(stream);
    EXPECT_EQ(first.Path, "/srv/x.bin");
    EXPECT_EQ(first.Dir, "/srv/");
    EXPECT_EQ(first.Flag, 0x80);
    EXPECT_EQ(first.Extra, entry.Extra);
    EXPECT_EQ(first.Stamp, moment);
    EXPECT_EQ(TFileBase(stream).Stamp, 0);
    // Only the path of a folder is kept; the rest is as for an entry made from nothing.
    const TFolder back(stream);
    EXPECT_EQ(back.Path, "/srv/data/");
    EXPECT_EQ(back.Dir, "");
    EXPECT_EQ(back.Flag, 1);
    EXPECT_EQ(back.Stamp, 0);
    EXPECT_EQ(back.Extra, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(stream.Remaining(), 0);
}

TEST(FileEntry, AStampTextThatDoesNotConvertReadsAsZeroAndTheRecordGoesOn) {
    TMemoryStream stream;
    WriteStringToStream(stream, "/a/b.txt");
    WriteStringToStream(stream, "/a/");
    WriteStringToStream(stream, "31.13.2005 25:61:00");
    stream.WriteByte(3);
    stream.WriteBuffer("ABCDEFGH", 8);
    WriteStringToStream(stream, "/a/next.txt");
    WriteStringToStream(stream, "/a/");
    WriteStringToStream(stream, "");
    stream.WriteByte(1);
    stream.WriteBuffer("\0\0\0\0\0\0\0\0", 8);
    stream.SetPosition(0);

    const TFileBase odd(stream);
    EXPECT_EQ(odd.Stamp, 0);
    EXPECT_EQ(odd.Flag, 3);
    EXPECT_EQ(std::string(odd.Extra.begin(), odd.Extra.end()), "ABCDEFGH");
    const TFileBase next(stream);
    EXPECT_EQ(next.Path, "/a/next.txt");
    EXPECT_EQ(next.Stamp, 0);
}

TEST(FileEntry, ATruncatedRecordRaisesAReadError) {
    TFileBase entry("/home/ann/a.txt");
    entry.Stamp = moment;
    const auto whole = Saved(entry);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        TMemoryStream stream(std::vector<std::uint8_t>(whole.begin(), whole.begin() + cut));
        EXPECT_THROW(TFileBase{stream}, EReadError) << "cut at " << cut;
    }
    const auto folder = Saved(TFolder("/x/"));
    for (std::size_t cut = 0; cut < folder.size(); ++cut) {
        TMemoryStream stream(std::vector<std::uint8_t>(folder.begin(), folder.begin() + cut));
        EXPECT_THROW(TFolder{stream}, EReadError) << "cut at " << cut;
    }
}

TEST(FileEntry, IsSameComparesTheWholePathExactly) {
    const TFileBase entry("/work/A.TXT");
    EXPECT_TRUE(entry.IsSame("/work/A.TXT"));
    // Two files on this file system.
    EXPECT_FALSE(entry.IsSame("/work/a.txt"));
    EXPECT_FALSE(entry.IsSame("/work/A.TXT.bak"));
    EXPECT_FALSE(entry.IsSame("/work/A.TX"));
    EXPECT_FALSE(entry.IsSame(""));
}

TEST(FileEntry, IsInsideNeedsTheFolderFollowedByItsSeparator) {
    const TFileBase file("/data/x.txt");
    const TFolder folder("/data/");
    const TFolder sub("/data/Sub/");
    const TFileBase sibling("/database/x.txt");
    const TFileBase sameName("/data");

    EXPECT_TRUE(file.IsInside("/data"));
    EXPECT_TRUE(folder.IsInside("/data"));
    EXPECT_TRUE(sub.IsInside("/data"));
    EXPECT_FALSE(sibling.IsInside("/data"));
    EXPECT_FALSE(sameName.IsInside("/data"));
    EXPECT_FALSE(file.IsInside("/DATA"));
    EXPECT_TRUE(sub.IsInside("/data/Sub"));
    EXPECT_FALSE(sub.IsInside("/data/sub"));

    // The root holds every absolute path; an empty folder text holds nothing.
    for (const TFileBase* entry : {&file, static_cast<const TFileBase*>(&folder), &sibling, &sameName}) {
        EXPECT_TRUE(entry->IsInside("/"));
        EXPECT_FALSE(entry->IsInside(""));
    }
    // A folder text that already ends in "/" gets a second one and holds nothing.
    EXPECT_FALSE(file.IsInside("/data/"));
}

class FolderCovers : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"Data", "Data/Sub", "Database", "Data2", "data"}) {
            std::filesystem::create_directories(dir / name);
        }
        WriteFileBytes(dir / "Data/a.txt", "a");
        WriteFileBytes(dir / "Data/Sub/b.txt", "b");
        WriteFileBytes(dir / "Database/c.txt", "c");
    }
    TempDir dir;
};

TEST_F(FolderCovers, FilesAndFoldersInsideItAndItselfWhileItExists) {
    const TFolder folder(dir / "Data/");
    EXPECT_TRUE(folder.IsSame(dir / "Data/a.txt"));
    EXPECT_TRUE(folder.IsSame(dir / "Data/Sub/b.txt"));
    EXPECT_TRUE(folder.IsSame(dir / "Data/Sub"));
    EXPECT_TRUE(folder.IsSame(dir / "Data/not-there-yet.txt"));
    EXPECT_TRUE(folder.IsSame(dir / "Data"));

    // A sibling whose name begins with the same letters, and one that differs only in letter case.
    EXPECT_FALSE(folder.IsSame(dir / "Database/c.txt"));
    EXPECT_FALSE(folder.IsSame(dir / "Database"));
    EXPECT_FALSE(folder.IsSame(dir / "Data2/x.txt"));
    EXPECT_FALSE(folder.IsSame(dir / "data/a.txt"));
    EXPECT_FALSE(folder.IsSame(dir / "data"));
    EXPECT_FALSE(folder.IsSame(dir.Path()));

    // Once removed, the folder's own path is judged by the folder above it.
    std::filesystem::remove_all(dir / "Data");
    EXPECT_FALSE(folder.IsSame(dir / "Data"));
    EXPECT_TRUE(folder.IsSame(dir / "Data/a.txt"));
}

TEST_F(FolderCovers, TheRootCoversEverythingAndAnEntryWithoutPathNothing) {
    const TFolder root("/");
    EXPECT_TRUE(root.IsSame("/"));
    EXPECT_TRUE(root.IsSame(dir / "Data/a.txt"));
    EXPECT_TRUE(root.IsSame(dir / "Data"));

    TMemoryStream stream;
    WriteStringToStream(stream, "");
    stream.SetPosition(0);
    const TFolder empty(stream);
    EXPECT_FALSE(empty.IsSame(dir / "Data/a.txt"));
    EXPECT_FALSE(empty.IsSame("relative.txt"));
}

} // namespace
