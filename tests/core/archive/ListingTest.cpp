#include "core/archive/UnitArchive.h"
#include "core/archive/UnitListing.h"

#include "ArchiveFixture.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "platform/Paths.h"
#include "support/ScopedEnv.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> PathsOf(const FileInfos& list) {
    std::vector<std::string> paths;
    for (const tagFileInfo& entry : list) {
        paths.push_back(entry.Path);
    }
    return paths;
}

// Every entry's size is its file's, and the totals run on from `start`.
void ExpectSizesAndTotals(const FileInfos& list, std::int32_t start = 0) {
    std::int32_t total = start;
    for (const tagFileInfo& entry : list) {
        EXPECT_EQ(entry.Size, static_cast<std::int32_t>(fs::file_size(entry.Path))) << entry.Path;
        total += entry.Size;
        EXPECT_EQ(entry.Total, total) << entry.Path;
    }
}

// The positions of the paths that begin with prefix are one unbroken run.
bool Contiguous(const std::vector<std::string>& paths, const std::string& prefix) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].starts_with(prefix)) {
            at.push_back(i);
        }
    }
    return !at.empty() && at.back() - at.front() + 1 == at.size();
}

void MakeSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

using Listing = ArchiveTest;

TEST_F(Listing, ScanGoesDepthFirstThroughRealFilesAndFoldersOnly) {
    WriteFileBytes(dir / "top.txt", "abc");
    WriteFileBytes(dir / ".hidden", "hello");
    fs::create_directories(dir / "sub/deep");
    fs::create_directories(dir / "sub/.hid");
    fs::create_directories(dir / "empty");
    WriteFileBytes(dir / "sub/a.txt", "1234567");
    WriteFileBytes(dir / "sub/deep/b.txt", "12345678901");
    WriteFileBytes(dir / "sub/.hid/c.txt", "1234567890123");
    fs::create_symlink(dir / "top.txt", dir / "link-to-file");
    fs::create_directory_symlink(dir.Path(), dir / "sub/loop"); // entering it would never end
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0); // opening it for its size would block
    MakeSocket(dir / "socket");

    FileInfos out;
    ScanFolder(out, dir.Path());

    const std::vector<std::string> paths = PathsOf(out);
    const std::set<std::string> expected{dir / "top.txt",        dir / ".hidden",        dir / "sub/a.txt",
                                         dir / "sub/deep/b.txt", dir / "sub/.hid/c.txt", dir / "link-to-file"};
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), expected);
    EXPECT_EQ(paths.size(), expected.size());
    // A link counts as the file it points to, under its own name.
    const auto link = std::find(paths.begin(), paths.end(), dir / "link-to-file");
    ASSERT_NE(link, paths.end());
    EXPECT_EQ(out[static_cast<std::size_t>(link - paths.begin())].Size, 3);
    // A subfolder's files follow one another where the subfolder was met, at every depth.
    EXPECT_TRUE(Contiguous(paths, dir / "sub/"));
    EXPECT_TRUE(Contiguous(paths, dir / "sub/deep/"));
    ExpectSizesAndTotals(out);
}

TEST_F(Listing, ScanOfWhatIsNoRealFolderAddsNothingAndTotalsRunOn) {
    fs::create_directories(dir / "real");
    WriteFileBytes(dir / "real/x", "12345");
    fs::create_directory_symlink(dir / "real", dir / "link");
    WriteFileBytes(dir / "file", "1");

    FileInfos out{{"/earlier", 10, 10}};
    ScanFolder(out, dir / "link/");
    ScanFolder(out, dir / "missing/");
    ScanFolder(out, dir / "file/");
    EXPECT_EQ(out.size(), 1u);

    ScanFolder(out, dir / "real/");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].Path, dir / "real/x");
    EXPECT_EQ(out[1].Total, 15);
}

TEST_F(Listing, TaskFilesComeFirstThenEveryFolderInTaskOrder) {
    WriteFileBytes(dir / "one", "1234");
    fs::create_directories(dir / "folder-named-as-file");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directories(dir / "f1");
    fs::create_directories(dir / "f2");
    WriteFileBytes(dir / "f1/x", "123456");
    WriteFileBytes(dir / "f2/y", "12");

    TGroup task;
    for (const char* name : {"one", "missing", "folder-named-as-file", "fifo", "f1/x"}) {
        task.AddFile(std::make_unique<TFileBase>(dir / name));
    }
    task.AddFolder(std::make_unique<TFolder>(dir / "f2/"));
    task.AddFolder(std::make_unique<TFolder>(dir / "f1/"));
    task.AddFolder(std::make_unique<TFolder>(dir.Path()));

    // A writer waits for a reader of the FIFO: a listing that opened the entry to take its size would let it go
    // on (as it would wake whatever a device does on an open); one that leaves what is no regular file alone does not.
    std::atomic<bool> writerWent{false};
    std::atomic<pid_t> writerId{0};
    std::thread writer([&] {
        writerId = static_cast<pid_t>(::syscall(SYS_gettid));
        const int fd = ::open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC);
        writerWent = true;
        if (fd >= 0) {
            ::close(fd);
        }
    });
    const auto inOpen = [&] {
        std::ifstream call("/proc/self/task/" + std::to_string(writerId.load()) + "/syscall");
        long number = -1;
        return writerId != 0 && (call >> number) && number == SYS_openat;
    };
    for (int i = 0; i < 500 && !inOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(inOpen());

    FileInfos out{{"/left/over", 1, 1}};
    task.CollectFileInfos(out);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(writerWent);
    ::close(::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    writer.join();
    // A file chosen on its own and inside a chosen folder, or in two chosen folders, is listed once, where it was
    // met first.
    EXPECT_EQ(PathsOf(out), (std::vector<std::string>{dir / "one", dir / "f1/x", dir / "f2/y"}));
    ExpectSizesAndTotals(out);
}

TEST_F(Listing, FullListingAppendsReplacesTheSnapshotAndSetsTheRunTotal) {
    fs::create_directories(dir / "d");
    WriteFileBytes(dir / "d/a", "123");
    WriteFileBytes(dir / "d/b", "4567");
    TGroup task;
    task.AddFolder(std::make_unique<TFolder>(dir / "d/"));
    task.Snapshot = {{"/old/entry", 99, 99}};

    TStringList list{"kept"};
    task.ListAllFiles(list);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], "kept");
    EXPECT_EQ(std::vector<std::string>(list.begin() + 1, list.end()), PathsOf(task.Snapshot));
    ExpectSizesAndTotals(task.Snapshot);
    EXPECT_EQ(GetGlobalObject()->RunByteTotal, 7);

    // A task with nothing left to list.
    fs::remove_all(dir / "d");
    task.ListAllFiles(list);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_TRUE(task.Snapshot.empty());
    EXPECT_EQ(GetGlobalObject()->RunByteTotal, 0);
}

TEST_F(Listing, IncrementalListingTakesNewPathsAndChangedSizesOnly) {
    fs::create_directories(dir / "d");
    WriteFileBytes(dir / "d/a.txt", "abc");
    WriteFileBytes(dir / "d/keep", "12345");
    WriteFileBytes(dir / "d/grow", "1");
    TGroup task;
    task.AddFolder(std::make_unique<TFolder>(dir / "d/"));

    const auto listed = [&] {
        TStringList list;
        task.ListChangedFiles(list);
        // The snapshot is always the whole fresh scan, whatever was listed.
        FileInfos scan;
        task.CollectFileInfos(scan);
        EXPECT_EQ(PathsOf(task.Snapshot), PathsOf(scan));
        EXPECT_EQ(GetGlobalObject()->RunByteTotal, ListingByteTotal(scan));
        return std::set<std::string>(list.begin(), list.end());
    };

    // The first run has an empty snapshot and takes everything.
    EXPECT_EQ(listed(), (std::set<std::string>{dir / "d/a.txt", dir / "d/keep", dir / "d/grow"}));
    EXPECT_TRUE(listed().empty());

    WriteFileBytes(dir / "d/keep", "54321");      // same length: not seen as a change
    WriteFileBytes(dir / "d/grow", "12");         // another length
    fs::rename(dir / "d/a.txt", dir / "d/b.txt"); // a new path
    WriteFileBytes(dir / "d/A.TXT", "abc");       // beside a.txt's old place, another file
    EXPECT_EQ(listed(), (std::set<std::string>{dir / "d/grow", dir / "d/b.txt", dir / "d/A.TXT"}));
    // The old name left the snapshot with the rename.
    fs::rename(dir / "d/b.txt", dir / "d/a.txt");
    EXPECT_EQ(listed(), (std::set<std::string>{dir / "d/a.txt"}));
}

TEST_F(Listing, TheFirstSnapshotEntryOfAPathDecidesAndPathsCompareExactly) {
    const FileInfos old{{"/d/x", 5, 5}, {"/d/x", 12, 7}, {"/d/y", 13, 1}};
    const TFileInfoIndex index(old);
    EXPECT_FALSE(IsFileChanged(index, {"/d/x", 0, 5}));
    EXPECT_TRUE(IsFileChanged(index, {"/d/x", 0, 7}));
    EXPECT_FALSE(IsFileChanged(index, {"/d/y", 0, 1}));
    EXPECT_TRUE(IsFileChanged(index, {"/d/Y", 0, 1}));
    EXPECT_TRUE(IsFileChanged(index, {"/d/y/", 0, 1}));
    EXPECT_TRUE(IsFileChanged(TFileInfoIndex(FileInfos{}), {"/d/x", 0, 5}));
}

TEST_F(Listing, RunTotalCountsEveryByteBeyondThe32BitTotals) {
    // Sparse files: 1.5 GiB and 2.5 GiB take no room on the disk.
    fs::create_directories(dir / "big");
    for (const auto& [name, size] : {std::pair{"a", 0x60000000ull}, std::pair{"b", 0xA0000000ull}}) {
        WriteFileBytes(dir / "big/" + name, "");
        fs::resize_file(dir / "big/" + name, size);
    }
    TGroup task;
    task.AddFile(std::make_unique<TFileBase>(dir / "big/a"));
    task.AddFile(std::make_unique<TFileBase>(dir / "big/b"));
    TStringList list;
    task.ListAllFiles(list);
    ASSERT_EQ(task.Snapshot.size(), 2u);
    // The stored entries keep the low 32 bits, wrapping as the record does ...
    EXPECT_EQ(task.Snapshot[1].Size, static_cast<std::int32_t>(0xA0000000u));
    EXPECT_EQ(task.Snapshot[1].Total, 0);
    // ... while the progress bar's divisor is the true 4 GiB.
    EXPECT_EQ(GetGlobalObject()->RunByteTotal, 0x100000000ll);
}

TEST_F(Listing, AFileThatCannotBeOpenedEndsTheListingAndKeepsTheSnapshot) {
    fs::create_directories(dir / "d");
    WriteFileBytes(dir / "d/a", "1");
    TGroup task;
    task.AddFolder(std::make_unique<TFolder>(dir / "d/"));
    const FileInfos old{{"/old", 3, 3}};
    task.Snapshot = old;
    // Without chmod (tests run as root): the child process has one free descriptor, which the folder takes, so the
    // file cannot be opened.
    const auto listWithOneFreeDescriptor = [&] {
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 64;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        while (::dup(0) >= 0) {
        }
        ::close(63);
        TStringList list;
        try {
            task.ListAllFiles(list);
        } catch (const EFOpenError&) {
            ::_exit(task.Snapshot.size() == 1 && task.Snapshot[0].Path == "/old" && list.Empty() ? 3 : 4);
        }
        ::_exit(5);
    };
    EXPECT_EXIT(listWithOneFreeDescriptor(), ::testing::ExitedWithCode(3), "");
}

TEST_F(Listing, ArchiveNameIsTheTaskNameAndTheMomentInTheTemporaryFolder) {
    const ScopedEnv temp("TEMP", dir.Path().c_str());
    const ScopedClock clock([] { return EncodeDate(2005, 5, 17) + EncodeTime(10, 0, 0); });
    TGroup task;
    task.SetName("Docs");
    EXPECT_EQ(task.MakeArchiveName(), dir / "Docs__05_17_05_10-00-00.zip");
    // A name cannot lead the archive out of the temporary folder.
    task.SetName("../etc/x");
    EXPECT_EQ(task.MakeArchiveName(), dir / ".._etc_x__05_17_05_10-00-00.zip");
    // A long name gives way, where a character begins, so that the longest name made from the archive's (a volume
    // with ten digits in front and ".crt" behind) fits 255 bytes.
    std::string longName = "a";
    for (int i = 0; i < 150; ++i) {
        longName += "\xC3\xA9";
    }
    task.SetName(longName);
    EXPECT_EQ(task.MakeArchiveName(), dir / (longName.substr(0, 217) + "__05_17_05_10-00-00.zip"));
    task.SetName(std::string(230, 'L'));
    EXPECT_EQ(ExtractFileName(VolumeFileName(task.MakeArchiveName(), 2147483647)).size() + 4, 255u);
}

} // namespace
