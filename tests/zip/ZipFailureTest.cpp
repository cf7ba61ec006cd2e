#include "ZipTestTools.h"
#include "support/TempDir.h"
#include "zip/Gzioext.h"
#include "zip/ZipArchive.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
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

// A full disk stands in as a file size limit, set in a child process so that this process keeps its own: files
// may grow to `bytes` (RLIM_INFINITY lifts it again); writes past it fail with EFBIG rather than raise SIGXFSZ.
void LimitFileSize(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min(bytes, limit.rlim_max);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

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
    const int result = RunInChild([&] {
        MakeZip(archive, "");
        AddZip(dir / "small.txt");
        LimitFileSize(std::filesystem::file_size(archive) + 100000);
        int code = 10;
        try {
            AddZip(dir / "big.bin");
        } catch (const EGZipError& error) {
            code = error.ZipErrorCode == 5 && error.Message() == "Error writing to " + archive ? 0 : 11;
        }
        LimitFileSize(RLIM_INFINITY);
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

// A header goes out with its entry's first data, in one write; a full disk (a file size limit, in a child) that
// stops that write inside the header is still the failure to write the header: the system's error for an archive
// entry, "Error opening" for a gzip file; the archive closes with the entries made before.
TEST_F(ZipFailureTest, AFullDiskInsideAHeaderFailsAsTheHeadersWrite) {
    WriteFileBytes(dir / "small.txt", "small file");
    WriteFileBytes(dir / "big.bin", RandomBytes(1 << 20, 4));
    const std::string archive = dir / "full.zip";
    const std::string gzip = dir / "small.gz";
    const int result = RunInChild([&] {
        MakeZip(archive, "");
        AddZip(dir / "small.txt");
        int code = 0;
        for (const std::string& source : {dir / "small.txt", dir / "big.bin"}) {
            // Ten bytes of the 30 of a header's fixed part.
            LimitFileSize(std::filesystem::file_size(archive) + 10);
            try {
                AddZip(source);
                code |= 1;
            } catch (const EGZipError&) {
                code |= 4;
            } catch (const EInOutError& error) {
                code |= error.ErrorCode == EFBIG && error.Message().find(archive) != std::string::npos ? 0 : 2;
            }
        }
        LimitFileSize(5);
        try {
            GZip(dir / "small.txt", gzip);
            code |= 8;
        } catch (const EGZipError& error) {
            code |= error.ZipErrorCode == 1 && error.Message() == "Error opening " + gzip ? 0 : 16;
        }
        LimitFileSize(RLIM_INFINITY);
        CloseZip();
        return code;
    });
    ASSERT_EQ(result, 0);
    EXPECT_FALSE(std::filesystem::exists(gzip));
    ExpectUnzipAccepts(archive, 1);
    EXPECT_EQ(RunProgram({"unzip", "-p", archive}).output, "small file");
}

// What Python's zipfile makes of an archive: every entry read whole (its CRC-32 checked), one line per entry with
// its name and size.
CommandResult PythonListing(const std::string& archive) {
    const std::string script = "import sys, zipfile\n"
                               "z = zipfile.ZipFile(sys.argv[1])\n"
                               "assert z.testzip() is None\n"
                               "for i in z.infolist():\n"
                               "    assert len(z.read(i)) == i.file_size\n"
                               "    print(i.filename, i.file_size)\n";
    return RunProgram({SystemPython, "-c", script, archive});
}

// Offsets are unsigned 32-bit numbers up to the last value below the marker 0xFFFFFFFF; an entry that starts there
// or later has its offset in a Zip64 extra field, and a directory that does gets the Zip64 end record. Sparse
// tails bring the archive to those offsets without writing 4 GiB.
TEST_F(ZipFailureTest, OffsetsPastTwoGiBArePlainAndPastFourGiBZip64) {
    const std::string source = dir / "a.txt";
    WriteFileBytes(source, "a");
    const std::string archive = dir / "big.zip";
    MakeZip(archive, "");
    AddZip(source);
    std::filesystem::resize_file(archive, 0x80000000);
    AddZip(source);
    std::filesystem::resize_file(archive, 0xFFFFFFFF);
    AddZip(source);
    AddZip(source);
    CloseZip();

    const std::uint64_t entrySize = 30 + source.size() + 3; // header, name, the deflate data of one byte
    const std::uint64_t offsets[] = {0, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFF + entrySize};
    const ParsedZip zip = ParseZipFile(archive);
    ASSERT_EQ(zip.central.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const CentralHeader& c = zip.central[i];
        const bool zip64 = i >= 2;
        EXPECT_EQ(c.offset, offsets[i]);
        EXPECT_EQ(c.headerOffset, zip64 ? 0xFFFFFFFFu : offsets[i]);
        EXPECT_EQ(c.extra.size(), zip64 ? 12u : 0u);
        EXPECT_EQ(c.versionMadeBy, zip64 ? 45 : 20);
        EXPECT_EQ(c.versionNeeded, zip64 ? 45 : 20);
        // The sizes fit: the local header stays the plain one.
        EXPECT_EQ(c.size, 1u);
        EXPECT_EQ(c.uncompressedSize, 1u);
        EXPECT_EQ(zip.local[i].versionNeeded, 20);
        EXPECT_EQ(zip.local[i].extraLength, 0);
        EXPECT_EQ(zip.local[i].name, source);
    }
    const std::uint64_t directoryStart = 0xFFFFFFFF + 2 * entrySize;
    EXPECT_EQ(zip.end.entries, 4);
    EXPECT_EQ(zip.end.directoryOffset, 0xFFFFFFFFu);
    ASSERT_TRUE(zip.end64.present);
    EXPECT_EQ(zip.end64.signature, 0x06064B50u);
    EXPECT_EQ(zip.end64.recordSize, 44u);
    EXPECT_EQ(zip.end64.versionNeeded, 45);
    EXPECT_EQ(zip.end64.entries, 4u);
    EXPECT_EQ(zip.end64.entriesOnDisk, 4u);
    EXPECT_EQ(zip.end64.directoryOffset, directoryStart);
    EXPECT_EQ(zip.end64.recordOffset, directoryStart + zip.end64.directorySize);
    EXPECT_EQ(zip.end64.totalDisks, 1u);

    const CommandResult test = RunProgram({"unzip", "-t", archive});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    EXPECT_NE(test.output.find("No errors detected"), std::string::npos) << test.output;
    const CommandResult python = PythonListing(archive);
    EXPECT_EQ(python.exitCode, 0) << python.output;
    EXPECT_EQ(std::count(python.output.begin(), python.output.end(), '\n'), 4) << python.output;
}

// Whether an entry's local header gets Zip64 sizes is decided from the source's size before the data: the worst
// that deflate can make of it must stay below the marker. A plain entry stops where its data would reach a field's
// marker (past_limit, so that AddZip writes it again with Zip64 sizes); a Zip64 one goes on and gets its sizes in
// the extra field. The counters are moved to the brink rather than compressing 4 GiB.
TEST_F(ZipFailureTest, AnEntryGetsZip64SizesWhereItsDataMayReachFourGiB) {
    const std::string archive = dir / "limit.zip";
    WriteFileBytes(archive, "");
    z_stream probe{};
    ASSERT_EQ(deflateInit2(&probe, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::uint64_t largestPlain = 0xFFFFFFFF;
    while (deflateBound(&probe, largestPlain) >= 0xFFFFFFFF) {
        --largestPlain;
    }
    deflateEnd(&probe);
    const std::string block = RandomBytes(GzBufferSize * 3, 5);
    FileHandle file;
    ASSERT_TRUE(file.Open(archive, O_RDWR));

    gz_stream_ptr input = ZipOpen(file, file.Size(), "6", "in", 0, largestPlain);
    ASSERT_TRUE(input);
    EXPECT_FALSE(input->zip64);
    input->deflate_state.total_in = 0xFFFFFFFF - 101;
    EXPECT_EQ(gzwrite(input.get(), block.data(), 100), 100);
    EXPECT_FALSE(input->past_limit);
    EXPECT_EQ(gzwrite(input.get(), block.data(), 1), 0);
    EXPECT_EQ(input->status, Z_ERRNO);
    EXPECT_TRUE(input->past_limit);
    input.reset();

    gz_stream_ptr output = ZipOpen(file, file.Size(), "0", "out", 0, 100);
    ASSERT_TRUE(output);
    output->file_position = output->data_start + 0xFFFFFFFF - 100;
    gzwrite(output.get(), block.data(), static_cast<unsigned>(block.size())); // may all wait in deflate's window
    EXPECT_NE(ZipClose(output.get()), 0);
    EXPECT_TRUE(output->past_limit);
    output.reset();

    gz_stream_ptr wide = ZipOpen(file, file.Size(), "6", "wide", 0, largestPlain + 1);
    ASSERT_TRUE(wide);
    EXPECT_TRUE(wide->zip64);
    const std::uint64_t before = 5ull << 32;
    wide->deflate_state.total_in = before;
    ASSERT_EQ(gzwrite(wide.get(), block.data(), static_cast<unsigned>(block.size())), static_cast<int>(block.size()));
    ASSERT_EQ(ZipClose(wide.get()), 0);
    EXPECT_FALSE(wide->past_limit);
    EXPECT_EQ(wide->uncompressed_size, before + block.size());

    const std::string bytes = ReadFileBytes(archive);
    const LocalHeader local = ParseLocalHeader(bytes, wide->header_offset);
    EXPECT_EQ(local.name, "wide");
    EXPECT_EQ(local.versionNeeded, 45);
    EXPECT_EQ(local.crc, Crc32Of(block));
    EXPECT_EQ(local.compressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(local.uncompressedSize, 0xFFFFFFFFu);
    std::string extra("\x01\x00\x10\x00", 4);
    for (const std::uint64_t value : {before + block.size(), wide->compressed_size}) {
        for (int i = 0; i < 8; ++i) {
            extra.push_back(static_cast<char>(value >> (8 * i)));
        }
    }
    EXPECT_TRUE(local.extra == extra);
    EXPECT_EQ(local.dataStart + static_cast<std::int64_t>(wide->compressed_size),
              static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(Inflate(bytes.substr(local.dataStart)), block);
}

// 65,535 entries still fit the end record's 16-bit counts; one more and the archive gets the Zip64 end record and
// its locator, the counts of the end record holding the marker.
TEST_F(ZipFailureTest, MoreThan65535EntriesGetTheZip64EndRecord) {
    WriteFileBytes(dir / "e", "");
    for (const int entries : {65535, 65536}) {
        SCOPED_TRACE(entries);
        const std::string archive = dir / (std::to_string(entries) + ".zip");
        MakeZip(archive, "");
        for (int i = 0; i < entries; ++i) {
            AddZip(dir / "e");
        }
        CloseZip();
        const ParsedZip zip = ParseZip(ReadFileBytes(archive));
        EXPECT_EQ(zip.central.size(), static_cast<std::size_t>(entries));
        EXPECT_EQ(zip.end.entries, 0xFFFF);
        EXPECT_EQ(zip.end.entriesOnDisk, 0xFFFF);
        EXPECT_EQ(zip.end64.present, entries > 65535);
        if (zip.end64.present) {
            EXPECT_EQ(zip.end64.entries, 65536u);
            EXPECT_EQ(zip.end64.directoryOffset, zip.end.directoryOffset);
            EXPECT_EQ(zip.end64.directorySize, zip.end.directorySize);
        }
        EXPECT_EQ(zip.central.back().versionNeeded, 20);
        if (!zip.end64.present) {
            continue; // as before the writer knew Zip64, which the tools have always read
        }
        const CommandResult test = RunProgram({"unzip", "-tq", archive});
        EXPECT_EQ(test.exitCode, 0) << test.output.substr(0, 2000);
        const CommandResult python = PythonListing(archive);
        EXPECT_EQ(python.exitCode, 0) << python.output.substr(0, 2000);
        EXPECT_EQ(std::count(python.output.begin(), python.output.end(), '\n'), entries);
    }
}

// With Zip64 no size, offset or count stops an archive; a name still has its 16-bit length field. The relative
// name of a short path against a deep base folder outgrows it.
TEST_F(ZipFailureTest, ANameLongerThanAHeaderCanHoldIsRefusedAndTheErrorSaysSo) {
    WriteFileBytes(dir / "a.txt", "a");
    std::string base = "/";
    while (base.size() < 50000) {
        base += "x/";
    }
    MakeZip(dir / "a.zip", base);
    const EGZipError error = AddZipError(dir / "a.txt");
    EXPECT_EQ(error.ZipErrorCode, 2);
    EXPECT_EQ(error.Message(), "Error adding " + dir / "a.txt" + " to " + dir / "a.zip" +
                                   ": its name is longer than the 65,535 bytes a zip entry name can hold");
    EXPECT_EQ(std::filesystem::file_size(dir / "a.zip"), 0u);
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

// The archive is held open from MakeZip to CloseZip: what is put at its name meanwhile (here a link to another
// file) gets nothing, and a directory that cannot be written (a full disk, as a file size limit in a child) leaves
// the archive open for another try.
TEST_F(ZipFailureTest, AFailedCloseKeepsTheArchiveOpenForAnotherTry) {
    WriteFileBytes(dir / "a.txt", "a");
    WriteFileBytes(dir / "other.txt", "other");
    const std::string archive = dir / "a.zip";
    const int result = RunInChild([&] {
        MakeZip(archive, "");
        AddZip(dir / "a.txt");
        std::filesystem::rename(archive, dir / "aside.zip");
        std::filesystem::create_symlink(dir / "other.txt", archive);
        AddZip(dir / "a.txt");
        LimitFileSize(std::filesystem::file_size(dir / "aside.zip"));
        int code = 10;
        try {
            CloseZip();
        } catch (const EInOutError& error) {
            code = error.ErrorCode == EFBIG ? 0 : 11;
        }
        LimitFileSize(RLIM_INFINITY);
        CloseZip();
        return code;
    });
    ASSERT_EQ(result, 0);
    EXPECT_EQ(ReadFileBytes(dir / "other.txt"), "other");
    ExpectUnzipAccepts(dir / "aside.zip", 2);
}

} // namespace
