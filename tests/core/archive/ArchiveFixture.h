#pragma once

#include "core/app/UnitGo.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// An application object over a temporary program folder, with fake windows, for the units that log and read the
// run's state through it. `dir` is free for the test's own files.
class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetGlobalObjectOptions({&windows, program.Path()});
        GetGlobalObject();
    }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
    }

    // The messages logged since the object was made ("Program Started." is not among them: there was no log file).
    static std::vector<std::string> Logged() {
        std::vector<std::string> messages;
        for (const TLogMessage& line : GetGlobalObject()->Log->Lines()) {
            messages.push_back(line.Message);
        }
        return messages;
    }

    FakeCoreWindows windows;
    TempDir program;
    TempDir dir;
};
