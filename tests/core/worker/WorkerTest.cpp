#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"

#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

class Worker : public ::testing::Test {
protected:
    void SetUp() override { EnsureCoreApplication(); }

    std::atomic<bool> busy{false};
    std::vector<std::string> ran;
    std::thread::id mainThread = std::this_thread::get_id();
    bool ranOffMainThread = false;

    TPool::JobRunner Recorder() {
        return [this](TGroup& task) {
            ranOffMainThread = ranOffMainThread || std::this_thread::get_id() != mainThread;
            ran.push_back(task.Name);
        };
    }
};

TEST_F(Worker, JobsRunOnTheMainThreadOneAfterAnotherInQueueOrder) {
    TGroup a;
    TGroup b;
    a.SetName("a");
    b.SetName("b");
    TPool pool(busy, Recorder());
    pool.AddJob(&a, 1);
    pool.AddJob(&b, 1);
    pool.AddJob(&a, 0); // the same task again runs again
    ASSERT_TRUE(PumpUntil([&] { return ran.size() == 3; }, 10s));
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_FALSE(ranOffMainThread);
    EXPECT_TRUE(PumpUntil([&] { return pool.QueuedJobs() == 0; }, 3s));
}

TEST_F(Worker, BusyHoldsJobsBackUntilItClears) {
    TGroup a;
    TPool pool(busy, Recorder());
    busy = true;
    pool.AddJob(&a, 1);
    PumpFor(2500ms);
    EXPECT_TRUE(ran.empty());
    busy = false;
    EXPECT_TRUE(PumpUntil([&] { return ran.size() == 1; }, 5s));
}

TEST_F(Worker, SyncCallRunsOnTheMainThread) {
    TPool pool(busy, Recorder());
    bool direct = false;
    pool.SyncCall([&] { direct = true; });
    EXPECT_TRUE(direct); // from the main thread: at once

    std::thread::id ranOn;
    std::atomic<bool> done{false};
    std::thread other([&] {
        pool.SyncCall([&] { ranOn = std::this_thread::get_id(); });
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 5s));
    other.join();
    EXPECT_EQ(ranOn, mainThread);

    // A failure of the call reaches the caller on its own thread.
    std::atomic<bool> caught{false};
    std::thread failing([&] {
        try {
            pool.SyncCall([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    EXPECT_TRUE(PumpUntil([&] { return caught.load(); }, 5s));
    failing.join();
}

TEST_F(Worker, AFailingJobDoesNotStopTheWorker) {
    TGroup a;
    TGroup b;
    b.SetName("b");
    int calls = 0;
    TPool pool(busy, [&](TGroup& task) {
        ++calls;
        if (&task == &a) {
            throw std::runtime_error("run failed");
        }
        ran.push_back(task.Name);
    });
    pool.AddJob(&a, 1);
    pool.AddJob(&b, 1);
    EXPECT_TRUE(PumpUntil([&] { return ran.size() == 1; }, 10s));
    EXPECT_EQ(calls, 2);
}

TEST_F(Worker, DestructionFinishesTheTakenJobAndDropsTheRest) {
    TGroup a;
    TGroup b;
    a.SetName("a");
    b.SetName("b");
    std::atomic<bool> started{false};
    auto pool = std::make_unique<TPool>(busy, [&](TGroup& task) {
        started = true;
        // A run pumps messages while it works; the destructor must keep serving the worker meanwhile.
        std::this_thread::sleep_for(300ms);
        ran.push_back(task.Name);
    });
    pool->AddJob(&a, 1);
    pool->AddJob(&b, 1);
    ASSERT_TRUE(PumpUntil([&] { return started.load(); }, 5s));
    pool.reset();
    EXPECT_EQ(ran, (std::vector<std::string>{"a"}));
    // Nothing of the old queue runs afterwards.
    PumpFor(1500ms);
    EXPECT_EQ(ran.size(), 1u);
}

TEST_F(Worker, AJobServedByTheDestructorLeavesNoWakeUpBehind) {
    TGroup a;
    a.SetName("a");
    auto pool = std::make_unique<TPool>(busy, Recorder());
    pool->AddJob(&a, 1);
    // The worker takes the job and hands it over while the main thread runs no event loop; the program then
    // closes, and the destructor runs the job itself.
    std::this_thread::sleep_for(1500ms);
    pool.reset();
    EXPECT_EQ(ran, std::vector<std::string>{"a"});
    // The event loop runs on after the worker has gone: the wake-up posted for that call must not reach it.
    PumpFor(200ms);
    EXPECT_EQ(ran.size(), 1u);
}

} // namespace
