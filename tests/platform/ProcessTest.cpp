#include "platform/Process.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>

namespace {

using namespace std::chrono_literals;

TEST(StartProgram, ProgramGetsItsArgumentsVerbatimAndStartsInTheFolderGiven) {
    TempDir dir;
    const std::string program = dir / "CorvaneBackUp";
    const std::string record = dir / "record.txt";
    WriteRecordingProgram(program, record);
    std::filesystem::create_directory(dir / "work folder");

    ASSERT_TRUE(StartProgram(program, {"run"}, dir.Path()));
    // No shell between: blanks, quotes and an empty argument arrive as they were given.
    ASSERT_TRUE(StartProgram(program, {"two words", "\"quoted\" $HOME", ""}, dir / "work folder"));

    const auto lines = WaitForRecordLines(record, 2);
    const std::set<std::string> starts(lines.begin(), lines.end());
    const std::set<std::string> expected{std::filesystem::path(dir.Path()).parent_path().string() + "|run",
                                         (dir / "work folder") + "|two words|\"quoted\" $HOME|"};
    EXPECT_EQ(starts, expected);
}

TEST(StartProgram, MissingProgramOrFolderIsReported) {
    TempDir dir;
    const std::string program = dir / "CorvaneBackUp";
    WriteRecordingProgram(program, dir / "record.txt");
    EXPECT_FALSE(StartProgram(dir / "missing", {"run"}, dir.Path()));
    EXPECT_FALSE(StartProgram(program, {"run"}, dir / "no such folder"));
    // A folder in place of the program.
    EXPECT_FALSE(StartProgram(dir.Path(), {}, dir.Path()));
    EXPECT_TRUE(WaitForRecordLines(dir / "record.txt", 1, 300ms).empty());
}

} // namespace
