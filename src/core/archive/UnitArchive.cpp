#include "UnitArchive.h"

#include "core/app/UnitGo.h"
#include "platform/Convert.h"
#include "platform/Descriptor.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "zip/ZipArchive.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

void Log(const std::string& message) {
    GetGlobalObject()->Log->Add(message);
}

// "Can't locate file" and why: the one line for a file whose place cannot be reached or written.
std::string CannotLocate(const std::string& target, int error) {
    return "Can't locate file " + ShowControlCharacters(target) + ": " + std::strerror(error);
}

// The name under which the zip writer stores a path.
std::string ArchiveEntryName(const std::string& path) {
    return ZipEntryName(path, "");
}

// The volumes of one CompressFiles call. Unless kept, the archive still open is closed and every volume made so
// far deleted when the call ends, whichever way it ends.
class TVolumeSet {
public:
    explicit TVolumeSet(const std::string& archiveName) : archiveName_(archiveName) {}
    ~TVolumeSet() {
        if (kept_) {
            return;
        }
        try {
            CloseZip();
        } catch (const std::exception&) {
            // The volume goes anyway; held open, its deleted file would keep its room on the disk.
            AbandonZip();
        }
        for (std::int32_t volume = 0; volume < count_; ++volume) {
            DeleteFile(VolumeFileName(archiveName_, volume));
        }
    }
    TVolumeSet(const TVolumeSet&) = delete;
    TVolumeSet& operator=(const TVolumeSet&) = delete;

    // Starts volume `volume` (the next one) and returns its name.
    std::string Begin(std::int32_t volume) {
        const std::string name = VolumeFileName(archiveName_, volume);
        // Made new under its name (the name the server receives), never through what may stand there; the writer
        // then opens it only as the file it is, never through a link.
        TProgramFile::NewFile(name).Keep();
        // Counted once it is ours, before it is written: a volume whose making fails half way is deleted too, and
        // a file that stood at its name is not.
        count_ = volume + 1;
        MakeZip(name, "");
        return name;
    }
    void Keep() { kept_ = true; }

private:
    std::string archiveName_;
    std::int32_t count_ = 0;
    bool kept_ = false;
};

// How often pending events run while one file is packed.
constexpr std::chrono::milliseconds EventsWhilePacking{100};

// The bar shows the bytes packed so far against the run's listing. Without a total (every listed file was empty,
// or the listing was not made) the share of files done stands in for it.
void ShowProgress(TGlobalObject& app, std::int64_t bytesOfRun, int filesDone, int files) {
    if (!app.SendWindow) {
        return;
    }
    double share = app.RunByteTotal > 0
                       ? static_cast<double>(bytesOfRun) * 100.0 / static_cast<double>(app.RunByteTotal)
                       : filesDone * 100.0 / files;
    // Files that grew since the listing would run past the end.
    share = std::clamp(share, 0.0, 100.0);
    app.SendWindow->SetProgress(static_cast<int>(share));
}

// The volume as minizip reads it: through a buffer of our own over pread. The library seeks before nearly every
// read, to a place mostly inside the block it just read; through stdio each of those seeks is a system call, six
// for every entry of a volume of small files. Here a seek only moves a number.
class TVolumeReader {
public:
    static voidpf Open(voidpf, const void* path, int mode) {
        if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
            return nullptr;
        }
        TDescriptor file(::open(static_cast<const char*>(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!file.IsOpen() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return nullptr;
        }
        return new TVolumeReader(std::move(file), static_cast<std::uint64_t>(st.st_size));
    }
    static uLong Read(voidpf, voidpf stream, void* buffer, uLong size) {
        return static_cast<uLong>(static_cast<TVolumeReader*>(stream)->ReadAt(static_cast<char*>(buffer), size));
    }
    static uLong Write(voidpf, voidpf, const void*, uLong) { return 0; }
    static ZPOS64_T Tell(voidpf, voidpf stream) { return static_cast<TVolumeReader*>(stream)->position_; }
    static long Seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
        auto& reader = *static_cast<TVolumeReader*>(stream);
        const std::uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                                   : origin == ZLIB_FILEFUNC_SEEK_CUR ? reader.position_
                                                                      : reader.size_;
        reader.position_ = base + offset;
        return 0;
    }
    static int Close(voidpf, voidpf stream) {
        delete static_cast<TVolumeReader*>(stream);
        return 0;
    }
    static int Error(voidpf, voidpf stream) { return static_cast<TVolumeReader*>(stream)->failed_ ? 1 : 0; }

    static zlib_filefunc64_def Functions() { return {&Open, &Read, &Write, &Tell, &Seek, &Close, &Error, nullptr}; }

private:
    TVolumeReader(TDescriptor file, std::uint64_t size) : file_(std::move(file)), size_(size) {}

    // A block of the volume as read last from one place in it.
    struct Block {
        std::vector<char> Bytes;
        std::uint64_t Start = 0;
        std::size_t Length = 0;
        bool Holds(std::uint64_t at) const { return at >= Start && at - Start < Length; }
    };
    static constexpr std::size_t BlockSize = 1 << 16;

    std::size_t ReadAt(char* out, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            // Two places are read by turns, the entries' list at the end and their data from the front: a block
            // for each.
            Block* block = blocks_[0].Holds(position_)   ? &blocks_[0]
                           : blocks_[1].Holds(position_) ? &blocks_[1]
                                                         : nullptr;
            if (block == nullptr) {
                // Large reads (an entry's data) go past the blocks straight into the caller's buffer.
                if (size - done >= BlockSize) {
                    const ssize_t count = Pread(out + done, size - done, position_);
                    if (count <= 0) {
                        break;
                    }
                    done += static_cast<std::size_t>(count);
                    position_ += static_cast<std::uint64_t>(count);
                    continue;
                }
                block = &blocks_[older_];
                older_ = 1 - older_;
                block->Bytes.resize(BlockSize);
                const ssize_t count = Pread(block->Bytes.data(), BlockSize, position_);
                block->Start = position_;
                block->Length = count > 0 ? static_cast<std::size_t>(count) : 0;
                if (count <= 0) {
                    break;
                }
            } else {
                older_ = block == &blocks_[0] ? 1 : 0;
            }
            const auto offset = static_cast<std::size_t>(position_ - block->Start);
            const std::size_t count = std::min(size - done, block->Length - offset);
            std::memcpy(out + done, block->Bytes.data() + offset, count);
            done += count;
            position_ += count;
        }
        return done;
    }
    ssize_t Pread(char* out, std::size_t size, std::uint64_t at) {
        ssize_t count = 0;
        do {
            count = ::pread(file_.Get(), out, size, static_cast<off_t>(at));
        } while (count < 0 && errno == EINTR);
        failed_ = failed_ || count < 0;
        return count;
    }

    TDescriptor file_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    Block blocks_[2];
    int older_ = 0; // the block to read into next
    bool failed_ = false;
};

struct UnzCloser {
    void operator()(void* file) const { unzClose(static_cast<unzFile>(file)); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

// Closes the archive's current entry on every way out of reading it.
class TOpenEntry {
public:
    explicit TOpenEntry(unzFile file) : file_(file), open_(unzOpenCurrentFile(file) == UNZ_OK) {}
    ~TOpenEntry() {
        if (open_) {
            unzCloseCurrentFile(file_);
        }
    }
    TOpenEntry(const TOpenEntry&) = delete;
    TOpenEntry& operator=(const TOpenEntry&) = delete;

    bool IsOpen() const { return open_; }
    // The result of closing: UNZ_CRCERROR when the data read whole do not match their CRC-32.
    int Close() {
        open_ = false;
        return unzCloseCurrentFile(file_);
    }

private:
    unzFile file_;
    bool open_;
};

// The kernel's own bound on the symbolic links that one path may pass through.
constexpr int MaxLinksOnTheWay = 40;

// The way down to a restored file's folder, taken one piece at a time from the descriptor of the folder before, so
// that nothing on the way can be swapped for a link between the look at it and the write into it. A restore by root
// into a user's folders must not be led by that user's links into folders of root's: a link is followed only as
// MayFollowLink allows, and then its target is walked the same way from the descriptors, never looked up by name
// again.
//
// Entries come depth first, so the next folder mostly shares all but its last pieces with the one before: the
// folders reached stay open, one per piece, and a walk goes on from the deepest one the two paths share.
class TFolderWalk {
public:
    // Opens `folder`, an absolute path, making the missing folders of it; false when it cannot be reached, and
    // then RefusedLink() names the link of another user's that stood in the way, if that was why, and Error() gives
    // the system's reason otherwise.
    bool Open(const std::string& folder) {
        refused_.clear();
        error_ = 0;
        if (!folder.starts_with('/')) {
            error_ = EINVAL;
            return false;
        }
        if (chain_.empty()) {
            TDescriptor root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!root.IsOpen()) {
                error_ = errno;
                return false;
            }
            chain_.emplace_back();
            chain_.back().At = std::move(root);
        }
        // How far the chain already stands on `folder`, and from there back to the deepest folder still open.
        std::size_t level = 1;
        std::size_t start = 1;
        for (; level < chain_.size() && start < folder.size(); ++level) {
            const std::size_t end = std::min(folder.find('/', start), folder.size());
            if (folder.compare(start, end - start, chain_[level].Piece) != 0) {
                break;
            }
            start = end + 1;
        }
        while (!chain_[level - 1].At.IsOpen()) {
            --level;
            start = chain_[level].Start;
        }
        chain_.resize(level);
        std::string where = WhereOf(level - 1);
        for (; start < folder.size();) {
            const std::size_t end = std::min(folder.find('/', start), folder.size());
            if (end > start) {
                Level next;
                next.Piece = folder.substr(start, end - start);
                next.Links = chain_.back().Links;
                next.At = Step(chain_.back().At.Get(), where, next.Piece, true, next.Links);
                if (!next.At.IsOpen()) {
                    return false;
                }
                if (next.Links != chain_.back().Links) {
                    next.ThroughLink = true;
                    next.Resolved = where;
                }
                next.Start = start;
                // Only the folders near the root stay open, and the last: a path of thousands of pieces must not
                // hold a descriptor for each. A folder closed here is walked again from there when it is needed.
                if (chain_.size() > KeptOpen) {
                    chain_.back().At = TDescriptor();
                }
                chain_.push_back(std::move(next));
            }
            start = end + 1;
        }
        return true;
    }
    // The folder reached by the last Open that succeeded (an O_PATH descriptor: it serves the *at calls alone).
    int Folder() const { return chain_.back().At.Get(); }
    const std::string& RefusedLink() const { return refused_; }
    int Error() const { return error_; }

private:
    // One piece of the path walked and the folder it led to.
    struct Level {
        std::string Piece;
        TDescriptor At;
        int Links = 0; // links followed on the way from the root
        bool ThroughLink = false;
        std::string Resolved;  // where a link led to this folder: its path as the links gave it
        std::size_t Start = 0; // where the piece begins in the path it was walked for
    };
    static constexpr std::size_t KeptOpen = 64;

    // The path of the chain's folder at `level`, as the error line names a link found below it.
    std::string WhereOf(std::size_t level) const {
        std::size_t from = level;
        while (from > 0 && !chain_[from].ThroughLink) {
            --from;
        }
        std::string where = chain_[from].Resolved;
        for (std::size_t k = from + 1; k <= level; ++k) {
            where += "/" + chain_[k].Piece;
        }
        return where;
    }

    // The folder `piece` names in the folder open as `from` (whose path `where` then becomes the folder's), made
    // when missing and `make` allows; a link there is followed when its owner may lead the restore. Not open when
    // it cannot be reached.
    TDescriptor Step(int from, std::string& where, const std::string& piece, bool make, int& links) {
        if (piece == "..") {
            // Only a link's target climbs: a listed path with such a piece never gets here.
            TDescriptor up(::openat(from, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            error_ = up.IsOpen() ? 0 : errno;
            where.erase(std::min(where.rfind('/'), where.size()));
            return up;
        }
        TDescriptor next(::openat(from, piece.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        bool made = false;
        if (!next.IsOpen() && errno == ENOENT && make) {
            made = ::mkdirat(from, piece.c_str(), 0777) == 0;
            if (!made && errno != EEXIST) {
                error_ = errno;
                return {};
            }
            next = TDescriptor(::openat(from, piece.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat st {};
        if (!next.IsOpen() || ::fstat(next.Get(), &st) != 0) {
            error_ = errno;
            return {};
        }
        if (S_ISDIR(st.st_mode)) {
            if (made) {
                // A folder that root restores into a user's folder is the user's, as a new file there is.
                GiveFolderOwner(next.Get(), from);
            }
            where += "/" + piece;
            return next;
        }
        if (!S_ISLNK(st.st_mode)) {
            error_ = ENOTDIR;
            return {};
        }
        const std::optional<std::string> read = ReadPermittedLink(next.Get(), st, from);
        if (!read) {
            if (errno == EPERM) {
                refused_ = where + "/" + piece;
            } else {
                error_ = errno;
            }
            return {};
        }
        if (++links > MaxLinksOnTheWay) {
            error_ = ELOOP;
            return {};
        }
        const std::string& target = *read;
        // A relative target goes on from the link's own folder; the folders it names are there or it leads nowhere.
        TDescriptor at;
        int current = from;
        if (target.starts_with('/')) {
            at = TDescriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            current = at.Get();
            where.clear();
        }
        for (std::size_t start = 0; current >= 0 && start <= target.size();) {
            const std::size_t end = std::min(target.find('/', start), target.size());
            const std::string part = target.substr(start, end - start);
            start = end + 1;
            if (!part.empty() && part != ".") {
                at = Step(current, where, part, false, links);
                current = at.Get();
            }
        }
        if (current == from) {
            // A link to its own folder.
            at = TDescriptor(::fcntl(from, F_DUPFD_CLOEXEC, 0));
        }
        if (!at.IsOpen() && error_ == 0 && refused_.empty()) {
            error_ = errno;
        }
        return at;
    }

    std::vector<Level> chain_;
    std::string refused_;
    int error_ = 0;
};

// How a restored file replaces what stands at its name: only a regular file standing there itself lends the new one
// its owner, group and mode, never a set-user-id or set-group-id bit; anything else (a link above all, which could
// lead to a set-user-id program of root's) counts as no file and is replaced, never followed, and the new file then
// has 0666 less the umask and the owner and group of its folder, where the process may give them. Not forced to the
// disk file by file: a restore of a whole home folder would wait on the disk once per file, and the old file stays
// until the new one is whole.
constexpr TProgramFileRules RestoredFile{.ModeRule = TModeRule::FromReplaced,
                                         .Mode = 0666,
                                         .OwnerFromReplaced = true,
                                         .OwnerFromFolder = true,
                                         .ThroughLinks = false,
                                         .Durable = false};

// The line for a file whose entry could not be read whole.
std::string DamagedLine(const std::string& target) {
    return "Error: the archive's data of " + ShowControlCharacters(target) +
           " are damaged; the file was left as it was";
}

// Copies the archive's current entry to `name` in `folder` (the target's) through a file beside it. Empty on
// success, else the log line.
std::string ExtractEntry(unzFile file, int folder, const std::string& target, std::vector<char>& buffer) {
    const std::string damaged = DamagedLine(target);
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(file, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return damaged;
    }
    TOpenEntry entry(file);
    if (!entry.IsOpen()) {
        return damaged;
    }
    std::optional<TProgramFile> out;
    try {
        out.emplace(folder, ExtractFileName(target), RestoredFile);
    } catch (const EFCreateError& failure) {
        return CannotLocate(target, failure.ErrorNumber() != 0 ? failure.ErrorNumber() : EIO);
    }
    std::uint64_t total = 0;
    for (;;) {
        const int count = unzReadCurrentFile(file, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (count < 0) {
            return damaged;
        }
        if (count == 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(count);
        if (out->Stream().Write(buffer.data(), size) != size) {
            // A short write leaves the system's reason in errno: nothing else has run since.
            return "Error: cannot write " + ShowControlCharacters(target) + ". " + std::strerror(errno);
        }
        total += static_cast<std::uint64_t>(count);
    }
    if (entry.Close() != UNZ_OK || total != info.uncompressed_size) {
        return damaged;
    }
    try {
        out->Commit();
    } catch (const EFCreateError& failure) {
        return CannotLocate(target, failure.ErrorNumber() != 0 ? failure.ErrorNumber() : EIO);
    } catch (const EStreamError& failure) {
        return "Error: cannot write " + ShowControlCharacters(target) + ". " + failure.what();
    }
    return {};
}

// The names of the archive's entries, in order; false when the list of entries breaks off before its end.
bool ReadEntryNames(unzFile file, std::vector<std::string>& names) {
    // Room for the longest name a zip entry can have.
    std::vector<char> name(0x10000);
    int step = unzGoToFirstFile(file);
    while (step == UNZ_OK) {
        unz_file_info64 info{};
        step =
            unzGetCurrentFileInfo64(file, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0);
        if (step != UNZ_OK) {
            break;
        }
        names.emplace_back(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
        step = unzGoToNextFile(file);
    }
    return step == UNZ_END_OF_LIST_OF_FILE;
}

// The entry of each wanted file that is known for certain, by the entry's place in the volume; every other wanted
// file is named in an error line. `entries` are the names of the volume's entries that could be read.
std::map<std::size_t, const TListedFile*> PairWithEntries(const std::vector<TListedFile>& wanted,
                                                          const std::vector<std::string>& entries,
                                                          const std::string& volume) {
    std::map<std::size_t, const TListedFile*> byEntry;
    // The files found by their names alone, by entry, and the one entry of each name (-1: more than one has it).
    std::multimap<std::size_t, const TListedFile*> byName;
    std::unordered_map<std::string, std::ptrdiff_t> onlyEntry;
    bool namesIndexed = false;
    const auto leftAsItWas = [&](const TListedFile& listed, const std::string& why) {
        Log("Error: " + volume + why + ShowControlCharacters(listed.Path) + "; the file was left as it was");
    };
    const std::string unsure = " holds several entries under one name, and the backup's list cannot tell which is ";
    for (const TListedFile& listed : wanted) {
        const std::string name = ArchiveEntryName(listed.Path);
        // Where the list and the volume disagree on how many files the volume holds, a pair the list lost whole, or
        // one too many, may have shifted every place and hidden a file's entry behind a name it shares, without a
        // line that fails to parse: no entry of that volume is known for certain.
        if (static_cast<std::size_t>(listed.VolumeFiles) != entries.size()) {
            Log("Error: " + volume + " does not hold the " + std::to_string(listed.VolumeFiles) +
                " entries that the backup's list gives it, so the entry of " + ShowControlCharacters(listed.Path) +
                " is not known for certain; the file was left as it was");
            continue;
        }
        if (listed.Position >= 0) {
            const auto place = static_cast<std::size_t>(listed.Position);
            if (place >= entries.size() || entries[place] != name || !byEntry.emplace(place, &listed).second) {
                Log("Error: " + volume + " holds no entry for " + ShowControlCharacters(listed.Path) +
                    " at its place in the backup's list; the file was left as it was");
            }
            continue;
        }
        if (!namesIndexed) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                const auto [known, added] = onlyEntry.try_emplace(entries[i], static_cast<std::ptrdiff_t>(i));
                if (!added) {
                    known->second = -1;
                }
            }
            namesIndexed = true;
        }
        const auto found = onlyEntry.find(name);
        if (found == onlyEntry.end()) {
            leftAsItWas(listed, " holds no entry for ");
        } else if (found->second < 0) {
            leftAsItWas(listed, unsure);
        } else {
            byName.emplace(static_cast<std::size_t>(found->second), &listed);
        }
    }
    // An entry that two files would take by name, or that one file holds by its place, is no one's for certain.
    for (auto next = byName.begin(); next != byName.end();) {
        const auto [first, last] = byName.equal_range(next->first);
        if (std::next(first) == last && !byEntry.contains(first->first)) {
            byEntry.emplace(first->first, first->second);
        } else {
            for (auto claim = first; claim != last; ++claim) {
                leftAsItWas(*claim->second, unsure);
            }
        }
        next = last;
    }
    return byEntry;
}

} // namespace

std::string VolumeFileName(const std::string& archiveName, std::int32_t volume) {
    return ExtractFilePath(archiveName) + std::to_string(volume) + ExtractFileName(archiveName);
}

void RemoveRunLeftovers() {
    // The stamp MakeArchiveName puts behind the task name; a task name may hold anything, digits in front too.
    static const std::regex volumeForm(
        R"(([0-9]+)(.*__[0-9]{2}_[0-9]{2}_[0-9]{2}_[0-9]{2}-[0-9]{2}-[0-9]{2}\.zip(\.crt)?))");
    RemoveOwnLeftovers(GetTempDir(), [](const std::string& name, const std::unordered_set<std::string>& names) {
        std::smatch match;
        if (!std::regex_match(name, match, volumeForm)) {
            return false;
        }
        // Volume 12 of "3Docs" and volume 1 of "23Docs" share a name: a list of either keeps it.
        const std::size_t digits = match[1].length();
        for (std::size_t cut = 1; cut <= digits; ++cut) {
            if (names.contains(name.substr(cut) + ".inf")) {
                return false;
            }
        }
        return true;
    });
    for (const char* kind : {"volume", "list"}) {
        TWorkFile::RemoveLeftovers(kind);
    }
}

std::int32_t CompressFiles(TStrings* list, const std::string& archiveName, bool oneVolume) {
    if (list == nullptr) {
        return 0;
    }
    if (list->Empty()) {
        Log("Nothing to send.");
        return 0;
    }
    TGlobalObject& app = *GetGlobalObject();
    std::int32_t volume = 0;
    std::int64_t bytesInVolume = 0;
    std::int64_t bytesOfRun = 0;
    // The place in the list of each volume's first file.
    std::vector<int> volumeStarts{0};
    // Room for the volume numbers now, while the run holds little else: growing the list at the end would hold
    // its old and new storage at once, when the run holds the most.
    list->Lines().reserve(2 * list->Lines().size());
    TVolumeSet volumes(archiveName);
    // Asked between the blocks of a file: a large file must not hold off STOP (whose click needs pending events to
    // run) or a termination signal until it is packed whole.
    auto nextEvents = std::chrono::steady_clock::now() + EventsWhilePacking;
    const auto stopped = [&] {
        if (std::chrono::steady_clock::now() >= nextEvents) {
            ProcessMessages();
            nextEvents = std::chrono::steady_clock::now() + EventsWhilePacking;
        }
        return app.StopRequested();
    };
    try {
        Log("Start compressing file " + VolumeFileName(archiveName, 0));
        volumes.Begin(0);
        for (int i = 0; i < list->Count(); ++i) {
            const std::string& path = (*list)[i];
            if (!oneVolume && bytesInVolume >= VolumeThreshold) {
                CloseZip();
                ++volume;
                volumeStarts.push_back(i);
                bytesInVolume = 0;
                Log("Start compressing file " + volumes.Begin(volume));
            }
            Log("Adding file" + path);
            // Opened once: the size shown is that of the file then packed. A path that opens as what cannot be
            // packed (a FIFO, a device, a folder put in a file's place since the listing) fails in AddZip, as one
            // that cannot be read.
            TZipSource source(path);
            if (source.OpenError() != 0) {
                RaiseCannotOpen(path, source.OpenError());
            }
            bytesOfRun += source.Size();
            bytesInVolume += source.Size();
            ShowProgress(app, bytesOfRun, i + 1, list->Count());
            ProcessMessages();
            if (!AddZip(source, stopped) || app.StopRequested()) {
                return 0;
            }
        }
        CloseZip();
        volumes.Keep();
    } catch (const std::exception& error) {
        Log(std::string("Error:") + error.what());
        return 0;
    }
    Log("Compressing is done");
    // The pairs made in place, each path moved rather than copied: a run holds its paths once.
    std::vector<std::string>& lines = list->Lines();
    const std::size_t files = lines.size();
    lines.resize(2 * files);
    std::int32_t fileVolume = volume;
    for (std::size_t i = files; i-- > 0;) {
        while (static_cast<std::size_t>(volumeStarts[static_cast<std::size_t>(fileVolume)]) > i) {
            --fileVolume;
        }
        lines[2 * i + 1] = std::move(lines[i]);
        lines[2 * i] = std::to_string(fileVolume);
    }
    return volume + 1;
}

bool IsListedFilePath(const std::string& path) {
    if (path.size() < 2 || path[0] != PathDelim || path.find('\0') != std::string::npos) {
        return false;
    }
    for (std::size_t start = 1;;) {
        const std::size_t end = std::min(path.find(PathDelim, start), path.size());
        const std::string_view piece(path.data() + start, end - start);
        if (piece.empty() || piece == "." || piece == "..") {
            return false;
        }
        if (end == path.size()) {
            return true;
        }
        start = end + 1;
    }
}

namespace {

// A long text from the server cut to its ends for a log line, with its control characters shown.
std::string ShownShortened(const std::string& text) {
    constexpr std::size_t Head = 120;
    constexpr std::size_t Tail = 60;
    if (text.size() <= Head + Tail + 3) {
        return ShowControlCharacters(text);
    }
    // Cut between characters, not inside one: a UTF-8 sequence's later bytes are 10xxxxxx.
    const auto isLaterByte = [&](std::size_t at) { return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80; };
    std::size_t head = Head;
    while (head > 0 && isLaterByte(head)) {
        --head;
    }
    std::size_t tail = text.size() - Tail;
    while (tail < text.size() && isLaterByte(tail)) {
        ++tail;
    }
    return ShowControlCharacters(text.substr(0, head)) + "..." + ShowControlCharacters(text.substr(tail));
}

// A path and its volume, for finding a path that one volume lists twice.
struct TVolumePath {
    std::int32_t Volume;
    std::string_view Path;
    bool operator==(const TVolumePath&) const = default;
};
struct TVolumePathHash {
    std::size_t operator()(const TVolumePath& key) const {
        return std::hash<std::string_view>()(key.Path) ^ (static_cast<std::size_t>(key.Volume) * 0x9E3779B97F4A7C15u);
    }
};

} // namespace

std::vector<TListedFile> ParseBackupList(const TStrings& lines, std::vector<std::string>& errors) {
    static const std::string ByteOrderMark = "\xEF\xBB\xBF";
    std::vector<TListedFile> files;
    std::unordered_map<std::int32_t, std::int32_t> placed;
    errors.clear();
    bool damaged = false;
    // The file of the pair that ends on the line before `i`, if that pair was taken.
    std::size_t pairEnd = 0;
    std::optional<std::size_t> lastFile;
    const auto damage = [&](std::size_t i, const std::string& what) {
        if (damaged) {
            return;
        }
        errors.push_back(what);
        damaged = true;
        // A line added or lost inside the pair before shows only here: that pair's path and place are in doubt.
        if (lastFile && pairEnd == i) {
            files[*lastFile].Position = -1;
        }
    };
    const int count = lines.Count();
    for (int i = 0; i < count;) {
        const auto at = static_cast<std::size_t>(i);
        const std::string& line = lines[i];
        std::int32_t volume = 0;
        try {
            volume = StrToInt(i == 0 && line.starts_with(ByteOrderMark) ? line.substr(ByteOrderMark.size()) : line);
        } catch (const EConvertError&) {
            damage(at, "'" + ShownShortened(line) + "' is not a valid integer value");
            ++i;
            continue;
        }
        if (i + 1 >= count) {
            damage(at, "The backup's list ends after a volume number, without its path");
            break;
        }
        const std::string& path = lines[i + 1];
        // A refused path keeps its place: the entries after it in its volume are still the next files'.
        const std::int32_t position = placed[volume]++;
        lastFile.reset();
        pairEnd = at + 2;
        if (static_cast<std::size_t>(std::count(path.begin(), path.end(), PathDelim)) > MaxListedPieces) {
            errors.push_back("The backup's list names \"" + ShownShortened(path) + "\", a path of more than " +
                             std::to_string(MaxListedPieces) + " pieces; it was left out");
        } else if (IsListedFilePath(path)) {
            lastFile = files.size();
            files.push_back({volume, damaged ? -1 : position, path});
        } else {
            errors.push_back("The backup's list names \"" + ShownShortened(path) +
                             "\", which is no full path of a file; it was left out");
        }
        i += 2;
    }
    // A path that one volume lists twice is one name for two entries: which of them is its own, no place tells.
    std::unordered_map<TVolumePath, std::size_t, TVolumePathHash> first;
    first.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        TListedFile& file = files[i];
        file.VolumeFiles = placed[file.Volume];
        const auto [known, added] = first.try_emplace(TVolumePath{file.Volume, file.Path}, i);
        if (!added) {
            files[known->second].Position = -1;
            file.Position = -1;
        }
    }
    return files;
}

bool DecompressArchive(const std::string& zipPath, const std::vector<TListedFile>& wanted,
                       const std::string& volumeName) {
    const std::string volume = ShowControlCharacters(volumeName.empty() ? zipPath : volumeName);
    Log("Start decompressing file " + volume);
    zlib_filefunc64_def reader = TVolumeReader::Functions();
    UnzHandle archive(unzOpen2_64(zipPath.c_str(), &reader));
    if (!archive) {
        Log("Can't open sompressed file " + ExtractFileName(volume) + " Wrong Password?");
        return false;
    }
    const auto file = static_cast<unzFile>(archive.get());
    // Every entry's name is known before anything is written: a file whose place is not certain is found by its
    // name, which then must be the only one of its kind in the whole volume.
    std::vector<std::string> entries;
    const bool whole = ReadEntryNames(file, entries);
    std::map<std::size_t, const TListedFile*> byEntry = PairWithEntries(wanted, entries, ExtractFileName(volume));
    // One buffer for the whole volume: entries are streamed through it, so a large entry needs no more memory and
    // many small ones no more allocations.
    std::vector<char> buffer(1 << 20);
    // Entries come folder by folder: a folder reached for one entry serves the next ones.
    TFolderWalk walk;
    std::string walked;
    bool reached = false;
    int step = unzGoToFirstFile(file);
    for (std::size_t index = 0; step == UNZ_OK && !byEntry.empty(); ++index) {
        ProcessMessages();
        const auto found = byEntry.find(index);
        if (found != byEntry.end()) {
            const std::string& target = found->second->Path;
            byEntry.erase(found);
            try {
                const std::string folder = ExtractFilePath(target);
                const bool sound = IsListedFilePath(target);
                if (sound && folder != walked) {
                    walked = folder;
                    reached = walk.Open(folder);
                }
                if (!sound) {
                    Log(CannotLocate(target, EINVAL));
                } else if (!reached && !walk.RefusedLink().empty()) {
                    Log("Error: the symbolic link " + ShowControlCharacters(walk.RefusedLink()) + " on the way to " +
                        ShowControlCharacters(target) +
                        " belongs to another user and was not followed; the file was left out");
                } else if (!reached) {
                    Log(CannotLocate(target, walk.Error()));
                } else {
                    Log("Decompressing file " + ShowControlCharacters(target));
                    const std::string failure = ExtractEntry(file, walk.Folder(), target, buffer);
                    if (!failure.empty()) {
                        Log(failure);
                    }
                }
            } catch (const std::exception& failure) {
                Log("Can't locate file " + ShowControlCharacters(target) + ": " +
                    ShowControlCharacters(failure.what()));
            }
        }
        step = unzGoToNextFile(file);
    }
    // The entries' list read whole once may still break off on the way through it (the volume cut or unreadable
    // meanwhile): the files whose entries were not reached are named, not silently passed over.
    for (const auto& [index, listed] : byEntry) {
        Log(DamagedLine(listed->Path));
    }
    if (!whole) {
        Log("Error: the list of entries of " + ExtractFileName(volume) +
            " is damaged; the entries after it were not read");
    }
    archive.reset();
    Log("Decompession is done");
    return true;
}
