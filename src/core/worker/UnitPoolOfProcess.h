#pragma once

#include "core/app/SyncCall.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QObject;
class TGroup;

// One queued job: a task to run. The kind (0 by hand, 1 by the schedule) and the text are kept, never read.
struct TExeTask {
    TGroup* Task = nullptr; // not owned
    std::int32_t Kind = 0;
    std::string Text;
};

// The worker: a thread that wakes once a second and, unless the application is busy, hands the oldest job to the
// main thread, where it runs while the worker waits; jobs therefore run one at a time, in the order queued. A job
// that finds the application busy once it reaches the main thread is not run and stays first in the queue.
// Made and destroyed on the main thread, which must run a Qt event loop (or call RunPendingCalls) for the handed
// over work to run.
class TPool : public ISyncCall {
public:
    using JobRunner = std::function<void(TGroup&)>;

    // `busy` is read once per pass of the worker; `runJob` is a job's work on the main thread.
    TPool(const std::atomic<bool>& busy, JobRunner runJob);
    // Asks the thread to end and waits for it: a job already taken runs to its end first, meanwhile the main
    // thread keeps serving the worker's calls. Jobs still queued are dropped unrun.
    ~TPool() override;
    TPool(const TPool&) = delete;
    TPool& operator=(const TPool&) = delete;

    // Main thread: appends a job.
    void AddJob(TGroup* task, std::int32_t kind);
    // Main thread, before the task is destroyed: no job of it runs any more. Its queued jobs go; one that the
    // worker has taken but not yet run stays first in the queue, emptied, until the worker removes it.
    void RemoveJobs(const TGroup* task);
    // Runs `method` on the main thread and returns once it has run; at once when called on the main thread.
    void SyncCall(const std::function<void()>& method) override;
    // The main-thread part of the current job.
    void RunJob();
    // Runs the calls that the worker is waiting for; the event loop does this by itself.
    void RunPendingCalls();

    std::size_t QueuedJobs() const;

private:
    void Execute();
    bool OnMainThread() const { return std::this_thread::get_id() == mainThread_; }

    struct PendingCall;

    const std::atomic<bool>& busy_;
    JobRunner runJob_;
    std::thread::id mainThread_;

    // Guards the queue only; never held while a job runs.
    mutable std::mutex jobsMutex_;
    std::deque<std::unique_ptr<TExeTask>> jobs_;
    TExeTask* current_ = nullptr;

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};

    std::mutex callsMutex_;
    std::deque<PendingCall*> calls_;
    // Receives the wake-ups posted to the main thread's event loop; those still pending go with it.
    std::unique_ptr<QObject> wakeTarget_;

    std::thread thread_;
};
