// The tree of backups against a real FTP server holding real backups, made by the core's own runs: listing,
// loading a backup's list into folders and files, restoring ticked files and deleting whole backups, and the busy
// flag that keeps all of it, and the window's close, from running inside another long operation.

#include "MainFormTesting.h"

#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "platform/DateTime.h"
#include "ui/Pictures.h"
#include "ui/UnitFtpSettings.h"
#include "ui/UnitWaitForm.h"
#include "ui/unitMainForm.h"

#include "support/Command.h"
#include "support/EventLoop.h"
#include "support/Servers.h"
#include "support/TempDir.h"

#include <QAction>
#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <fcntl.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <set>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace fs = std::filesystem;

namespace {

const std::string Umlauts = "Gr\xC3\xBC\xC3\x9F"
                            "e \xE2\x82\xAC.txt";
// Two names that the zip writer stores under one entry name.
const std::string Cafe = "caf\xC3\xA9.txt";
const std::string Cafa = "caf\xC3\xA4.txt";

std::string Content(std::size_t size, std::uint32_t seed) {
    std::string bytes = RandomBytes(size, seed);
    for (std::size_t i = 0; i < size / 2; ++i) {
        bytes[i] = "tree of backups "[(i + seed) % 16];
    }
    return bytes;
}

// The bytes of a file whose path may be longer than the system takes in one call: walked folder by folder.
std::string ReadFileAnyLength(const std::string& path) {
    int at = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string bytes;
    for (std::size_t start = 1; at >= 0;) {
        const std::size_t slash = path.find('/', start);
        const std::string piece = path.substr(start, slash - start);
        const int next = ::openat(at, piece.c_str(), (slash == std::string::npos ? O_RDONLY : O_PATH) | O_CLOEXEC);
        ::close(at);
        at = next;
        if (slash == std::string::npos) {
            char buffer[4096];
            for (ssize_t count = 0; at >= 0 && (count = ::read(at, buffer, sizeof buffer)) > 0;) {
                bytes.append(buffer, static_cast<std::size_t>(count));
            }
            break;
        }
        start = slash + 1;
    }
    if (at >= 0) {
        ::close(at);
    }
    return bytes;
}

bool SamePicture(const QIcon& a, const QIcon& b) {
    return a.pixmap(16, 16).toImage() == b.pixmap(16, 16).toImage();
}

std::set<std::string> NamesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The (path, volume) pairs of a list file.
std::multimap<std::string, int> ListedPairs(const std::string& listFile) {
    TStringList lines;
    lines.LoadFromFile(listFile);
    std::multimap<std::string, int> pairs;
    for (int i = 0; i + 1 < lines.Count(); i += 2) {
        pairs.emplace(lines[i + 1], std::stoi(lines[i]));
    }
    return pairs;
}

// Three backups made by real runs of the core before the window opens: "Docs" (full, plain, a folder with a
// subfolder and a name with non-ASCII letters), "Secret" (full, encrypted) and "Big" (incremental, three files of
// 1,000,000 bytes over two volumes). The window then starts over the same program folder and connects.
class ServerTree : public ::testing::Test {
protected:
    void SetUp() override {
        WidgetApp();
        ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        ::setenv("TEMP", temp.Path().c_str(), 1);
        fs::create_directory(Remote());
        fs::create_directories(Docs() + "sub");
        WriteFileBytes(Docs() + "a.txt", Content(20000, 1));
        WriteFileBytes(Docs() + "sub/b.bin", RandomBytes(30000, 2));
        WriteFileBytes(Docs() + Umlauts, Content(5000, 3));
        WriteFileBytes(Docs() + Cafe, Content(4000, 5));
        WriteFileBytes(Docs() + Cafa, Content(4100, 6));
        WriteFileBytes(SecretFile(), Content(7000, 4));
        fs::create_directory(BigFolder());
        for (int i = 0; i < 3; ++i) {
            WriteFileBytes(Big(i), Content(1000000, 10 + i));
        }
        for (const std::string& path : AllFiles()) {
            original[path] = ReadFileBytes(path);
        }

        SetGlobalObjectOptions({nullptr, program.Path()});
        TGlobalObject& app = *GetGlobalObject();
        app.FTP->Host = server.Host();
        app.FTP->Port = server.Port();
        app.FTP->Login = server.User();
        app.FTP->Password = server.Password();
        app.FTP->RemoteDir = "backups";
        const auto add = [&](const std::string& name) -> TGroup& {
            app.Tasks.push_back(std::make_unique<TGroup>());
            app.Tasks.back()->Name = name;
            return *app.Tasks.back();
        };
        TGroup& docs = add("Docs");
        docs.AddFolder(std::make_unique<TFolder>(Docs()));
        TGroup& secret = add("Secret");
        secret.AddFile(std::make_unique<TFileBase>(SecretFile()));
        secret.Info->NeedEncrypt = 1;
        secret.Info->Password = "pw";
        TGroup& big = add("Big");
        big.Info->Incremental = 1;
        big.AddFolder(std::make_unique<TFolder>(BigFolder()));
        for (const auto& task : app.Tasks) {
            task->DoBackup();
            EXPECT_TRUE(task->LastRunOk) << task->Name;
        }
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        for (const std::string& name : NamesIn(Remote())) {
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".inf") == 0) {
                listFiles[name.substr(0, name.find("__"))] = name;
            }
        }
        ASSERT_EQ(listFiles.size(), 3u);
    }
    void TearDown() override {
        form.reset();
        ::unsetenv("TEMP");
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    void Open() {
        form = std::make_unique<TmainForm>(nullptr, TmainFormStart{program.Path(), std::vector<std::string>{}});
        form->show();
        QApplication::processEvents();
    }

    std::string Remote() const { return server.Root() + "backups/"; }
    std::string Docs() const { return data / "docs/"; }
    std::string SecretFile() const { return data / "secret.txt"; }
    std::string BigFolder() const { return data / "big/"; }
    std::string Big(int i) const { return BigFolder() + "f" + std::to_string(i) + ".bin"; }
    std::vector<std::string> AllFiles() const {
        return {Docs() + "a.txt",
                Docs() + "sub/b.bin",
                Docs() + Umlauts,
                Docs() + Cafe,
                Docs() + Cafa,
                SecretFile(),
                Big(0),
                Big(1),
                Big(2)};
    }
    // A backup's caption: its list file's name without ".inf".
    std::string CaptionOf(const std::string& task) {
        return listFiles.at(task).substr(0, listFiles.at(task).size() - 4);
    }

    QTreeWidgetItem* Root() { return form->treeBacupFiles->topLevelItem(0); }
    QTreeWidgetItem* Backup(const std::string& task) { return ChildNamed(Root(), CaptionOf(task)); }
    QTreeWidgetItem* Expanded(const std::string& task) {
        QTreeWidgetItem* node = Backup(task);
        EXPECT_NE(node, nullptr) << task;
        if (node != nullptr) {
            node->setExpanded(true);
        }
        return node;
    }
    // The node of a listed path below a backup node, walking the folders by their captions.
    QTreeWidgetItem* NodeOf(QTreeWidgetItem* backup, const std::string& path) {
        QTreeWidgetItem* node = ChildNamed(backup, "/");
        std::size_t start = 1;
        while (node != nullptr && start < path.size()) {
            const std::size_t slash = path.find('/', start);
            node = ChildNamed(node, path.substr(start, slash - start));
            start = slash == std::string::npos ? path.size() : slash + 1;
        }
        EXPECT_NE(node, nullptr) << path;
        return node;
    }
    void Tick(QTreeWidgetItem* node) {
        ASSERT_NE(node, nullptr);
        ClickAt(*form->treeBacupFiles, CheckBoxPoint(*form->treeBacupFiles, node));
    }
    // The names of the files the server was asked for with a command ("RETR": downloaded; "SIZE": asked before
    // any download, also of a file that is not there).
    std::vector<std::string> Asked(const std::string& verb = "RETR") {
        std::vector<std::string> names;
        for (const std::string& command : server.Commands()) {
            if (command.rfind(verb + " ", 0) == 0) {
                names.push_back(command.substr(verb.size() + 1));
            }
        }
        return names;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const TLogMessage& line : GetGlobalObject()->Log->Lines()) {
            messages.push_back(line.Message);
        }
        return messages;
    }
    void RemoveOriginals() {
        for (const std::string& path : AllFiles()) {
            fs::remove(path);
        }
    }

    FtpServer server;
    TempDir runtime;
    TempDir temp;
    TempDir program;
    TempDir data;
    std::map<std::string, std::string> original;
    std::map<std::string, std::string> listFiles; // task name -> list file on the server
    std::unique_ptr<TmainForm> form;
};

TEST_F(ServerTree, ListsEveryBackupAndLoadsOneIntoFoldersWhosePathsAreTheListedOnes) {
    Open();
    ASSERT_EQ(form->treeBacupFiles->topLevelItemCount(), 1);
    EXPECT_EQ(GetNodeCaption(Root()), "Server");
    EXPECT_EQ(GetNodeState(Root()), NodeNoBox);
    ASSERT_EQ(Root()->childCount(), 3);
    for (const std::string& task : std::vector<std::string>{"Docs", "Secret", "Big"}) {
        QTreeWidgetItem* backup = Backup(task);
        ASSERT_NE(backup, nullptr) << task;
        EXPECT_EQ(GetNodeState(backup), NodeNoBox);
        EXPECT_EQ(GetNodeData(backup), -1);
        EXPECT_EQ(backup->childCount(), 0);
        EXPECT_EQ(backup->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        EXPECT_TRUE(SamePicture(backup->icon(0), ItemPicture(task == "Secret" ? 9 : 4))) << task;
    }
    EXPECT_EQ(CaptionOf("Secret").substr(CaptionOf("Secret").size() - 8), ".zip.crt");

    // The server drops the session: loading a backup connects again inside the expansion, and that connect's
    // refill of the tree must not pull the tree away under the node being loaded.
    server.Restart();
    const std::size_t before = Messages().size();
    QTreeWidgetItem* docs = Expanded("Docs");
    const std::vector<std::string> after = Messages();
    EXPECT_THAT(std::vector<std::string>(after.begin() + static_cast<long>(before), after.end()),
                Contains("Connectig to the sever..."));
    ASSERT_EQ(Root()->childCount(), 3);
    ASSERT_EQ(docs, Backup("Docs"));
    EXPECT_TRUE(docs->isExpanded());
    EXPECT_EQ(GetNodeState(docs), NodeExcluded);
    EXPECT_EQ(GetNodeData(docs), 0);
    ASSERT_EQ(docs->childCount(), 1) << "one node for the root folder";
    EXPECT_EQ(GetNodeCaption(docs->child(0)), "/");

    // Ticked whole, the backup gives back exactly the listed paths with their volumes.
    Tick(docs);
    std::vector<tagNameZipId> files;
    for (int i = 0; i < docs->childCount(); ++i) {
        form->CollectServerFiles(docs->child(i), files, "");
    }
    std::multimap<std::string, int> rebuilt;
    for (const tagNameZipId& file : files) {
        rebuilt.emplace(file.Path, file.ZipId);
    }
    EXPECT_EQ(rebuilt, ListedPairs(Remote() + listFiles["Docs"]));
    QTreeWidgetItem* sub = NodeOf(docs, Docs() + "sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(SamePicture(sub->icon(0), ItemPicture(6)));
    EXPECT_EQ(GetNodeData(sub), -1);
    QTreeWidgetItem* umlauts = NodeOf(docs, Docs() + Umlauts);
    ASSERT_NE(umlauts, nullptr);
    EXPECT_TRUE(SamePicture(umlauts->icon(0), ItemPicture(7)));
    EXPECT_EQ(GetNodeData(umlauts), 0);
    // Nodes of a kind share its one picture rather than hold a painted copy each.
    EXPECT_EQ(umlauts->icon(0).cacheKey(), NodeOf(docs, Docs() + "a.txt")->icon(0).cacheKey());
    EXPECT_EQ(sub->icon(0).cacheKey(), NodeOf(docs, Docs())->icon(0).cacheKey());

    // Loaded once: closing and opening the node again reads nothing from the server.
    docs->setExpanded(false);
    docs->setExpanded(true);
    const auto downloads = Asked();
    EXPECT_EQ(std::count(downloads.begin(), downloads.end(), listFiles["Docs"]), 1);
}

TEST_F(ServerTree, SettingsTakenInTheDialogReconnectAndARunFromTheWindowAddsItsBackupToTheTree) {
    // Started by the companion ("run"): no connect, no tree yet; then the settings lead nowhere.
    form = std::make_unique<TmainForm>(nullptr, TmainFormStart{program.Path(), std::vector<std::string>{"run"}});
    EXPECT_EQ(form->treeBacupFiles->topLevelItemCount(), 0);
    GetGlobalObject()->FTP->Host = "";
    AnswerNextDialog([&](QDialog& dialog) {
        auto& settings = dynamic_cast<TftpSettings&>(dialog);
        settings.editHost->setText(QString::fromStdString(server.Host()));
        settings.editPort->setText(QString::number(server.Port()));
        settings.editLogin->setText(QString::fromStdString(server.User()));
        settings.editPassword->setText(QString::fromStdString(server.Password()));
        settings.editDir->setText("backups");
        settings.BitBtn1->click();
    });
    form->FTPsettings1->trigger();
    ASSERT_EQ(form->treeBacupFiles->topLevelItemCount(), 1);
    EXPECT_EQ(Root()->childCount(), 3);

    // Run Task a day later (so the archive has a name of its own): the worker hands the run to the window's
    // thread, the progress window comes and goes, and the run's end lists the server again.
    const TDateTime later = Now() + 1;
    const ScopedClock clock([later] { return later; });
    ModalUser user;
    form->RunTask1->trigger();
    ASSERT_TRUE(PumpUntil([] { return GetGlobalObject()->Pool->QueuedJobs() == 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(Root()->childCount(), 4);
    ASSERT_NE(GetGlobalObject()->SendWindow, nullptr);
    EXPECT_FALSE(GetGlobalObject()->SendWindow->IsVisible());
    EXPECT_EQ(form->groupsList->topLevelItem(0)->text(3).toStdString(), DateTimeToStr(later));
}

TEST_F(ServerTree, ListsOfEveryShapeAndDamageGiveTheirNodesAndARestoreOfThemEnds) {
    // Written by hand: two files in one folder, a folder met again after another one, a bare name (no full path,
    // refused), a volume number that no volume can have, then a line that is no number and one more (as a path
    // split by a line break gives them), which are passed over until a pair parses again, and a number without
    // its path.
    WriteFileBytes(Remote() + "Odd.zip.inf", "0\r\n/x/a\r\n0\r\n/x/b\r\n1\r\n/y/c\r\n0\r\n/x/d\r\n0\r\nbare\r\n"
                                             "-3\r\n/x/neg\r\n2147483647\r\n/x/far\r\nzz\r\n/x/never\r\n"
                                             "0\r\n/x/after\r\n7\r\n");
    listFiles["Odd"] = "Odd.zip.inf";
    Open();
    QTreeWidgetItem* odd = Expanded("Odd");
    ASSERT_NE(odd, nullptr);
    std::vector<std::string> errors;
    for (const std::string& line : Messages()) {
        if (line.starts_with("Error")) {
            errors.push_back(line);
        }
    }
    EXPECT_THAT(errors, ElementsAre("Error: The backup's list names \"bare\", which is no full path of a file; it was "
                                    "left out",
                                    "Error: 'zz' is not a valid integer value"))
        << "one line for the damage to the whole list";
    ASSERT_EQ(odd->childCount(), 1);
    QTreeWidgetItem* rootFolder = ChildNamed(odd, "/");
    ASSERT_NE(rootFolder, nullptr);
    ASSERT_EQ(rootFolder->childCount(), 2) << "x is found again, not made twice";
    QTreeWidgetItem* x = ChildNamed(rootFolder, "x");
    ASSERT_NE(x, nullptr);
    std::vector<std::string> inX;
    for (int i = 0; i < x->childCount(); ++i) {
        inX.push_back(GetNodeCaption(x->child(i)) + ":" + std::to_string(GetNodeData(x->child(i))));
    }
    EXPECT_THAT(inX, ElementsAre("a:0", "b:0", "d:0", "neg:-3", "far:2147483647", "after:0"));
    EXPECT_EQ(GetNodeData(ChildNamed(ChildNamed(rootFolder, "y"), "c")), 1);

    // Restoring all of it asks the server for the volumes that are named, once each, and comes to an end.
    Tick(odd);
    server.ClearRecords();
    form->Restore2->trigger();
    EXPECT_THAT(Asked("SIZE"), ElementsAre("0Odd.zip", "1Odd.zip", "2147483647Odd.zip"));
    EXPECT_THAT(Messages(), Contains("Error: /x/neg is listed in no volume (-3)"));
    EXPECT_FALSE(GetGlobalObject()->Busy);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
}

TEST_F(ServerTree, RestoreBringsTheTickedFilesBackFromTheVolumesThatHoldThem) {
    ModalUser user;
    // The wait box, on top of every window, must not stand over the password prompt.
    int promptsUnderWaitBox = 0;
    user.OnRequest = [&](const TModalRequest&) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            promptsUnderWaitBox += dynamic_cast<TwaitForm*>(window) != nullptr && window->isVisible() ? 1 : 0;
        }
    };
    Open();
    QTreeWidgetItem* docs = Expanded("Docs");
    QTreeWidgetItem* secret = Expanded("Secret");
    QTreeWidgetItem* big = Expanded("Big");
    Tick(NodeOf(docs, Docs() + "a.txt"));
    Tick(NodeOf(docs, Docs() + Umlauts));
    // Of the two files stored under one entry name, the one packed second, alone.
    const std::string listed = ReadFileBytes(Remote() + listFiles["Docs"]);
    const std::string later = listed.find(Docs() + Cafe) < listed.find(Docs() + Cafa) ? Cafa : Cafe;
    const std::string earlier = later == Cafa ? Cafe : Cafa;
    Tick(NodeOf(docs, Docs() + later));
    Tick(secret);
    Tick(NodeOf(big, Big(2)));
    EXPECT_EQ(GetNodeState(docs), NodePartly);
    RemoveOriginals();

    // The password asked for is left empty: the encrypted backup is skipped, the others come back.
    server.ClearRecords();
    form->Restore2->trigger();
    // Each backup in the tree's order, which is the server's; of "Big" only the volume that holds the ticked file.
    const int bigVolume = ListedPairs(Remote() + listFiles["Big"]).find(Big(2))->second;
    EXPECT_THAT(Asked(), UnorderedElementsAre("0" + CaptionOf("Docs"), "0" + CaptionOf("Secret"),
                                              std::to_string(bigVolume) + CaptionOf("Big")));
    ASSERT_EQ(user.Requests.size(), 1u);
    EXPECT_EQ(user.Requests[0].kind, TModalRequest::Password);
    EXPECT_EQ(user.Requests[0].text, "Enter Password");
    for (const std::string& path : {Docs() + "a.txt", Docs() + Umlauts, Docs() + later, Big(2)}) {
        EXPECT_EQ(ReadFileBytes(path), original[path]) << path;
    }
    for (const std::string& path : {Docs() + "sub/b.bin", Docs() + earlier, SecretFile(), Big(0), Big(1)}) {
        EXPECT_FALSE(fs::exists(path)) << path;
    }
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty()) << "no downloaded volume stays behind";

    // A wrong password decrypts into no zip file: nothing is written, and the clear text attempt is gone too. The
    // log names the volume as the server lists it, not the work file it was read from.
    user.Passwords = {"wrong"};
    form->Restore2->trigger();
    EXPECT_FALSE(fs::exists(SecretFile()));
    EXPECT_THAT(Messages(), Contains("Can't open sompressed file 0" + CaptionOf("Secret") + " Wrong Password?"));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());

    user.Passwords = {"pw"};
    form->Restore2->trigger();
    EXPECT_EQ(ReadFileBytes(SecretFile()), original[SecretFile()]);
    EXPECT_EQ(user.Requests.size(), 3u) << "one question per encrypted backup and restore";
    EXPECT_EQ(promptsUnderWaitBox, 0);
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
    EXPECT_FALSE(GetGlobalObject()->Busy);
}

TEST_F(ServerTree, KillDeletesEveryVolumeOfAWhollyTickedBackupAndLeavesPartlyTickedOnes) {
    ModalUser user;
    Open();
    QTreeWidgetItem* big = Expanded("Big");
    QTreeWidgetItem* docs = Expanded("Docs");
    Tick(big);
    // Unticking a file turns only its folder to partly ticked: the backup stays ticked, and goes whole, the
    // volume that holds that file alone included.
    std::string alone;
    for (const auto& [path, volume] : ListedPairs(Remote() + listFiles["Big"])) {
        if (volume == 1) {
            alone = path;
        }
    }
    Tick(NodeOf(big, alone));
    EXPECT_EQ(GetNodeState(NodeOf(big, alone)), NodeExcluded);
    EXPECT_EQ(GetNodeState(big), NodeIncluded);
    Tick(NodeOf(docs, Docs() + "a.txt"));

    form->Killrestorefromserver1->trigger();
    EXPECT_THAT(user.Requests, IsEmpty()) << "no question is asked";
    const std::set<std::string> left = NamesIn(Remote());
    EXPECT_EQ(left, (std::set<std::string>{listFiles["Docs"], "0" + CaptionOf("Docs"), listFiles["Secret"],
                                           "0" + CaptionOf("Secret")}));
    ASSERT_EQ(Root()->childCount(), 2) << "the tree is listed again";
    EXPECT_EQ(Backup("Big"), nullptr);
    EXPECT_EQ(Backup("Docs")->childCount(), 0);
    EXPECT_FALSE(GetGlobalObject()->Busy);
}

TEST_F(ServerTree, WhileBusyNoBackupLoadsRestoresOrGoesAndTheWindowStaysOpen) {
    Open();
    QTreeWidgetItem* docs = Expanded("Docs");
    Tick(docs);
    RemoveOriginals();
    const std::string stored = ReadFileBytes(program / "files.lst");
    server.ClearRecords();

    GetGlobalObject()->Busy = true;
    QTreeWidgetItem* secret = Expanded("Secret");
    EXPECT_FALSE(secret->isExpanded());
    EXPECT_EQ(secret->childCount(), 0);
    form->Restore2->trigger();
    form->Killrestorefromserver1->trigger();
    EXPECT_FALSE(form->close());
    EXPECT_TRUE(form->isVisible());
    EXPECT_THAT(Asked(), IsEmpty());
    EXPECT_EQ(NamesIn(Remote()).size(), 7u);
    EXPECT_FALSE(fs::exists(Docs() + "a.txt"));
    EXPECT_EQ(ReadFileBytes(program / "files.lst"), stored);

    // Free again: the backup loads, and the window closes, saving the tasks.
    GetGlobalObject()->Busy = false;
    Expanded("Secret");
    EXPECT_GT(Backup("Secret")->childCount(), 0);
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(ServerTree, NamesTheServerListsNeverBecomeLocalPathsAndOnesThatCouldAreNoBackups) {
    // A server that lists a name climbing out of the temporary folder to the user's "Budget.xlsx", and holds what
    // that name points to. Taken as a local path, it would delete and write the files beside the user's.
    std::string up;
    for (char c : temp.Path().substr(1)) {
        up += c == '/' ? "../" : "";
    }
    const std::string climbing = up + data.Path().substr(1) + "Budget.xlsx.inf";
    const std::vector<std::string> victims{data / "Budget.xlsx.inf.tmp", data / "0Budget.xlsx"};
    for (const std::string& victim : victims) {
        WriteFileBytes(victim, "the user's own");
    }
    const std::string onServer = server.Root() + data.Path().substr(1);
    fs::create_directories(onServer);
    WriteFileBytes(onServer + "Budget.xlsx.inf", "0\r\n" + data / "Budget.xlsx" + "\r\n");
    WriteFileBytes(onServer + "0Budget.xlsx", "the server's bytes");
    const std::string withNul("evil.inf\0.inf", 13);
    server.PlantListedNames({climbing, withNul, "sub/deep.inf", ".."});

    ModalUser user;
    Open();
    EXPECT_THAT(Messages(), Contains("The server listed \"" + climbing +
                                     "\", which is no name of a backup's list file; it was left out"));
    EXPECT_THAT(Messages(), Contains("The server listed \"evil.inf\\x00.inf\", which is no name of a backup's "
                                     "list file; it was left out"));
    EXPECT_EQ(Root()->childCount(), 3) << "the real backups alone";
    // Were it shown after all: loading and restoring it must still write nothing outside the temporary folder.
    if (QTreeWidgetItem* planted = ChildNamed(Root(), climbing.substr(0, climbing.size() - 4))) {
        planted->setExpanded(true);
        Tick(planted);
        form->Restore2->trigger();
    }
    for (const std::string& victim : victims) {
        EXPECT_EQ(ReadFileBytes(victim), "the user's own") << victim;
    }
}

TEST_F(ServerTree, ListedPathsThatLeaveWhereTheyAreShownAreRefusedAndTheOthersComeBack) {
    // A hostile server's backup, its list and volume made here: between two good files, paths that climb out of
    // the folder they would be shown in, one relative to wherever the program runs, one with a "." and one with an
    // empty piece, and one that hides its climb behind a control character. Each entry holds what its path names.
    const std::string docs = data / "home/docs/";
    const std::string victim = data / "home/victim.txt";
    fs::create_directories(docs);
    WriteFileBytes(victim, "the user's own");
    const std::vector<std::pair<std::string, std::string>> listed{
        {docs + "good1.txt", "the first good file"},     {docs + "../victim.txt", "the server's bytes"},
        {"rel/x.txt", "written where the program runs"}, {docs + "./dot.txt", "dot"},
        {data / "home//docs/twice.txt", "twice"},        {docs + "\x1b[8mred/../../victim.txt", "the server's bytes"},
        {docs + "good2.txt", "the second good file"}};
    std::string list;
    std::string command = "/usr/bin/python3 -c " +
                          ShellQuote("import sys, zipfile\n"
                                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                     "    for name, data in zip(sys.argv[2::2], sys.argv[3::2]):\n"
                                     "        z.writestr(zipfile.ZipInfo(name), data)\n") +
                          " " + ShellQuote(Remote() + "0Evil.zip");
    for (const auto& [path, bytes] : listed) {
        list += "0\r\n" + path + "\r\n";
        command += " " + ShellQuote(path) + " " + ShellQuote(bytes);
    }
    int status = -1;
    RunCommand(command + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    WriteFileBytes(Remote() + "Evil.zip.inf", list);
    listFiles["Evil"] = "Evil.zip.inf";

    ModalUser user;
    Open();
    QTreeWidgetItem* evil = Expanded("Evil");
    std::vector<std::string> errors;
    for (const std::string& line : Messages()) {
        if (line.starts_with("Error")) {
            errors.push_back(line);
        }
    }
    const auto refused = [](const std::string& shown) {
        return "Error: The backup's list names \"" + shown + "\", which is no full path of a file; it was left out";
    };
    EXPECT_THAT(errors,
                ElementsAre(refused(docs + "../victim.txt"), refused("rel/x.txt"), refused(docs + "./dot.txt"),
                            refused(data / "home//docs/twice.txt"), refused(docs + "\\x1b[8mred/../../victim.txt")));
    QTreeWidgetItem* docsNode = NodeOf(evil, docs);
    ASSERT_NE(docsNode, nullptr);
    EXPECT_EQ(docsNode->childCount(), 2) << "the good files alone";
    ASSERT_EQ(NodeOf(evil, data / "home")->childCount(), 1) << "no victim.txt beside docs";

    // The whole folder ticked and restored, from a current folder of the test's own. A refused path keeps its place
    // in the volume, so the second good file is known by its place, not only by its name.
    Tick(docsNode);
    std::vector<tagNameZipId> files;
    form->CollectServerFiles(docsNode, files, docs.substr(0, docs.size() - 5));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].Path, docs + "good1.txt");
    EXPECT_EQ(files[1].Position, 6);
    const TempDir current;
    const fs::path previous = fs::current_path();
    fs::current_path(current.Path());
    form->Restore2->trigger();
    fs::current_path(previous);
    EXPECT_EQ(ReadFileBytes(victim), "the user's own");
    EXPECT_TRUE(fs::is_empty(current.Path()));
    EXPECT_EQ(ReadFileBytes(docs + "good1.txt"), "the first good file");
    EXPECT_EQ(ReadFileBytes(docs + "good2.txt"), "the second good file");
    EXPECT_EQ(NamesIn(docs), (std::set<std::string>{"good1.txt", "good2.txt"}));
}

// A list of any shape loads and restores without taking the window down: beside ordinary files, a path longer than
// the system takes in one call, one of the deepest kind allowed, and one of 100,000 pieces, which is refused.
TEST_F(ServerTree, AListTooDeepForTheTreeLosesThatPathAloneAndTheWindowLivesOn) {
    const std::string folder = data / "deep/";
    std::string longPath = folder;
    while (5067 - longPath.size() > 250) {
        longPath += std::string(99, 'p') + "/";
    }
    longPath += std::string(5067 - longPath.size() - 4, 'f') + ".txt";
    ASSERT_EQ(longPath.size(), 5067u);
    std::string deepest;
    for (int i = 0; i < 2047; ++i) {
        deepest += "/d";
    }
    deepest += "/f.txt";
    std::string tooDeep;
    for (int i = 0; i < 99'999; ++i) {
        tooDeep += "/x";
    }
    tooDeep += "/f.txt";
    const std::vector<std::pair<std::string, std::string>> entries{{folder + "one.txt", "the first file"},
                                                                   {longPath, "the long path's bytes"},
                                                                   {folder + "two.txt", "the second"}};
    std::string command = "/usr/bin/python3 -c " +
                          ShellQuote("import sys, zipfile\n"
                                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                     "    for name, data in zip(sys.argv[2::2], sys.argv[3::2]):\n"
                                     "        z.writestr(zipfile.ZipInfo(name), data)\n") +
                          " " + ShellQuote(Remote() + "0Deep.zip");
    for (const auto& [path, bytes] : entries) {
        command += " " + ShellQuote(path) + " " + ShellQuote(bytes);
    }
    int status = -1;
    RunCommand(command + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    WriteFileBytes(Remote() + "Deep.zip.inf", "0\r\n" + folder + "one.txt\r\n0\r\n" + longPath + "\r\n1\r\n" + deepest +
                                                  "\r\n2\r\n" + tooDeep + "\r\n0\r\n" + folder + "two.txt\r\n");
    listFiles["Deep"] = "Deep.zip.inf";

    Open();
    QTreeWidgetItem* deep = Expanded("Deep");
    ASSERT_NE(deep, nullptr);
    std::vector<std::string> errors;
    for (const std::string& line : Messages()) {
        if (line.starts_with("Error")) {
            errors.push_back(line);
        }
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], ::testing::StartsWith("Error: The backup's list names \"/x/x/x/"));
    EXPECT_THAT(errors[0], ::testing::EndsWith("/x/x/f.txt\", a path of more than 2048 pieces; it was left out"));
    EXPECT_LT(errors[0].size(), 300u) << "named, not written out whole";
    EXPECT_NE(NodeOf(deep, longPath), nullptr);
    EXPECT_NE(NodeOf(deep, deepest), nullptr);

    Tick(deep);
    form->Restore2->trigger();
    EXPECT_FALSE(GetGlobalObject()->Busy);
    EXPECT_EQ(ReadFileBytes(folder + "one.txt"), "the first file");
    EXPECT_EQ(ReadFileBytes(folder + "two.txt"), "the second");
    EXPECT_EQ(ReadFileAnyLength(longPath), "the long path's bytes");
    // The whole tree goes and comes again, the deepest backup with it, and the window closes.
    form->FillServerTree();
    ASSERT_EQ(Root()->childCount(), 4);
    Expanded("Deep");
    EXPECT_NE(NodeOf(Backup("Deep"), deepest), nullptr);
    EXPECT_TRUE(form->close());
    form.reset();
    // A path longer than the system takes in one call is beyond the temporary folder's own removal.
    RunCommand("rm -rf " + ShellQuote(folder), &status);
    EXPECT_EQ(status, 0);
}

TEST_F(ServerTree, BackupsWithTheLongestNamesOpenAndComeBack) {
    ModalUser user;
    user.Passwords = {"pw", "pw"};
    Open();
    // A task name of 230 characters: the archive's name gives way, so that every name made from it fits.
    TGlobalObject& app = *GetGlobalObject();
    app.Tasks.push_back(std::make_unique<TGroup>());
    TGroup& task = *app.Tasks.back();
    task.Name = std::string(230, 'L');
    const std::string longFile = data / "long.txt";
    WriteFileBytes(longFile, Content(6000, 7));
    task.AddFile(std::make_unique<TFileBase>(longFile));
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "pw";
    task.DoBackup();
    ASSERT_TRUE(task.LastRunOk);
    // A backup whose list file's name takes all 255 bytes, as an earlier version could leave one: "Secret" renamed.
    const std::string longest = std::string(243, 'S') + ".zip.crt";
    fs::rename(Remote() + listFiles["Secret"], Remote() + longest + ".inf");
    fs::rename(Remote() + "0" + CaptionOf("Secret"), Remote() + "0" + longest);
    form->FillServerTree();
    ASSERT_EQ(Root()->childCount(), 4);

    QTreeWidgetItem* renamed = ChildNamed(Root(), longest);
    QTreeWidgetItem* made = nullptr;
    for (int i = 0; i < Root()->childCount(); ++i) {
        if (GetNodeCaption(Root()->child(i)).starts_with("LLLL")) {
            made = Root()->child(i);
        }
    }
    ASSERT_NE(renamed, nullptr);
    ASSERT_NE(made, nullptr);
    EXPECT_LE(GetNodeCaption(made).size() + 4, 255u);
    renamed->setExpanded(true);
    made->setExpanded(true);
    Tick(renamed);
    Tick(made);
    fs::remove(SecretFile());
    fs::remove(longFile);
    form->Restore2->trigger();
    EXPECT_EQ(ReadFileBytes(SecretFile()), original[SecretFile()]);
    EXPECT_EQ(ReadFileBytes(longFile), Content(6000, 7));
    EXPECT_THAT(NamesIn(temp.Path()), IsEmpty());
}

} // namespace
