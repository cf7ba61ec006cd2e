#include "platform/Streams.h"
#include "platform/Exceptions.h"
#include "support/Command.h"
#include "support/TempDir.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

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

// The names in a folder, sorted.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
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
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    const mode_t saved = ::umask(077);
    {
        TAtomicFileWriter writer(target, 0644);
        writer.Stream().WriteBuffer("new content", 11);
        writer.Commit();
    }
    ::umask(saved);
    EXPECT_EQ(ReadFileBytes(target), "new content");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "the mode asked for, whatever the umask";
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
}

TEST(AtomicFileWriter, AFailedOrKilledWriteKeepsThePreviousFile) {
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "old");
    // A full disk, as a file size limit in a child process: the write fails, its temporary file goes.
    EXPECT_EQ(RunInChild([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  rlimit limit{100000, 100000};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  try {
                      TAtomicFileWriter writer(target);
                      const std::string big = RandomBytes(200000, 1);
                      writer.Stream().WriteBuffer(big.data(), big.size());
                      writer.Commit();
                  } catch (const EWriteError&) {
                      return 0;
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    // Killed half way: the temporary file stays behind, under a name of its own, and is never taken for the file.
    EXPECT_EQ(RunInChild([&] {
                  TAtomicFileWriter writer(target);
                  writer.Stream().WriteBuffer("half", 4);
                  ::_exit(0);
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(target), "old");
    const std::vector<std::string> left = Names(dir.Path());
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], "files.lst");
    EXPECT_EQ(ReadFileBytes(dir / left[1]), "half");
    {
        TAtomicFileWriter writer(target);
        writer.Stream().WriteBuffer("new", 3);
        writer.Commit();
    }
    EXPECT_EQ(ReadFileBytes(target), "new");
    EXPECT_EQ(ReadFileBytes(dir / left[1]), "half");
    std::filesystem::remove(dir / left[1]);

    // A folder in place of the target itself: the rename fails and the temporary file goes.
    std::filesystem::remove(target);
    std::filesystem::create_directory(target);
    WriteFileBytes(target + "/inside", "x");
    TAtomicFileWriter writer(target);
    writer.Stream().WriteBuffer("abc", 3);
    EXPECT_THROW(writer.Commit(), EFCreateError);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    EXPECT_EQ(ReadFileBytes(target + "/inside"), "x");
    // A folder that is not there: nothing to write into.
    EXPECT_THROW(TAtomicFileWriter(dir / "no/such/file"), EFCreateError);
}

} // namespace
