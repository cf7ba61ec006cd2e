#pragma once

#include "companion/UnitGo.h"

#include <QApplication>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

// The widgets need an application object; one per test process, never destroyed.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "companion_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

template <typename Predicate>
bool ProcessEventsUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

struct FakeTask {
    bool Active = true;
    TTimePeriod Period;
};

// A task list standing in for "files.lst": a reread copies `File` into the held tasks, as reading the file again
// replaces the in-memory LastRun values with the stored ones.
class FakeTasks : public companion::TTaskSource {
public:
    struct Shared {
        std::vector<FakeTask> File;
        int Reloads = 0;
        bool Destroyed = false;
    };

    explicit FakeTasks(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~FakeTasks() override { shared_->Destroyed = true; }

    void Reload() override {
        ++shared_->Reloads;
        held_ = shared_->File;
    }
    int Count() const override { return static_cast<int>(held_.size()); }
    bool IsActive(int index) const override { return held_.at(static_cast<std::size_t>(index)).Active; }
    TTimePeriod& Period(int index) override { return held_.at(static_cast<std::size_t>(index)).Period; }

private:
    std::shared_ptr<Shared> shared_;
    std::vector<FakeTask> held_;
};
