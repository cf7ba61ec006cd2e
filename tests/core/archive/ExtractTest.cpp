#include "core/archive/UnitArchive.h"

#include "ArchiveFixture.h"
#include "support/Command.h"

#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Archives made by the zip tool hold relative names; the tests restore them relative to their own folder.
class Extract : public ArchiveTest {
protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        previous_ = fs::current_path();
        fs::current_path(dir.Path());
    }
    void TearDown() override {
        fs::current_path(previous_);
        ArchiveTest::TearDown();
    }

    // Packs the named files (relative to dir), in this order, with the zip tool.
    std::string Zip(const std::string& archive, const std::vector<std::string>& names) {
        std::string command = "cd " + ShellQuote(dir.Path()) + " && zip -q " + ShellQuote(archive);
        for (const std::string& name : names) {
            command += " " + ShellQuote(name);
        }
        int status = -1;
        RunCommand(command + " 2>&1", &status);
        EXPECT_EQ(status, 0) << command;
        return dir / archive;
    }

    void Write(const std::string& name, const std::string& bytes) {
        fs::create_directories(fs::path(dir / name).parent_path());
        WriteFileBytes(dir / name, bytes);
    }

    // Every file left under dir whose name shows a half-made restore.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        for (const auto& item : fs::recursive_directory_iterator(dir.Path())) {
            if (item.path().filename().string().starts_with(".restore-")) {
                found.push_back(item.path().string());
            }
        }
        return found;
    }

private:
    fs::path previous_;
};

TEST_F(Extract, WantedEntriesComeBackWholeAndOthersAreLeftAlone) {
    const std::string big = RandomBytes(3'000'000, 7); // more than one pass through the buffer
    Write("sub/a.txt", "first file");
    Write("sub/other.txt", "not wanted");
    Write("sub/deep/big.bin", big);
    const std::string zip = Zip("vol.zip", {"sub/a.txt", "sub/other.txt", "sub/deep/big.bin"});
    fs::remove_all(dir / "sub/deep");
    Write("sub/a.txt", "a local file that the restore replaces");
    Write("sub/other.txt", "local");

    // By their places in the volume; the last one has none there.
    const std::vector<TListedFile> wanted{
        {0, 2, "sub/deep/big.bin"}, {0, 0, "sub/a.txt"}, {0, 3, "not/in/the/archive"}};
    EXPECT_TRUE(DecompressArchive(zip, wanted));

    EXPECT_EQ(ReadFileBytes(dir / "sub/a.txt"), "first file");
    EXPECT_EQ(ReadFileBytes(dir / "sub/deep/big.bin"), big);
    EXPECT_EQ(ReadFileBytes(dir / "sub/other.txt"), "local");
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Start decompressing file " + zip, "Decompressing file sub/a.txt",
                                                  "Decompressing file sub/deep/big.bin",
                                                  "Error: vol.zip holds no entry for not/in/the/archive at its place "
                                                  "in the backup's list; the file was left as it was",
                                                  "Decompession is done"}));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Extract, WhatIsNoZipArchiveIsRefusedWithTheWrongPasswordHint) {
    WriteFileBytes(dir / "x.zip", RandomBytes(5000, 3));
    const std::vector<TListedFile> wanted{{0, 0, "a"}};
    EXPECT_FALSE(DecompressArchive(dir / "x.zip", wanted));
    EXPECT_FALSE(DecompressArchive(dir / "missing.zip", wanted));
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Start decompressing file " + dir / "x.zip",
                                                  "Can't open sompressed file x.zip Wrong Password?",
                                                  "Start decompressing file " + dir / "missing.zip",
                                                  "Can't open sompressed file missing.zip Wrong Password?"}));
}

TEST_F(Extract, AnEntryWithNowhereToGoIsReportedAndTheOthersGoOn) {
    Write("blocked/a.txt", "a");
    Write("sub/target", "t");
    Write("bare.txt", "bare");
    Write("sub/ok.txt", "ok");
    const std::string zip = Zip("vol.zip", {"blocked/a.txt", "sub/target", "bare.txt", "sub/ok.txt"});
    fs::remove_all(dir / "blocked");
    Write("blocked", "a file where the folder was");
    fs::remove(dir / "sub/target");
    fs::create_directories(dir / "sub/target/inside");
    fs::remove(dir / "sub/ok.txt");

    EXPECT_TRUE(DecompressArchive(
        zip, {{0, 0, "blocked/a.txt"}, {0, 1, "sub/target"}, {0, 2, "bare.txt"}, {0, 3, "sub/ok.txt"}}));

    EXPECT_EQ(ReadFileBytes(dir / "blocked"), "a file where the folder was");
    EXPECT_TRUE(fs::is_directory(dir / "sub/target/inside"));
    EXPECT_EQ(ReadFileBytes(dir / "sub/ok.txt"), "ok");
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Start decompressing file " + zip, "Can't locate file blocked/a.txt",
                                                  "Decompressing file sub/target", "Can't locate file sub/target",
                                                  "Can't locate file bare.txt", "Decompressing file sub/ok.txt",
                                                  "Decompession is done"}));
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Extract, ADamagedListOfEntriesEndsTheWalkCleanly) {
    Write("d/a.txt", "a");
    Write("d/b.txt", "b");
    const std::string zip = Zip("vol.zip", {"d/a.txt", "d/b.txt"});
    // The end record claims a third entry that is not there.
    std::string bytes = ReadFileBytes(zip);
    const std::size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
    ASSERT_NE(end, std::string::npos);
    bytes[end + 8] = 3;
    bytes[end + 10] = 3;
    WriteFileBytes(zip, bytes);
    fs::remove(dir / "d/a.txt");
    fs::remove(dir / "d/b.txt");

    EXPECT_TRUE(DecompressArchive(zip, {{0, 0, "d/a.txt"}, {0, 1, "d/b.txt"}}));

    EXPECT_EQ(ReadFileBytes(dir / "d/a.txt"), "a");
    EXPECT_EQ(ReadFileBytes(dir / "d/b.txt"), "b");
    const std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[3], "Error: the list of entries of vol.zip is damaged; the entries after it were not read");
    EXPECT_EQ(logged[4], "Decompession is done");
}

} // namespace
