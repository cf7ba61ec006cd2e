#pragma once

#include "core/app/UnitGo.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Progress windows that keep every bar position they are given and can act on it, as a user pressing STOP
// while a file is packed.
class RecordingSendWindow : public FakeSendWindow {
public:
    RecordingSendWindow(FakeWindowJournal& journal, int number, std::vector<int>& positions,
                        std::function<void(int)>& onProgress)
        : FakeSendWindow(journal, number), positions_(positions), onProgress_(onProgress) {}
    void SetProgress(int position) override {
        FakeSendWindow::SetProgress(position);
        positions_.push_back(position);
        if (onProgress_) {
            onProgress_(position);
        }
    }

private:
    std::vector<int>& positions_;
    std::function<void(int)>& onProgress_;
};

class RecordingCoreWindows : public FakeCoreWindows {
public:
    std::unique_ptr<ISendWindow> CreateSendWindow() override {
        return std::make_unique<RecordingSendWindow>(Journal, ++SendMade, Positions, OnProgress);
    }
    std::vector<int> Positions;
    std::function<void(int)> OnProgress;
};

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

    RecordingCoreWindows windows;
    TempDir program;
    TempDir dir;
};
