#include "ZipTestTools.h"
#include "support/TempDir.h"
#include "zip/Gzioext.h"
#include "zip/ZipArchive.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ZipFailureTest : public ::testing::Test {
protected:
    void TearDown() override {
        try {
            CloseZip();
        } catch (...) {
        }
        SetCompression(ctStandard, 6);
    }
    TempDir dir;
};

// Runs AddZip and returns the archive error it raised; fails the test when it raised nothing else.
EGZipError AddZipError(const std::string& path) {
    try {
        AddZip(path);
    } catch (const EGZipError& error) {
        return error;
    }
    ADD_FAILURE() << "AddZip(" << path << ") raised no archive error";
    return EGZipError("", 0);
}

void ExpectUnzipAccepts(const std::string& archive, std::size_t entries) {
    const CommandResult test = RunProgram({"unzip", "-t", archive});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_NE(test.output.find("No errors detected"), std::string::npos) << test.output;
    const CommandResult info = RunProgram({"zipinfo", "-1", archive});
    EXPECT_EQ(static_cast<std::size_t>(std::count(info.output.begin(), info.output.end(), '\n')), entries)
        << info.output;
}

TEST_F(ZipFailureTest, ASourceThatCannotBeOpenedLeavesTheArchiveUnchanged) {
    WriteFileBytes(dir / "good.txt", "good");
    std::filesystem::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    MakeZip(dir / "a.zip", "");
    AddZip(dir / "good.txt");
    const std::string before = ReadFileBytes(dir / "a.zip");
    // A FIFO would block a plain open for ever; it is refused like a folder or a missing file.
    for (const std::string& source : {dir / "missing.txt", dir / "folder", dir / "fifo"}) {
        const EGZipError error = AddZipError(source);
        EXPECT_EQ(error.ZipErrorCode, 2);
        EXPECT_EQ(error.ErrorCode, 0);
        EXPECT_EQ(error.Message(), "Error opening " + source);
        EXPECT_EQ(ReadFileBytes(dir / "a.zip"), before);
    }
    CloseZip();
    ExpectUnzipAccepts(dir / "a.zip", 1);
}

TEST_F(ZipFailureTest, AWriteFailingHalfWayGivesCode5AndTheArchiveStillCloses) {
    WriteFileBytes(dir / "small.txt", "small file");
    WriteFileBytes(dir / "big.bin", RandomBytes(1 << 20, 3));
    const std::string archive = dir / "full.zip";
    // A full disk stands in as a file size limit in a child process, so this process keeps its own.
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        MakeZip(archive, "");
        AddZip(dir / "small.txt");
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit saved = limit;
        limit.rlim_cur = std::filesystem::file_size(archive) + 100000;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int code = 10;
        try {
            AddZip(dir / "big.bin");
        } catch (const EGZipError& error) {
            code = error.ZipErrorCode == 5 && error.Message() == "Error writing to " + archive ? 0 : 11;
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        CloseZip();
        return code;
    });
    ASSERT_EQ(result, 0);
    const std::string bytes = ReadFileBytes(archive);
    const ParsedZip zip = ParseZip(bytes);
    ASSERT_EQ(zip.central.size(), 1u);
    // The failed entry's bytes stay between the finished entry and the directory; nothing points to them.
    EXPECT_GT(zip.end.directoryOffset, zip.local[0].dataStart + zip.local[0].compressedSize + 50000);
    ExpectUnzipAccepts(archive, 1);
    EXPECT_EQ(RunProgram({"unzip", "-p", archive}).output, "small file");
}

TEST_F(ZipFailureTest, NoEntryStartsAtOrBeyondTwoGiB) {
    WriteFileBytes(dir / "a.txt", "a");
    const std::string archive = dir / "big.zip";
    MakeZip(archive, "");
    AddZip(dir / "a.txt");
    // A sparse tail brings the archive to the last offset a header may take, then past it.
    std::filesystem::resize_file(archive, 0x7FFFFFFF);
    AddZip(dir / "a.txt");
    const auto size = std::filesystem::file_size(archive);
    const EGZipError error = AddZipError(dir / "a.txt");
    EXPECT_EQ(error.ZipErrorCode, 2);
    EXPECT_EQ(error.Message(), "Error opening " + archive);
    EXPECT_EQ(std::filesystem::file_size(archive), size);
    CloseZip();
    EXPECT_EQ(std::filesystem::file_size(archive), size + 2 * (46 + (dir / "a.txt").size()) + 22);
}

// Sizes and offsets beyond 32 bits cannot be described without Zip64 records; the entry stream stops there
// instead of writing headers that lie. The counters are moved to the brink rather than compressing 4 GiB.
TEST_F(ZipFailureTest, AnEntryStopsAtTheFormatsFourGiBLimits) {
    const std::string archive = dir / "limit.zip";
    WriteFileBytes(archive, "");
    const std::string block = RandomBytes(GzBufferSize * 3, 5);

    gz_stream_ptr input = ZipOpen(archive, "6", "in", 0);
    ASSERT_TRUE(input);
    input->deflate_state.total_in = 0xFFFFFFFF - 100;
    EXPECT_EQ(gzwrite(input.get(), block.data(), 100), 100);
    EXPECT_EQ(gzwrite(input.get(), block.data(), 1), 0);
    EXPECT_EQ(input->status, Z_ERRNO);

    gz_stream_ptr output = ZipOpen(archive, "0", "out", 0);
    ASSERT_TRUE(output);
    output->file_position = 0xFFFFFFFF - 100;
    gzwrite(output.get(), block.data(), static_cast<unsigned>(block.size())); // may all wait in deflate's window
    EXPECT_NE(ZipClose(output.get()), 0);
    EXPECT_EQ(output->status, Z_ERRNO);
}

TEST_F(ZipFailureTest, TheEntryCountStopsWhereTheEndRecordCanHoldIt) {
    WriteFileBytes(dir / "e", "");
    const std::string archive = dir / "many.zip";
    MakeZip(archive, "");
    for (int i = 0; i < 65535; ++i) {
        AddZip(dir / "e");
    }
    const EGZipError error = AddZipError(dir / "e");
    EXPECT_EQ(error.ZipErrorCode, 2);
    EXPECT_EQ(error.Message(), "Error opening " + archive);
    CloseZip();
    const ParsedZip zip = ParseZip(ReadFileBytes(archive));
    EXPECT_EQ(zip.end.entries, 65535);
    EXPECT_EQ(zip.central.size(), 65535u);
    const CommandResult test = RunProgram({"unzip", "-tq", archive});
    EXPECT_EQ(test.exitCode, 0) << test.output.substr(0, 2000);
}

TEST_F(ZipFailureTest, AnArchiveThatCannotBeCreatedLeavesNoneOpen) {
    WriteFileBytes(dir / "a.txt", "a");
    try {
        MakeZip(dir / "no/such/folder.zip", "");
        FAIL() << "MakeZip raised nothing";
    } catch (const EGZipError&) {
        FAIL() << "an archive error where the system's own was due";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.ErrorCode, ENOENT);
        EXPECT_NE(error.Message().find(dir / "no/such/folder.zip"), std::string::npos) << error.Message();
    }
    // What a caller's error handler does next must do nothing.
    AddZip(dir / "a.txt");
    EXPECT_NO_THROW(CloseZip());
}

TEST_F(ZipFailureTest, AFailedCloseKeepsTheArchiveOpenForAnotherTry) {
    WriteFileBytes(dir / "a.txt", "a");
    const std::string archive = dir / "a.zip";
    MakeZip(archive, "");
    AddZip(dir / "a.txt");
    std::filesystem::rename(archive, dir / "aside.zip");
    std::filesystem::create_directory(archive);
    EXPECT_THROW(CloseZip(), EInOutError);
    std::filesystem::remove(archive);
    std::filesystem::rename(dir / "aside.zip", archive);
    CloseZip();
    ExpectUnzipAccepts(archive, 1);
}

} // namespace
