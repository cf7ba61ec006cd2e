#pragma once

#include "platform/Exceptions.h"
#include "zip/FileHandle.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>

// The zip archive writer: one archive at a time, built entry by entry from files on disk, each entry raw deflate
// data behind a local header that is completed once the data are written; CloseZip appends the central directory
// and the end record. Entry names are the source paths as given, with bytes from 0x80 mapped through the OEM
// table below. Beside it, single-file gzip compression that keeps the file's name and time in the gzip header.
//
// Past a limit of the plain format the writer uses the format's Zip64 extension, there and only there: an entry
// whose sizes may reach 4 GiB carries them in a Zip64 extra field (local header and directory), an entry that
// starts at 4 GiB or later has its offset in one (directory), and an archive of more than 65,535 entries or whose
// directory starts or ends at 4 GiB or later gets the Zip64 end record and its locator before the end record. An
// archive within every limit has none of these.
//
// Calling order: MakeZip, any number of AddZip, CloseZip. A failed AddZip leaves the archive open and unchanged
// apart from the failed entry's bytes, which no directory entry points to, so a later CloseZip still writes a
// valid archive of the entries finished before. Not thread-safe: one caller at a time.

// A failure of the operating system on a file. ErrorCode holds the system's error number (0 when none applies).
class EInOutError : public Exception {
public:
    EInOutError(const std::string& message, int errorCode) : Exception(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// A failure of the archive writer or the gzip routines; the message names the file. Codes:
// 1 gzip file not created, 2 a file not opened (or the archive full), 3 finishing the compressed data failed,
// 4 a source could not be read (or, expanding, its data are damaged), 5 a write failed.
class EGZipError : public EInOutError {
public:
    EGZipError(const std::string& message, int code) : EInOutError(message, 0), ZipErrorCode(code) {}
    int ZipErrorCode;
};

enum TCompressionType { ctStandard = 0, ctFiltered = 1, ctHuffmanOnly = 2 };

// What the central directory needs of one finished entry. Zip64: its local header carries the sizes in a Zip64
// extra field, so its directory entry does too.
struct TPkHeader {
    std::uint32_t DosDateTime = 0;
    std::int64_t HeaderOffset = 0;
    std::uint32_t Crc = 0;
    std::uint64_t CompressedSize = 0;
    std::uint64_t UncompressedSize = 0;
    std::uint32_t Attributes = 0;
    bool Zip64 = false;
};

// Begins a new archive at zipName, emptied if it exists (created with mode 0600: it holds copies of the user's
// files). The archive is never reached through a symbolic link: one at zipName fails this call or a later one. Entry
// names are made relative to baseDir; an empty baseDir keeps every path whole. An archive still open is abandoned
// without its directory. Raises EInOutError when the file cannot be created; no archive is open then.
void MakeZip(const std::string& zipName, const std::string& baseDir);
// A file opened to be packed. Its size, time and attributes are taken from the open file, so they are those of
// the very file read, and a caller that needs the size first (to show it) needs no second look by name.
class TZipSource {
public:
    // Opens the file; a FIFO or a device is refused without being waited on (see Error).
    explicit TZipSource(const std::string& path) : path_(path) { Reopen(); }
    // 0 when the file is open, else why it could not be opened as a readable regular file (errno).
    int Error() const { return file_.IsOpen() ? 0 : file_.Error(); }
    // Why the path could not be opened at all (errno), else 0: a FIFO, a device or a folder is opened, and only
    // then refused.
    int OpenError() const { return file_.IsOpen() || (status_.st_mode & S_IFMT) != 0 ? 0 : file_.Error(); }
    const std::string& Path() const { return path_; }
    std::int64_t Size() const { return status_.st_size; }
    const struct stat& Status() const { return status_; }
    FileHandle& File() { return file_; }
    // Opens the file again, for another pass from its start; false when it can no longer be opened.
    bool Reopen() {
        status_ = {};
        return file_.OpenRegularForReading(path_, &status_);
    }

private:
    std::string path_;
    FileHandle file_;
    struct stat status_ {};
};

// Appends the file at path as one deflated entry. Does nothing when no archive is open. Raises EGZipError:
// code 2 when the source is not a readable regular file, the entry cannot start, or the entry name is longer
// than a zip header can hold (the message says so); 3 when the data cannot be finished; 4 when the source fails
// while being read; 5 when the compressed data cannot be written whole (a full disk). A source that grows past
// 4 GiB while it is packed is packed again from its start with Zip64 sizes.
// `cancelled`, when given, is asked before each block of the source is read; once it answers true the entry is
// given up as a failed one is, and AddZip returns false. True when the entry was added (or no archive is open).
bool AddZip(const std::string& path, const std::function<bool()>& cancelled = {});
// The same for a source opened already (one that failed to open raises as above); it is read to its end and
// closed.
bool AddZip(TZipSource& source, const std::function<bool()>& cancelled = {});
// Writes the central directory and the end record and closes the archive. Does nothing when none is open.
// Raises EInOutError when the archive cannot be written, after which it stays open, so a later CloseZip may try
// again, or when its close fails.
void CloseZip();
// Gives up the open archive without its directory and lets go of the file, whose name may be gone already: a
// volume given up after a failed CloseZip must not keep its disk space (a full disk stays full) while nothing
// uses it. Does nothing when none is open.
void AbandonZip();
// Level (0-9, -1 for zlib's default) and strategy of the entries and gzip files made from now on; 6 and
// ctStandard until changed.
void SetCompression(TCompressionType type, int level);

// The entry name for path: relative to baseDir (exact comparison of folder names, ".." for each base folder not
// shared), unchanged when baseDir is empty or one of the two is absolute and the other not; then bytes from 0x80
// replaced through OemCharTable.
std::string ZipEntryName(const std::string& path, const std::string& baseDir);
extern const unsigned char OemCharTable[128];

// --- Single gzip files ---

struct TGzFileInfo {
    std::string Name;           // the stored name, else the gzip file's own name without its last extension
    std::uint32_t FileDate = 0; // DOS date-time (local) of the stored time, else of the gzip file itself
    std::uint32_t Attributes = 0;
};

// Compresses source into the gzip file dest, storing source's file name and time; dest gets source's time and
// read-only attribute. dest is replaced only once it has been written whole.
void GZip(const std::string& source, const std::string& dest);
// Expands the gzip file source into destPrefix followed by the stored name (only its last path piece, so a
// crafted name cannot write outside the prefix), or by source's own name without its last extension when none
// is stored. destPrefix is used as it stands: a folder ends in "/"; empty means the current folder. A file that is
// not in gzip format is copied unchanged. The output is replaced only after the data were read whole and their
// CRC-32 and length checked; it gets the stored time (else source's) and source's read-only attribute.
void GUnzip(const std::string& source, const std::string& destPrefix);
// The name and time stored in a gzip file, without expanding it.
TGzFileInfo GzFileInfo(const std::string& path);
