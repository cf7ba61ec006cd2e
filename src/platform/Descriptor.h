#pragma once

#include <unistd.h>
#include <utility>

// An open file descriptor that is closed when its owner goes, also when a step half way fails.
class TDescriptor {
public:
    TDescriptor() = default;
    explicit TDescriptor(int fd) : fd_(fd) {}
    ~TDescriptor() { Reset(-1); }
    TDescriptor(TDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TDescriptor& operator=(TDescriptor&& other) noexcept {
        Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Hands the descriptor over to whoever closes it from now on.
    int Release() { return std::exchange(fd_, -1); }

private:
    void Reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int fd_ = -1;
};
