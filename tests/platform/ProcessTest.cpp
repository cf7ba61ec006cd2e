#include "platform/Process.h"
#include "platform/TerminationSignals.h"
#include "support/EventLoop.h"
#include "support/ProgramRecorder.h"
#include "support/TempDir.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

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

TEST(TerminationSignals, ASignalIsSeenAtOnceAndItsHandlerNeitherBlocksNorChangesErrno) {
    // In a process of its own: the signals stay taken over, and the request stays, for the rest of its life.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto signalled = [] {
        EnsureCoreApplication();
        int calls = 0;
        OnTerminationSignal([&] { ++calls; });
        if (TerminationRequested()) {
            ::_exit(2);
        }
        // Far more signals than the event loop's pipe holds before anyone reads it; a handler that waited for room
        // would hold this process until the alarm ends it.
        ::alarm(20);
        for (int i = 0; i < 20000; ++i) {
            errno = EDOM;
            ::raise(i % 2 == 0 ? SIGTERM : SIGHUP);
            if (errno != EDOM) {
                ::_exit(3);
            }
            if (!TerminationRequested()) {
                ::_exit(4); // seen before the event loop ran
            }
        }
        QCoreApplication::processEvents();
        ::_exit(calls >= 1 ? 0 : 5);
    };
    EXPECT_EXIT(signalled(), ::testing::ExitedWithCode(0), "");
}

} // namespace
