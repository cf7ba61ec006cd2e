#include "core/app/Encryption.h"
#include "core/app/StoredText.h"
#include "core/app/TaskFile.h"
#include "core/app/UnitGo.h"

#include "platform/Exceptions.h"
#include "support/Command.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

std::string Decrypt(const std::string& path, const std::string& phrase) {
    TMemoryStream file(ToBytes(ReadFileBytes(path)));
    TMemoryStream plain;
    DecryptStreamWithKey(file, plain, phrase);
    return std::string(plain.Bytes().begin(), plain.Bytes().end());
}

void WriteEncrypted(const std::string& path, const std::string& plain, const std::string& phrase) {
    TMemoryStream in(ToBytes(plain));
    TMemoryStream out;
    EncryptStreamWithKey(in, out, phrase);
    WriteFileBytes(path, std::string(out.Bytes().begin(), out.Bytes().end()));
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class Storage : public ::testing::Test {
protected:
    void SetUp() override { SetGlobalObjectOptions({&windows, dir.Path()}); }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
    }

    // Tasks with entries, a snapshot and mail settings.
    static void FillTasks(TGlobalObject& object) {
        for (int i = 0; i < 3; ++i) {
            auto task = std::make_unique<TGroup>(object.GroupsList);
            task->SetName("Task " + std::to_string(i));
            task->AddFile(std::make_unique<TFileBase>("/home/ann/file" + std::to_string(i) + ".txt"));
            task->AddFolder(std::make_unique<TFolder>("/home/ann/Docs" + std::to_string(i) + "/"));
            task->Info->Incremental = static_cast<std::uint8_t>(i % 2);
            task->Info->Active = 1;
            task->Info->NeedEncrypt = 1;
            task->Info->Password = "pass\xE4" + std::to_string(i);
            task->Info->MailServer = "smtp.example.org";
            task->Info->MailRecipient = "ann@example.org";
            task->Info->MailAlertFail = 1;
            task->Info->Period->Type = TTimePeriod::Weekly;
            task->Info->Period->AddWeekDay(i);
            task->Snapshot.push_back(tagFileInfo{"/home/ann/Docs/a", 10, 10});
            task->Snapshot.push_back(tagFileInfo{"/home/ann/Docs/b", 30, 20});
            object.Tasks.push_back(std::move(task));
        }
    }

    static std::string Record(const TGroup& task) {
        TMemoryStream stream;
        task.SaveToStream(stream);
        return std::string(stream.Bytes().begin(), stream.Bytes().end());
    }

    TempDir dir;
    FakeCoreWindows windows;
};

TEST_F(Storage, EmptyTaskListIsFourZeroBytesEncrypted) {
    TGlobalObject* object = GetGlobalObject();
    object->SaveTasks();
    EXPECT_EQ(Decrypt(dir / "files.lst", "SaveIntoListCore41"), std::string(4, '\0'));
    EXPECT_EQ(Mode(dir / "files.lst"), 0600u);
    object->LoadTasks();
    EXPECT_TRUE(object->Tasks.empty());
}

TEST_F(Storage, TasksComeBackWithEntriesSnapshotsAndMailSettings) {
    TGlobalObject* object = GetGlobalObject();
    FillTasks(*object);
    std::vector<std::string> records;
    for (const auto& task : object->Tasks) {
        records.push_back(Record(*task));
    }
    object->SaveTasks();
    object->Tasks.clear();
    object->LoadTasks();
    ASSERT_EQ(object->Tasks.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Record(*object->Tasks[i]), records[i]);
    }
    EXPECT_EQ(object->Tasks[2]->Info->Password, "pass\xE4"
                                                "2");
    EXPECT_EQ(windows.List.Rows.size(), 3u);
}

TEST_F(Storage, TakingTheObjectDownWritesBothFiles) {
    FillTasks(*GetGlobalObject());
    GetGlobalObject()->FTP->Host = "backup.example.org";
    DestroyGlobalObject();
    EXPECT_EQ(Mode(dir / "files.lst"), 0600u);
    EXPECT_EQ(Mode(dir / "ftpbackup.stg"), 0600u);
    TGlobalObject* object = GetGlobalObject();
    object->LoadTasks();
    object->LoadSettings();
    EXPECT_EQ(object->Tasks.size(), 3u);
    EXPECT_EQ(object->FTP->Host, "backup.example.org");
}

TEST_F(Storage, MissingShortAndNegativeFilesGiveNoTasks) {
    TGlobalObject* object = GetGlobalObject();
    object->LoadTasks();
    object->LoadSettings();
    EXPECT_TRUE(object->Tasks.empty());
    EXPECT_EQ(object->FTP->Port, 21);
    WriteEncrypted(dir / "files.lst", std::string("\x01\x00\x00", 3), "SaveIntoListCore41");
    object->LoadTasks();
    EXPECT_TRUE(object->Tasks.empty());
    WriteEncrypted(dir / "files.lst", std::string("\xFE\xFF\xFF\xFF", 4), "SaveIntoListCore41");
    object->LoadTasks();
    EXPECT_TRUE(object->Tasks.empty());
}

TEST_F(Storage, CountBeyondTheRecordsKeepsTheTasksThatAreThere) {
    TGlobalObject* object = GetGlobalObject();
    FillTasks(*object);
    object->SaveTasks();
    std::string plain = Decrypt(dir / "files.lst", "SaveIntoListCore41");
    plain[0] = 100;
    WriteEncrypted(dir / "files.lst", plain, "SaveIntoListCore41");
    object->Tasks.clear();
    object->LoadTasks();
    EXPECT_EQ(object->Tasks.size(), 3u);
    // A huge count with no records after it makes nothing.
    WriteEncrypted(dir / "files.lst", std::string("\xFF\xFF\xFF\x7F", 4), "SaveIntoListCore41");
    object->Tasks.clear();
    object->LoadTasks();
    EXPECT_TRUE(object->Tasks.empty());
}

TEST_F(Storage, EveryTruncationAndRandomBytesLoadWithoutHarm) {
    TGlobalObject* object = GetGlobalObject();
    FillTasks(*object);
    object->SaveTasks();
    const std::string plain = Decrypt(dir / "files.lst", "SaveIntoListCore41");
    // Every cut of the plain text, encrypted again, and the file itself cut.
    for (std::size_t cut = 0; cut < plain.size(); cut += 3) {
        WriteEncrypted(dir / "files.lst", plain.substr(0, cut), "SaveIntoListCore41");
        object->Tasks.clear();
        object->LoadTasks();
        EXPECT_LE(object->Tasks.size(), 3u);
    }
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        WriteFileBytes(dir / "files.lst", RandomBytes(seed * 7, seed));
        object->Tasks.clear();
        object->LoadTasks();
        WriteFileBytes(dir / "ftpbackup.stg", RandomBytes(seed * 3, seed));
        object->LoadSettings();
    }
    // The same file read with the other program's phrase is meaningless bytes: no crash either.
    WriteEncrypted(dir / "files.lst", plain, "SaveIntoBlockRow74");
    object->Tasks.clear();
    object->LoadTasks();
}

TEST_F(Storage, AFailedSaveKeepsThePreviousFileAndTellsTheCaller) {
    TGlobalObject* object = GetGlobalObject();
    FillTasks(*object);
    object->SaveTasks();
    object->SaveSettings();
    const std::string before = ReadFileBytes(dir / "files.lst");
    const std::string settings = ReadFileBytes(dir / "ftpbackup.stg");
    object->Tasks.pop_back();
    object->FTP->Host = "changed";
    // A full disk, as a file size limit in a child process: the task saver raises, the settings saver logs, and
    // both old files stay.
    EXPECT_EQ(RunInChild([&] {
                  std::signal(SIGXFSZ, SIG_IGN);
                  rlimit limit{16, 16};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  object->SaveSettings();
                  try {
                      object->SaveTasks();
                  } catch (const EWriteError&) {
                      return 0;
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(ReadFileBytes(dir / "files.lst"), before);
    EXPECT_EQ(ReadFileBytes(dir / "ftpbackup.stg"), settings);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2) << "no temporary file stays";
    // At exit the failure is logged and the object still goes down: here a folder stands where the file goes.
    std::filesystem::remove(dir / "files.lst");
    std::filesystem::create_directory(dir / "files.lst");
    DestroyGlobalObject();
    EXPECT_NE(ReadFileBytes(dir / "Backup.log").find("Error: Cannot create file"), std::string::npos);
    EXPECT_EQ(Mode(dir / "Backup.log"), 0600u);
}

TEST_F(Storage, SavesAtOnceEachLeaveOneWritersWholeFile) {
    // Two task lists that a reader tells apart by their size; each writer saves its own over and over.
    const auto tasks = [](std::size_t count, const std::string& name) {
        std::vector<std::unique_ptr<TGroup>> list;
        for (std::size_t i = 0; i < count; ++i) {
            list.push_back(std::make_unique<TGroup>());
            list.back()->SetName(name + std::to_string(i));
            list.back()->AddFolder(std::make_unique<TFolder>("/home/ann/" + name + std::to_string(i) + "/"));
        }
        return list;
    };
    const auto forty = tasks(40, "forty");
    const auto fourteen = tasks(14, "fourteen");
    const std::string path = dir / "files.lst";
    WriteTaskFile(path, forty);
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i) {
        writers.emplace_back([&, i] {
            for (int round = 0; round < 30; ++round) {
                try {
                    WriteTaskFile(path, i % 2 == 0 ? forty : fourteen);
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    }
    std::thread reader([&] {
        while (writing) {
            std::vector<std::unique_ptr<TGroup>> read;
            ReadTaskFile(path, nullptr, read);
            const bool whole = (read.size() == 40 && read.back()->Name == "forty39") ||
                               (read.size() == 14 && read.back()->Name == "fourteen13");
            failures += whole ? 0 : 1;
        }
    });
    for (std::thread& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file stays";
}

TEST(SettingsRecord, StoredOrderDiffersFromMemoryOrder) {
    TFTPconnection ftp;
    EXPECT_EQ(ftp.Port, 21);
    EXPECT_EQ(ftp.ProxyType, 0);
    ftp.Host = "h";
    ftp.Port = 2121;
    ftp.Password = "pw";
    ftp.Login = "ann";
    ftp.RemoteDir = "backups";
    ftp.ProxyType = 3;
    ftp.UseAuthentication = 1;
    ftp.ProxyHost = "ph";
    ftp.ProxyUser = "pu";
    ftp.ProxyPassword = "pp";
    ftp.ProxyPort = 1080;
    TMemoryStream stream;
    ftp.SaveToStream(stream);

    TMemoryStream expected;
    for (const char* text : {"h", "pw", "ann", "backups"}) {
        WriteStringToStream(expected, text);
    }
    expected.WriteInt32(2121);
    for (const char* text : {"ph", "pu", "pp"}) {
        WriteStringToStream(expected, text);
    }
    expected.WriteByte(3);
    expected.WriteByte(1);
    expected.WriteInt32(1080);
    EXPECT_EQ(stream.Bytes(), expected.Bytes());

    // Read back field by field: a record cut after the port keeps what came before.
    auto bytes = stream.Bytes();
    bytes.resize(2 + 3 * 5 + 4 + 8 + 4 + 4);
    TMemoryStream cut(bytes);
    TFTPconnection back;
    EXPECT_THROW(back.LoadFromStream(cut), EReadError);
    EXPECT_EQ(back.Host, "h");
    EXPECT_EQ(back.RemoteDir, "backups");
    EXPECT_EQ(back.Port, 2121);
    EXPECT_EQ(back.ProxyHost, "");
    EXPECT_EQ(back.ProxyPort, 0);
}

class FileEncryption : public Storage {};

TEST_F(FileEncryption, RoundTripWithLogLines) {
    TGlobalObject* object = GetGlobalObject();
    const std::string plain = RandomBytes(100000, 11);
    WriteFileBytes(dir / "0a.zip", plain);
    object->Log->Clear();
    ASSERT_TRUE(EncryptFile(dir / "0a.zip", dir / "0a.zip.crt", "secret"));
    ASSERT_TRUE(DecryptFile(dir / "0a.zip.crt", dir / "back.zip", "secret"));
    EXPECT_EQ(ReadFileBytes(dir / "back.zip"), plain);
    const auto lines = object->Log->Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Message, "Start encrypting file...");
    EXPECT_EQ(lines[1].Message, "Encrypting is done.");
    EXPECT_EQ(lines[2].Message, "Start decrypting file...");
    EXPECT_EQ(lines[3].Message, "Decrypting is done ...");
    // An empty source gives an empty destination and success.
    WriteFileBytes(dir / "empty", "");
    EXPECT_TRUE(EncryptFile(dir / "empty", dir / "empty.crt", "secret"));
    EXPECT_EQ(ReadFileBytes(dir / "empty.crt"), "");
}

TEST_F(FileEncryption, FailuresAreLoggedAndNeverCostTheSource) {
    TGlobalObject* object = GetGlobalObject();
    object->Log->Clear();
    EXPECT_FALSE(EncryptFile(dir / "missing.zip", dir / "missing.zip.crt", "secret"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.zip.crt"));
    EXPECT_FALSE(DecryptFile(dir / "missing.crt", dir / "out.zip", "secret"));
    const auto lines = object->Log->Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Message, "Start encrypting file...");
    EXPECT_EQ(lines[1].Message, "Can't encrypt file. ErrorMessage isCannot open file \"" + dir / "missing.zip" +
                                    "\". No such file or directory");
    EXPECT_EQ(lines[3].Message.rfind("Can't decrypt file... Error message: Cannot open file", 0), 0u);
    // A destination that cannot be made: a folder stands in its place.
    WriteFileBytes(dir / "src", "abc");
    std::filesystem::create_directory(dir / "dst");
    EXPECT_FALSE(EncryptFile(dir / "src", dir / "dst", "secret"));
    // The destination is made new: whatever stands at its name is refused and left whole, the source itself by
    // its own name or another, another file, and a link planted there (never followed to what it names).
    std::filesystem::create_directory_symlink(dir.Path(), dir / "again");
    WriteFileBytes(dir / "other", "other");
    std::filesystem::create_symlink(dir / "target", dir / "planted");
    object->Log->Clear();
    EXPECT_FALSE(EncryptFile(dir / "src", dir / "src", "secret"));
    EXPECT_FALSE(DecryptFile(dir / "src", dir / "again/src", "secret"));
    EXPECT_FALSE(EncryptFile(dir / "src", dir / "other", "secret"));
    EXPECT_FALSE(EncryptFile(dir / "src", dir / "planted", "secret"));
    EXPECT_EQ(ReadFileBytes(dir / "src"), "abc");
    EXPECT_EQ(ReadFileBytes(dir / "other"), "other");
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "planted"));
    const auto refusals = object->Log->Lines();
    ASSERT_EQ(refusals.size(), 8u);
    EXPECT_EQ(refusals[1].Message,
              "Can't encrypt file. ErrorMessage isCannot create file \"" + dir / "src" + "\". File exists");
    // A new file is the user's alone.
    ASSERT_TRUE(EncryptFile(dir / "src", dir / "made.crt", "secret"));
    EXPECT_EQ(std::filesystem::status(dir / "made.crt").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

} // namespace
