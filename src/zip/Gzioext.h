#pragma once

#include "zip/FileHandle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <zlib.h>

// The compressed stream under the zip writer and the single-file gzip routines. Writing, it deflates the bytes
// given to gzwrite into a file, either as one entry of a zip archive (ZipOpen/ZipClose: a local header at the end
// of the archive, completed in place once the data are done) or as a gzip file (gzopen/gzclose). Reading, it
// expands a gzip file (gzopen with "r", gzread), and hands a file that is not in gzip format over unchanged.
//
// The functions keep the names of zlib's gzip functions, which they resemble; they take a gz_stream, so a call
// never reaches zlib's own.

inline constexpr std::size_t GzBufferSize = 16384;
// The zip format's 32-bit sizes and offsets end below this value; the value itself in a field says that the real
// one stands in a Zip64 extra field.
inline constexpr std::uint64_t Zip64Marker = 0xFFFFFFFF;
// The tag of the Zip64 extra field, which holds those values.
inline constexpr std::uint16_t Zip64ExtraTag = 0x0001;

struct gz_stream {
    gz_stream() = default;
    // Releases what is still held (see gz_destroy).
    ~gz_stream();
    gz_stream(const gz_stream&) = delete;
    gz_stream& operator=(const gz_stream&) = delete;

    z_stream deflate_state{};      // deflating when writing, inflating when reading
    bool state_ready = false;      // deflate_state was initialised and still needs its end
    int status = Z_OK;             // the last zlib status, or Z_ERRNO after a failed read or write of the file
    FileHandle file;               // a gzip file's own
    FileHandle* output = &file;    // where the bytes go: the own file, or the archive a zip entry is added to
    std::vector<Bytef> out_buffer; // when writing, the bytes bound for file_position on, header first
    std::uint32_t crc = 0;         // of everything given to gzwrite; when reading, of the current gzip member's output
    std::string path;
    char mode = '\0'; // 'w' or 'r'
    std::uint64_t uncompressed_size = 0;
    std::uint64_t compressed_size = 0;
    std::int64_t header_offset = 0;
    std::int64_t data_start = 0;
    std::uint32_t dos_date_time = 0;

    // Reading only.
    std::vector<Bytef> in_buffer;
    bool z_eof = false;
    bool transparent = false; // not in gzip format: read unchanged
    std::string msg;

    // Writing a zip entry. Its local header either carries the sizes in 32-bit fields, which are enforced while
    // writing (an entry that outgrows them stops with past_limit set rather than leave a header that lies), or
    // in a Zip64 extra field, which holds any size.
    bool zip_entry = false;
    bool zip64 = false;
    bool past_limit = false;
    // Writing: the errno of a write that stopped inside the header, which goes out with the first data. The caller
    // reports it as the failure to write the header, as it would be had the header gone out on its own.
    int header_error = 0;
    std::int64_t file_position = 0; // writing: where the output buffer's first byte goes
};

using gz_stream_ptr = std::unique_ptr<gz_stream>;

// --- One entry of a zip archive ---

// Starts an entry of the open archive at `offset` (its end so far): a local header for `name`, then a raw deflate
// stream. The archive is borrowed, not closed; bytes go to their offset whatever the descriptor's position. mode: a
// digit sets the level, "f" the filtered and "h" the Huffman-only strategy. sourceSize is what the entry is expected to
// hold: when that much data, deflated at worst, could fill a 32-bit size field, the header carries its sizes in a Zip64
// extra field (zip64 set); otherwise the header is the plain one. The header waits in the stream's buffer and goes out
// with the first data. Null when the archive is not open, the mode is empty, deflate cannot start, or the name does not
// fit the header.
gz_stream_ptr ZipOpen(FileHandle& archive, std::int64_t offset, const std::string& mode, const std::string& name,
                      std::uint32_t dosDateTime, std::uint64_t sourceSize = 0);
// Compresses n bytes into the file; returns the bytes consumed (fewer than n after a failed write, or once an
// entry without Zip64 sizes would outgrow its 32-bit fields, with status Z_ERRNO), or Z_STREAM_ERROR for a null
// or reading stream.
int gzwrite(gz_stream* stream, const void* buffer, unsigned n);
// Finishes the entry's data and writes its CRC-32 and sizes into its local header, then releases the stream.
// 0 on success, after which crc, compressed_size, uncompressed_size, header_offset and zip64 describe the entry
// and file_position is the archive's new end; otherwise a negative status (past_limit tells when the data outgrew
// the header's 32-bit fields).
int ZipClose(gz_stream* stream);
// The release: ends the zlib state, closes the own file and frees the buffers; the record's fields stay readable.
// 0, or a negative status (the stream's own when it is negative, Z_ERRNO when the close failed). Safe to repeat.
int gz_destroy(gz_stream* stream);

// --- Single gzip files ---

// mode: "r" reads, "w" writes; for writing a digit sets the level and "f" or "h" the strategy. Writing creates
// or empties the file and writes a gzip header with the name (when not empty) and the time (seconds since 1970,
// UTC; 0 for none). Reading fills name and time from the header. Null when the file cannot be opened or created
// or a zlib state cannot start. A damaged header still gives a stream whose reads fail.
gz_stream_ptr gzopen(const std::string& path, const std::string& mode, std::string& name, std::uint32_t& time);
// Up to len bytes of the expanded data; 0 at the end, -1 on a read error, damaged data, a truncated file or a
// CRC-32 or length that does not match the gzip trailer. Concatenated gzip members read as one; bytes after the
// last member that do not start another are ignored.
int gzread(gz_stream* stream, void* buffer, unsigned len);
// Finishes a writing stream (the deflate data, then CRC-32 and length) and releases it; the record's fields stay
// readable (header_error among them). 0 on success, else a negative status.
int gzclose(gz_stream* stream);

// Little-endian fields of the zip and gzip headers, appended to a header being built.
inline void PutUInt16(std::vector<Bytef>& out, std::uint32_t value) {
    out.push_back(static_cast<Bytef>(value));
    out.push_back(static_cast<Bytef>(value >> 8));
}

inline void PutUInt32(std::vector<Bytef>& out, std::uint32_t value) {
    PutUInt16(out, value & 0xFFFF);
    PutUInt16(out, value >> 16);
}

inline void PutUInt64(std::vector<Bytef>& out, std::uint64_t value) {
    PutUInt32(out, static_cast<std::uint32_t>(value));
    PutUInt32(out, static_cast<std::uint32_t>(value >> 32));
}
