#include "ZipTestTools.h"
#include "support/TempDir.h"
#include "zip/DosDateTime.h"
#include "zip/ZipArchive.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;

class GzipTest : public ::testing::Test {
protected:
    void TearDown() override { SetCompression(ctStandard, 6); }
    TempDir dir;
};

std::string LE32(std::uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

// One gzip member: the fixed header with the given flags and time, `fields` (the optional header fields in
// their order, without the header CRC, which is added when the flags ask for it), the deflate data and the trailer.
std::string GzipMember(const std::string& content, int flags, std::uint32_t time, const std::string& fields) {
    std::string header =
        std::string("\x1F\x8B\x08", 3) + static_cast<char>(flags) + LE32(time) + std::string("\x00\x03", 2) + fields;
    if ((flags & 0x02) != 0) {
        header += LE32(Crc32Of(header)).substr(0, 2);
    }
    return header + RawDeflate(content, 6) + LE32(Crc32Of(content)) + LE32(static_cast<std::uint32_t>(content.size()));
}

std::uint32_t DosOf(std::time_t seconds) {
    return UnixTimeToDosDateTime(static_cast<std::uint32_t>(seconds));
}

EGZipError ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EGZipError& error) {
        return error;
    }
    ADD_FAILURE() << "no archive error raised";
    return EGZipError("", 0);
}

std::size_t FilesIn(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST_F(GzipTest, GZipStoresNameAndTimeAndGzipReadsThem) {
    const std::string content = RandomBytes(3000, 5) + std::string(30000, 'q');
    const std::string source = dir / "report.doc";
    const std::string dest = dir / "report.doc.gz";
    WriteFileBytes(source, content);
    SetModificationTime(source, LocalMoment(2022, 3, 4, 5, 6, 7));
    fs::permissions(source, fs::perms::owner_read | fs::perms::group_read);

    GZip(source, dest);
    // The time goes through the DOS date-time of the file, so its odd second is dropped.
    const std::time_t stamp = LocalMoment(2022, 3, 4, 5, 6, 6);
    const std::string expected =
        GzipMember(content, 0x08, static_cast<std::uint32_t>(stamp), "report.doc" + std::string(1, '\0'));
    std::string header = expected.substr(0, 10);
    header[9] = '\0'; // operating system 0
    EXPECT_EQ(ReadFileBytes(dest), header + expected.substr(10));
    EXPECT_EQ(ModificationTime(dest), stamp);
    EXPECT_EQ(PermissionBits(dest) & 0222, 0u) << "read-only like its source";

    const CommandResult test = RunProgram({"gzip", "-t", dest});
    EXPECT_EQ(test.exitCode, 0) << test.output;
    const CommandResult list = RunProgram({"gzip", "-lN", dest});
    EXPECT_NE(list.output.find("report.doc\n"), std::string::npos) << list.output;
    EXPECT_EQ(RunProgram({"gzip", "-dc", dest}).output, content);

    // A read-only gzip file is replaced like any other; the strategy setting reaches the data.
    SetCompression(ctHuffmanOnly, 9);
    GZip(source, dest);
    const std::string again = ReadFileBytes(dest);
    EXPECT_EQ(again.substr(21, again.size() - 29), RawDeflate(content, 9, Z_HUFFMAN_ONLY));
    EXPECT_EQ(FilesIn(dir.Path()), 2u) << "no temporary file left behind";
}

TEST_F(GzipTest, AnEmptySourceGivesHeaderEmptyBlockAndZeroTrailer) {
    WriteFileBytes(dir / "e", "");
    SetModificationTime(dir / "e", LocalMoment(2020, 1, 1, 0, 0, 0));
    GZip(dir / "e", dir / "e.gz");
    const std::string expected = std::string("\x1F\x8B\x08\x08", 4) +
                                 LE32(static_cast<std::uint32_t>(LocalMoment(2020, 1, 1, 0, 0, 0))) +
                                 std::string("\0\0e\0\x03\0", 6) + std::string(8, '\0');
    EXPECT_EQ(ReadFileBytes(dir / "e.gz"), expected);
}

TEST_F(GzipTest, GUnzipExpandsGzipFilesUnderTheirStoredName) {
    const std::string content = "line of text\n" + RandomBytes(50000, 8);
    WriteFileBytes(dir / "data.txt", content);
    SetModificationTime(dir / "data.txt", LocalMoment(2020, 1, 2, 3, 4, 5));
    ASSERT_EQ(RunProgram({"gzip", "-N", dir / "data.txt"}).exitCode, 0);
    fs::rename(dir / "data.txt.gz", dir / "renamed.gz");
    fs::permissions(dir / "renamed.gz", fs::perms::owner_read);
    fs::create_directory(dir / "out");

    const TGzFileInfo info = GzFileInfo(dir / "renamed.gz");
    EXPECT_EQ(info.Name, "data.txt");
    EXPECT_EQ(info.FileDate, DosOf(LocalMoment(2020, 1, 2, 3, 4, 5)));
    EXPECT_EQ(info.Attributes, 0x21u);

    for (int round = 0; round < 2; ++round) { // the second replaces the read-only result of the first
        GUnzip(dir / "renamed.gz", dir / "out/");
        EXPECT_EQ(ReadFileBytes(dir / "out/data.txt"), content);
        EXPECT_EQ(ModificationTime(dir / "out/data.txt"), LocalMoment(2020, 1, 2, 3, 4, 4));
        EXPECT_EQ(PermissionBits(dir / "out/data.txt") & 0222, 0u) << "the gzip file's read-only attribute";
    }
    EXPECT_EQ(FilesIn(dir / "out"), 1u);
}

TEST_F(GzipTest, WithoutAStoredNameTheGzipFilesOwnNameAndTimeStandIn) {
    WriteFileBytes(dir / "notes.txt", "notes");
    ASSERT_EQ(RunProgram({"gzip", "-n", dir / "notes.txt"}).exitCode, 0); // no name, time 0
    SetModificationTime(dir / "notes.txt.gz", LocalMoment(2019, 5, 6, 7, 8, 10));
    const TGzFileInfo info = GzFileInfo(dir / "notes.txt.gz");
    EXPECT_EQ(info.Name, "notes.txt");
    EXPECT_EQ(info.FileDate, DosOf(LocalMoment(2019, 5, 6, 7, 8, 10)));
    fs::create_directory(dir / "out");
    GUnzip(dir / "notes.txt.gz", dir / "out/");
    EXPECT_EQ(ReadFileBytes(dir / "out/notes.txt"), "notes");
    EXPECT_EQ(ModificationTime(dir / "out/notes.txt"), LocalMoment(2019, 5, 6, 7, 8, 10));

    // A file that is not in gzip format is copied as it is, under its own name less the extension.
    const std::string plain = "plain bytes, no gzip magic";
    WriteFileBytes(dir / "plain.dat", plain);
    WriteFileBytes(dir / "one.b", "\x1F");
    GUnzip(dir / "plain.dat", dir / "out/");
    GUnzip(dir / "one.b", dir / "out/");
    EXPECT_EQ(ReadFileBytes(dir / "out/plain"), plain);
    EXPECT_EQ(ReadFileBytes(dir / "out/one"), "\x1F");
    EXPECT_EQ(GzFileInfo(dir / "plain.dat").Name, "plain");
}

TEST_F(GzipTest, OptionalHeaderFieldsAreSkippedAndMembersFollowEachOther) {
    std::string extra(300, 'x'); // longer than one byte can count
    const std::string fields =
        "\x2C\x01" + extra + "inner.txt" + std::string(1, '\0') + "a comment" + std::string(1, '\0');
    const std::time_t stamp = LocalMoment(2018, 8, 9, 10, 11, 12);
    const std::string first = GzipMember("first member, ", 0x1E, static_cast<std::uint32_t>(stamp), fields);
    const std::string second = GzipMember(std::string(20000, 's'), 0, 0, "");
    WriteFileBytes(dir / "multi.gz", first + second);
    ASSERT_EQ(RunProgram({"gzip", "-t", dir / "multi.gz"}).exitCode, 0) << "the test's own file is sound";

    EXPECT_EQ(GzFileInfo(dir / "multi.gz").Name, "inner.txt");
    GUnzip(dir / "multi.gz", dir.Path());
    EXPECT_EQ(ReadFileBytes(dir / "inner.txt"), "first member, " + std::string(20000, 's'));
    EXPECT_EQ(ModificationTime(dir / "inner.txt"), stamp);
}

TEST_F(GzipTest, DamagedDataFailAndLeaveAnExistingOutputAlone) {
    const std::string content = RandomBytes(40000, 4);
    const std::string good = GzipMember(content, 0x08, 0, "keep.txt" + std::string(1, '\0'));
    const std::size_t trailer = good.size() - 8;
    std::map<std::string, std::string> damaged;
    damaged["crc"] = good;
    damaged["crc"][trailer] ^= 1;
    damaged["length"] = good;
    damaged["length"][trailer + 4] ^= 1;
    damaged["truncated"] = good.substr(0, good.size() / 2);
    damaged["no-trailer"] = good.substr(0, trailer + 3);
    damaged["method"] = good;
    damaged["method"][2] = 7;
    damaged["reserved-flag"] = good;
    damaged["reserved-flag"][3] = static_cast<char>(0x08 | 0x20);
    damaged["cut-in-name"] = good.substr(0, 14);
    damaged["data"] = good;
    damaged["data"][trailer / 2] ^= 0x55;

    fs::create_directory(dir / "out");
    WriteFileBytes(dir / "out/keep.txt", "old");
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        const std::string source = dir / (what + ".gz");
        WriteFileBytes(source, bytes);
        const EGZipError error = ErrorOf([&] { GUnzip(source, dir / "out/"); });
        EXPECT_EQ(error.ZipErrorCode, 4);
        EXPECT_EQ(error.Message(), "Error reading from " + source);
        EXPECT_EQ(ReadFileBytes(dir / "out/keep.txt"), "old");
        EXPECT_EQ(FilesIn(dir / "out"), 1u);
    }
}

TEST_F(GzipTest, AStoredNameCannotLeadOutOfTheChosenFolder) {
    fs::create_directories(dir / "a/out");
    for (const std::string stored : {"../escape.txt", "/tmp/abs/escape.txt", ".."}) {
        WriteFileBytes(dir / "a/in.gz", GzipMember("x", 0x08, 0, stored + std::string(1, '\0')));
        GUnzip(dir / "a/in.gz", dir / "a/out/");
    }
    EXPECT_EQ(ReadFileBytes(dir / "a/out/escape.txt"), "x");
    EXPECT_EQ(ReadFileBytes(dir / "a/out/in"), "x");
    EXPECT_EQ(FilesIn(dir / "a/out"), 2u);
    EXPECT_FALSE(fs::exists(dir / "a/escape.txt"));
}

TEST_F(GzipTest, FailuresNameTheFileAndCarryTheirCodes) {
    WriteFileBytes(dir / "a.txt", "a");
    GZip(dir / "a.txt", dir / "a.gz");
    fs::create_directories(dir / "o/a.txt");
    fs::create_directory(dir / "a.txt.d");
    const auto expect = [](const std::function<void()>& call, int code, const std::string& message) {
        const EGZipError error = ErrorOf(call);
        EXPECT_EQ(error.ZipErrorCode, code) << message;
        EXPECT_EQ(error.Message(), message);
    };
    expect([&] { GZip(dir / "missing", dir / "m.gz"); }, 2, "Error opening " + dir / "missing");
    expect([&] { GZip(dir / "a.txt", dir / "no/such.gz"); }, 1, "Error opening " + dir / "no/such.gz");
    expect([&] { GZip(dir / "a.txt", dir / "o"); }, 1, "Error opening " + dir / "o");
    expect([&] { GUnzip(dir / "missing.gz", dir.Path()); }, 2, "Error opening " + dir / "missing.gz");
    expect([&] { GUnzip(dir / "a.gz", dir / "no/"); }, 2, "Error opening " + dir / "no/");
    // The stored name "a.txt" plus this prefix names a folder.
    expect([&] { GUnzip(dir / "a.gz", dir / "o/"); }, 2, "Error opening " + dir / "o/");
    expect([&] { GzFileInfo(dir / "missing.gz"); }, 2, "Error opening " + dir / "missing.gz");
    expect([&] { GZip(dir / "a.txt.d", dir / "d.gz"); }, 2, "Error opening " + dir / "a.txt.d");
}

TEST_F(GzipTest, AFailedWriteKeepsTheEarlierGzipFile) {
    WriteFileBytes(dir / "big", RandomBytes(1 << 20, 6));
    WriteFileBytes(dir / "big.gz", "earlier");
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 100000;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            GZip(dir / "big", dir / "big.gz");
        } catch (const EGZipError& error) {
            return error.ZipErrorCode == 5 && error.Message() == "Error writing to " + dir / "big.gz" ? 0 : 11;
        }
        return 10;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFileBytes(dir / "big.gz"), "earlier");
    EXPECT_EQ(FilesIn(dir.Path()), 2u);
}

// The header holds universal time; the file's local time converts with the daylight-saving rule in force at
// that moment, not with the zone's standard offset alone.
TEST_F(GzipTest, HeaderTimesFollowDaylightSavingTime) {
    const char* saved = std::getenv("TZ");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    const std::time_t summerNoon = 1625133600; // 2021-07-01 10:00 UTC, 12:00 in summer time
    ASSERT_EQ(LocalMoment(2021, 7, 1, 12, 0, 0), summerNoon);
    WriteFileBytes(dir / "s.txt", "summer");
    SetModificationTime(dir / "s.txt", summerNoon);
    GZip(dir / "s.txt", dir / "s.gz");
    EXPECT_EQ(ReadFileBytes(dir / "s.gz").substr(4, 4), LE32(summerNoon));
    fs::create_directory(dir / "out");
    GUnzip(dir / "s.gz", dir / "out/");
    EXPECT_EQ(ModificationTime(dir / "out/s.txt"), summerNoon);
    if (saved != nullptr) {
        ::setenv("TZ", previous.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

} // namespace
