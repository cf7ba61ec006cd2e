#include "platform/Paths.h"
#include "platform/Exceptions.h"
#include "platform/StringList.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Paths, DirectoryPartKeepsTheTrailingSeparator) {
    EXPECT_EQ(ExtractFilePath("/home/ann/report.doc"), "/home/ann/");
    EXPECT_EQ(ExtractFilePath("/report.doc"), "/");
    EXPECT_EQ(ExtractFilePath("/home/ann/"), "/home/ann/");
    EXPECT_EQ(ExtractFilePath("report.doc"), "");
    EXPECT_EQ(ExtractFilePath(""), "");
    EXPECT_EQ(ExtractFileName("/home/ann/report.doc"), "report.doc");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/home"), "/home/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/"), "/");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/home/"), "/home");
    EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
    EXPECT_TRUE(IsRootPath("/"));
    EXPECT_FALSE(IsRootPath("/home/"));
}

TEST(Paths, ComparisonTellsLetterCaseApart) {
    EXPECT_TRUE(SamePath("/a/b.txt", "/a/b.txt"));
    EXPECT_FALSE(SamePath("/a/b.txt", "/a/B.TXT"));
    EXPECT_TRUE(PathStartsWith("/data/sub/x", "/data/"));
    EXPECT_FALSE(PathStartsWith("/Data/sub/x", "/data/"));
    EXPECT_FALSE(PathStartsWith("/data", ""));
}

TEST(Paths, FilesAndFoldersAsTheScanSeesThem) {
    TempDir dir;
    WriteFileBytes(dir / "file.txt", "abc");
    std::filesystem::create_directory(dir / "folder");
    std::filesystem::create_symlink(dir / "file.txt", dir / "link-to-file");
    std::filesystem::create_directory_symlink(dir / "folder", dir / "link-to-folder");
    std::filesystem::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    EXPECT_TRUE(FileExists(dir / "file.txt"));
    EXPECT_TRUE(FileExists(dir / "link-to-file"));
    EXPECT_FALSE(FileExists(dir / "folder"));
    EXPECT_FALSE(FileExists(dir / "fifo"));
    EXPECT_FALSE(FileExists(dir / "dangling"));
    EXPECT_FALSE(FileExists(""));

    EXPECT_TRUE(DirectoryExists(dir / "folder"));
    EXPECT_TRUE(DirectoryExists(dir / "folder/"));
    EXPECT_FALSE(DirectoryExists(dir / "link-to-folder"));
    EXPECT_FALSE(DirectoryExists(dir / "file.txt"));
    EXPECT_TRUE(DirectoryExists("/"));

    EXPECT_EQ(FileSizeByName(dir / "file.txt"), 3);
    EXPECT_THROW(FileSizeByName(dir / "missing"), EFOpenError);

    EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));
    EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
    EXPECT_FALSE(ForceDirectories(dir / "file.txt/sub"));
    EXPECT_TRUE(DeleteFile(dir / "file.txt"));
    EXPECT_FALSE(DeleteFile(dir / "file.txt"));
}

TEST(Paths, AttributeBits) {
    TempDir dir;
    WriteFileBytes(dir / "plain", "x");
    WriteFileBytes(dir / ".hidden", "x");
    std::filesystem::create_directory(dir / "folder");
    WriteFileBytes(dir / "readonly", "x");
    ::chmod((dir / "readonly").c_str(), 0444);

    EXPECT_EQ(GetFileAttributes(dir / "plain"), faArchive);
    EXPECT_EQ(GetFileAttributes(dir / ".hidden"), faArchive | faHidden);
    EXPECT_EQ(GetFileAttributes(dir / "folder"), faDirectory);
    EXPECT_EQ(GetFileAttributes(dir / "readonly"), faArchive | faReadOnly);
    EXPECT_EQ(GetFileAttributes(dir / "nothing"), InvalidFileAttributes);
}

TEST(Paths, ProgramDirectoryIsTheFolderOfThisTest) {
    const std::string dir = ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(FileExists(dir + "platform_tests"));
}

TEST(Paths, TemporaryFolderFromTheEnvironmentElseAPrivateOne) {
    TempDir dir;
    {
        const ScopedEnv temp("TEMP", "/var/work");
        EXPECT_EQ(GetTempDir(), "/var/work/");
    }
    {
        const ScopedEnv temp("TEMP", nullptr);
        const ScopedEnv tmpdir("TMPDIR", "/elsewhere/");
        EXPECT_EQ(GetTempDir(), "/elsewhere/");
    }

    const std::string own = dir / ("CorvaneBackUp-" + std::to_string(::getuid()));
    EXPECT_EQ(PrivateTempDir(dir.Path()), own + "/");
    EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
    // Opened to others meanwhile: closed again.
    std::filesystem::permissions(own, std::filesystem::perms::owner_all | std::filesystem::perms::group_all |
                                          std::filesystem::perms::others_all);
    EXPECT_EQ(PrivateTempDir(dir.Path()), own + "/");
    EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
    // Something that is not a folder of ours is refused, a link to one included.
    std::filesystem::remove(own);
    std::filesystem::create_directories(dir / "other");
    std::filesystem::create_directory_symlink(dir / "other", own);
    EXPECT_THROW(PrivateTempDir(dir.Path()), Exception);
    std::filesystem::remove(own);
    WriteFileBytes(own, "");
    EXPECT_THROW(PrivateTempDir(dir.Path()), Exception);
}

TEST(StringList, TextEndsEveryLineWithCrLfAndLoadsBothEndings) {
    TStringList list{"0", "/home/ann/a.txt", ""};
    EXPECT_EQ(list.Text(), "0\r\n/home/ann/a.txt\r\n\r\n");
    TempDir dir;
    list.SaveToFile(dir / "list.inf");
    EXPECT_EQ(ReadFileBytes(dir / "list.inf"), "0\r\n/home/ann/a.txt\r\n\r\n");
    TStringList back;
    back.LoadFromFile(dir / "list.inf");
    EXPECT_EQ(back.Lines(), list.Lines());

    back.SetText("a\nb\r\nc");
    EXPECT_EQ(back.Lines(), (std::vector<std::string>{"a", "b", "c"}));
    back.SetText("");
    EXPECT_TRUE(back.Empty());
    EXPECT_THROW(back.LoadFromFile(dir / "none"), EFOpenError);
}

} // namespace
