#include "platform/Autostart.h"
#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CONFIG_HOME", (config_.Path() + "config").c_str(), 1);
        ::setenv("HOME", home_.Path().c_str(), 1);
    }
    std::string Entry() const { return config_.Path() + "config/autostart/Ploverly.desktop"; }

    TempDir config_;
    TempDir home_;
};

TEST_F(Autostart, EntryStartsTheQuotedPathWithTheArgumentAndIsRewrittenEachTime) {
    EXPECT_EQ(AutostartFolder(), config_.Path() + "config/autostart/");
    // The folder is made when missing.
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/opt/backup tools/Ploverly", "autorun"));
    EXPECT_EQ(ReadFileBytes(Entry()), "[Desktop Entry]\n"
                                      "Type=Application\n"
                                      "Name=Ploverly\n"
                                      "Exec=\"/opt/backup tools/Ploverly\" autorun\n"
                                      "Terminal=false\n");

    // Started from another place the next time: the entry follows it, and nothing else is left in the folder.
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/home/ann/Ploverly", "autorun"));
    EXPECT_NE(ReadFileBytes(Entry()).find("Exec=\"/home/ann/Ploverly\" autorun\n"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(AutostartFolder()), {}), 1);

    ASSERT_TRUE(RemoveAutostartEntry("Ploverly"));
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_TRUE(RemoveAutostartEntry("Ploverly")) << "removing what is not there is no failure";
}

TEST_F(Autostart, CharactersThatAnExecLineTreatsSpeciallyAreEscaped) {
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/tmp/a\"b$c`d\\e%f", "autorun"));
    // Quote rule first ('"', '$', '`', '\' take a backslash), then the value rule doubles every backslash;
    // '%' is doubled so that it is not a field code.
    EXPECT_NE(ReadFileBytes(Entry()).find("Exec=\"/tmp/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f\" autorun\n"),
              std::string::npos);
    // An argument that is not a plain word is quoted too.
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/p", "two words"));
    EXPECT_NE(ReadFileBytes(Entry()).find("Exec=\"/p\" \"two words\"\n"), std::string::npos);
}

TEST_F(Autostart, EntryThatCannotBeWrittenFailsAndLeavesNothingHalfDone) {
    // A line break in the path would add lines of its own to the entry.
    EXPECT_FALSE(WriteAutostartEntry("Ploverly", "/tmp/x\nHidden=true", "autorun"));
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_FALSE(WriteAutostartEntry("../Ploverly", "/tmp/x", "autorun"));

    // A file where the autostart folder belongs.
    WriteFileBytes(config_.Path() + "config", "");
    EXPECT_FALSE(WriteAutostartEntry("Ploverly", "/tmp/x", "autorun"));
    std::filesystem::remove(config_.Path() + "config");

    // A folder where the entry belongs: the old content is kept, no temporary file stays.
    std::filesystem::create_directories(Entry());
    EXPECT_FALSE(WriteAutostartEntry("Ploverly", "/tmp/x", "autorun"));
    EXPECT_FALSE(RemoveAutostartEntry("Ploverly"));
    EXPECT_TRUE(std::filesystem::is_directory(Entry()));
    EXPECT_FALSE(std::filesystem::exists(Entry() + ".tmp"));
}

TEST_F(Autostart, WithoutAnAbsoluteConfigFolderTheHomeFolderServes) {
    for (const char* value : {"relative/config", ""}) {
        ::setenv("XDG_CONFIG_HOME", value, 1);
        EXPECT_EQ(AutostartFolder(), home_.Path() + ".config/autostart/");
    }
    ::unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/x/Ploverly", "autorun"));
    EXPECT_TRUE(std::filesystem::exists(home_.Path() + ".config/autostart/Ploverly.desktop"));
    ::unsetenv("HOME");
    EXPECT_EQ(AutostartFolder(), "");
    EXPECT_FALSE(WriteAutostartEntry("Ploverly", "/x/Ploverly", "autorun"));
}

TEST_F(Autostart, AStartAsRootWithAUsersHomeMakesTheUsersFoldersAndFollowsNoLinkOfTheUsers) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a start as root";
    }
    ::unsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(::chown(home_.Path().c_str(), 65534, 65534), 0);
    // The folders made for the entry, and the entry, are the user's: the user can still add to ~/.config.
    ASSERT_TRUE(WriteAutostartEntry("Ploverly", "/x/Ploverly", "autorun"));
    for (const std::string name : {".config", ".config/autostart", ".config/autostart/Ploverly.desktop"}) {
        struct stat st {};
        ASSERT_EQ(::lstat((home_.Path() + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, 65534u) << name;
        EXPECT_EQ(st.st_gid, 65534u) << name;
    }

    // The user's link in place of either folder, to a folder of root's: nothing is written there.
    const TempDir roots;
    std::filesystem::remove_all(home_.Path() + ".config");
    for (const std::string& link : {home_.Path() + ".config", home_.Path() + ".config/autostart"}) {
        std::filesystem::create_directory_symlink(roots.Path(), link);
        ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(WriteAutostartEntry("Ploverly", "/x/Ploverly", "autorun")) << link;
        EXPECT_TRUE(std::filesystem::is_empty(roots.Path())) << link;
        std::filesystem::remove(link);
        std::filesystem::create_directory(home_.Path() + ".config");
    }
    // A link of root's own is followed.
    std::filesystem::create_directory_symlink(roots.Path(), home_.Path() + ".config/autostart");
    EXPECT_TRUE(WriteAutostartEntry("Ploverly", "/x/Ploverly", "autorun"));
    EXPECT_TRUE(std::filesystem::exists(roots.Path() + "Ploverly.desktop"));
}

} // namespace
