#include "ZipTestTools.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace {

std::uint16_t U16(const std::string& b, std::int64_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}

std::uint32_t U32(const std::string& b, std::int64_t at) {
    return U16(b, at) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}

} // namespace

CommandResult RunProgram(const std::vector<std::string>& argv, int timeoutSeconds) {
    CommandResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buffer[65536];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    result.exitCode = WaitBounded(pid, deadline);
    return result;
}

namespace {

std::uint64_t U64(const std::string& b, std::int64_t at) {
    return U32(b, at) | (static_cast<std::uint64_t>(U32(b, at + 4)) << 32);
}

// Bytes of an archive by offset, from memory or from a file; short at the end.
using ByteSource = std::function<std::string(std::int64_t at, std::size_t count)>;

LocalHeader ParseLocal(const ByteSource& read, std::int64_t at) {
    LocalHeader h{};
    const std::string b = read(at, 30);
    if (at < 0 || b.size() < 30) {
        ADD_FAILURE() << "local header at " << at << " lies outside the archive";
        return h;
    }
    h.offset = at;
    h.signature = U32(b, 0);
    h.versionNeeded = U16(b, 4);
    h.flags = U16(b, 6);
    h.method = U16(b, 8);
    h.dosDateTime = U32(b, 10);
    h.crc = U32(b, 14);
    h.compressedSize = U32(b, 18);
    h.uncompressedSize = U32(b, 22);
    h.nameLength = U16(b, 26);
    h.extraLength = U16(b, 28);
    h.name = read(at + 30, h.nameLength);
    h.extra = read(at + 30 + h.nameLength, h.extraLength);
    h.dataStart = at + 30 + h.nameLength + h.extraLength;
    return h;
}

// Fills the values a Zip64 extra field stands in for, in the format's order.
void ResolveZip64(CentralHeader& c) {
    c.size = c.uncompressedSize;
    c.compressed = c.compressedSize;
    c.offset = c.headerOffset;
    for (std::size_t at = 0; at + 4 <= c.extra.size();) {
        const std::uint16_t tag = U16(c.extra, static_cast<std::int64_t>(at));
        const std::size_t length = U16(c.extra, static_cast<std::int64_t>(at + 2));
        std::size_t field = at + 4;
        if (tag == 0x0001) {
            for (std::uint64_t* value : {&c.size, &c.compressed, &c.offset}) {
                if (*value == 0xFFFFFFFF) {
                    EXPECT_LE(field + 8, at + 4 + length) << "Zip64 extra field of " << c.name << " too short";
                    *value = U64(c.extra, static_cast<std::int64_t>(field));
                    field += 8;
                }
            }
            EXPECT_EQ(field, at + 4 + length) << "Zip64 extra field of " << c.name << " holds more than its markers";
        }
        at += 4 + length;
    }
}

ParsedZip Parse(const ByteSource& read, std::int64_t size) {
    ParsedZip zip;
    if (size < 22) {
        ADD_FAILURE() << "archive of " << size << " bytes has no end record";
        return zip;
    }
    const std::int64_t e = size - 22;
    const std::string end = read(e, 22);
    zip.end = EndRecord{U32(end, 0), U32(end, 12), U32(end, 16), U16(end, 4),
                        U16(end, 6), U16(end, 8),  U16(end, 10), U16(end, 20)};
    std::uint64_t entries = zip.end.entries;
    std::int64_t directoryOffset = zip.end.directoryOffset;
    std::int64_t directoryEnd = e;
    if (e >= 20 + 56 && U32(read(e - 20, 4), 0) == 0x07064B50) {
        const std::string locator = read(e - 20, 20);
        Zip64EndRecord& z = zip.end64;
        z.present = true;
        z.locatorDisk = U32(locator, 4);
        z.recordOffset = U64(locator, 8);
        z.totalDisks = U32(locator, 16);
        const std::string r = read(static_cast<std::int64_t>(z.recordOffset), 56);
        if (r.size() < 56) {
            ADD_FAILURE() << "the Zip64 end record lies outside the archive";
            return zip;
        }
        z.signature = U32(r, 0);
        z.recordSize = U64(r, 4);
        z.versionMadeBy = U16(r, 12);
        z.versionNeeded = U16(r, 14);
        z.disk = U32(r, 16);
        z.directoryDisk = U32(r, 20);
        z.entriesOnDisk = U64(r, 24);
        z.entries = U64(r, 32);
        z.directorySize = U64(r, 40);
        z.directoryOffset = U64(r, 48);
        entries = z.entries;
        directoryOffset = static_cast<std::int64_t>(z.directoryOffset);
        directoryEnd = static_cast<std::int64_t>(z.recordOffset);
        EXPECT_EQ(z.recordOffset + 56, static_cast<std::uint64_t>(e - 20)) << "bytes after the Zip64 end record";
    }
    const std::string directory = read(directoryOffset, static_cast<std::size_t>(directoryEnd - directoryOffset));
    std::int64_t at = 0;
    for (std::uint64_t i = 0; i < entries; ++i) {
        if (at + 46 > static_cast<std::int64_t>(directory.size())) {
            ADD_FAILURE() << "central header " << i << " runs into the end record";
            return zip;
        }
        const std::string& b = directory;
        CentralHeader c{};
        c.signature = U32(b, at);
        c.versionMadeBy = U16(b, at + 4);
        c.versionNeeded = U16(b, at + 6);
        c.flags = U16(b, at + 8);
        c.method = U16(b, at + 10);
        c.dosDateTime = U32(b, at + 12);
        c.crc = U32(b, at + 16);
        c.compressedSize = U32(b, at + 20);
        c.uncompressedSize = U32(b, at + 24);
        c.nameLength = U16(b, at + 28);
        c.extraLength = U16(b, at + 30);
        c.commentLength = U16(b, at + 32);
        c.diskStart = U16(b, at + 34);
        c.internalAttributes = U16(b, at + 36);
        c.externalAttributes = U32(b, at + 38);
        c.headerOffset = U32(b, at + 42);
        c.name = b.substr(at + 46, c.nameLength);
        c.extra = b.substr(at + 46 + c.nameLength, c.extraLength);
        ResolveZip64(c);
        at += 46 + c.nameLength + c.extraLength + c.commentLength;
        zip.local.push_back(ParseLocal(read, static_cast<std::int64_t>(c.offset)));
        zip.central.push_back(c);
    }
    EXPECT_EQ(at, static_cast<std::int64_t>(directory.size())) << "bytes between the directory and the end records";
    const std::uint64_t directorySize = zip.end64.present ? zip.end64.directorySize : zip.end.directorySize;
    EXPECT_EQ(static_cast<std::uint64_t>(at), directorySize);
    return zip;
}

} // namespace

LocalHeader ParseLocalHeader(const std::string& b, std::int64_t at) {
    return ParseLocal([&b](std::int64_t from, std::size_t count) { return b.substr(from, count); }, at);
}

ParsedZip ParseZip(const std::string& b) {
    return Parse(
        [&b](std::int64_t from, std::size_t count) {
            return from < 0 || from > static_cast<std::int64_t>(b.size()) ? std::string() : b.substr(from, count);
        },
        static_cast<std::int64_t>(b.size()));
}

ParsedZip ParseZipFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        ADD_FAILURE() << "cannot read " << path;
        if (fd >= 0) {
            ::close(fd);
        }
        return {};
    }
    const ParsedZip zip = Parse(
        [fd](std::int64_t from, std::size_t count) {
            std::string bytes(count, '\0');
            const ssize_t n = from < 0 ? -1 : ::pread(fd, bytes.data(), count, from);
            bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
            return bytes;
        },
        st.st_size);
    ::close(fd);
    return zip;
}

std::uint32_t Crc32Of(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string Inflate(const std::string& data) {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) {
        return {};
    }
    std::string out;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    char buffer[65536];
    int r = Z_OK;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        r = inflate(&zs, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - zs.avail_out);
    } while (r == Z_OK);
    inflateEnd(&zs);
    EXPECT_EQ(r, Z_STREAM_END) << "deflate data do not end cleanly";
    EXPECT_EQ(zs.avail_in, 0u) << "bytes after the end of the deflate data";
    return out;
}

std::string RawDeflate(const std::string& data, int level, int strategy) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::string out(deflateBound(&zs, data.size()), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

void SetModificationTime(const std::string& path, std::time_t seconds) {
    struct timespec times[2]{};
    times[0].tv_sec = seconds;
    times[1].tv_sec = seconds;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::time_t ModificationTime(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mtim.tv_sec;
}

unsigned PermissionBits(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}
