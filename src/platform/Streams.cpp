#include "Streams.h"

#include "Exceptions.h"
#include "Paths.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

std::int64_t TStream::Size() {
    const std::int64_t here = Position();
    const std::int64_t end = Seek(0, SeekOrigin::End);
    Seek(here, SeekOrigin::Begin);
    return end;
}

std::int64_t TStream::Remaining() {
    return std::max<std::int64_t>(0, Size() - Position());
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    if (count != 0 && Read(buffer, count) != count) {
        const std::string detail = LastErrorText();
        throw EReadError(detail.empty() ? "Stream read error" : "Stream read error: " + detail);
    }
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
    if (count != 0 && Write(buffer, count) != count) {
        const std::string detail = LastErrorText();
        throw EWriteError(detail.empty() ? "Stream write error" : "Stream write error: " + detail);
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        count = source.Remaining();
    }
    std::array<std::uint8_t, 64 * 1024> buffer{};
    std::int64_t left = count;
    while (left > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(left, buffer.size()));
        source.ReadBuffer(buffer.data(), piece);
        WriteBuffer(buffer.data(), piece);
        left -= static_cast<std::int64_t>(piece);
    }
    return count;
}

std::uint8_t TStream::ReadByte() {
    std::uint8_t b = 0;
    ReadBuffer(&b, 1);
    return b;
}

std::uint16_t TStream::ReadUInt16() {
    std::uint8_t b[2];
    ReadBuffer(b, 2);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t TStream::ReadUInt32() {
    std::uint8_t b[4];
    ReadBuffer(b, 4);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::int32_t TStream::ReadInt32() {
    return static_cast<std::int32_t>(ReadUInt32());
}

double TStream::ReadDouble() {
    std::uint8_t b[8];
    ReadBuffer(b, 8);
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) {
        bits = (bits << 8) | b[i];
    }
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void TStream::WriteByte(std::uint8_t value) {
    WriteBuffer(&value, 1);
}

void TStream::WriteUInt16(std::uint16_t value) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    WriteBuffer(b, 2);
}

void TStream::WriteUInt32(std::uint32_t value) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    WriteBuffer(b, 4);
}

void TStream::WriteInt32(std::int32_t value) {
    WriteUInt32(static_cast<std::uint32_t>(value));
}

void TStream::WriteDouble(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    WriteBuffer(b, 8);
}

// --- TMemoryStream ---

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    if (position_ >= data_.size()) {
        return 0;
    }
    const std::size_t n = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    if (position_ + count > data_.size()) {
        data_.resize(position_ + count);
    }
    std::memcpy(data_.data() + position_, buffer, count);
    position_ += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) {
        base = static_cast<std::int64_t>(position_);
    } else if (origin == SeekOrigin::End) {
        base = static_cast<std::int64_t>(data_.size());
    }
    const std::int64_t target = base + offset;
    if (target < 0) {
        throw EStreamError("Stream seek before the beginning");
    }
    position_ = static_cast<std::size_t>(target);
    return target;
}

void TMemoryStream::SetSize(std::int64_t size) {
    if (size < 0) {
        throw EStreamError("Negative stream size");
    }
    data_.resize(static_cast<std::size_t>(size));
    position_ = std::min(position_, data_.size());
}

void TMemoryStream::Clear() {
    data_.clear();
    position_ = 0;
}

std::vector<std::uint8_t> TMemoryStream::TakeBytes() {
    position_ = 0;
    return std::exchange(data_, {});
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream file(path, FileMode::OpenRead);
    Clear();
    data_.resize(static_cast<std::size_t>(file.Size()));
    file.ReadBuffer(data_.data(), data_.size());
}

void TMemoryStream::SaveToFile(const std::string& path) {
    TFileStream file(path, FileMode::Create);
    file.WriteBuffer(data_.data(), data_.size());
}

// --- TFileStream ---

namespace {

// A descriptor of the file, or -1 with errno set. A folder opens read-only without complaint; as a file stream it
// is a failure like any other.
int OpenFile(const std::string& path, int flags, unsigned permissions) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, permissions);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

std::string OpenErrorText(const std::string& path, int error) {
    return "Cannot open file \"" + path + "\". " + std::strerror(error);
}

} // namespace

TFileStream::TFileStream(const std::string& path, FileMode mode, unsigned permissions) : path_(path) {
    int flags = 0;
    switch (mode) {
    case FileMode::Create:
        flags = O_RDWR | O_CREAT | O_TRUNC;
        break;
    case FileMode::OpenRead:
        flags = O_RDONLY;
        break;
    case FileMode::OpenWrite:
        flags = O_WRONLY;
        break;
    case FileMode::OpenReadWrite:
        flags = O_RDWR;
        break;
    }
    fd_ = OpenFile(path, flags, permissions);
    if (fd_ < 0) {
        const int error = errno;
        if (mode == FileMode::Create) {
            throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(error));
        }
        throw EFOpenError(OpenErrorText(path, error));
    }
}

std::unique_ptr<TFileStream> TFileStream::OpenIfPresent(const std::string& path) {
    std::string file;
    try {
        file = FollowPermittedLinks(path);
    } catch (const ELinkError& error) {
        throw EFOpenError("Cannot open file \"" + path + "\". " + error.what());
    }
    // Without waiting: a FIFO or a device at the name must not hold the program in open(). Not through a link
    // either: one put there since the links were looked at has not been allowed.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return nullptr;
        }
        throw EFOpenError(OpenErrorText(path, error));
    }
    auto stream = std::unique_ptr<TFileStream>(new TFileStream(fd, path, true));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw EFOpenError(OpenErrorText(path, errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw EFOpenError(OpenErrorText(path, EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EFOpenError("Cannot open file \"" + path + "\". It is no regular file");
    }
    return stream;
}

TFileStream::TFileStream(int fd, const std::string& path) : TFileStream(fd, path, false) {}

TFileStream::~TFileStream() {
    if (fd_ >= 0 && ownsFd_) {
        ::close(fd_);
    }
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            lastErrno_ = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            lastErrno_ = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (result < 0) {
        throw EStreamError("Cannot seek in \"" + path_ + "\". " + std::strerror(errno));
    }
    return result;
}

std::int64_t TFileStream::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        throw EStreamError("Cannot read the size of \"" + path_ + "\". " + std::strerror(errno));
    }
    return st.st_size;
}

void TFileStream::SetSize(std::int64_t size) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
        throw EStreamError("Cannot set the size of \"" + path_ + "\". " + std::strerror(errno));
    }
    if (Position() > size) {
        SetPosition(size);
    }
}

void TFileStream::Flush() {
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        throw EWriteError("Cannot write \"" + path_ + "\" to disk. " + std::strerror(errno));
    }
}

std::string TFileStream::LastErrorText() const {
    return lastErrno_ != 0 ? std::strerror(lastErrno_) : std::string();
}

// --- TBufferedReader ---

TBufferedReader::TBufferedReader(TStream& source, std::size_t bufferSize)
    : source_(source), size_(source.Size()), buffer_(std::max<std::size_t>(bufferSize, 1)),
      position_(source.Position()) {}

std::size_t TBufferedReader::Read(void* buffer, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        if (begin_ == end_) {
            // A large piece goes straight through; a small one is read ahead.
            if (count - done >= buffer_.size()) {
                const std::size_t n = source_.Read(out + done, count - done);
                done += n;
                position_ += static_cast<std::int64_t>(n);
                break;
            }
            begin_ = 0;
            end_ = source_.Read(buffer_.data(), buffer_.size());
            if (end_ == 0) {
                break;
            }
        }
        const std::size_t n = std::min(count - done, end_ - begin_);
        std::memcpy(out + done, buffer_.data() + begin_, n);
        begin_ += n;
        done += n;
        position_ += static_cast<std::int64_t>(n);
    }
    return done;
}

std::size_t TBufferedReader::Write(const void*, std::size_t) {
    return 0;
}

std::int64_t TBufferedReader::Seek(std::int64_t offset, SeekOrigin origin) {
    if (origin == SeekOrigin::Current && offset == 0) {
        return position_;
    }
    const std::int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : Size();
    position_ = source_.Seek(base + offset, SeekOrigin::Begin);
    begin_ = end_ = 0;
    return position_;
}

void TBufferedReader::SetSize(std::int64_t) {
    throw EStreamError("The stream is read only");
}
