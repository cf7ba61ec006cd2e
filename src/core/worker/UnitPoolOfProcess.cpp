#include "UnitPoolOfProcess.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <chrono>
#include <exception>

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(1000);
} // namespace

// A call from the worker waiting for the main thread.
struct TPool::PendingCall {
    const std::function<void()>* method = nullptr;
    std::exception_ptr error;
    bool done = false;
    std::condition_variable finished;
};

TPool::TPool(const std::atomic<bool>& busy, JobRunner runJob)
    : busy_(busy), runJob_(std::move(runJob)), mainThread_(std::this_thread::get_id()),
      wakeTarget_(std::make_unique<QObject>()) {
    // Everything the thread reads exists before it starts.
    thread_ = std::thread(&TPool::Execute, this);
}

TPool::~TPool() {
    {
        std::lock_guard lock(wakeMutex_);
        terminated_ = true;
    }
    wake_.notify_all();
    // The worker may be waiting for the main thread with a job it had already taken; serve it until it ends.
    while (!finished_) {
        RunPendingCalls();
        std::unique_lock lock(wakeMutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(5));
    }
    thread_.join();
}

void TPool::AddJob(TGroup* task, std::int32_t kind) {
    auto job = std::make_unique<TExeTask>();
    job->Task = task;
    job->Kind = kind;
    std::lock_guard lock(jobsMutex_);
    jobs_.push_back(std::move(job));
}

void TPool::RemoveJobs(const TGroup* task) {
    std::lock_guard lock(jobsMutex_);
    std::erase_if(jobs_, [&](const std::unique_ptr<TExeTask>& job) {
        if (job->Task != task) {
            return false;
        }
        if (job.get() == current_) {
            job->Task = nullptr;
            return false;
        }
        return true;
    });
}

std::size_t TPool::QueuedJobs() const {
    std::lock_guard lock(jobsMutex_);
    return jobs_.size();
}

void TPool::SyncCall(const std::function<void()>& method) {
    if (OnMainThread()) {
        method();
        return;
    }
    PendingCall call;
    call.method = &method;
    {
        std::lock_guard lock(callsMutex_);
        calls_.push_back(&call);
    }
    // Wake the main thread's event loop; the destructor serves the queue itself. Posted to an object of this
    // worker, so that a wake-up still pending when the worker goes (its call served by the destructor) is dropped
    // with it instead of reaching a worker that no longer exists.
    if (QCoreApplication::instance() != nullptr) {
        QMetaObject::invokeMethod(
            wakeTarget_.get(), [this] { RunPendingCalls(); }, Qt::QueuedConnection);
    }
    wake_.notify_all();
    std::unique_lock lock(callsMutex_);
    call.finished.wait(lock, [&call] { return call.done; });
    if (call.error) {
        std::rethrow_exception(call.error);
    }
}

void TPool::RunPendingCalls() {
    for (;;) {
        PendingCall* call = nullptr;
        {
            std::lock_guard lock(callsMutex_);
            if (calls_.empty()) {
                return;
            }
            call = calls_.front();
            calls_.pop_front();
        }
        std::exception_ptr error;
        try {
            (*call->method)();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(callsMutex_);
        call->error = error;
        call->done = true;
        call->finished.notify_all();
    }
}

void TPool::RunJob() {
    if (current_ != nullptr && current_->Task != nullptr) {
        runJob_(*current_->Task);
    }
}

void TPool::Execute() {
    for (;;) {
        {
            std::unique_lock lock(wakeMutex_);
            wake_.wait_for(lock, kPollInterval, [this] { return terminated_.load(); });
        }
        if (terminated_) {
            break;
        }
        {
            std::lock_guard lock(jobsMutex_);
            if (jobs_.empty() || busy_) {
                continue;
            }
            current_ = jobs_.front().get();
        }
        bool ran = false;
        try {
            SyncCall([this, &ran] {
                // The main thread may have become busy since the worker looked (a wait window, a restore) and be
                // pumping events inside that operation now: the job must not start in the middle of it.
                if (busy_) {
                    return;
                }
                ran = true;
                RunJob();
            });
        } catch (...) {
            // The run handles its own failures; whatever still escapes must not end the worker.
        }
        std::lock_guard lock(jobsMutex_);
        if (ran) {
            jobs_.pop_front();
        }
        current_ = nullptr;
    }
    finished_ = true;
    wake_.notify_all();
}
