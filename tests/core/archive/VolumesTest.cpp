#include "core/archive/UnitArchive.h"
#include "core/archive/UnitListing.h"

#include "ArchiveFixture.h"
#include "support/Command.h"
#include "support/EventLoop.h"

#include <QTimer>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// What this process has read so far through read calls, in bytes.
std::int64_t BytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::int64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

class Volumes : public ArchiveTest {
protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        GetGlobalObject()->ShowSendWindow();
        GetGlobalObject()->Stop = false;
        archive = work / "Docs__05_17_05_10-00-00.zip";
    }

    // A file of `size` bytes under dir; compressible, so that packing stays quick.
    std::string File(const std::string& name, std::size_t size) {
        const std::string path = dir / name;
        fs::create_directories(fs::path(path).parent_path());
        std::string bytes(size, 'x');
        for (std::size_t i = 0; i < size; i += 97) {
            bytes[i] = static_cast<char>('a' + i % 26);
        }
        WriteFileBytes(path, bytes);
        return path;
    }

    // The entry names of a volume, as the zip tool reads them.
    static std::vector<std::string> Entries(const std::string& volume) {
        int status = -1;
        TStringList lines;
        lines.SetText(RunCommand("unzip -Z1 " + ShellQuote(volume) + " 2>&1", &status));
        EXPECT_EQ(status, 0) << volume;
        return lines.Lines();
    }

    // The volumes of the archive that are on disk.
    std::vector<std::string> VolumesOnDisk() const {
        std::vector<std::string> found;
        for (std::int32_t volume = 0; volume < 10; ++volume) {
            if (fs::exists(VolumeFileName(archive, volume))) {
                found.push_back(VolumeFileName(archive, volume));
            }
        }
        return found;
    }

    TempDir work;
    std::string archive;
};

TEST_F(Volumes, NoListOrAnEmptyOneMakesNoArchive) {
    EXPECT_EQ(CompressFiles(nullptr, archive, false), 0);
    EXPECT_TRUE(Logged().empty());
    TStringList empty;
    EXPECT_EQ(CompressFiles(&empty, archive, false), 0);
    EXPECT_EQ(Logged(), std::vector<std::string>{"Nothing to send."});
    EXPECT_TRUE(VolumesOnDisk().empty());
}

TEST_F(Volumes, ANewVolumeBeginsOnceTheCurrentOneHoldsTwoMillionBytes) {
    const std::string first = File("first", 1'500'000);
    const std::string second = File("second", 600'000);
    const std::string third = File("third", 10);
    GetGlobalObject()->RunByteTotal = 2'100'010;

    TStringList list{first, second, third};
    EXPECT_EQ(CompressFiles(&list, archive, false), 2);

    // Before the second file the volume held 1,500,000 bytes, before the third 2,100,000.
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"0", first, "0", second, "1", third}));
    EXPECT_EQ(Entries(VolumeFileName(archive, 0)), (std::vector<std::string>{first, second}));
    EXPECT_EQ(Entries(VolumeFileName(archive, 1)), std::vector<std::string>{third});
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"Start compressing file " + VolumeFileName(archive, 0), "Adding file" + first,
                                        "Adding file" + second, "Start compressing file " + VolumeFileName(archive, 1),
                                        "Adding file" + third, "Compressing is done"}));
    EXPECT_EQ(windows.Positions, (std::vector<int>{71, 99, 100}));
}

TEST_F(Volumes, ExactlyTwoMillionBytesCloseAVolumeAndNoFileIsSplit) {
    const std::string exact = File("exact", 2'000'000);
    const std::string big = File("big", 5'000'000);
    const std::string small = File("small", 10);
    TStringList list{exact, big, small};
    EXPECT_EQ(CompressFiles(&list, archive, false), 3);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"0", exact, "1", big, "2", small}));

    // With one volume asked for, everything goes into volume 0 (made new: the first call's go first).
    for (std::int32_t volume = 0; volume < 3; ++volume) {
        fs::remove(VolumeFileName(archive, volume));
    }
    TStringList again{exact, big, small};
    EXPECT_EQ(CompressFiles(&again, archive, true), 1);
    EXPECT_EQ(again.Lines(), (std::vector<std::string>{"0", exact, "0", big, "0", small}));
    EXPECT_EQ(Entries(VolumeFileName(archive, 0)), (std::vector<std::string>{exact, big, small}));
}

TEST_F(Volumes, WithoutARunTotalTheBarFollowsTheFiles) {
    const std::string a = File("a", 0);
    const std::string b = File("b", 0);
    GetGlobalObject()->RunByteTotal = 0;
    TStringList list{a, b};
    EXPECT_EQ(CompressFiles(&list, archive, false), 1);
    EXPECT_EQ(windows.Positions, (std::vector<int>{50, 100}));
}

TEST_F(Volumes, StopWhileALargeFileIsPackedEndsItPartWayAndDropsEveryVolume) {
    EnsureCoreApplication();
    const std::string first = File("first", 2'000'000);
    // 1 GiB that takes no room on the disk, in a volume of its own.
    const std::string large = dir / "large";
    WriteFileBytes(large, "");
    fs::resize_file(large, 1ull << 30);
    const std::string third = File("third", 10);
    // STOP is pressed, as an event, once 16 MiB of the large file have been read: it can only be seen if events run
    // while that file is packed, and it only ends the packing part way if it is looked at between the blocks.
    const std::int64_t before = BytesReadSoFar();
    QTimer stop;
    stop.setInterval(10);
    QObject::connect(&stop, &QTimer::timeout, [&] {
        if (BytesReadSoFar() - before > 2'000'000 + (16 << 20)) {
            GetGlobalObject()->StopRun();
        }
    });
    stop.start();

    TStringList list{first, large, third};
    EXPECT_EQ(CompressFiles(&list, archive, false), 0);
    stop.stop();

    EXPECT_LT(BytesReadSoFar() - before, 1ll << 30) << "the large file was packed whole";
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{first, large, third}));
    EXPECT_TRUE(VolumesOnDisk().empty());
    const std::vector<std::string> logged = Logged();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "Adding file" + large);

    // Nothing was left open: the next call makes whole archives of its own.
    GetGlobalObject()->Stop = false;
    TStringList next{third};
    EXPECT_EQ(CompressFiles(&next, archive, false), 1);
    EXPECT_EQ(Entries(VolumeFileName(archive, 0)), std::vector<std::string>{third});
}

TEST_F(Volumes, AListedFileThatIsGoneFailsTheCallAndDropsEveryVolume) {
    const std::string first = File("first", 2'000'000);
    const std::string second = File("second", 10);
    const std::string gone = dir / "gone";
    TStringList list{first, second, gone};
    EXPECT_EQ(CompressFiles(&list, archive, false), 0);

    EXPECT_EQ(list.Lines(), (std::vector<std::string>{first, second, gone}));
    EXPECT_TRUE(VolumesOnDisk().empty());
    const std::vector<std::string> logged = Logged();
    ASSERT_FALSE(logged.empty());
    EXPECT_TRUE(logged.back().starts_with("Error:Cannot open file \"" + gone + "\".")) << logged.back();

    // A folder where the first volume should go: the archive cannot be made at all.
    fs::create_directories(VolumeFileName(archive, 0));
    TStringList blocked{first};
    EXPECT_EQ(CompressFiles(&blocked, archive, false), 0);
    EXPECT_TRUE(Logged().back().starts_with("Error:"));
    EXPECT_TRUE(fs::is_directory(VolumeFileName(archive, 0)));
}

// A listed file that became a FIFO or a folder since the listing opens, without waiting on a writer, and is then
// refused as a source that cannot be opened for reading; one that cannot be opened at all fails as above.
TEST_F(Volumes, AListedFileThatIsNoLongerAFileFailsTheCallAsOneThatCannotBeRead) {
    const std::string first = File("first", 10);
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir / "folder";
    fs::create_directories(folder);
    for (const std::string& path : {fifo, folder}) {
        TStringList list{first, path};
        EXPECT_EQ(CompressFiles(&list, archive, false), 0);
        EXPECT_EQ(Logged().back(), "Error:Error opening " + path);
        EXPECT_TRUE(VolumesOnDisk().empty());
    }
}

// A full disk (a file size limit, in a child) fails the volume and its directory alike: the volume goes, and with
// it every hold on its file, or the room it took would stay taken after its name is gone.
TEST_F(Volumes, AVolumeGivenUpOnAFullDiskHoldsNoRoom) {
    const std::string large = dir / "large";
    WriteFileBytes(large, RandomBytes(500'000, 7));
    const std::string volume = VolumeFileName(archive, 0);
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TStringList list{large};
        if (CompressFiles(&list, archive, false) != 0 || !Logged().back().starts_with("Error:")) {
            return 10;
        }
        int held = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (fs::read_symlink(entry.path(), error).string().starts_with(volume)) {
                ++held;
            }
        }
        return held == 0 ? 0 : 11;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(VolumesOnDisk().empty());
}

TEST_F(Volumes, PendingEventsRunOncePerFileAndPerEntry) {
    EnsureCoreApplication();
    const std::string first = File("first", 10);
    const std::string second = File("second", 10);
    // A STOP that arrives as an event: it can only be seen if events run while the first file is packed.
    QTimer::singleShot(0, [] { GetGlobalObject()->Stop = true; });
    TStringList list{first, second};
    EXPECT_EQ(CompressFiles(&list, archive, false), 0);
    EXPECT_EQ(Logged().back(), "Adding file" + first);
    EXPECT_TRUE(VolumesOnDisk().empty());

    GetGlobalObject()->Stop = false;
    ASSERT_EQ(CompressFiles(&list, archive, false), 1);
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_TRUE(DecompressArchive(VolumeFileName(archive, 0), {{0, 0, first, 2}}));
    EXPECT_TRUE(ran);
}

// Volumes made from a task's folder come back through extraction, file by file, byte for byte.
class RoundTrip : public Volumes {
protected:
    // Every name under `folder`, folders and files, at any depth.
    static std::set<std::string> NamesUnder(const std::string& folder) {
        std::set<std::string> names;
        for (const auto& item : fs::recursive_directory_iterator(folder)) {
            names.insert(item.path().string());
        }
        return names;
    }

    // Packs the task's folder into volumes; returns the files of each volume as the list gives them.
    std::map<std::int32_t, std::vector<TListedFile>> Pack() {
        TGroup task;
        task.AddFolder(std::make_unique<TFolder>(dir / "data/"));
        TStringList list;
        task.ListAllFiles(list);
        const std::int32_t count = CompressFiles(&list, archive, false);
        EXPECT_GE(count, 2);
        std::map<std::int32_t, std::vector<TListedFile>> byVolume;
        std::vector<std::string> errors;
        for (const TListedFile& file : ParseBackupList(list, errors)) {
            byVolume[file.Volume].push_back(file);
        }
        EXPECT_TRUE(errors.empty());
        for (const auto& [volume, paths] : byVolume) {
            int status = -1;
            RunCommand("unzip -tq " + ShellQuote(VolumeFileName(archive, volume)) + " 2>&1", &status);
            EXPECT_EQ(status, 0) << "volume " << volume;
        }
        return byVolume;
    }
};

TEST_F(RoundTrip, EveryFileComesBackToItsOwnPath) {
    std::map<std::string, std::string> files;
    const auto add = [&](const std::string& name, const std::string& bytes) {
        const std::string path = dir / ("data/" + name);
        fs::create_directories(fs::path(path).parent_path());
        WriteFileBytes(path, bytes);
        files[path] = bytes;
    };
    add("Grüße/Übersicht für Ängste.txt", "umlauts");
    add("Grüße/é", "e acute");
    add("Grüße/è", "e grave"); // stored under the same name as "é": the table makes both a space
    add(std::string(200, 'l') + "/" + std::string(120, 'n') + ".txt", "a long name");
    add(".hidden/empty", "");
    for (int i = 0; i < 6; ++i) {
        add("bulk/" + std::to_string(i) + ".bin", RandomBytes(700'000, static_cast<std::uint32_t>(i)));
    }
    const auto byVolume = Pack();
    fs::remove_all(dir / "data");

    for (const auto& [volume, wanted] : byVolume) {
        EXPECT_TRUE(DecompressArchive(VolumeFileName(archive, volume), wanted));
    }
    for (const auto& [path, bytes] : files) {
        EXPECT_TRUE(fs::exists(path)) << path;
        if (fs::exists(path)) {
            EXPECT_EQ(ReadFileBytes(path), bytes) << path;
        }
    }
    // The restored files and their folders, and nothing beside them.
    for (const std::string& name : NamesUnder(dir / "data")) {
        EXPECT_TRUE(fs::is_directory(name) || files.contains(name)) << name;
    }
    for (const std::string& line : Logged()) {
        EXPECT_FALSE(line.starts_with("Error") || line.starts_with("Can't")) << line;
    }
}

TEST_F(RoundTrip, ACorruptedVolumeLeavesTheFilesAtItsPathsAsTheyWere) {
    for (int i = 0; i < 3; ++i) {
        fs::create_directories(dir / "data");
        WriteFileBytes(dir / ("data/" + std::to_string(i)), RandomBytes(1'500'000, static_cast<std::uint32_t>(i)));
    }
    const auto byVolume = Pack();
    // Random data are stored as they are; a run of changed bytes inside the second volume's only entry.
    ASSERT_TRUE(byVolume.contains(1));
    const std::string volume = VolumeFileName(archive, 1);
    std::string bytes = ReadFileBytes(volume);
    for (std::size_t i = 500'000; i < 500'100; ++i) {
        bytes[i] = static_cast<char>(~bytes[i]);
    }
    WriteFileBytes(volume, bytes);
    const std::string victim = byVolume.at(1)[0].Path;
    WriteFileBytes(victim, "edited since the backup");
    const std::set<std::string> before = NamesUnder(dir / "data");

    EXPECT_TRUE(DecompressArchive(volume, byVolume.at(1)));
    EXPECT_EQ(ReadFileBytes(victim), "edited since the backup");
    EXPECT_EQ(Logged().back(), "Decompession is done");
    EXPECT_EQ(Logged().end()[-2],
              "Error: the archive's data of " + victim + " are damaged; the file was left as it was");
    // Nothing half made stays beside it.
    EXPECT_EQ(NamesUnder(dir / "data"), before);
}

} // namespace
