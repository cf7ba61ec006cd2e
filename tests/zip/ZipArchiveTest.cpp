#include "zip/ZipArchive.h"
#include "ZipTestTools.h"
#include "support/TempDir.h"
#include "zip/DosDateTime.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <zlib.h>

namespace {

// Every test leaves the module as it found it: no archive open, default compression.
class ZipArchiveTest : public ::testing::Test {
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

std::string TextLike(std::size_t size) {
    static const char* const Words[] = {"backup ", "volume ", "archive ", "the ", "of ", "file\r\n", "task ", "a "};
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i) {
        text += Words[(i * 7 + i / 3) % 8];
    }
    text.resize(size);
    return text;
}

std::uint32_t Dos(int year, int month, int day, int hour, int minute, int second) {
    return (static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day) << 16) |
           static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
}

TEST_F(ZipArchiveTest, EveryHeaderFieldOfASmallArchive) {
    const std::string text = TextLike(5000);
    const std::string random = RandomBytes(40000, 7); // more output than one 16 KiB buffer holds
    WriteFileBytes(dir / "a.txt", text);
    WriteFileBytes(dir / "empty.bin", "");
    WriteFileBytes(dir / "b.bin", random);
    SetModificationTime(dir / "a.txt", LocalMoment(2021, 6, 15, 13, 45, 31));

    MakeZip(dir / "out.zip", "");
    AddZip(dir / "a.txt");
    AddZip(dir / "empty.bin");
    AddZip(dir / "b.bin");
    CloseZip();

    const std::string bytes = ReadFileBytes(dir / "out.zip");
    const ParsedZip zip = ParseZip(bytes);
    ASSERT_EQ(zip.central.size(), 3u);
    const std::string names[] = {dir / "a.txt", dir / "empty.bin", dir / "b.bin"};
    const std::string contents[] = {text, "", random};

    std::int64_t expectedOffset = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        const LocalHeader& l = zip.local[i];
        const CentralHeader& c = zip.central[i];
        // Entries lie back to back in the order added, without data descriptors.
        EXPECT_EQ(l.offset, expectedOffset);
        EXPECT_EQ(l.signature, 0x04034B50u);
        EXPECT_EQ(l.versionNeeded, 20);
        EXPECT_EQ(l.flags, 2);
        EXPECT_EQ(l.method, 8);
        EXPECT_EQ(l.extraLength, 0);
        EXPECT_EQ(l.name, names[i]);
        EXPECT_EQ(l.nameLength, names[i].size());
        EXPECT_EQ(l.crc, Crc32Of(contents[i]));
        EXPECT_EQ(l.uncompressedSize, contents[i].size());
        const std::string data = bytes.substr(l.dataStart, l.compressedSize);
        EXPECT_TRUE(data == RawDeflate(contents[i], 6)) << "not zlib's level 6 raw deflate";
        EXPECT_EQ(Inflate(data), contents[i]);
        expectedOffset = l.dataStart + l.compressedSize;

        EXPECT_EQ(c.signature, 0x02014B50u);
        EXPECT_EQ(c.versionMadeBy, 20);
        EXPECT_EQ(c.versionNeeded, 20);
        EXPECT_EQ(c.flags, 2);
        EXPECT_EQ(c.method, 8);
        EXPECT_EQ(c.dosDateTime, l.dosDateTime);
        EXPECT_EQ(c.crc, l.crc);
        EXPECT_EQ(c.compressedSize, l.compressedSize);
        EXPECT_EQ(c.uncompressedSize, l.uncompressedSize);
        EXPECT_EQ(c.nameLength, l.nameLength);
        EXPECT_EQ(c.extraLength, 0);
        EXPECT_EQ(c.commentLength, 0);
        EXPECT_EQ(c.diskStart, 0);
        EXPECT_EQ(c.internalAttributes, 0);
        EXPECT_EQ(c.externalAttributes, 0x20u);
        EXPECT_EQ(c.headerOffset, static_cast<std::uint32_t>(l.offset));
        EXPECT_EQ(c.name, l.name);
    }
    // Local time, seconds halved.
    EXPECT_EQ(zip.local[0].dosDateTime, Dos(2021, 6, 15, 13, 45, 30));
    // The empty file: the two bytes of an empty final block, CRC 0.
    EXPECT_EQ(zip.local[1].crc, 0u);
    EXPECT_EQ(zip.local[1].compressedSize, 2u);
    EXPECT_EQ(bytes.substr(zip.local[1].dataStart, 2), std::string("\x03\x00", 2));

    EXPECT_EQ(zip.end.signature, 0x06054B50u);
    EXPECT_EQ(zip.end.disk, 0);
    EXPECT_EQ(zip.end.directoryDisk, 0);
    EXPECT_EQ(zip.end.entriesOnDisk, 3);
    EXPECT_EQ(zip.end.entries, 3);
    EXPECT_EQ(zip.end.commentLength, 0);
    EXPECT_EQ(zip.end.directoryOffset, expectedOffset);
}

// An archive within every limit of the plain format, as the writer made it before it knew the format's Zip64
// extension: names relative to a base folder so that they do not depend on where the test runs, a hidden and a
// read-only file for the attribute bits, a mapped name byte, an empty file and a name twice.
TEST_F(ZipArchiveTest, AnArchiveWithinTheLimitsIsByteForByteWhatItWas) {
    const std::string& base = dir.Path();
    const auto write = [&](const std::string& name, const std::string& bytes, std::time_t time) {
        std::filesystem::create_directories(std::filesystem::path(base + name).parent_path());
        WriteFileBytes(base + name, bytes);
        SetModificationTime(base + name, time);
    };
    const std::time_t june = LocalMoment(2021, 6, 15, 13, 45, 31);
    write("notes.txt", TextLike(5000), june);
    write("empty", "", LocalMoment(1999, 12, 31, 23, 59, 58));
    write("sub/caf\xE9.doc", "named in code page 1252", LocalMoment(2010, 1, 2, 3, 4, 5));
    write(".hidden", "x", june);
    write("sub/read-only", "kept", june);
    std::filesystem::permissions(base + "sub/read-only", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::group_read |
                                                             std::filesystem::perms::others_read);

    MakeZip(base + "out.zip", base);
    for (const char* name : {"notes.txt", "empty", "sub/caf\xE9.doc", ".hidden", "sub/read-only", "notes.txt"}) {
        AddZip(base + name);
    }
    CloseZip();

    static const char* const Hex =
        "504b0304140002000800af6dcf52d3f8e87c5400000088130000090000006e6f7465732e747874edcc410ac0201043d1"
        "7da17798abcdc888a2c5d2aae76fc14597bdc08790acf24c4319a7a874bdcbaa98abef5b8bf2a62717bd42caf3dbd9ea"
        "385c6c3d0d000000000000000000000000000000000000e00f7800504b03041400020008007dbf9f2700000000020000"
        "000000000005000000656d7074790300504b03041400020008008218223cbdfca4fc19000000170000000c0000007375"
        "622f636166822e646f63cb4bcc4d4d51c8cc5348ce4f495528484c4f55303432350200504b0304140002000800af6dcf"
        "528316dc8c0300000001000000070000002e68696464656eab0000504b0304140002000800af6dcf52066a28fb060000"
        "00040000000d0000007375622f726561642d6f6e6c79cb4e2d280100504b0304140002000800af6dcf52d3f8e87c5400"
        "000088130000090000006e6f7465732e747874edcc410ac0201043d17da17798abcdc888a2c5d2aae76fc14597bdc087"
        "90acf24c4319a7a874bdcbaa98abef5b8bf2a62717bd42caf3dbd9ea385c6c3d0d000000000000000000000000000000"
        "000000e00f7800504b01021400140002000800af6dcf52d3f8e87c540000008813000009000000000000000000200000"
        "00000000006e6f7465732e747874504b010214001400020008007dbf9f27000000000200000000000000050000000000"
        "00000000200000007b000000656d707479504b010214001400020008008218223cbdfca4fc19000000170000000c0000"
        "0000000000000020000000a00000007375622f636166822e646f63504b01021400140002000800af6dcf528316dc8c03"
        "000000010000000700000000000000000022000000e30000002e68696464656e504b01021400140002000800af6dcf52"
        "066a28fb06000000040000000d000000000000000000210000000b0100007375622f726561642d6f6e6c79504b010214"
        "00140002000800af6dcf52d3f8e87c540000008813000009000000000000000000200000003c0100006e6f7465732e74"
        "7874504b050600000000060006004b010000b70100000000";
    std::string expected;
    for (const char* digit = Hex; digit[0] != '\0'; digit += 2) {
        expected.push_back(static_cast<char>(std::stoi(std::string(digit, 2), nullptr, 16)));
    }
    EXPECT_TRUE(ReadFileBytes(base + "out.zip") == expected) << "the archive's bytes changed";
}

TEST_F(ZipArchiveTest, AnArchiveWithoutEntriesIsTheEndRecordAlone) {
    MakeZip(dir / "empty.zip", "");
    CloseZip();
    std::string expected("PK\x05\x06", 4);
    expected.append(18, '\0');
    EXPECT_EQ(ReadFileBytes(dir / "empty.zip"), expected);
}

TEST_F(ZipArchiveTest, NamesAreTheFullPathWithHighBytesMappedAndNoLengthLimit) {
    // Bytes from 0x80 go through the OEM table, the same way in both headers; "/" and ASCII stay.
    const std::string odd = dir / std::string("x\xE9\xE1\x80\xA0\xFF\xC3\xA9.txt");
    WriteFileBytes(odd, "odd");
    std::string deep = dir.Path();
    while (deep.size() < 300) {
        deep += std::string(40, 'd') + "/";
    }
    std::filesystem::create_directories(deep);
    const std::string longName = deep + "long.txt";
    WriteFileBytes(longName, "long");

    MakeZip(dir / "names.zip", "");
    AddZip(odd);
    AddZip(longName);
    AddZip(longName); // the same path twice: two entries, in the order added
    CloseZip();
    const std::string bytes = ReadFileBytes(dir / "names.zip");
    const ParsedZip zip = ParseZip(bytes);
    ASSERT_EQ(zip.central.size(), 3u);
    const std::string mapped = dir / std::string("x\x82\x61\x20\x20\x98\x41\x20.txt");
    EXPECT_EQ(zip.local[0].name, mapped);
    EXPECT_EQ(zip.central[0].name, mapped);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(zip.local[i].name, longName);
        EXPECT_EQ(zip.central[i].name, longName);
        EXPECT_EQ(zip.central[i].nameLength, longName.size());
        EXPECT_EQ(Inflate(bytes.substr(zip.local[i].dataStart, zip.local[i].compressedSize)), "long");
    }
    EXPECT_LT(zip.central[1].headerOffset, zip.central[2].headerOffset);

    // Where the table departs from a plain code-page conversion.
    EXPECT_EQ(ZipEntryName("\xE1\xAA\xBA\xB7\xA6\xA7\xAD\xB6", ""), "\x61\x20\x20\x20\xB3\x15\xC4\xE3");
}

TEST_F(ZipArchiveTest, NamesRelativeToABaseFolder) {
    EXPECT_EQ(ZipEntryName("/home/ann/docs/a.txt", "/home/ann/"), "docs/a.txt");
    EXPECT_EQ(ZipEntryName("/home/ann/docs/a.txt", "/home/bob/x/"), "../../ann/docs/a.txt");
    // Folder names compare exactly, as the file system does.
    EXPECT_EQ(ZipEntryName("/home/Ann/a.txt", "/home/ann/"), "../Ann/a.txt");
    EXPECT_EQ(ZipEntryName("/home/ann/a.txt", "out/"), "/home/ann/a.txt");
    EXPECT_EQ(ZipEntryName("/home/ann/a.txt", ""), "/home/ann/a.txt");
}

TEST_F(ZipArchiveTest, CallsOutsideAnOpenArchiveDoNothing) {
    WriteFileBytes(dir / "a.txt", "a");
    AddZip(dir / "missing"); // nothing open: not even the source is looked at
    CloseZip();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

    MakeZip(dir / "first.zip", "");
    AddZip(dir / "a.txt");
    // A new archive abandons the open one without its directory.
    MakeZip(dir / "second.zip", "");
    AddZip(dir / "a.txt");
    CloseZip();
    const auto closedSize = std::filesystem::file_size(dir / "second.zip");
    AddZip(dir / "a.txt");
    CloseZip();
    EXPECT_EQ(std::filesystem::file_size(dir / "second.zip"), closedSize);
    EXPECT_EQ(ParseZip(ReadFileBytes(dir / "second.zip")).central.size(), 1u);
    const std::string first = ReadFileBytes(dir / "first.zip");
    EXPECT_EQ(first.find("PK\x05\x06"), std::string::npos);
}

TEST_F(ZipArchiveTest, CompressionSettingsApplyFromTheNextEntry) {
    const std::string text = TextLike(70000);
    WriteFileBytes(dir / "t.txt", text);
    MakeZip(dir / "levels.zip", "");
    AddZip(dir / "t.txt");
    SetCompression(ctStandard, 0);
    AddZip(dir / "t.txt");
    SetCompression(ctHuffmanOnly, 9);
    AddZip(dir / "t.txt");
    SetCompression(ctFiltered, 1);
    AddZip(dir / "t.txt");
    SetCompression(ctStandard, -1);
    AddZip(dir / "t.txt");
    CloseZip();
    const std::string bytes = ReadFileBytes(dir / "levels.zip");
    const ParsedZip zip = ParseZip(bytes);
    ASSERT_EQ(zip.local.size(), 5u);
    const std::string expected[] = {RawDeflate(text, 6), RawDeflate(text, 0), RawDeflate(text, 9, Z_HUFFMAN_ONLY),
                                    RawDeflate(text, 1, Z_FILTERED), RawDeflate(text, Z_DEFAULT_COMPRESSION)};
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string data = bytes.substr(zip.local[i].dataStart, zip.local[i].compressedSize);
        EXPECT_EQ(Inflate(data), text) << "entry " << i;
        // Stored blocks follow the 16 KiB input blocks, so level 0 differs from a one-pass deflate in framing.
        if (i == 1) {
            EXPECT_GT(data.size(), text.size()) << "stored, not compressed";
        } else {
            EXPECT_TRUE(data == expected[i]) << "entry " << i << " is not what zlib makes with its settings";
        }
    }
}

TEST(DosDateTime, LocalTimeWithinTheFormatsRange) {
    TempDir dir;
    WriteFileBytes(dir / "f", "");
    SetModificationTime(dir / "f", LocalMoment(2107, 12, 31, 23, 59, 59));
    EXPECT_EQ(FileDosDateTime(dir / "f"), Dos(2107, 12, 31, 23, 59, 58));
    // Before 1980 the format has no date: the earliest one stands in rather than a wrapped year.
    SetModificationTime(dir / "f", LocalMoment(1975, 3, 1, 10, 0, 0));
    EXPECT_EQ(FileDosDateTime(dir / "f"), Dos(1980, 1, 1, 0, 0, 0));
    // So do times past the year 9999 and before year 1, where the file system keeps them (tmpfs does; ext4 cuts
    // them to its own range first).
    char shm[] = "/dev/shm/corvane-test-XXXXXX";
    if (::mkdtemp(shm) != nullptr) {
        const std::string far = std::string(shm) + "/far";
        WriteFileBytes(far, "");
        for (const auto& [seconds, dos] : {std::pair{std::time_t{320'000'000'000}, Dos(2107, 12, 31, 23, 59, 58)},
                                           std::pair{std::time_t{-70'000'000'000}, Dos(1980, 1, 1, 0, 0, 0)}}) {
            SetModificationTime(far, seconds);
            if (ModificationTime(far) == seconds) {
                EXPECT_EQ(FileDosDateTime(far), dos) << seconds;
            }
        }
        std::filesystem::remove_all(shm);
    }
    EXPECT_EQ(FileDosDateTime(dir.Path()), InvalidDosDateTime);
    EXPECT_EQ(FileDosDateTime(dir / "missing"), InvalidDosDateTime);

    ASSERT_TRUE(SetFileDosDateTime(dir / "f", Dos(2024, 2, 29, 8, 7, 6)));
    EXPECT_EQ(ModificationTime(dir / "f"), LocalMoment(2024, 2, 29, 8, 7, 6));
    EXPECT_FALSE(SetFileDosDateTime(dir / "f", InvalidDosDateTime));
    EXPECT_FALSE(SetFileDosDateTime(dir / "f", Dos(2023, 2, 29, 0, 0, 0)));
}

} // namespace
