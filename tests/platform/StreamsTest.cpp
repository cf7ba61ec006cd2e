#include "platform/Streams.h"
#include "platform/Exceptions.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(MemoryStream, ReadWriteSeekAndShortReads) {
    TMemoryStream stream;
    EXPECT_EQ(stream.Write("hello", 5), 5u);
    EXPECT_EQ(stream.Position(), 5);
    EXPECT_EQ(stream.Size(), 5);
    stream.SetPosition(1);
    char buffer[8] = {};
    EXPECT_EQ(stream.Read(buffer, 8), 4u);
    EXPECT_EQ(std::string(buffer, 4), "ello");
    EXPECT_EQ(stream.Read(buffer, 8), 0u);
    stream.SetPosition(3);
    EXPECT_THROW(stream.ReadBuffer(buffer, 3), EReadError);

    // Writing past the end grows the stream; a seek beyond it reads nothing.
    stream.Seek(2, SeekOrigin::End);
    stream.Write("!", 1);
    EXPECT_EQ(stream.Size(), 8);
    EXPECT_EQ(stream.Bytes()[5], 0);
    stream.SetSize(2);
    EXPECT_EQ(stream.Position(), 2);
    EXPECT_EQ(stream.Remaining(), 0);
    EXPECT_THROW(stream.Seek(-1, SeekOrigin::Begin), EStreamError);
}

TEST(MemoryStream, LittleEndianValues) {
    TMemoryStream stream;
    stream.WriteInt32(-2);
    stream.WriteUInt16(0x1234);
    stream.WriteByte(0xAB);
    stream.WriteDouble(1.5);
    const std::vector<std::uint8_t> expected{0xFE, 0xFF, 0xFF, 0xFF, 0x34, 0x12, 0xAB, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
    EXPECT_EQ(stream.Bytes(), expected);
    stream.SetPosition(0);
    EXPECT_EQ(stream.ReadInt32(), -2);
    EXPECT_EQ(stream.ReadUInt16(), 0x1234);
    EXPECT_EQ(stream.ReadByte(), 0xAB);
    EXPECT_EQ(stream.ReadDouble(), 1.5);
    EXPECT_THROW(stream.ReadByte(), EReadError);
}

TEST(FileStream, CreateOpenReadWriteAndSize) {
    TempDir dir;
    {
        TFileStream file(dir / "data.bin", FileMode::Create);
        file.WriteBuffer("0123456789", 10);
        file.SetSize(4);
        EXPECT_EQ(file.Size(), 4);
        EXPECT_EQ(file.Position(), 4);
    }
    TFileStream file(dir / "data.bin", FileMode::OpenRead);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 16), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    file.SetPosition(0);
    TMemoryStream copy;
    copy.CopyFrom(file, 0);
    EXPECT_EQ(copy.Size(), 4);
    // Writing to a read-only stream is a short write, reported as such.
    EXPECT_THROW(file.WriteBuffer("x", 1), EWriteError);
}

TEST(FileStream, FailuresNameTheFile) {
    TempDir dir;
    std::filesystem::create_directory(dir / "folder");
    try {
        TFileStream file(dir / "missing", FileMode::OpenRead);
        FAIL();
    } catch (const EFOpenError& error) {
        EXPECT_NE(std::string(error.what()).find("Cannot open file \"" + dir / "missing" + "\""), std::string::npos);
    }
    EXPECT_THROW(TFileStream(dir / "folder", FileMode::OpenRead), EFOpenError);
    EXPECT_THROW(TFileStream(dir / "folder", FileMode::Create), EFCreateError);
    EXPECT_THROW(TFileStream(dir / "no/such/file", FileMode::Create), EFCreateError);
}

TEST(AtomicFileWriter, ReplacesOnlyOnCommit) {
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "old");
    {
        TAtomicFileWriter writer(target, 0600);
        writer.Stream().WriteBuffer("new content", 11);
        EXPECT_EQ(ReadFileBytes(target), "old");
        // No commit: the old file stays and nothing is left beside it.
    }
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));
    {
        TAtomicFileWriter writer(target, 0600);
        writer.Stream().WriteBuffer("new content", 11);
        writer.Commit();
    }
    EXPECT_EQ(ReadFileBytes(target), "new content");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));
}

TEST(AtomicFileWriter, AFailedWriteKeepsThePreviousFile) {
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "old");
    // A folder where the temporary file must go fails for root too.
    std::filesystem::create_directory(target + ".tmp");
    EXPECT_THROW(TAtomicFileWriter writer(target), EFCreateError);
    EXPECT_EQ(ReadFileBytes(target), "old");
    // A folder in place of the target itself: the rename fails and the temporary file goes.
    std::filesystem::remove(target + ".tmp");
    std::filesystem::remove(target);
    std::filesystem::create_directory(target);
    WriteFileBytes(target + "/inside", "x");
    TAtomicFileWriter writer(target);
    writer.Stream().WriteBuffer("abc", 3);
    EXPECT_THROW(writer.Commit(), EFCreateError);
    EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));
    EXPECT_EQ(ReadFileBytes(target + "/inside"), "x");
}

} // namespace
