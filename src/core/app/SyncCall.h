#pragma once

#include <functional>

// Runs a piece of work on the main thread and returns once it has run; when the caller is the main thread the work
// runs at once. The worker provides it; the log uses it so that its box is only touched on the main thread.
class ISyncCall {
public:
    virtual ~ISyncCall() = default;
    virtual void SyncCall(const std::function<void()>& method) = 0;
};
