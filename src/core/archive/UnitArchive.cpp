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
            // The volume goes anyway.
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
class TFolderWalk {
public:
    // Opens `folder`, an absolute path, making the missing folders of it; false when it cannot be reached, and
    // RefusedLink() then names the link of another user's that stood in the way, if that was why.
    bool Open(const std::string& folder) {
        refused_.clear();
        links_ = 0;
        return folder.starts_with('/') && Descend(folder, true);
    }
    // The folder reached by the last Open that succeeded (an O_PATH descriptor: it serves the *at calls alone).
    int Folder() const { return at_.Get(); }
    const std::string& RefusedLink() const { return refused_; }

private:
    // From the current folder through the pieces of `path`; an absolute one starts again at the root.
    bool Descend(const std::string& path, bool make) {
        if (path.starts_with('/')) {
            at_ = TDescriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            where_.clear();
            if (!at_.IsOpen()) {
                return false;
            }
        }
        for (std::size_t start = 0; start <= path.size();) {
            const std::size_t end = std::min(path.find('/', start), path.size());
            const std::string piece = path.substr(start, end - start);
            start = end + 1;
            if (!piece.empty() && piece != "." && !Enter(piece, make)) {
                return false;
            }
        }
        return true;
    }

    bool Enter(const std::string& piece, bool make) {
        if (piece == "..") {
            // Only a link's target climbs: a listed path with such a piece never gets here.
            TDescriptor up(::openat(at_.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!up.IsOpen()) {
                return false;
            }
            at_ = std::move(up);
            where_.erase(std::min(where_.rfind('/'), where_.size()));
            return true;
        }
        TDescriptor next(::openat(at_.Get(), piece.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        bool made = false;
        if (!next.IsOpen() && errno == ENOENT && make) {
            made = ::mkdirat(at_.Get(), piece.c_str(), 0777) == 0;
            if (!made && errno != EEXIST) {
                return false;
            }
            next = TDescriptor(::openat(at_.Get(), piece.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat st {};
        if (!next.IsOpen() || ::fstat(next.Get(), &st) != 0) {
            return false;
        }
        const std::string path = where_ + "/" + piece;
        if (S_ISDIR(st.st_mode)) {
            if (made) {
                // A folder that root restores into a user's folder is the user's, as a new file there is.
                GiveFolderOwner(next.Get(), at_.Get());
            }
            at_ = std::move(next);
            where_ = path;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            return false;
        }
        struct stat place {};
        if (::fstat(at_.Get(), &place) != 0 || !MayFollowLink(st, place)) {
            refused_ = path;
            return false;
        }
        if (++links_ > MaxLinksOnTheWay) {
            return false;
        }
        // Read through the descriptor of the link whose owner was looked at, not by its name again.
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(next.Get(), "", target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return false;
        }
        target.resize(static_cast<std::size_t>(length));
        // A relative target goes on from the link's own folder; the folders it names are there or it leads nowhere.
        return Descend(target, false);
    }

    TDescriptor at_;
    std::string where_; // the path walked so far, for the error line
    std::string refused_;
    int links_ = 0;
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

// Copies the archive's current entry to `name` in `folder` (the target's) through a file beside it. Empty on
// success, else the log line.
std::string ExtractEntry(unzFile file, int folder, const std::string& target, std::vector<char>& buffer) {
    const std::string damaged = "Error: the archive's data of " + target + " are damaged; the file was left as it was";
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
    } catch (const EFCreateError&) {
        return "Can't locate file " + target;
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
            return "Error: cannot write " + target + ". " + std::strerror(errno);
        }
        total += static_cast<std::uint64_t>(count);
    }
    if (entry.Close() != UNZ_OK || total != info.uncompressed_size) {
        return damaged;
    }
    try {
        out->Commit();
    } catch (const EStreamError&) {
        return "Can't locate file " + target;
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
        Log("Error: " + volume + why + listed.Path + "; the file was left as it was");
    };
    const std::string unsure = " holds several entries under one name, and the backup's list cannot tell which is ";
    for (const TListedFile& listed : wanted) {
        const std::string name = ArchiveEntryName(listed.Path);
        // Where the list and the volume disagree on how many files the volume holds, a pair the list lost whole, or
        // one too many, may have shifted every place and hidden a file's entry behind a name it shares, without a
        // line that fails to parse: no entry of that volume is known for certain.
        if (static_cast<std::size_t>(listed.VolumeFiles) != entries.size()) {
            Log("Error: " + volume + " does not hold the " + std::to_string(listed.VolumeFiles) +
                " entries that the backup's list gives it, so the entry of " + listed.Path +
                " is not known for certain; the file was left as it was");
            continue;
        }
        if (listed.Position >= 0) {
            const auto place = static_cast<std::size_t>(listed.Position);
            if (place >= entries.size() || entries[place] != name || !byEntry.emplace(place, &listed).second) {
                Log("Error: " + volume + " holds no entry for " + listed.Path +
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
            const std::int64_t size = FileSizeByName(path);
            bytesOfRun += size;
            bytesInVolume += size;
            ShowProgress(app, bytesOfRun, i + 1, list->Count());
            ProcessMessages();
            if (!AddZip(path, stopped) || app.StopRequested()) {
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

std::vector<TListedFile> ParseBackupList(const TStrings& lines, std::vector<std::string>& errors) {
    static const std::string ByteOrderMark = "\xEF\xBB\xBF";
    std::vector<TListedFile> files;
    std::unordered_map<std::int32_t, std::int32_t> placed;
    errors.clear();
    bool damaged = false;
    const auto damage = [&](const std::string& what) {
        if (!damaged) {
            errors.push_back(what);
        }
        damaged = true;
    };
    const int count = lines.Count();
    for (int i = 0; i < count;) {
        const std::string& line = lines[i];
        std::int32_t volume = 0;
        try {
            volume = StrToInt(i == 0 && line.starts_with(ByteOrderMark) ? line.substr(ByteOrderMark.size()) : line);
        } catch (const EConvertError& failure) {
            damage(failure.what());
            ++i;
            continue;
        }
        if (i + 1 >= count) {
            damage("The backup's list ends after a volume number, without its path");
            break;
        }
        const std::string& path = lines[i + 1];
        // A refused path keeps its place: the entries after it in its volume are still the next files'.
        const std::int32_t position = placed[volume]++;
        if (IsListedFilePath(path)) {
            files.push_back({volume, damaged ? -1 : position, path});
        } else {
            errors.push_back("The backup's list names \"" + ShowControlCharacters(path) +
                             "\", which is no full path of a file; it was left out");
        }
        i += 2;
    }
    for (TListedFile& file : files) {
        file.VolumeFiles = placed[file.Volume];
    }
    return files;
}

bool DecompressArchive(const std::string& zipPath, const std::vector<TListedFile>& wanted,
                       const std::string& volumeName) {
    const std::string volume = volumeName.empty() ? zipPath : volumeName;
    Log("Start decompressing file " + volume);
    UnzHandle archive(unzOpen64(zipPath.c_str()));
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
                    Log("Can't locate file " + target);
                } else if (!reached && !walk.RefusedLink().empty()) {
                    Log("Error: the symbolic link " + walk.RefusedLink() + " on the way to " + target +
                        " belongs to another user and was not followed; the file was left out");
                } else if (!reached) {
                    Log("Can't locate file " + target);
                } else {
                    Log("Decompressing file " + target);
                    const std::string failure = ExtractEntry(file, walk.Folder(), target, buffer);
                    if (!failure.empty()) {
                        Log(failure);
                    }
                }
            } catch (const std::exception&) {
                Log("Can't locate file " + target);
            }
        }
        step = unzGoToNextFile(file);
    }
    if (!whole) {
        Log("Error: the list of entries of " + ExtractFileName(volume) +
            " is damaged; the entries after it were not read");
    }
    archive.reset();
    Log("Decompession is done");
    return true;
}
