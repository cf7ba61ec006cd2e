#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class SeekOrigin { Begin, Current, End };

// A byte stream with a position. Read and Write move as many bytes as they can and say how many; a short count
// is not an error by itself. ReadBuffer and WriteBuffer demand the whole count and raise EReadError/EWriteError.
class TStream {
public:
    virtual ~TStream() = default;

    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual void SetSize(std::int64_t size) = 0;
    virtual std::int64_t Size();

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Begin); }
    // Bytes between the position and the end; never negative.
    std::int64_t Remaining();

    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);

    // Copies count bytes from source's position (all remaining bytes when count is 0) through a fixed buffer.
    std::int64_t CopyFrom(TStream& source, std::int64_t count);

    // Little-endian values as every stored record of the system holds them.
    std::uint8_t ReadByte();
    std::int32_t ReadInt32();
    std::uint32_t ReadUInt32();
    std::uint16_t ReadUInt16();
    double ReadDouble();
    void WriteByte(std::uint8_t value);
    void WriteInt32(std::int32_t value);
    void WriteUInt32(std::uint32_t value);
    void WriteUInt16(std::uint16_t value);
    void WriteDouble(double value);

protected:
    // Text of the last operating-system failure, added to the messages of short reads and writes.
    virtual std::string LastErrorText() const { return {}; }
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }

    void Clear();
    const std::vector<std::uint8_t>& Bytes() const { return data_; }
    std::vector<std::uint8_t> TakeBytes();
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);

private:
    std::vector<std::uint8_t> data_;
    std::size_t position_ = 0;
};

enum class FileMode {
    Create,    // create or empty, then read and write
    OpenRead,  // existing file, read only
    OpenWrite, // existing file, write only
    OpenReadWrite,
};

// A file on disk, read and written straight through the operating system (no buffer of its own).
class TFileStream : public TStream {
public:
    // `permissions` applies when the file is created.
    TFileStream(const std::string& path, FileMode mode, unsigned permissions = 0644);
    // The regular file at `path` opened to read, or null when there is no such file (a dangling link counts as
    // none). Only links that MayFollowLink allows are followed, and the open never waits. Raises EFOpenError, naming
    // the file and the reason, when something is there that cannot be read: a file the user may not read, a folder,
    // a FIFO or a device, a loop of links, a link of another user's.
    static std::unique_ptr<TFileStream> OpenIfPresent(const std::string& path);
    // Over a descriptor opened elsewhere; it stays open when the stream goes, its opener closes it.
    TFileStream(int fd, const std::string& path);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override;

    // Forces the written bytes to the disk; raises EWriteError when the system refuses.
    void Flush();
    const std::string& FileName() const { return path_; }
    int Handle() const { return fd_; }
    // The system's error number of the last read or write that failed, 0 when none did: it tells a file that
    // cannot be read from one that ends early.
    int LastError() const { return lastErrno_; }

protected:
    std::string LastErrorText() const override;

private:
    TFileStream(int fd, const std::string& path, bool ownsFd) : path_(path), fd_(fd), ownsFd_(ownsFd) {}

    std::string path_;
    int fd_ = -1;
    bool ownsFd_ = true;
    int lastErrno_ = 0;
};

// Reads another stream through a buffer of its own, for readers that take a file apart in many small pieces (a
// length, a short text). Read only: nothing can be written. Size is the source's when the reader was made, so a
// length read from the data is checked against what the file really holds without asking the system each time;
// a source that shrinks meanwhile gives short reads.
class TBufferedReader : public TStream {
public:
    explicit TBufferedReader(TStream& source, std::size_t bufferSize = 64 * 1024);

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;
    std::int64_t Size() override { return size_; }

private:
    TStream& source_;
    std::int64_t size_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0; // next unread byte of the buffer
    std::size_t end_ = 0;   // bytes in the buffer
    std::int64_t position_ = 0;
};
