#include "Gzioext.h"

#include "zip/ZipArchive.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int WindowBits = -15; // raw deflate: zip entries and gzip members carry their own framing
constexpr int MemoryLevel = 8;
constexpr std::uint16_t Zip64ExtraSize = 16; // the uncompressed and the compressed size, 8 bytes each

constexpr unsigned char GzMagic1 = 0x1F;
constexpr unsigned char GzMagic2 = 0x8B;
constexpr int GzHeadCrc = 0x02;
constexpr int GzExtraField = 0x04;
constexpr int GzOrigName = 0x08;
constexpr int GzComment = 0x10;
constexpr int GzReserved = 0xE0;

// Level and strategy from a mode string; a later character overrides an earlier one.
void ParseMode(const std::string& mode, int& level, int& strategy, char* direction) {
    level = Z_DEFAULT_COMPRESSION;
    strategy = Z_DEFAULT_STRATEGY;
    for (const char c : mode) {
        if (c >= '0' && c <= '9') {
            level = c - '0';
        } else if (c == 'f') {
            strategy = Z_FILTERED;
        } else if (c == 'h') {
            strategy = Z_HUFFMAN_ONLY;
        } else if (direction != nullptr && (c == 'r' || c == 'w')) {
            *direction = c;
        }
    }
}

bool StartDeflate(gz_stream& s, int level, int strategy) {
    if (deflateInit2(&s.deflate_state, level, Z_DEFLATED, WindowBits, MemoryLevel, strategy) != Z_OK) {
        return false;
    }
    s.state_ready = true;
    return true;
}

// Starts the output buffer with the header, which goes out together with the first compressed bytes: an entry of
// a few hundred bytes then takes one write, its header's CRC-32 and sizes filled in before it.
void StartOutput(gz_stream& s, const std::vector<Bytef>& header) {
    s.out_buffer.assign(header.begin(), header.end());
    s.out_buffer.resize(header.size() + GzBufferSize);
    s.deflate_state.next_out = s.out_buffer.data() + header.size();
    s.deflate_state.avail_out = GzBufferSize;
}

std::int64_t Pending(const gz_stream& s) {
    return s.deflate_state.next_out - s.out_buffer.data();
}

// False, with past_limit set, once the data of an entry with a plain header reach what its 32-bit fields hold.
bool WithinLimit(gz_stream& s) {
    if (s.zip_entry && !s.zip64 &&
        static_cast<std::uint64_t>(s.file_position + Pending(s) - s.data_start) >= Zip64Marker) {
        s.past_limit = true;
        s.msg = std::strerror(EFBIG);
        return false;
    }
    return true;
}

// Writes what waits in the output buffer at its place in the file and empties the buffer.
bool WriteOutput(gz_stream& s) {
    if (!WithinLimit(s)) {
        return false;
    }
    const std::int64_t count = Pending(s);
    std::size_t written = 0;
    if (count != 0 &&
        !s.output->WriteAt(s.out_buffer.data(), static_cast<std::size_t>(count), s.file_position, &written)) {
        if (s.file_position + static_cast<std::int64_t>(written) < s.data_start) {
            s.header_error = s.output->Error();
        }
        s.msg = std::strerror(s.output->Error());
        return false;
    }
    s.file_position += count;
    s.deflate_state.next_out = s.out_buffer.data();
    s.deflate_state.avail_out = GzBufferSize;
    return true;
}

// Puts bytes at `offset` of the file: into the output buffer while that place still waits there, else into the
// file itself.
bool PutAt(gz_stream& s, const std::vector<Bytef>& bytes, std::int64_t offset) {
    if (offset >= s.file_position) {
        std::memcpy(s.out_buffer.data() + (offset - s.file_position), bytes.data(), bytes.size());
        return true;
    }
    return s.output->WriteAt(bytes.data(), bytes.size(), offset);
}

// Ends the deflate stream, writing out each buffer it fills; the last bytes stay in the buffer. Z_OK, or the
// failing status.
int FinishDeflate(gz_stream& s) {
    z_stream& zs = s.deflate_state;
    zs.avail_in = 0;
    for (;;) {
        if (zs.avail_out == 0 && !WriteOutput(s)) {
            s.status = Z_ERRNO;
            return Z_ERRNO;
        }
        s.status = deflate(&zs, Z_FINISH);
        if (s.status == Z_STREAM_END) {
            return Z_OK;
        }
        // Z_OK with Z_FINISH means the buffer is full and more is to come.
        if (s.status != Z_OK) {
            return s.status;
        }
    }
}

// --- Reading ---

bool FillInput(gz_stream& s) {
    if (s.z_eof) {
        return false;
    }
    const std::int64_t n = s.file.Read(s.in_buffer.data(), s.in_buffer.size());
    if (n <= 0) {
        s.z_eof = true;
        if (n < 0) {
            s.status = Z_ERRNO;
            s.msg = std::strerror(s.file.Error());
        }
        return false;
    }
    s.deflate_state.next_in = s.in_buffer.data();
    s.deflate_state.avail_in = static_cast<uInt>(n);
    return true;
}

int GetByte(gz_stream& s) {
    z_stream& zs = s.deflate_state;
    if (zs.avail_in == 0 && !FillInput(s)) {
        return EOF;
    }
    --zs.avail_in;
    return *zs.next_in++;
}

// Makes at least `want` bytes available in the input buffer unless the file ends first; returns how many are.
unsigned EnsureInput(gz_stream& s, unsigned want) {
    z_stream& zs = s.deflate_state;
    if (zs.avail_in >= want) {
        return zs.avail_in;
    }
    std::memmove(s.in_buffer.data(), zs.next_in, zs.avail_in);
    zs.next_in = s.in_buffer.data();
    while (zs.avail_in < want && !s.z_eof) {
        const std::int64_t n = s.file.Read(s.in_buffer.data() + zs.avail_in, s.in_buffer.size() - zs.avail_in);
        if (n <= 0) {
            s.z_eof = true;
            if (n < 0) {
                s.status = Z_ERRNO;
                s.msg = std::strerror(s.file.Error());
            }
            break;
        }
        zs.avail_in += static_cast<uInt>(n);
    }
    return zs.avail_in;
}

void SetDataError(gz_stream& s, const char* message) {
    if (s.status != Z_ERRNO) {
        s.status = Z_DATA_ERROR;
        s.msg = message;
    }
}

// Reads a gzip member header at the input position. False when the input does not start with the gzip magic
// (nothing is consumed then); true otherwise, with status Z_DATA_ERROR when the header is damaged or cut short.
bool ReadHeader(gz_stream& s, std::string* name, std::uint32_t* time) {
    z_stream& zs = s.deflate_state;
    if (EnsureInput(s, 2) < 2 || zs.next_in[0] != GzMagic1 || zs.next_in[1] != GzMagic2) {
        return false;
    }
    zs.next_in += 2;
    zs.avail_in -= 2;
    bool cut = false;
    auto next = [&]() {
        const int c = GetByte(s);
        cut = cut || c == EOF;
        return c;
    };
    const int method = next();
    const int flags = next();
    if (cut || method != Z_DEFLATED || (flags & GzReserved) != 0) {
        SetDataError(s, cut ? "unexpected end of file" : "unknown compression method or header flags");
        return true;
    }
    std::uint32_t stamp = 0;
    for (int i = 0; i < 4; ++i) {
        stamp |= static_cast<std::uint32_t>(next() & 0xFF) << (8 * i);
    }
    next(); // extra flags
    next(); // operating system
    if ((flags & GzExtraField) != 0) {
        unsigned length = static_cast<unsigned>(next() & 0xFF);
        length |= static_cast<unsigned>(next() & 0xFF) << 8;
        while (!cut && length-- != 0) {
            next();
        }
    }
    std::string stored;
    if ((flags & GzOrigName) != 0) {
        for (int c = next(); c != 0 && c != EOF; c = next()) {
            stored.push_back(static_cast<char>(c));
        }
    }
    if ((flags & GzComment) != 0) {
        for (int c = next(); c != 0 && c != EOF; c = next()) {
        }
    }
    if ((flags & GzHeadCrc) != 0) {
        next();
        next();
    }
    if (cut) {
        SetDataError(s, "unexpected end of file");
        return true;
    }
    if (name != nullptr) {
        *name = std::move(stored);
    }
    if (time != nullptr) {
        *time = stamp;
    }
    return true;
}

// Checks the CRC-32 and length that end a member against what was expanded.
bool CheckTrailer(gz_stream& s) {
    std::uint32_t values[2] = {0, 0};
    for (auto& value : values) {
        for (int i = 0; i < 4; ++i) {
            const int c = GetByte(s);
            if (c == EOF) {
                SetDataError(s, "unexpected end of file");
                return false;
            }
            value |= static_cast<std::uint32_t>(c) << (8 * i);
        }
    }
    if (values[0] != s.crc) {
        SetDataError(s, "incorrect data check");
        return false;
    }
    if (values[1] != static_cast<std::uint32_t>(s.deflate_state.total_out)) {
        SetDataError(s, "incorrect length check");
        return false;
    }
    return true;
}

int ReadTransparent(gz_stream& s, Bytef* out, unsigned len) {
    z_stream& zs = s.deflate_state;
    unsigned n = std::min(zs.avail_in, len);
    std::memcpy(out, zs.next_in, n);
    zs.next_in += n;
    zs.avail_in -= n;
    while (n < len && !s.z_eof) {
        const std::int64_t r = s.file.Read(out + n, len - n);
        if (r <= 0) {
            s.z_eof = true;
            if (r < 0) {
                s.status = Z_ERRNO;
                s.msg = std::strerror(s.file.Error());
            }
            break;
        }
        n += static_cast<unsigned>(r);
    }
    return n == 0 && s.status < 0 ? -1 : static_cast<int>(n);
}

} // namespace

gz_stream::~gz_stream() {
    gz_destroy(this);
}

int gz_destroy(gz_stream* stream) {
    if (stream == nullptr) {
        return Z_STREAM_ERROR;
    }
    int result = Z_OK;
    if (stream->state_ready) {
        result = stream->mode == 'w' ? deflateEnd(&stream->deflate_state) : inflateEnd(&stream->deflate_state);
        stream->state_ready = false;
    }
    if (stream->file.IsOpen() && stream->file.Close() != 0) {
        result = Z_ERRNO;
    }
    if (stream->status < 0) {
        result = stream->status;
    }
    std::vector<Bytef>().swap(stream->out_buffer);
    std::vector<Bytef>().swap(stream->in_buffer);
    return result;
}

gz_stream_ptr ZipOpen(FileHandle& archive, std::int64_t offset, const std::string& mode, const std::string& name,
                      std::uint32_t dosDateTime, std::uint64_t sourceSize) {
    if (!archive.IsOpen() || offset < 0 || mode.empty() || name.size() > 0xFFFF) {
        return nullptr;
    }
    auto s = std::make_unique<gz_stream>();
    s->path = archive.Path();
    s->output = &archive;
    s->mode = 'w';
    s->dos_date_time = dosDateTime;
    s->zip_entry = true;
    int level = 0;
    int strategy = 0;
    ParseMode(mode, level, strategy, nullptr);
    if (!StartDeflate(*s, level, strategy)) {
        return nullptr;
    }
    s->header_offset = offset;
    // The header is written before the data, so the choice rests on the size the source has now; an entry that
    // outgrows the plain header anyway stops with past_limit, and its caller writes it again with Zip64 sizes.
    s->zip64 = sourceSize >= Zip64Marker || deflateBound(&s->deflate_state, sourceSize) >= Zip64Marker;

    // CRC-32 and sizes stay 0 until ZipClose knows them; there is no data descriptor. With Zip64 sizes the 32-bit
    // fields hold the marker and the sizes follow the name in the extra field.
    const std::uint32_t sizeField = s->zip64 ? static_cast<std::uint32_t>(Zip64Marker) : 0;
    std::vector<Bytef> header;
    header.reserve(30 + name.size() + 4 + Zip64ExtraSize);
    PutUInt32(header, 0x04034B50);
    PutUInt16(header, s->zip64 ? 45 : 20);
    PutUInt16(header, 2);
    PutUInt16(header, Z_DEFLATED);
    PutUInt32(header, dosDateTime);
    PutUInt32(header, 0);
    PutUInt32(header, sizeField);
    PutUInt32(header, sizeField);
    PutUInt16(header, static_cast<std::uint32_t>(name.size()));
    PutUInt16(header, s->zip64 ? 4 + Zip64ExtraSize : 0);
    header.insert(header.end(), name.begin(), name.end());
    if (s->zip64) {
        PutUInt16(header, Zip64ExtraTag);
        PutUInt16(header, Zip64ExtraSize);
        PutUInt64(header, 0);
        PutUInt64(header, 0);
    }
    StartOutput(*s, header);
    s->file_position = offset;
    s->data_start = offset + static_cast<std::int64_t>(header.size());
    return s;
}

int gzwrite(gz_stream* stream, const void* buffer, unsigned n) {
    if (stream == nullptr || stream->mode != 'w') {
        return Z_STREAM_ERROR;
    }
    gz_stream& s = *stream;
    z_stream& zs = s.deflate_state;
    if (s.zip_entry && !s.zip64 && zs.total_in + n >= Zip64Marker) {
        // The entry's uncompressed size would not fit its 32-bit field.
        s.past_limit = true;
        s.status = Z_ERRNO;
        s.msg = std::strerror(EFBIG);
        return 0;
    }
    zs.next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
    zs.avail_in = n;
    while (zs.avail_in != 0) {
        if (zs.avail_out == 0 && !WriteOutput(s)) {
            s.status = Z_ERRNO;
            break;
        }
        s.status = deflate(&zs, Z_NO_FLUSH);
        if (s.status != Z_OK) {
            break;
        }
    }
    s.crc = static_cast<std::uint32_t>(crc32(s.crc, static_cast<const Bytef*>(buffer), n));
    return static_cast<int>(n - zs.avail_in);
}

int ZipClose(gz_stream* stream) {
    if (stream == nullptr) {
        return Z_STREAM_ERROR;
    }
    gz_stream& s = *stream;
    if (s.mode == 'w') {
        int finish = FinishDeflate(s);
        if (finish == Z_OK && !WithinLimit(s)) {
            s.status = Z_ERRNO;
            finish = Z_ERRNO;
        }
        if (finish != Z_OK) {
            const int result = gz_destroy(&s);
            return result != Z_OK ? result : finish;
        }
        s.uncompressed_size = s.deflate_state.total_in;
        s.compressed_size = static_cast<std::uint64_t>(s.file_position + Pending(s) - s.data_start);
        std::vector<Bytef> fields;
        PutUInt32(fields, s.crc);
        bool written = false;
        if (s.zip64) {
            // The CRC-32 in its field; the sizes in the extra field, its last 16 bytes just before the data.
            std::vector<Bytef> sizes;
            PutUInt64(sizes, s.uncompressed_size);
            PutUInt64(sizes, s.compressed_size);
            written = PutAt(s, fields, s.header_offset + 14) && PutAt(s, sizes, s.data_start - Zip64ExtraSize);
        } else {
            PutUInt32(fields, static_cast<std::uint32_t>(s.compressed_size));
            PutUInt32(fields, static_cast<std::uint32_t>(s.uncompressed_size));
            written = PutAt(s, fields, s.header_offset + 14);
        }
        if (!written || !WriteOutput(s)) {
            gz_destroy(&s);
            return Z_STREAM_ERROR;
        }
    }
    return gz_destroy(&s);
}

gz_stream_ptr gzopen(const std::string& path, const std::string& mode, std::string& name, std::uint32_t& time) {
    if (path.empty() || mode.empty()) {
        return nullptr;
    }
    auto s = std::make_unique<gz_stream>();
    s->path = path;
    int level = 0;
    int strategy = 0;
    ParseMode(mode, level, strategy, &s->mode);
    if (s->mode == 'w') {
        if (!StartDeflate(*s, level, strategy) || !s->file.Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666)) {
            return nullptr;
        }
        std::vector<Bytef> header{GzMagic1, GzMagic2, Z_DEFLATED, static_cast<Bytef>(name.empty() ? 0 : GzOrigName)};
        PutUInt32(header, time);
        header.push_back(0); // extra flags
        header.push_back(0); // operating system
        if (!name.empty()) {
            header.insert(header.end(), name.begin(), name.end());
            header.push_back(0);
        }
        StartOutput(*s, header);
        s->data_start = static_cast<std::int64_t>(header.size());
        return s;
    }
    if (s->mode != 'r') {
        return nullptr;
    }
    s->in_buffer.resize(GzBufferSize);
    if (inflateInit2(&s->deflate_state, WindowBits) != Z_OK) {
        return nullptr;
    }
    s->state_ready = true;
    if (!s->file.OpenRegularForReading(path)) {
        return nullptr;
    }
    s->deflate_state.next_in = s->in_buffer.data();
    name.clear();
    time = 0;
    if (!ReadHeader(*s, &name, &time) && s->status == Z_OK) {
        s->transparent = true;
    }
    const off_t consumed = ::lseek(s->file.Descriptor(), 0, SEEK_CUR);
    s->data_start = consumed < 0 ? 0 : consumed - static_cast<std::int64_t>(s->deflate_state.avail_in);
    return s;
}

int gzread(gz_stream* stream, void* buffer, unsigned len) {
    if (stream == nullptr || stream->mode != 'r') {
        return Z_STREAM_ERROR;
    }
    gz_stream& s = *stream;
    if (s.status == Z_DATA_ERROR || s.status == Z_ERRNO || s.status == Z_MEM_ERROR) {
        return -1;
    }
    len = std::min<unsigned>(len, INT_MAX);
    auto* out = static_cast<Bytef*>(buffer);
    if (s.transparent) {
        return ReadTransparent(s, out, len);
    }
    if (s.status == Z_STREAM_END || len == 0) {
        return 0;
    }
    z_stream& zs = s.deflate_state;
    zs.next_out = out;
    zs.avail_out = len;
    Bytef* start = out;
    while (zs.avail_out != 0) {
        if (zs.avail_in == 0 && !FillInput(s) && s.status == Z_ERRNO) {
            break;
        }
        const int r = inflate(&zs, Z_NO_FLUSH);
        if (r == Z_STREAM_END) {
            s.crc = static_cast<std::uint32_t>(crc32(s.crc, start, static_cast<uInt>(zs.next_out - start)));
            start = zs.next_out;
            if (!CheckTrailer(s)) {
                break;
            }
            if (ReadHeader(s, nullptr, nullptr)) {
                if (s.status != Z_OK) {
                    break;
                }
                inflateReset(&zs);
                s.crc = 0;
                continue;
            }
            if (s.status == Z_OK) {
                s.status = Z_STREAM_END;
            }
            break;
        }
        if (r == Z_BUF_ERROR) {
            if (zs.avail_in == 0 && s.z_eof) {
                SetDataError(s, "unexpected end of file");
                break;
            }
            continue;
        }
        if (r != Z_OK) {
            s.status = r == Z_MEM_ERROR ? Z_MEM_ERROR : Z_DATA_ERROR;
            s.msg = zs.msg != nullptr ? zs.msg : "damaged data";
            break;
        }
    }
    s.crc = static_cast<std::uint32_t>(crc32(s.crc, start, static_cast<uInt>(zs.next_out - start)));
    const auto produced = static_cast<int>(len - zs.avail_out);
    return produced == 0 && s.status < 0 ? -1 : produced;
}

int gzclose(gz_stream* stream) {
    if (stream == nullptr) {
        return Z_STREAM_ERROR;
    }
    gz_stream& s = *stream;
    if (s.mode == 'w') {
        const int finish = FinishDeflate(s);
        if (finish != Z_OK) {
            const int result = gz_destroy(&s);
            return result != Z_OK ? result : finish;
        }
        std::vector<Bytef> trailer;
        PutUInt32(trailer, s.crc);
        PutUInt32(trailer, static_cast<std::uint32_t>(s.deflate_state.total_in));
        if (!WriteOutput(s) || !s.file.WriteAt(trailer.data(), trailer.size(), s.file_position)) {
            gz_destroy(&s);
            return Z_STREAM_ERROR;
        }
    }
    return gz_destroy(&s);
}
