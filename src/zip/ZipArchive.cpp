#include "ZipArchive.h"

#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "zip/DosDateTime.h"
#include "zip/FileHandle.h"
#include "zip/Gzioext.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Windows code page 1252 to the OEM code page 437 that zip tools assume for names without the UTF-8 flag: letters
// that 437 has go to their place there, most others to their base letter or to a space.
const unsigned char OemCharTable[128] = {
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, // 8x
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, // 9x
    0x20, 0xAD, 0x9B, 0x9C, 0x20, 0x9D, 0xB3, 0x15, 0x20, 0x20, 0x20, 0xAE, 0xAA, 0xC4, 0x20, 0x20, // Ax
    0xF8, 0xF1, 0xFD, 0xFC, 0x20, 0xE6, 0xE3, 0x20, 0x20, 0x20, 0x20, 0xAF, 0xAC, 0xAB, 0x20, 0xA8, // Bx
    0x41, 0x41, 0x41, 0x41, 0x8E, 0x8F, 0x92, 0x80, 0x45, 0x90, 0x45, 0x45, 0x49, 0x49, 0x49, 0x49, // Cx
    0x44, 0xA5, 0x4F, 0x4F, 0x4F, 0x4F, 0x99, 0x20, 0x20, 0x55, 0x55, 0x55, 0x9A, 0x59, 0x20, 0xE1, // Dx
    0x85, 0x61, 0x83, 0x61, 0x84, 0x86, 0x91, 0x87, 0x8A, 0x82, 0x88, 0x89, 0x8D, 0xA1, 0x8C, 0x8B, // Ex
    0x20, 0xA4, 0x95, 0xA2, 0x93, 0x6F, 0x94, 0xF6, 0x20, 0x97, 0xA3, 0x96, 0x81, 0x79, 0x20, 0x98, // Fx
};

void RaiseInOutError(const std::string& what, const std::string& path, int error) {
    throw EInOutError(what + " \"" + path + "\". " + std::strerror(error), error);
}

namespace {

// The end record counts entries in 16 bits; beyond that count the Zip64 end record holds it.
constexpr std::size_t MaxPlainEntries = 0xFFFF;
constexpr std::size_t MaxNameLength = 0xFFFF;

bool PastPlainField(std::uint64_t value) {
    return value >= Zip64Marker;
}

// Appends the central directory record of a finished entry. A Zip64 extra field holds, in this order, the sizes
// when the local header has them there and the offset when it does not fit its field; each field it stands for
// holds the marker.
void PutDirectoryRecord(std::vector<Bytef>& out, const std::string& name, const TPkHeader& h) {
    const bool sizes64 = h.Zip64 || PastPlainField(h.UncompressedSize) || PastPlainField(h.CompressedSize);
    const bool offset64 = PastPlainField(static_cast<std::uint64_t>(h.HeaderOffset));
    std::vector<Bytef> extra;
    if (sizes64 || offset64) {
        PutUInt16(extra, Zip64ExtraTag);
        PutUInt16(extra, (sizes64 ? 16 : 0) + (offset64 ? 8 : 0));
        if (sizes64) {
            PutUInt64(extra, h.UncompressedSize);
            PutUInt64(extra, h.CompressedSize);
        }
        if (offset64) {
            PutUInt64(extra, static_cast<std::uint64_t>(h.HeaderOffset));
        }
    }
    const std::uint32_t version = extra.empty() ? 20 : 45; // 2.0, or 4.5 for Zip64; MS-DOS attributes
    const auto marker = static_cast<std::uint32_t>(Zip64Marker);
    PutUInt32(out, 0x02014B50);
    PutUInt16(out, version);
    PutUInt16(out, version);
    PutUInt16(out, 2);
    PutUInt16(out, 8);
    PutUInt32(out, h.DosDateTime);
    PutUInt32(out, h.Crc);
    PutUInt32(out, sizes64 ? marker : static_cast<std::uint32_t>(h.CompressedSize));
    PutUInt32(out, sizes64 ? marker : static_cast<std::uint32_t>(h.UncompressedSize));
    PutUInt16(out, static_cast<std::uint32_t>(name.size()));
    PutUInt16(out, static_cast<std::uint32_t>(extra.size()));
    PutUInt16(out, 0); // comment
    PutUInt16(out, 0); // disk number
    PutUInt16(out, 0); // internal attributes
    PutUInt32(out, h.Attributes);
    PutUInt32(out, offset64 ? marker : static_cast<std::uint32_t>(h.HeaderOffset));
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), extra.begin(), extra.end());
}

// The central directory of the archive being made, its records written as each entry is finished and held
// deflated: records of files in the same folders repeat most of their names, so a run of many files holds a small
// part of its directory's bytes. CloseZip expands them into the file, a block at a time.
class TDirectoryRecords {
public:
    TDirectoryRecords() = default;
    ~TDirectoryRecords() { Clear(); }
    TDirectoryRecords(const TDirectoryRecords&) = delete;
    TDirectoryRecords& operator=(const TDirectoryRecords&) = delete;

    void Add(const std::string& name, const TPkHeader& header) {
        record_.clear();
        PutDirectoryRecord(record_, name, header);
        if (!started_) {
            // Level 1: the names' repetition is found as well as at higher levels, at a fraction of the work.
            if (deflateInit2(&deflater_, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
                throw std::bad_alloc();
            }
            started_ = true;
        }
        Deflate(record_.data(), record_.size(), Z_NO_FLUSH);
        size_ += record_.size();
        ++count_;
    }
    // Writes the records to `file` from `offset` on; false when a write fails (errno set). May be called again.
    bool WriteTo(FileHandle& file, std::int64_t offset) {
        if (count_ == 0) {
            return true;
        }
        if (!finished_) {
            Deflate(nullptr, 0, Z_FINISH);
            finished_ = true;
        }
        z_stream inflater{};
        if (inflateInit2(&inflater, -MAX_WBITS) != Z_OK) {
            throw std::bad_alloc();
        }
        std::vector<Bytef> out(BlockSize);
        bool written = true;
        for (std::size_t block = 0; written && block < blocks_.size(); ++block) {
            inflater.next_in = blocks_[block].data();
            inflater.avail_in = static_cast<uInt>(blocks_[block].size());
            do {
                inflater.next_out = out.data();
                inflater.avail_out = static_cast<uInt>(out.size());
                const int status = inflate(&inflater, Z_NO_FLUSH);
                if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                    // Bytes this module deflated itself: only a fault of memory gets here.
                    inflateEnd(&inflater);
                    throw std::bad_alloc();
                }
                const std::size_t produced = out.size() - inflater.avail_out;
                if (produced > 0 && !file.WriteAt(out.data(), produced, offset)) {
                    written = false;
                    break;
                }
                offset += static_cast<std::int64_t>(produced);
            } while (inflater.avail_out == 0);
        }
        inflateEnd(&inflater);
        return written;
    }
    void Clear() {
        if (started_) {
            deflateEnd(&deflater_);
        }
        deflater_ = z_stream{};
        started_ = false;
        finished_ = false;
        blocks_.clear();
        size_ = 0;
        count_ = 0;
    }
    std::uint64_t Count() const { return count_; }
    // The records' bytes as they go into the file.
    std::uint64_t Size() const { return size_; }

private:
    void Deflate(Bytef* data, std::size_t size, int flush) {
        deflater_.next_in = data;
        deflater_.avail_in = static_cast<uInt>(size);
        for (;;) {
            if (blocks_.empty() || blocks_.back().size() == BlockSize) {
                blocks_.emplace_back().reserve(BlockSize);
            }
            std::vector<Bytef>& block = blocks_.back();
            const std::size_t used = block.size();
            block.resize(BlockSize);
            deflater_.next_out = block.data() + used;
            deflater_.avail_out = static_cast<uInt>(BlockSize - used);
            const int status = deflate(&deflater_, flush);
            block.resize(BlockSize - deflater_.avail_out);
            if (status == Z_STREAM_END ||
                (flush == Z_NO_FLUSH && deflater_.avail_in == 0 && deflater_.avail_out != 0)) {
                return;
            }
            if (status != Z_OK && status != Z_BUF_ERROR) {
                throw std::bad_alloc();
            }
        }
    }

    static constexpr std::size_t BlockSize = 64 * 1024;
    z_stream deflater_{};
    bool started_ = false;
    bool finished_ = false;
    std::vector<std::vector<Bytef>> blocks_;
    std::vector<Bytef> record_;
    std::uint64_t size_ = 0;
    std::uint64_t count_ = 0;
};

// The module's one archive and its compression settings.
class TZipArchive {
public:
    void MakeZip(const std::string& zipName, const std::string& baseDir);
    bool AddZip(TZipSource& source, const std::function<bool()>& cancelled);
    void CloseZip();
    void AbandonZip();
    bool IsOpen() const { return Archive.IsOpen(); }
    void SetCompression(TCompressionType type, int level) {
        CompressionType = type;
        CompressionLevel = level;
    }
    // "w", the level's first character and "f", "h" or a blank, as gzip files take it.
    std::string GzipMode() const;

private:
    // Where the next entry, or the directory, goes: behind everything in the file, a failed entry's bytes too.
    std::int64_t ArchiveEnd();

    std::string ZipFileName;
    std::string ZipBaseDir;
    // Open from MakeZip to CloseZip (closed: no archive open). Held rather than opened by its name for each entry:
    // fewer system calls a file, and nothing put at the name meanwhile is ever reached.
    FileHandle Archive;
    TDirectoryRecords Directory; // of the finished entries, in the order they were finished
    int CompressionLevel = 6;
    TCompressionType CompressionType = ctStandard;
};

TZipArchive& Module() {
    static TZipArchive module;
    return module;
}

char LevelCharacter(int level) {
    return std::to_string(level).front();
}

// Streams the source into the compressed stream in 16 KiB blocks and closes the source: 0 when done, 1 when a
// read failed, 2 when the stream did not take a block whole, 3 when `cancelled` (asked before each block) said so.
// A failed close at the end raises EInOutError.
int CopyFileToGz(FileHandle& source, gz_stream* stream, const std::function<bool()>& cancelled = {}) {
    std::array<Bytef, GzBufferSize> buffer;
    for (;;) {
        if (cancelled && cancelled()) {
            source.Close();
            return 3;
        }
        const std::int64_t n = source.Read(buffer.data(), buffer.size());
        if (n < 0) {
            source.Close();
            return 1;
        }
        if (n == 0) {
            if (const int error = source.Close(); error != 0) {
                RaiseInOutError("Cannot close file", source.Path(), error);
            }
            return 0;
        }
        if (gzwrite(stream, buffer.data(), static_cast<unsigned>(n)) != n) {
            source.Close();
            return 2;
        }
    }
}

// The archive error for what CopyFileToGz returned: 1, the source failed; 2, the output could not take the data.
void RaiseCopyFailure(int copied, const std::string& source, const std::string& output) {
    if (copied == 1) {
        throw EGZipError("Error reading from " + source, 4);
    }
    if (copied == 2) {
        throw EGZipError("Error writing to " + output, 5);
    }
}

// Expands the stream into output: 0 when done, 1 when the stream failed, 2 when a write fell short, 3 when the
// output could not be closed (its data may not have reached the disk).
int CopyGzToFile(gz_stream* stream, FileHandle& output) {
    std::array<Bytef, GzBufferSize> buffer;
    for (;;) {
        const int n = gzread(stream, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (n < 0) {
            return 1;
        }
        if (n == 0) {
            break;
        }
        if (output.Write(buffer.data(), static_cast<std::size_t>(n)) != static_cast<std::size_t>(n)) {
            return 2;
        }
    }
    return output.Close() == 0 ? 0 : 3;
}

std::vector<std::string> Folders(const std::string& folderPath) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start < folderPath.size()) {
        const std::size_t slash = folderPath.find(PathDelim, start);
        const std::size_t end = slash == std::string::npos ? folderPath.size() : slash;
        if (end > start) {
            pieces.push_back(folderPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

std::string ExtractRelativePath(const std::string& baseName, const std::string& destName) {
    const std::string basePath = ExtractFilePath(baseName);
    const std::string destPath = ExtractFilePath(destName);
    // The counterpart of differing drives: an absolute and a relative path share no folder to start from.
    if (basePath.starts_with(PathDelim) != destPath.starts_with(PathDelim)) {
        return destName;
    }
    const std::vector<std::string> base = Folders(basePath);
    const std::vector<std::string> dest = Folders(destPath);
    std::size_t shared = 0;
    while (shared < base.size() && shared < dest.size() && SamePath(base[shared], dest[shared])) {
        ++shared;
    }
    std::string result;
    for (std::size_t i = shared; i < base.size(); ++i) {
        result += "..";
        result += PathDelim;
    }
    for (std::size_t i = shared; i < dest.size(); ++i) {
        result += dest[i];
        result += PathDelim;
    }
    return result + ExtractFileName(destName);
}

// The gzip routines' output: a program file beside the target that replaces it only on Commit (TProgramFile), so a
// failure half way leaves the target as it was and no reader ever sees half a file under the target's name. It is
// written through a handle of the writer's own, and made as a file opened at the target would be: 0666 less the
// umask, the process's own, a link at the target replaced rather than followed.
class TempOutput {
public:
    explicit TempOutput(const std::string& target) {
        TProgramFileRules rules;
        rules.ModeRule = TModeRule::Umasked;
        rules.Mode = 0666;
        rules.OwnerFromReplaced = false;
        rules.ThroughLinks = false;
        try {
            output_.emplace(target, rules);
        } catch (const Exception&) {
            return;
        }
        file_.Adopt(::fcntl(output_->Descriptor(), F_DUPFD_CLOEXEC, 0), output_->Path());
    }

    bool Created() const { return file_.IsOpen(); }
    const std::string& Path() const { return output_->Path(); }
    FileHandle& File() { return file_; }
    bool Commit() {
        file_.Close();
        try {
            output_->Commit();
        } catch (const Exception&) {
            return false;
        }
        return true;
    }

private:
    std::optional<TProgramFile> output_;
    FileHandle file_; // closed before the file goes
};

// The read-only bit is the one attribute that means something to a file here (hidden follows the name).
void SetReadOnlyAttribute(const std::string& path, std::uint32_t attributes) {
    struct stat st {};
    if (attributes == InvalidFileAttributes || ::stat(path.c_str(), &st) != 0) {
        return;
    }
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & faReadOnly) != 0 ? mode & ~static_cast<mode_t>(0222) : mode | S_IWUSR;
    ::chmod(path.c_str(), mode);
}

std::string WithoutLastExtension(const std::string& fileName) {
    const std::size_t dot = fileName.rfind('.');
    // A leading dot starts a hidden name, not an extension.
    return dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

// The file name a gzip file expands to: the stored name's last path piece, so that a crafted header cannot
// reach outside the chosen folder, else the gzip file's own name without its last extension.
std::string ExpandedName(const std::string& stored, const std::string& gzipPath) {
    const std::string piece = ExtractFileName(stored);
    if (piece.empty() || piece == "." || piece == "..") {
        return WithoutLastExtension(ExtractFileName(gzipPath));
    }
    return piece;
}

void TZipArchive::MakeZip(const std::string& zipName, const std::string& baseDir) {
    Directory.Clear();
    ZipFileName = zipName;
    ZipBaseDir = baseDir;
    // Never through a link put at the name: the open fails on one.
    if (!Archive.Open(zipName, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600)) {
        // Left open, the module would point at a file that is not there and every later call would fail again.
        RaiseInOutError("Cannot create file", zipName, Archive.Error());
    }
}

std::int64_t TZipArchive::ArchiveEnd() {
    const std::int64_t end = Archive.Size();
    if (end < 0) {
        RaiseInOutError("Cannot read the size of", ZipFileName, Archive.Error());
    }
    return end;
}

bool TZipArchive::AddZip(TZipSource& source, const std::function<bool()>& cancelled) {
    if (!Archive.IsOpen()) {
        return true;
    }
    const std::string& path = source.Path();
    if (source.Error() != 0) {
        throw EGZipError("Error opening " + path, 2);
    }
    std::string mode;
    if (CompressionType == ctFiltered) {
        mode += 'f';
    } else if (CompressionType == ctHuffmanOnly) {
        mode += 'h';
    }
    mode += LevelCharacter(CompressionLevel);
    const std::string name = ZipEntryName(path, ZipBaseDir);
    if (name.size() > MaxNameLength) {
        throw EGZipError("Error adding " + path + " to " + ZipFileName +
                             ": its name is longer than the 65,535 bytes a zip entry name can hold",
                         2);
    }
    const std::uint32_t dosDateTime = FileDosDateTime(source.Status());
    std::uint64_t expectedSize = source.Size() > 0 ? static_cast<std::uint64_t>(source.Size()) : 0;
    gz_stream_ptr stream;
    for (;;) {
        const std::int64_t end = ArchiveEnd();
        stream = ZipOpen(Archive, end, mode, name, dosDateTime, expectedSize);
        if (!stream) {
            throw EGZipError("Error opening " + ZipFileName, 2);
        }
        const int copied = CopyFileToGz(source.File(), stream.get(), cancelled);
        if (copied == 3) {
            return false;
        }
        const int closed = copied == 0 ? ZipClose(stream.get()) : 0;
        if (stream->past_limit) {
            // The source grew while it was packed, past what the plain header chosen for its first size can
            // describe: the entry is written again in the same place, with Zip64 sizes, which hold any size.
            stream.reset();
            if (::ftruncate(Archive.Descriptor(), end) != 0) {
                // The first try's bytes then stay unused before the entry; nothing points at them.
            }
            if (!source.Reopen()) {
                throw EGZipError("Error opening " + path, 2);
            }
            expectedSize = Zip64Marker;
            continue;
        }
        if (stream->header_error != 0) {
            RaiseInOutError("Cannot write to file", ZipFileName, stream->header_error);
        }
        RaiseCopyFailure(copied, path, ZipFileName);
        if (closed != 0) {
            throw EGZipError("Error closing " + ZipFileName, 3);
        }
        break;
    }
    TPkHeader header;
    header.DosDateTime = stream->dos_date_time;
    header.HeaderOffset = stream->header_offset;
    header.Crc = stream->crc;
    header.CompressedSize = stream->compressed_size;
    header.UncompressedSize = stream->uncompressed_size;
    header.Attributes = FileAttributesOf(source.Status(), path);
    header.Zip64 = stream->zip64;
    Directory.Add(name, header);
    return true;
}

void TZipArchive::CloseZip() {
    if (!Archive.IsOpen()) {
        return;
    }
    const std::int64_t start = ArchiveEnd();
    // The records, then the end records behind them.
    if (!Directory.WriteTo(Archive, start)) {
        RaiseInOutError("Cannot write to file", ZipFileName, Archive.Error());
    }
    const auto at = static_cast<std::int64_t>(start + static_cast<std::int64_t>(Directory.Size()));
    std::vector<Bytef> directory;
    const std::uint64_t directorySize = Directory.Size();
    const auto directoryStart = static_cast<std::uint64_t>(start);
    const std::uint64_t entries = Directory.Count();
    if (entries > MaxPlainEntries || PastPlainField(directoryStart) || PastPlainField(directorySize)) {
        // The Zip64 end record with the true values, and the locator that points readers to it.
        const std::uint64_t zip64End = directoryStart + directorySize;
        PutUInt32(directory, 0x06064B50);
        PutUInt64(directory, 44); // the record's size after this field
        PutUInt16(directory, 45);
        PutUInt16(directory, 45);
        PutUInt32(directory, 0);
        PutUInt32(directory, 0);
        PutUInt64(directory, entries);
        PutUInt64(directory, entries);
        PutUInt64(directory, directorySize);
        PutUInt64(directory, directoryStart);
        PutUInt32(directory, 0x07064B50);
        PutUInt32(directory, 0);
        PutUInt64(directory, zip64End);
        PutUInt32(directory, 1);
    }
    // Fields too small for their value hold the marker; readers take the value from the Zip64 end record.
    const auto entriesField = static_cast<std::uint32_t>(std::min<std::uint64_t>(entries, MaxPlainEntries));
    PutUInt32(directory, 0x06054B50);
    PutUInt16(directory, 0);
    PutUInt16(directory, 0);
    PutUInt16(directory, entriesField);
    PutUInt16(directory, entriesField);
    PutUInt32(directory, static_cast<std::uint32_t>(std::min(directorySize, Zip64Marker)));
    PutUInt32(directory, static_cast<std::uint32_t>(std::min(directoryStart, Zip64Marker)));
    PutUInt16(directory, 0);
    if (!Archive.WriteAt(directory.data(), directory.size(), at)) {
        RaiseInOutError("Cannot write to file", ZipFileName, Archive.Error());
    }
    if (const int error = Archive.Close(); error != 0) {
        RaiseInOutError("Cannot close file", ZipFileName, error);
    }
    Directory.Clear();
    ZipFileName.clear();
}

void TZipArchive::AbandonZip() {
    Archive.Close();
    Directory.Clear();
    ZipFileName.clear();
}

std::string TZipArchive::GzipMode() const {
    std::string mode = "w";
    mode += LevelCharacter(CompressionLevel);
    mode += CompressionType == ctFiltered ? 'f' : CompressionType == ctHuffmanOnly ? 'h' : ' ';
    return mode;
}

} // namespace

void MakeZip(const std::string& zipName, const std::string& baseDir) {
    Module().MakeZip(zipName, baseDir);
}

bool AddZip(const std::string& path, const std::function<bool()>& cancelled) {
    if (!Module().IsOpen()) {
        return true;
    }
    TZipSource source(path);
    return Module().AddZip(source, cancelled);
}

bool AddZip(TZipSource& source, const std::function<bool()>& cancelled) {
    return Module().AddZip(source, cancelled);
}

void CloseZip() {
    Module().CloseZip();
}

void AbandonZip() {
    Module().AbandonZip();
}

void SetCompression(TCompressionType type, int level) {
    Module().SetCompression(type, level);
}

std::string ZipEntryName(const std::string& path, const std::string& baseDir) {
    std::string name = baseDir.empty() ? path : ExtractRelativePath(baseDir, path);
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            c = static_cast<char>(OemCharTable[byte - 0x80]);
        }
    }
    return name;
}

void GZip(const std::string& source, const std::string& dest) {
    FileHandle input;
    if (!input.OpenRegularForReading(source)) {
        throw EGZipError("Error opening " + source, 2);
    }
    std::string name = ExtractFileName(source);
    const std::uint32_t attributes = GetFileAttributes(source);
    const std::uint32_t date = FileDosDateTime(source);
    std::uint32_t time = DosDateTimeToUnixTime(date);
    if (dest.empty() || DirectoryExists(dest)) {
        throw EGZipError("Error opening " + dest, 1);
    }
    TempOutput output(dest);
    if (!output.Created()) {
        throw EGZipError("Error opening " + dest, 1);
    }
    output.File().Close(); // gzopen opens it anew
    gz_stream_ptr stream = gzopen(output.Path(), Module().GzipMode(), name, time);
    if (!stream) {
        throw EGZipError("Error opening " + dest, 1);
    }
    const int copied = CopyFileToGz(input, stream.get());
    const int closed = copied == 0 ? gzclose(stream.get()) : 0;
    if (stream->header_error != 0) {
        throw EGZipError("Error opening " + dest, 1);
    }
    RaiseCopyFailure(copied, source, dest);
    if (closed != 0) {
        throw EGZipError("Error closing " + dest, 3);
    }
    SetFileDosDateTime(output.Path(), date);
    SetReadOnlyAttribute(output.Path(), attributes);
    if (!output.Commit()) {
        throw EGZipError("Error writing to " + dest, 5);
    }
}

void GUnzip(const std::string& source, const std::string& destPrefix) {
    const std::uint32_t attributes = GetFileAttributes(source);
    std::string name;
    std::uint32_t time = 0;
    gz_stream_ptr stream = gzopen(source, "r", name, time);
    if (!stream) {
        throw EGZipError("Error opening " + source, 2);
    }
    // Without a header there is no stored time, and 0 means "none" in a header too: the gzip file's own time
    // stands in then.
    const bool stamped = !stream->transparent && time != 0;
    const std::string outputName = destPrefix + ExpandedName(name, source);
    if (DirectoryExists(outputName)) {
        throw EGZipError("Error opening " + destPrefix, 2);
    }
    TempOutput output(outputName);
    if (!output.Created()) {
        throw EGZipError("Error opening " + destPrefix, 2);
    }
    switch (CopyGzToFile(stream.get(), output.File())) {
    case 1:
        throw EGZipError("Error reading from " + source, 4);
    case 2:
    case 3:
        throw EGZipError("Error writing to " + destPrefix, 5);
    default:
        break;
    }
    if (gzclose(stream.get()) != 0) {
        throw EGZipError("Error closing " + source, 3);
    }
    SetFileDosDateTime(output.Path(), stamped ? UnixTimeToDosDateTime(time) : FileDosDateTime(source));
    SetReadOnlyAttribute(output.Path(), attributes);
    if (!output.Commit()) {
        throw EGZipError("Error writing to " + destPrefix, 5);
    }
}

TGzFileInfo GzFileInfo(const std::string& path) {
    TGzFileInfo info;
    info.FileDate = DateTimeToDosDateTime(Now());
    std::string name;
    std::uint32_t time = 0;
    gz_stream_ptr stream = gzopen(path, "r", name, time);
    if (!stream) {
        throw EGZipError("Error opening " + path, 2);
    }
    info.Name = ExpandedName(name, path);
    info.FileDate = !stream->transparent && time != 0 ? UnixTimeToDosDateTime(time) : FileDosDateTime(path);
    gzclose(stream.get());
    info.Attributes = GetFileAttributes(path);
    return info;
}
