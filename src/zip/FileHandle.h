#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>

// An open file descriptor that closes itself. The archive writer needs the operating system's error number of
// every failed step (it goes into the raised error), short writes reported as such, and writes at an offset for
// completing a header in place, which is why it does not go through TFileStream.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Opens with open(2) flags; false with Error() set on failure.
    bool Open(const std::string& path, int flags, unsigned permissions = 0644);
    // Takes over a descriptor opened elsewhere (-1: none, as a failed open with errno), to close it when it goes.
    void Adopt(int fd, const std::string& path);
    // Opens an existing regular file for reading without blocking on a FIFO; anything else (a folder, a device,
    // a FIFO) is refused as EISDIR or ENXIO would be, so that a stray path can neither hang nor fail half way.
    // `status`, when given, gets what fstat says of the open file: size, time and mode of the very file read.
    bool OpenRegularForReading(const std::string& path, struct stat* status = nullptr);

    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    const std::string& Path() const { return path_; }
    // errno of the last failed operation.
    int Error() const { return error_; }

    // Up to count bytes; 0 at the end, -1 on failure.
    std::int64_t Read(void* buffer, std::size_t count);
    // Writes everything unless the system refuses; returns the bytes written.
    std::size_t Write(const void* buffer, std::size_t count);
    // Writes everything at offset unless the system refuses; `written`, when given, gets the bytes that went out.
    bool WriteAt(const void* buffer, std::size_t count, std::int64_t offset, std::size_t* written = nullptr);
    // -1 on failure.
    std::int64_t Size();
    // 0, or the errno of a failed close; the descriptor is gone either way.
    int Close();

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

// Raises EInOutError: `what` "path". and the system's text of `error`, with `error` as its code.
[[noreturn]] void RaiseInOutError(const std::string& what, const std::string& path, int error);
