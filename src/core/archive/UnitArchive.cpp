#include "UnitArchive.h"

#include "core/app/UnitGo.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"
#include "platform/Paths.h"
#include "zip/ZipArchive.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
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
        // Counted first: a volume whose making fails half way is deleted too.
        count_ = volume + 1;
        const std::string name = VolumeFileName(archiveName_, volume);
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

// A new file beside `target` that replaces it on Commit; without a Commit it is removed and the target stays as
// it was. It takes the mode of the file it replaces, and meanwhile is the owner's alone: a private key restored
// over its older self is never readable by others, not even for a moment. Where there is no file yet it is made
// with 0666 less the umask, as a file created at the target would be.
class TFileBeside {
public:
    explicit TFileBeside(const std::string& target) : target_(target) {
        static thread_local std::mt19937_64 random{std::random_device{}()};
        const std::string folder = ExtractFilePath(target);
        struct stat st {};
        const mode_t mode = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 0600 : 0666;
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, ".restore-%012llx",
                          static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
            path_ = folder + suffix;
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
            if (fd_ < 0 && errno != EEXIST) {
                break;
            }
        }
    }
    ~TFileBeside() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!committed_) {
            ::unlink(path_.c_str());
        }
    }
    TFileBeside(const TFileBeside&) = delete;
    TFileBeside& operator=(const TFileBeside&) = delete;

    bool IsOpen() const { return fd_ >= 0; }

    bool Write(const char* data, std::size_t count) {
        while (count > 0) {
            const ssize_t written = ::write(fd_, data, count);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            data += written;
            count -= static_cast<std::size_t>(written);
        }
        return true;
    }

    // False, with errno, when the bytes could not all be kept, the mode not taken or the target not replaced.
    bool Commit() {
        const int fd = fd_;
        fd_ = -1;
        const bool moded = TakeTargetsMode(fd);
        if (::close(fd) != 0 || !moded) {
            return false;
        }
        if (::rename(path_.c_str(), target_.c_str()) != 0) {
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    // The owner and group first, where the process may give them (changing them may clear set-id bits), then the
    // mode. A target that is no regular file (any more) leaves the file as it was made.
    bool TakeTargetsMode(int fd) const {
        struct stat st {};
        if (::stat(target_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return true;
        }
        if (::fchown(fd, st.st_uid, st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
            // Not the process's to give: the file stays the restoring user's.
        }
        return ::fchmod(fd, st.st_mode & 07777) == 0;
    }

    std::string target_;
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

// A folder for the target: there already (a link to a folder serves) or made with its missing parents.
bool MakeFolderFor(const std::string& target) {
    const std::string folder = ExtractFilePath(target);
    if (folder.empty()) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies the archive's current entry to target through a file beside it. Empty on success, else the log line.
std::string ExtractEntry(unzFile file, const unz_file_info64& info, const std::string& target,
                         std::vector<char>& buffer) {
    const std::string damaged = "Error: the archive's data of " + target + " are damaged; the file was left as it was";
    TOpenEntry entry(file);
    if (!entry.IsOpen()) {
        return damaged;
    }
    TFileBeside out(target);
    if (!out.IsOpen()) {
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
        if (!out.Write(buffer.data(), static_cast<std::size_t>(count))) {
            return "Error: cannot write " + target + ". " + std::strerror(errno);
        }
        total += static_cast<std::uint64_t>(count);
    }
    if (entry.Close() != UNZ_OK || total != info.uncompressed_size) {
        return damaged;
    }
    if (!out.Commit()) {
        return "Can't locate file " + target;
    }
    return {};
}

} // namespace

std::string VolumeFileName(const std::string& archiveName, std::int32_t volume) {
    return ExtractFilePath(archiveName) + std::to_string(volume) + ExtractFileName(archiveName);
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
    TStringList pairs;
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
            pairs.Add(std::to_string(volume));
            pairs.Add(path);
        }
        CloseZip();
        volumes.Keep();
    } catch (const std::exception& error) {
        Log(std::string("Error:") + error.what());
        return 0;
    }
    Log("Compressing is done");
    *list = std::move(pairs);
    return volume + 1;
}

std::vector<TListedFile> ParseBackupList(const TStrings& lines, std::string& error) {
    std::vector<TListedFile> files;
    std::unordered_map<std::int32_t, std::int32_t> placed;
    error.clear();
    const int count = lines.Count();
    for (int i = 0; i < count;) {
        std::int32_t volume = 0;
        try {
            volume = StrToInt(lines[i]);
        } catch (const EConvertError& failure) {
            if (error.empty()) {
                error = failure.what();
            }
            ++i;
            continue;
        }
        if (i + 1 >= count) {
            if (error.empty()) {
                error = "The backup's list ends after a volume number, without its path";
            }
            break;
        }
        files.push_back({volume, placed[volume]++, lines[i + 1]});
        i += 2;
    }
    return files;
}

bool DecompressArchive(const std::string& zipPath, const std::vector<TListedFile>& wanted) {
    Log("Start decompressing file " + zipPath);
    UnzHandle archive(unzOpen64(zipPath.c_str()));
    if (!archive) {
        Log("Can't open sompressed file " + ExtractFileName(zipPath) + " Wrong Password?");
        return false;
    }
    const auto file = static_cast<unzFile>(archive.get());
    // The wanted files by their places; each is taken out when its entry is met, so what stays was never met.
    std::map<std::int32_t, const TListedFile*> byPosition;
    for (const TListedFile& listed : wanted) {
        byPosition.emplace(listed.Position, &listed);
    }
    const auto misplaced = [&](const std::string& path) {
        Log("Error: " + ExtractFileName(zipPath) + " holds no entry for " + path +
            " at its place in the backup's list; the file was left as it was");
    };
    // One buffer for the whole volume: entries are streamed through it, so a large entry needs no more memory and
    // many small ones no more allocations. The name buffer holds the longest name a zip entry can have.
    std::vector<char> buffer(1 << 20);
    std::vector<char> name(0x10000);
    std::string readyFolder;
    std::int32_t position = 0;
    int step = unzGoToFirstFile(file);
    while (step == UNZ_OK) {
        ProcessMessages();
        unz_file_info64 info{};
        step =
            unzGetCurrentFileInfo64(file, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0);
        if (step != UNZ_OK) {
            break;
        }
        const std::string entryName(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
        const auto found = byPosition.find(position++);
        if (found != byPosition.end()) {
            const std::string& target = found->second->Path;
            byPosition.erase(found);
            if (entryName != ArchiveEntryName(target) && entryName != target) {
                misplaced(target);
            } else {
                try {
                    // Entries come folder by folder: a folder made (or found) for one entry serves the next ones.
                    const std::string folder = ExtractFilePath(target);
                    const bool folderReady = (!folder.empty() && folder == readyFolder) || MakeFolderFor(target);
                    readyFolder = folderReady ? folder : std::string();
                    if (!folderReady) {
                        Log("Can't locate file " + target);
                    } else {
                        Log("Decompressing file " + target);
                        const std::string failure = ExtractEntry(file, info, target, buffer);
                        if (!failure.empty()) {
                            Log(failure);
                        }
                    }
                } catch (const std::exception&) {
                    Log("Can't locate file " + target);
                }
            }
        }
        step = unzGoToNextFile(file);
    }
    if (step != UNZ_END_OF_LIST_OF_FILE) {
        Log("Error: the list of entries of " + ExtractFileName(zipPath) +
            " is damaged; the entries after it were "
            "not read");
    }
    for (const auto& [unmet, listed] : byPosition) {
        misplaced(listed->Path);
    }
    archive.reset();
    Log("Decompession is done");
    return true;
}
