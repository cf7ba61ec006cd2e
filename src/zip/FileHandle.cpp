#include "FileHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

FileHandle::~FileHandle() {
    Close();
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
    }
    return *this;
}

bool FileHandle::Open(const std::string& path, int flags, unsigned permissions) {
    Close();
    path_ = path;
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(permissions));
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    return true;
}

void FileHandle::Adopt(int fd, const std::string& path) {
    Close();
    path_ = path;
    fd_ = fd;
    error_ = fd < 0 ? errno : 0;
}

bool FileHandle::OpenRegularForReading(const std::string& path, struct stat* status) {
    if (!Open(path, O_RDONLY | O_NONBLOCK)) {
        return false;
    }
    struct stat own {};
    struct stat& st = status != nullptr ? *status : own;
    if (::fstat(fd_, &st) != 0) {
        const int error = errno;
        Close();
        error_ = error;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        Close();
        error_ = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        return false;
    }
    // Regular files never block; clearing the flag keeps reads plain all the same. O_NONBLOCK is the one status
    // flag the open set, so the flags need not be read first.
    ::fcntl(fd_, F_SETFL, 0);
    return true;
}

std::int64_t FileHandle::Read(void* buffer, std::size_t count) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, count);
        if (n >= 0) {
            return n;
        }
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

std::size_t FileHandle::Write(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool FileHandle::WriteAt(const void* buffer, std::size_t count, std::int64_t offset, std::size_t* written) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    bool whole = true;
    while (done < count) {
        const ssize_t n = ::pwrite(fd_, in + done, count - done, static_cast<off_t>(offset) + done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            whole = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return whole;
}

std::int64_t FileHandle::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = errno;
        return -1;
    }
    return st.st_size;
}

int FileHandle::Close() {
    if (fd_ < 0) {
        return 0;
    }
    const int fd = std::exchange(fd_, -1);
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR) {
        error_ = errno;
        return error_;
    }
    return 0;
}
