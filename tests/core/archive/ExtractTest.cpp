#include "core/archive/UnitArchive.h"

#include "ArchiveFixture.h"
#include "support/Command.h"
#include "support/EventLoop.h"

#include <QCoreApplication>

#include <gmock/gmock.h>

#include <filesystem>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

namespace {

// Volumes made as a backup run makes them, restored to absolute paths under dir. The current folder is a folder of
// the test's own too, so that a file written to a relative path would show.
class Extract : public ArchiveTest {
protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        previous_ = fs::current_path();
        fs::current_path(here.Path());
    }
    void TearDown() override {
        fs::current_path(previous_);
        ArchiveTest::TearDown();
    }

    // Packs the named files (relative to dir, or to the current folder where they begin with "./"), in this order,
    // into one volume; returns the volume and leaves the list as the run writes it in `list`. The packing's lines
    // leave the log.
    std::string Pack(const std::vector<std::string>& names, TStringList& list) {
        list.Clear();
        for (const std::string& name : names) {
            list.Add(name.starts_with("./") ? name : dir / name);
        }
        EXPECT_EQ(CompressFiles(&list, dir / "vol.zip", true), 1);
        GetGlobalObject()->Log->Clear();
        return VolumeFileName(dir / "vol.zip", 0);
    }
    std::string Pack(const std::vector<std::string>& names) {
        TStringList list;
        return Pack(names, list);
    }
    // The files of a list as the restore gets them; the list must parse whole.
    static std::vector<TListedFile> Parse(const TStringList& list) {
        std::vector<std::string> errors;
        std::vector<TListedFile> files = ParseBackupList(list, errors);
        EXPECT_THAT(errors, IsEmpty());
        return files;
    }

    void Write(const std::string& name, const std::string& bytes) {
        fs::create_directories(fs::path(dir / name).parent_path());
        WriteFileBytes(dir / name, bytes);
    }

    // Packs by hand: each entry named by its path as given, holding its bytes; for paths that no real file can
    // have here. The list as a run would write it, every entry in volume 0, in `list`.
    std::string PackByHand(const std::vector<std::pair<std::string, std::string>>& entries, TStringList& list) {
        const std::string zip = dir / "0hand.zip";
        std::string command = "/usr/bin/python3 -c " +
                              ShellQuote("import sys, zipfile\n"
                                         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                         "    for name, data in zip(sys.argv[2::2], sys.argv[3::2]):\n"
                                         "        z.writestr(zipfile.ZipInfo(name), data)\n") +
                              " " + ShellQuote(zip);
        list.Clear();
        for (const auto& [path, bytes] : entries) {
            command += " " + ShellQuote(path) + " " + ShellQuote(bytes);
            list.Add("0");
            list.Add(path);
        }
        int status = -1;
        RunCommand(command + " 2>&1", &status);
        EXPECT_EQ(status, 0);
        return zip;
    }

    // DecompressArchive, noting every name under dir that it left there and that no wanted file accounts for
    // (neither its path nor a folder on the way to it): whatever a restore makes beside its files is a leftover.
    bool Decompress(const std::string& zip, const std::vector<TListedFile>& wanted) {
        const std::set<std::string> before = NamesUnderDir();
        const bool opened = DecompressArchive(zip, wanted);
        std::set<std::string> accounted;
        for (const TListedFile& file : wanted) {
            // By the path as listed, and as the links on its way lead it.
            std::error_code error;
            for (fs::path path : {fs::path(file.Path).lexically_normal(), fs::weakly_canonical(file.Path, error)}) {
                for (; path.has_relative_path(); path = path.parent_path()) {
                    accounted.insert(path.string());
                }
            }
        }
        for (const std::string& name : NamesUnderDir()) {
            if (!before.contains(name) && !accounted.contains(name)) {
                leftovers_.push_back(name);
            }
        }
        return opened;
    }
    // What the extractions so far left behind.
    const std::vector<std::string>& Leftovers() const { return leftovers_; }

    // Gives a link (or file) to another user, as one a local user planted; false where the test may not (only root
    // may).
    static bool GiveAway(const std::string& path) {
        return ::geteuid() == 0 && ::lchown(path.c_str(), 65534, 65534) == 0;
    }

    // Runs `act` once, between two entries of the extraction to come (whose message passes run it), as soon as
    // `ready` holds.
    static void BetweenEntries(const std::function<bool()>& ready, const std::function<void()>& act) {
        EnsureCoreApplication();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [=] {
                if (ready()) {
                    act();
                } else {
                    BetweenEntries(ready, act);
                }
            },
            Qt::QueuedConnection);
    }

    TempDir here;

private:
    std::set<std::string> NamesUnderDir() const {
        std::set<std::string> names;
        for (const auto& item : fs::recursive_directory_iterator(dir.Path())) {
            names.insert(item.path().lexically_normal().string());
        }
        return names;
    }

    fs::path previous_;
    std::vector<std::string> leftovers_;
};

TEST_F(Extract, WantedEntriesComeBackWholeAndOthersAreLeftAlone) {
    const std::string big = RandomBytes(3'000'000, 7); // more than one pass through the buffer
    Write("sub/a.txt", "first file");
    Write("sub/other.txt", "not wanted");
    Write("sub/deep/big.bin", big);
    const std::string zip = Pack({"sub/a.txt", "sub/other.txt", "sub/deep/big.bin"});
    fs::remove_all(dir / "sub/deep");
    Write("sub/a.txt", "a local file that the restore replaces");
    Write("sub/other.txt", "local");

    // By their places in the volume; the last one has none there.
    const std::vector<TListedFile> wanted{
        {0, 2, dir / "sub/deep/big.bin", 3}, {0, 0, dir / "sub/a.txt", 3}, {0, 3, dir / "not/in/the/archive", 3}};
    EXPECT_TRUE(Decompress(zip, wanted));

    EXPECT_EQ(ReadFileBytes(dir / "sub/a.txt"), "first file");
    EXPECT_EQ(ReadFileBytes(dir / "sub/deep/big.bin"), big);
    EXPECT_EQ(ReadFileBytes(dir / "sub/other.txt"), "local");
    EXPECT_THAT(Logged(), ElementsAre("Start decompressing file " + zip,
                                      "Error: 0vol.zip holds no entry for " + dir / "not/in/the/archive" +
                                          " at its place in the backup's list; the file was left as it was",
                                      "Decompressing file " + dir / "sub/a.txt",
                                      "Decompressing file " + dir / "sub/deep/big.bin", "Decompession is done"));
    EXPECT_THAT(Leftovers(), IsEmpty());
}

TEST_F(Extract, WhatIsNoZipArchiveIsRefusedWithTheWrongPasswordHintUnderTheVolumesOwnName) {
    WriteFileBytes(dir / "x.zip", RandomBytes(5000, 3));
    const std::vector<TListedFile> wanted{{0, 0, dir / "a", 1}};
    EXPECT_FALSE(DecompressArchive(dir / "x.zip", wanted));
    EXPECT_FALSE(DecompressArchive(dir / "missing.zip", wanted));
    // A restore's work file is named after nothing: the lines give the volume's name on the server.
    EXPECT_FALSE(DecompressArchive(dir / "x.zip", wanted, "0Docs__05_17_05_10-00-00.zip.crt"));
    // A FIFO in the volume's place is no volume, and reading it would wait for a writer for ever.
    ASSERT_EQ(::mkfifo((dir / "fifo.zip").c_str(), 0600), 0);
    EXPECT_FALSE(DecompressArchive(dir / "fifo.zip", wanted));
    EXPECT_THAT(Logged(), ElementsAre("Start decompressing file " + dir / "x.zip",
                                      "Can't open sompressed file x.zip Wrong Password?",
                                      "Start decompressing file " + dir / "missing.zip",
                                      "Can't open sompressed file missing.zip Wrong Password?",
                                      "Start decompressing file 0Docs__05_17_05_10-00-00.zip.crt",
                                      "Can't open sompressed file 0Docs__05_17_05_10-00-00.zip.crt Wrong Password?",
                                      "Start decompressing file " + dir / "fifo.zip",
                                      "Can't open sompressed file fifo.zip Wrong Password?"));
}

TEST_F(Extract, AnEntryWithNowhereToGoIsReportedAndTheOthersGoOn) {
    Write("blocked/a.txt", "a");
    Write("sub/target", "t");
    Write("sub/ok.txt", "ok");
    WriteFileBytes("bare.txt", "bare");
    const std::string zip = Pack({"blocked/a.txt", "sub/target", "./bare.txt", "sub/ok.txt"});
    fs::remove_all(dir / "blocked");
    Write("blocked", "a file where the folder was");
    fs::remove(dir / "sub/target");
    fs::create_directories(dir / "sub/target/inside");
    fs::remove(dir / "sub/ok.txt");
    fs::remove("bare.txt");

    // A path that is no full one is never written, not even where its entry has its very name.
    EXPECT_TRUE(Decompress(zip, {{0, 0, dir / "blocked/a.txt", 4},
                                 {0, 1, dir / "sub/target", 4},
                                 {0, 2, "./bare.txt", 4},
                                 {0, 3, dir / "sub/ok.txt", 4}}));

    EXPECT_EQ(ReadFileBytes(dir / "blocked"), "a file where the folder was");
    EXPECT_TRUE(fs::is_directory(dir / "sub/target/inside"));
    EXPECT_EQ(ReadFileBytes(dir / "sub/ok.txt"), "ok");
    EXPECT_TRUE(fs::is_empty(here.Path()));
    EXPECT_THAT(Logged(), ElementsAre("Start decompressing file " + zip,
                                      "Can't locate file " + dir / "blocked/a.txt" + ": Not a directory",
                                      "Decompressing file " + dir / "sub/target",
                                      "Can't locate file " + dir / "sub/target" + ": Is a directory",
                                      "Can't locate file ./bare.txt: Invalid argument",
                                      "Decompressing file " + dir / "sub/ok.txt", "Decompession is done"));
    EXPECT_THAT(Leftovers(), IsEmpty());

    // Each way a place can be out of reach says which: a loop of links, a FIFO where a folder should be, a folder's
    // or the file's own name too long for the file system. The file beside them still comes back.
    fs::create_directory_symlink("loop", dir / "loop");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string longFolder = dir / (std::string(300, 'f') + "/x.txt");
    const std::string longFile = dir / ("sub/" + std::string(300, 'n'));
    TStringList list;
    const std::string hand = PackByHand({{dir / "loop/x.txt", "loop"},
                                         {dir / "fifo/x.txt", "fifo"},
                                         {longFolder, "long folder"},
                                         {longFile, "long name"},
                                         {dir / "sub/fine.txt", "fine"}},
                                        list);
    GetGlobalObject()->Log->Clear();
    EXPECT_TRUE(Decompress(hand, Parse(list)));
    EXPECT_EQ(ReadFileBytes(dir / "sub/fine.txt"), "fine");
    EXPECT_THAT(Logged(),
                ElementsAre("Start decompressing file " + hand,
                            "Can't locate file " + dir / "loop/x.txt" + ": Too many levels of symbolic links",
                            "Can't locate file " + dir / "fifo/x.txt" + ": Not a directory",
                            "Can't locate file " + longFolder + ": File name too long",
                            "Decompressing file " + longFile, "Can't locate file " + longFile + ": File name too long",
                            "Decompressing file " + dir / "sub/fine.txt", "Decompession is done"));
    EXPECT_THAT(Leftovers(), IsEmpty());
}

TEST_F(Extract, ADamagedListOfEntriesEndsTheWalkCleanly) {
    Write("d/a.txt", "a");
    Write("d/b.txt", "b");
    const std::string zip = Pack({"d/a.txt", "d/b.txt"});
    // The end record claims a third entry that is not there.
    std::string bytes = ReadFileBytes(zip);
    const std::size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
    ASSERT_NE(end, std::string::npos);
    bytes[end + 8] = 3;
    bytes[end + 10] = 3;
    WriteFileBytes(zip, bytes);
    fs::remove(dir / "d/a.txt");
    fs::remove(dir / "d/b.txt");

    EXPECT_TRUE(Decompress(zip, {{0, 0, dir / "d/a.txt", 2}, {0, 1, dir / "d/b.txt", 2}}));

    EXPECT_EQ(ReadFileBytes(dir / "d/a.txt"), "a");
    EXPECT_EQ(ReadFileBytes(dir / "d/b.txt"), "b");
    const std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[3], "Error: the list of entries of 0vol.zip is damaged; the entries after it were not read");
    EXPECT_EQ(logged[4], "Decompession is done");
    EXPECT_THAT(Leftovers(), IsEmpty());
}

TEST_F(Extract, AnEntryAtAWantedPlaceUnderAnotherNameIsNotWritten) {
    Write("a.txt", "the bytes of a");
    Write("b.txt", "the bytes of b");
    const std::string zip = Pack({"a.txt", "b.txt"});
    Write("b.txt", "b as it is now");

    EXPECT_TRUE(Decompress(zip, {{0, 0, dir / "b.txt", 2}}));
    EXPECT_EQ(ReadFileBytes(dir / "b.txt"), "b as it is now");
    EXPECT_THAT(Logged(), Contains("Error: 0vol.zip holds no entry for " + dir / "b.txt" +
                                   " at its place in the backup's list; the file was left as it was"));
}

// Two names that the zip writer stores under one entry name: only its place tells which entry is which.
TEST_F(Extract, ADamagedListWritesOnlyTheFilesWhoseEntriesAreKnownForCertain) {
    const std::string cafe = "caf\xC3\xA9.txt";
    const std::string cafa = "caf\xC3\xA4.txt";
    const std::vector<std::string> names{"a.txt", cafe, cafa, "z.txt"};
    for (const std::string& name : names) {
        Write(name, "backed up " + name);
    }
    TStringList list;
    const std::string zip = Pack(names, list);
    const auto restore = [&](const TStringList& lines, std::vector<std::string>& errors) {
        for (const std::string& name : names) {
            Write(name, "changed since");
        }
        GetGlobalObject()->Log->Clear();
        EXPECT_TRUE(Decompress(zip, ParseBackupList(lines, errors)));
    };
    const auto restored = [&](const std::string& name) { return ReadFileBytes(dir / name) == "backed up " + name; };
    const auto left = [&](const std::string& name) { return ReadFileBytes(dir / name) == "changed since"; };
    const std::string unsure = "Error: 0vol.zip holds several entries under one name, and the backup's list cannot "
                               "tell which is ";
    std::vector<std::string> errors;

    // A byte-order mark in front, as an editor saving the list leaves it, is read past: the list is whole.
    TStringList marked = list;
    marked[0] = "\xEF\xBB\xBF" + marked[0];
    restore(marked, errors);
    EXPECT_THAT(errors, IsEmpty());
    for (const std::string& name : names) {
        EXPECT_TRUE(restored(name)) << name;
    }

    // One path at two places of the volume, whose entries are both of its name: neither is known to be its own.
    TStringList twice = list;
    twice[5] = twice[3];
    restore(twice, errors);
    EXPECT_THAT(errors, IsEmpty());
    EXPECT_TRUE(restored("a.txt"));
    EXPECT_TRUE(restored("z.txt"));
    EXPECT_TRUE(left(cafe));
    EXPECT_TRUE(left(cafa));
    EXPECT_THAT(Logged(), Contains(unsure + dir / cafe + "; the file was left as it was"));

    // A line added inside a pair shows only at the next line: the pair before it is in doubt too. Here the pair
    // names the path of the entry after its place, as a lost line and an added one together leave it, and that path
    // comes once more later.
    TStringList inside;
    inside.Lines() = {"0", dir / "a.txt", "0", dir / cafa, dir / cafe, "0", dir / cafa, "0", dir / "z.txt"};
    restore(inside, errors);
    EXPECT_THAT(errors, ElementsAre("'" + dir / cafe + "' is not a valid integer value"));
    EXPECT_TRUE(restored("a.txt"));
    EXPECT_TRUE(restored("z.txt"));
    EXPECT_TRUE(left(cafa)) << "not given the bytes of " << cafe;
    EXPECT_THAT(Logged(), Contains(unsure + dir / cafa + "; the file was left as it was"));
    // The same without the path coming twice: only the doubt about the pair before the damage keeps it out.
    TStringList swapped;
    swapped.Lines() = {"0", dir / "a.txt", "0", dir / cafa, "damage", "0", dir / cafe, "0", dir / "z.txt"};
    restore(swapped, errors);
    EXPECT_THAT(errors, ElementsAre("'damage' is not a valid integer value"));
    EXPECT_TRUE(restored("a.txt"));
    EXPECT_TRUE(restored("z.txt"));
    EXPECT_TRUE(left(cafa)) << "not given the bytes of " << cafe;
    EXPECT_TRUE(left(cafe));

    // A line added in front: every place after it is in doubt, and a name shared in the volume tells nothing.
    TStringList added = list;
    added.Lines().insert(added.Lines().begin(), "added");
    restore(added, errors);
    EXPECT_THAT(errors, ElementsAre("'added' is not a valid integer value"));
    EXPECT_TRUE(restored("a.txt"));
    EXPECT_TRUE(restored("z.txt"));
    EXPECT_TRUE(left(cafe));
    EXPECT_TRUE(left(cafa));
    EXPECT_THAT(Logged(), Contains(unsure + dir / cafe + "; the file was left as it was"));
    EXPECT_THAT(Logged(), Contains(unsure + dir / cafa + "; the file was left as it was"));

    // The pair of the first file lost whole: the list parses, yet gives the volume one file less than it holds, so
    // no place and no name in it can be trusted.
    TStringList lost = list;
    lost.Lines().erase(lost.Lines().begin(), lost.Lines().begin() + 2);
    restore(lost, errors);
    EXPECT_THAT(errors, IsEmpty());
    for (const std::string& name : {cafe, cafa, std::string("z.txt")}) {
        EXPECT_TRUE(left(name)) << name;
        EXPECT_THAT(Logged(), Contains("Error: 0vol.zip does not hold the 3 entries that the backup's list gives it, "
                                       "so the entry of " +
                                       dir / name + " is not known for certain; the file was left as it was"));
    }
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// A restore by root into folders that a local user controls: whatever links the user plants, nothing of root's
// changes, and the restored content gets no set-id bit.
TEST_F(Extract, ALinkAtTheTargetIsReplacedAndLendsNeitherOwnerNorMode) {
    Write("bin/tool", "#!/bin/sh\necho the user's own script\n");
    TStringList list;
    const std::string zip = Pack({"bin/tool"}, list);
    // A set-user-id program of root's, and the user's link to it where the backed-up file was.
    const std::string setuid = dir / "sbin/program";
    fs::create_directories(dir / "sbin");
    fs::copy_file("/bin/true", setuid);
    ASSERT_EQ(::chmod(setuid.c_str(), 04755), 0);
    const std::string before = ReadFileBytes(setuid);
    fs::remove(dir / "bin/tool");
    fs::create_symlink(setuid, dir / "bin/tool");
    if (!GiveAway(dir / "bin/tool")) {
        GTEST_SKIP() << "the link cannot be given to another user here";
    }

    const mode_t previous = ::umask(022);
    EXPECT_TRUE(Decompress(zip, Parse(list)));
    ::umask(previous);

    struct stat st {};
    ASSERT_EQ(::lstat((dir / "bin/tool").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "a new file's mode, not the program's";
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(ReadFileBytes(dir / "bin/tool"), "#!/bin/sh\necho the user's own script\n");
    ASSERT_EQ(::stat(setuid.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    EXPECT_EQ(ReadFileBytes(setuid), before);

    // A set-user-id file standing there itself lends its mode and owner without the set-id bits.
    fs::remove(dir / "bin/tool");
    fs::copy_file(setuid, dir / "bin/tool");
    ASSERT_TRUE(GiveAway(dir / "bin/tool"));
    ASSERT_EQ(::chmod((dir / "bin/tool").c_str(), 06755), 0);
    EXPECT_TRUE(Decompress(zip, Parse(list)));
    ASSERT_EQ(::lstat((dir / "bin/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(ReadFileBytes(dir / "bin/tool"), "#!/bin/sh\necho the user's own script\n");
}

TEST_F(Extract, OnlyTheRestoringUsersAndRootsLinksOnTheWayAreFollowed) {
    Write("home/docs/a.txt", "a");
    Write("home/docs/b.txt", "b");
    Write("home/via/c.txt", "c");
    Write("home/mine/d.txt", "d");
    Write("home/other.txt", "other");
    TStringList list;
    const std::string zip =
        Pack({"home/docs/a.txt", "home/docs/b.txt", "home/via/c.txt", "home/mine/d.txt", "home/other.txt"}, list);
    fs::remove_all(dir / "home");
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "home");
    // The user's own link in place of a backed-up folder, to a folder of root's; a link of root's that leads through
    // it; and a link of root's own to a real folder.
    fs::create_directory_symlink(dir / "elsewhere", dir / "home/docs");
    fs::create_directory_symlink("docs", dir / "home/via");
    fs::create_directory_symlink("../real", dir / "home/mine");
    if (!GiveAway(dir / "home/docs")) {
        GTEST_SKIP() << "the link cannot be given to another user here";
    }

    EXPECT_TRUE(Decompress(zip, Parse(list)));

    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    EXPECT_EQ(ReadFileBytes(dir / "real/d.txt"), "d");
    EXPECT_EQ(ReadFileBytes(dir / "home/other.txt"), "other");
    for (const std::string name : {"a.txt", "b.txt"}) {
        EXPECT_THAT(Logged(),
                    Contains("Error: the symbolic link " + dir / "home/docs" + " on the way to " + dir / "home/docs/" +
                             name + " belongs to another user and was not followed; the file was left out"));
    }
    EXPECT_THAT(Logged(),
                Contains("Error: the symbolic link " + dir / "home/docs" + " on the way to " + dir / "home/via/c.txt" +
                         " belongs to another user and was not followed; the file was left out"));
    EXPECT_TRUE(fs::is_symlink(dir / "home/docs"));
    EXPECT_THAT(Leftovers(), IsEmpty());

    // A link of root's in the user's folder is followed while it has one name, and not once the user has given it a
    // second one (a hard link to root's link, as where the system lets users hard-link files of others).
    fs::remove_all(dir / "home");
    fs::create_directories(dir / "home");
    ASSERT_TRUE(GiveAway(dir / "home"));
    fs::create_directory_symlink("../real", dir / "home/mine");
    fs::create_directory_symlink("../elsewhere", dir / "home/docs");
    ASSERT_EQ(::link((dir / "home/docs").c_str(), (dir / "home/second-name").c_str()), 0);
    GetGlobalObject()->Log->Clear();
    fs::remove(dir / "real/d.txt");
    EXPECT_TRUE(Decompress(zip, Parse(list)));
    EXPECT_EQ(ReadFileBytes(dir / "real/d.txt"), "d");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    EXPECT_THAT(Logged(),
                Contains("Error: the symbolic link " + dir / "home/docs" + " on the way to " + dir / "home/docs/a.txt" +
                         " belongs to another user and was not followed; the file was left out"));
}

TEST_F(Extract, WhatARestoreByRootMakesInAUsersFolderIsTheUsersWithItsModeAsMade) {
    Write("home/new/deep/a.txt", "a");
    Write("home/b.txt", "b");
    TStringList list;
    const std::string zip = Pack({"home/new/deep/a.txt", "home/b.txt"}, list);
    fs::remove_all(dir / "home");
    fs::create_directories(dir / "home");
    if (!GiveAway(dir / "home")) {
        GTEST_SKIP() << "the folder cannot be given to another user here";
    }

    // Root's usual umask.
    const mode_t previous = ::umask(077);
    EXPECT_TRUE(Decompress(zip, Parse(list)));
    ::umask(previous);
    EXPECT_THAT(Leftovers(), IsEmpty());

    for (const std::string name : {"home/new", "home/new/deep", "home/new/deep/a.txt", "home/b.txt"}) {
        struct stat st {};
        ASSERT_EQ(::lstat((dir / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, 65534u) << name;
        EXPECT_EQ(st.st_gid, 65534u) << name;
        EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << name;
    }
    EXPECT_EQ(ReadFileBytes(dir / "home/new/deep/a.txt"), "a");
}

// The list and the paths in it come from the server: whatever bytes they hold, the log shows control characters as
// escapes, never raw, so that reading the log in a terminal runs none of the server's escape sequences.
TEST_F(Extract, ServerTextIsLoggedWithItsControlCharactersEscaped) {
    const std::string title = "t\x1b]0;pwned\x07.txt";
    const std::string tab = "tab\there.txt";
    Write(title, "title");
    Write(tab, "tab");
    TStringList list;
    const std::string zip = Pack({title, tab}, list);
    list.Add("\x1b]0;pwned\x07\x1b[31m");
    std::vector<std::string> errors;
    std::vector<TListedFile> wanted = ParseBackupList(list, errors);
    EXPECT_THAT(errors, ElementsAre("'\\x1b]0;pwned\\x07\\x1b[31m' is not a valid integer value"));
    wanted.push_back({0, 7, dir / "cr\rx.txt", 2});
    fs::remove(dir / title);

    EXPECT_TRUE(Decompress(zip, wanted));
    EXPECT_EQ(ReadFileBytes(dir / title), "title");
    EXPECT_THAT(Logged(), ElementsAre("Start decompressing file " + zip,
                                      "Error: 0vol.zip holds no entry for " + dir / "cr\\rx.txt" +
                                          " at its place in the backup's list; the file was left as it was",
                                      "Decompressing file " + dir / "t\\x1b]0;pwned\\x07.txt",
                                      "Decompressing file " + dir / "tab\\there.txt", "Decompession is done"));
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// The entries' list was read whole before the first file, but the volume can still break off under the walk: the
// files whose entries it no longer gives are named, each left as it was.
TEST_F(Extract, AVolumeCutWhileItIsReadNamesEveryFileItNoLongerGives) {
    std::string noise(300000, '\0');
    std::mt19937 random(5);
    for (char& byte : noise) {
        byte = static_cast<char>(random());
    }
    Write("v/a", noise);
    Write("v/b", noise + "b");
    Write("v/c", "c");
    TStringList list;
    const std::string zip = Pack({"v/a", "v/b", "v/c"}, list);
    fs::remove_all(dir / "v");
    BetweenEntries([&] { return fs::exists(dir / "v/a"); }, [&] { fs::resize_file(zip, 10); });

    EXPECT_TRUE(Decompress(zip, Parse(list)));

    EXPECT_EQ(ReadFileBytes(dir / "v/a"), noise);
    for (const std::string name : {"v/b", "v/c"}) {
        EXPECT_FALSE(fs::exists(dir / name)) << name;
        EXPECT_THAT(Logged(), Contains("Error: the archive's data of " + dir / name +
                                       " are damaged; the file was left as it was"));
    }
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// A terminal takes the C1 controls, written in UTF-8 as two bytes, as it takes ESC sequences: U+009B is CSI. The
// list's lines and paths show them escaped too, and no other character of two bytes.
TEST_F(Extract, ServerTextIsLoggedWithItsC1ControlsEscapedAsWell) {
    TStringList list;
    list.Add("\xC2\x9B"
             "31m");
    list.Add("0");
    list.Add("caf\xC3\xA9\xC2\x85");
    std::vector<std::string> errors;
    EXPECT_THAT(ParseBackupList(list, errors), IsEmpty());
    EXPECT_THAT(errors, ElementsAre("'\\xc2\\x9b31m' is not a valid integer value",
                                    "The backup's list names \"caf\xC3\xA9\\xc2\\x85\", which is no full path of a "
                                    "file; it was left out"));
}

} // namespace
