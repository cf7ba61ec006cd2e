#include "platform/Streams.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "support/Command.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
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
    // Opened if present: nothing there is no failure, something there that cannot be read is one.
    EXPECT_EQ(TFileStream::OpenIfPresent(dir / "missing"), nullptr);
    std::filesystem::create_symlink("missing", dir / "dangling");
    EXPECT_EQ(TFileStream::OpenIfPresent(dir / "dangling"), nullptr);
    EXPECT_THROW(TFileStream::OpenIfPresent(dir / "folder"), EFOpenError);
    WriteFileBytes(dir / "file", "");
    EXPECT_THROW(TFileStream::OpenIfPresent(dir / "file/inside"), EFOpenError) << "a file in place of a folder";
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

// The rules of a state file: 0600, owner and group of the file replaced, saved through a link.
const TProgramFileRules StateFile{};

void Replace(const std::string& target, const std::string& bytes, const TProgramFileRules& rules = StateFile) {
    TProgramFile file(target, rules);
    file.Stream().WriteBuffer(bytes.data(), bytes.size());
    file.Commit();
}

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(ProgramFile, ReplacesOnlyOnCommit) {
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "old");
    {
        TProgramFile file(target, StateFile);
        file.Stream().WriteBuffer("new content", 11);
        EXPECT_EQ(ReadFileBytes(target), "old");
        // No commit: the old file stays and nothing is left beside it.
    }
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    const mode_t saved = ::umask(077);
    TProgramFileRules rules;
    rules.Mode = 0644;
    Replace(target, "new content", rules);
    ::umask(saved);
    EXPECT_EQ(ReadFileBytes(target), "new content");
    EXPECT_EQ(Stat(target).st_mode & 0777, 0644u) << "the mode asked for, whatever the umask";
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
}

TEST(ProgramFile, AFailedOrKilledWriteKeepsThePreviousFile) {
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "old");
    // A full disk, as a file size limit in a child process: the write fails, its temporary file goes.
    EXPECT_EQ(RunInChild([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  rlimit limit{100000, 100000};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  try {
                      Replace(target, RandomBytes(200000, 1));
                  } catch (const EWriteError&) {
                      return 0;
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(target), "old");
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    // Killed half way: the temporary file stays behind under a name of its own, never taken for the file, until
    // the leftovers of the target are removed.
    EXPECT_EQ(RunInChild([&] {
                  TProgramFile file(target, StateFile);
                  file.Stream().WriteBuffer("half", 4);
                  ::_exit(0);
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(target), "old");
    const std::vector<std::string> left = Names(dir.Path());
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], "files.lst");
    EXPECT_EQ(ReadFileBytes(dir / left[1]), "half");
    Replace(target, "new");
    EXPECT_EQ(ReadFileBytes(target), "new");
    TProgramFile::RemoveLeftovers(target);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});

    // A folder in place of the target itself: the rename fails and the temporary file goes.
    std::filesystem::remove(target);
    std::filesystem::create_directory(target);
    WriteFileBytes(target + "/inside", "x");
    TProgramFile file(target, StateFile);
    file.Stream().WriteBuffer("abc", 3);
    EXPECT_THROW(file.Commit(), EFCreateError);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"files.lst"});
    EXPECT_EQ(ReadFileBytes(target + "/inside"), "x");
    // A folder that is not there: nothing to write into.
    EXPECT_THROW(TProgramFile(dir / "no/such/file", StateFile), EFCreateError);
}

TEST(ProgramFile, TakesOwnerGroupAndModeFromTheFileItReplacesAsItsRulesSay) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user takes root";
    }
    TempDir dir;
    const std::string target = dir / "files.lst";
    WriteFileBytes(target, "theirs");
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    // A state file: the owner's and group's, and private whatever it was.
    Replace(target, "new");
    EXPECT_EQ(Stat(target).st_uid, 65534u);
    EXPECT_EQ(Stat(target).st_gid, 65534u);
    EXPECT_EQ(Stat(target).st_mode & 07777, 0600u);

    // A restored file: the replaced file's mode too, without set-id bits; a new one as a file opened anew.
    TProgramFileRules restored;
    restored.ModeRule = TModeRule::FromReplaced;
    restored.Mode = 0666;
    restored.ThroughLinks = false;
    ASSERT_EQ(::chmod(target.c_str(), 06751), 0);
    Replace(target, "again", restored);
    EXPECT_EQ(Stat(target).st_uid, 65534u);
    EXPECT_EQ(Stat(target).st_mode & 07777, 0751u);
    const mode_t saved = ::umask(022);
    Replace(dir / "new", "", restored);
    ::umask(saved);
    EXPECT_EQ(Stat(dir / "new").st_uid, 0u);
    EXPECT_EQ(Stat(dir / "new").st_mode & 07777, 0644u);
}

TEST(ProgramFile, SavesThroughALinkOrReplacesItAsItsRulesSay) {
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    WriteFileBytes(dir / "real/tasks", "old");
    std::filesystem::create_symlink("real/tasks", dir / "files.lst");
    // Through the link: the file it names is replaced, the link stays, and the leftovers of a save are looked for
    // where the save writes them.
    Replace(dir / "files.lst", "new");
    EXPECT_TRUE(S_ISLNK(Stat(dir / "files.lst").st_mode));
    EXPECT_EQ(ReadFileBytes(dir / "real/tasks"), "new");
    WriteFileBytes(dir / "real/tasks.AbC123.tmp", "killed");
    TProgramFile::RemoveLeftovers(dir / "files.lst");
    EXPECT_EQ(Names(dir / "real"), std::vector<std::string>{"tasks"});
    // A dangling link: the file it names is made.
    std::filesystem::remove(dir / "real/tasks");
    Replace(dir / "files.lst", "made");
    EXPECT_EQ(ReadFileBytes(dir / "real/tasks"), "made");

    // Not through links: the link itself is replaced and the file it named is left alone, by path or in a folder
    // given by descriptor.
    TProgramFileRules own;
    own.ThroughLinks = false;
    Replace(dir / "files.lst", "plain", own);
    EXPECT_TRUE(S_ISREG(Stat(dir / "files.lst").st_mode));
    EXPECT_EQ(ReadFileBytes(dir / "files.lst"), "plain");
    EXPECT_EQ(ReadFileBytes(dir / "real/tasks"), "made");
    std::filesystem::create_symlink("real/tasks", dir / "restored");
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    {
        TProgramFile file(folder, "restored", StateFile);
        file.Stream().WriteBuffer("in folder", 9);
        file.Commit();
    }
    // The folder stays its opener's: open until closed there.
    EXPECT_EQ(::fcntl(folder, F_GETFD), FD_CLOEXEC);
    ::close(folder);
    EXPECT_TRUE(S_ISREG(Stat(dir / "restored").st_mode));
    EXPECT_EQ(ReadFileBytes(dir / "restored"), "in folder");
    EXPECT_EQ(ReadFileBytes(dir / "real/tasks"), "made");
}

TEST(ProgramFile, ALinkIsReadAsTheOneWhoseOwnerWasLookedAtNotByItsNameAgain) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "links of another user are made by root";
    }
    // A link of root's at the name, swapped over and over for one of another user's that names something else.
    TempDir dir;
    const std::string name = dir / "files.lst";
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        const std::string roots = dir / "roots";
        const std::string users = dir / "users";
        while (!done) {
            ::symlink("root's", roots.c_str());
            ::rename(roots.c_str(), name.c_str());
            ::symlink("user's", users.c_str());
            ::lchown(users.c_str(), 65534, 65534);
            ::rename(users.c_str(), name.c_str());
        }
    });
    int ledByTheUser = 0;
    for (int i = 0; i < 100000 && ledByTheUser == 0; ++i) {
        try {
            ledByTheUser += FollowPermittedLinks(name) == dir / "user's" ? 1 : 0;
        } catch (const ELinkError&) {
            // the user's link, seen as such
        }
    }
    done = true;
    swapper.join();
    EXPECT_EQ(ledByTheUser, 0);
}

TEST(ProgramFile, WorkFilesAreTheProgramsOwnPrivateAndGoWithTheirObject) {
    TempDir dir;
    const ScopedEnv temp("TEMP", dir.Path().c_str());
    std::string path;
    {
        const TWorkFile file("volume");
        path = file.Path();
        EXPECT_EQ(ExtractFilePath(path), dir.Path());
        EXPECT_TRUE(ExtractFileName(path).starts_with("volume-"));
        EXPECT_EQ(Stat(path).st_mode & 07777, 0600u);
        EXPECT_NE(TWorkFile("volume").Path(), path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(dir.Path());
    EXPECT_THROW(TWorkFile("volume"), Exception);
    std::filesystem::create_directories(dir.Path());
}

} // namespace
