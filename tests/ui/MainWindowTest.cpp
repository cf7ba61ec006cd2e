// The main window's commands on a program folder of the test's own: the first start, deleting, switching, saving
// and running tasks, with the user's answers given through the dialogs and the message-box responder.

#include "MainFormTesting.h"

#include "core/app/TaskFile.h"
#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "platform/WindowRegistry.h"
#include "ui/UnitGroupSettings.h"
#include "ui/UnitSplashScreen.h"
#include "ui/uPathExplorer.h"
#include "ui/unitMainForm.h"

#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<TGroup> Task(const std::string& name, const std::vector<std::string>& files = {}) {
    auto task = std::make_unique<TGroup>();
    task->Name = name;
    for (const std::string& file : files) {
        task->AddFile(std::make_unique<TFileBase>(file));
    }
    return task;
}

std::vector<std::string> Names(const std::vector<std::unique_ptr<TGroup>>& tasks) {
    std::vector<std::string> names;
    for (const auto& task : tasks) {
        names.push_back(task->Name);
    }
    return names;
}

std::vector<std::string> FilesOf(const TGroup& task) {
    std::vector<std::string> paths;
    for (const auto& file : task.Files) {
        paths.push_back(file->Path);
    }
    for (const auto& folder : task.Folders) {
        paths.push_back(folder->Path);
    }
    return paths;
}

// Takes the place of the desktop's opener for file URLs, and keeps the path of each URL it is handed, as bytes.
class DesktopOpener : public QObject {
    Q_OBJECT

public:
    DesktopOpener() { QDesktopServices::setUrlHandler("file", this, "Open"); }
    ~DesktopOpener() override { QDesktopServices::unsetUrlHandler("file"); }

    std::vector<std::string> Paths;

public slots:
    void Open(const QUrl& url) {
        Paths.push_back(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString());
    }
};

// Counts the events of one type that reach the objects it watches.
class TEventCounter : public QObject {
public:
    TEventCounter(QEvent::Type type, int& count) : type_(type), count_(count) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type_) {
            ++count_;
        }
        return false;
    }

private:
    QEvent::Type type_;
    int& count_;
};

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        WidgetApp();
        ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
        ::setenv("TEMP", temp.Path().c_str(), 1);
        fs::create_directories(data / "docs/sub");
        WriteFileBytes(data / "docs/a.txt", "alpha");
        WriteFileBytes(data / "docs/b.txt", "beta");
        WriteFileBytes(data / "docs/sub/c.txt", "gamma");
    }
    void TearDown() override {
        form.reset();
        ::unsetenv("TEMP");
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    void WriteTasks(std::vector<std::unique_ptr<TGroup>> tasks) { WriteTaskFile(program / TaskFileName, tasks); }
    std::vector<std::unique_ptr<TGroup>> StoredTasks() {
        std::vector<std::unique_ptr<TGroup>> tasks;
        ReadTaskFile(program / TaskFileName, nullptr, tasks);
        return tasks;
    }

    // The window over the test's program folder, started with "run" (no connect); shown, as the user sees it.
    void Open() {
        form = std::make_unique<TmainForm>(nullptr, TmainFormStart{program.Path(), std::vector<std::string>{"run"}});
        form->show();
        QApplication::processEvents();
    }
    // The files tree shows the test's data folder as its one drive.
    QTreeWidgetItem* ShowDataDrive() {
        form->filesTree->SetDriveLister([this] { return std::vector<std::string>{Docs()}; });
        form->BuildFilesTree();
        return form->filesTree->RootNode()->child(0);
    }
    std::string Docs() const { return data / "docs"; }
    TGlobalObject& App() { return *GetGlobalObject(); }
    std::vector<std::string> Errors() {
        std::vector<std::string> errors;
        for (const TLogMessage& line : App().Log->Lines()) {
            if (line.Message.rfind("Error", 0) == 0) {
                errors.push_back(line.Message);
            }
        }
        return errors;
    }

    TempDir runtime;
    TempDir temp;
    TempDir program;
    TempDir data;
    std::unique_ptr<TmainForm> form;
};

TEST_F(MainWindow, FirstStartOffersTheTaskDialogAndKeepsOneDefaultTaskWhenItIsCancelled) {
    int taskDialogs = 0;
    bool splashShown = false;
    std::string dialogCaption;
    ModalUser user;
    AnswerNextDialog([&](QDialog& dialog) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            splashShown = splashShown || (dynamic_cast<TsplashScreen*>(window) != nullptr && window->isVisible());
        }
        dialogCaption = dialog.windowTitle().toStdString();
        if (auto* settings = dynamic_cast<TfrmGroupSettings*>(&dialog)) {
            ++taskDialogs;
            // A failed check's message box, captioned with the application's title.
            settings->checkNeedEncrypt->click();
            settings->editPassword->setText("typed once");
            settings->BitBtn4->click();
        }
        dialog.reject();
    });
    Open();
    EXPECT_EQ(taskDialogs, 1);
    EXPECT_FALSE(splashShown) << "the splash stays out of the way of the dialog";
    // Each window's caption exactly: Qt appends the application's display name to every window's caption, so the
    // program keeps its title elsewhere.
    EXPECT_EQ(form->windowTitle().toStdString(), "Corvane - Oxn Backup");
    EXPECT_EQ(dialogCaption, "Task Settings");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    ASSERT_EQ(user.Requests.size(), 1u);
    EXPECT_EQ(user.Requests[0].text, "Please, rewrite password.");
    EXPECT_EQ(user.Requests[0].caption, "Corvane - Oxn Backup");

    ASSERT_THAT(Names(App().Tasks), ElementsAre("NewTask"));
    EXPECT_EQ(App().CurrentTask, 0);
    ASSERT_EQ(form->groupsList->topLevelItemCount(), 1);
    EXPECT_EQ(form->groupsList->currentItem(), form->groupsList->topLevelItem(0));
    EXPECT_EQ(form->groupsList->topLevelItem(0)->text(0).toStdString(), "NewTask");
    EXPECT_EQ(form->groupsList->topLevelItem(0)->text(3).toStdString(), "Never");
    ASSERT_NE(form->filesTree, nullptr);
    EXPECT_EQ(form->filesTree->RootNode()->text(0).toStdString(), "My Computer");
    EXPECT_EQ(GetNodeState(form->filesTree->RootNode()), NodeNoBox);
    EXPECT_GT(form->filesTree->RootNode()->childCount(), 0) << "the drives are listed";
    EXPECT_THAT(Errors(), IsEmpty());

    // The log line follows the window's width.
    form->resize(300, 400);
    EXPECT_EQ(form->logBox->width(), 290);

    // Closing stores the task in "files.lst"; the application object goes with the window's close.
    EXPECT_TRUE(form->close());
    EXPECT_THAT(Names(StoredTasks()), ElementsAre("NewTask"));
    EXPECT_TRUE(fs::exists(program / "Backup.log"));
}

TEST_F(MainWindow, StateFilesThatCannotBeReadAreNamedOnceAtStartAndNeverSaved) {
    // A folder stands where each file goes: something is there, but no file can be read from it.
    const std::vector<std::string> names = {TaskFileName, "ftpbackup.stg", "Backup.log"};
    for (const std::string& name : names) {
        fs::create_directory(program / name);
        WriteFileBytes(program / name + "/kept", name);
    }
    ModalUser user;
    AnswerNextDialog([](QDialog& dialog) { dialog.reject(); }); // the first task's dialog
    Open();
    // One box, then one log line each; the program goes on with defaults.
    ASSERT_EQ(user.Requests.size(), 1u);
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        lines.push_back("Cannot open file \"" + program / name +
                        "\". Is a directory. The file is left as it was and is not saved while the program runs; look "
                        "at the file's owner and permissions, and at what stands at its name.");
    }
    EXPECT_EQ(user.Requests[0].text, lines[0] + "\n\n" + lines[1] + "\n\n" + lines[2]);
    EXPECT_THAT(Errors(), ElementsAre("Error: " + lines[0], "Error: " + lines[1], "Error: " + lines[2]));
    EXPECT_THAT(Names(App().Tasks), ElementsAre("NewTask"));
    EXPECT_EQ(App().FTP->Port, 21);

    // Saving is refused with the same words, and at the close nothing is written or left beside the files.
    form->Save1Click();
    EXPECT_EQ(Errors().back(), "Error: " + lines[0]);
    EXPECT_TRUE(form->close());
    for (const std::string& name : names) {
        EXPECT_EQ(ReadFileBytes(program / name + "/kept"), name);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(program.Path()), {}), 3);

    // With a log it may write: the task file is named at start and at each Save Task click, and the saves at the
    // close say nothing more.
    fs::remove_all(program / "Backup.log");
    form.reset();
    AnswerNextDialog([](QDialog& dialog) { dialog.reject(); });
    Open();
    form->Save1Click();
    form->Save1Click();
    EXPECT_TRUE(form->close());
    form.reset();
    const TLogMessageList logged = TLog(nullptr, program.Path()).Lines();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [&](const TLogMessage& line) { return line.Message == "Error: " + lines[0]; }),
              3);
}

TEST_F(MainWindow, DeleteTaskAsksRemovesTheCurrentTaskShowsTheFirstAndNeverDeletesTheLast) {
    const std::string a = Docs() + "/a.txt";
    const std::string b = Docs() + "/b.txt";
    WriteTasks([&] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("A", {a}));
        tasks.push_back(Task("B", {b}));
        tasks.push_back(Task("C"));
        return tasks;
    }());
    const std::string stored = ReadFileBytes(program / TaskFileName);
    ModalUser user;
    Open();
    QTreeWidgetItem* drive = ShowDataDrive();
    EXPECT_EQ(GetNodeState(drive), NodePartly) << "task A holds a file below";

    // Selecting B's row stores A's tree into A and shows B's choice.
    form->groupsList->setCurrentItem(form->groupsList->topLevelItem(1));
    EXPECT_EQ(App().CurrentTask, 1);
    drive = form->filesTree->RootNode()->child(0);
    drive->setExpanded(true);
    EXPECT_EQ(GetNodeState(ChildNamed(drive, "b.txt")), NodeIncluded);
    EXPECT_EQ(GetNodeState(ChildNamed(drive, "a.txt")), NodeExcluded);
    EXPECT_THAT(FilesOf(*App().Tasks[0]), ElementsAre(a));

    user.Confirms = {false};
    form->DeleteTask1->trigger();
    ASSERT_EQ(user.Requests.size(), 1u);
    EXPECT_EQ(user.Requests[0].text, "Delete the task?");
    EXPECT_EQ(user.Requests[0].caption, "Warning");
    EXPECT_THAT(Names(App().Tasks), ElementsAre("A", "B", "C"));

    form->DeleteTask1->trigger();
    EXPECT_THAT(Names(App().Tasks), ElementsAre("A", "C"));
    EXPECT_EQ(App().CurrentTask, 0);
    ASSERT_EQ(form->groupsList->topLevelItemCount(), 2);
    EXPECT_EQ(form->groupsList->currentItem(), form->groupsList->topLevelItem(0));
    EXPECT_EQ(form->groupsList->topLevelItem(1)->text(0).toStdString(), "C");
    drive = form->filesTree->RootNode()->child(0);
    drive->setExpanded(true);
    EXPECT_EQ(GetNodeState(ChildNamed(drive, "a.txt")), NodeIncluded) << "the tree shows A's choice";
    EXPECT_EQ(GetNodeState(ChildNamed(drive, "b.txt")), NodeExcluded);
    EXPECT_EQ(ReadFileBytes(program / TaskFileName), stored) << "nothing is written before Save Task";

    // While busy nothing is asked and nothing deleted.
    App().Busy = true;
    form->DeleteTask1->trigger();
    App().Busy = false;
    EXPECT_EQ(user.Requests.size(), 2u);
    EXPECT_THAT(Names(App().Tasks), ElementsAre("A", "C"));

    form->DeleteTask1->trigger();
    form->DeleteTask1->trigger();
    EXPECT_EQ(user.Requests.size(), 4u) << "the last task is refused after the question, silently";
    EXPECT_THAT(Names(App().Tasks), ElementsAre("C"));
    EXPECT_EQ(form->groupsList->topLevelItemCount(), 1);
    EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(MainWindow, DeletingATaskDropsItsQueuedRunAndTheWorkerGoesOnWithTheOthers) {
    WriteTasks([] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("A"));
        tasks.push_back(Task("B"));
        tasks.push_back(Task("C"));
        return tasks;
    }());
    ModalUser user;
    Open();
    // B and then C queued by hand, and B deleted before the worker, which looks once a second, has come to it.
    form->groupsList->setCurrentItem(form->groupsList->topLevelItem(1));
    form->RunTask1->trigger();
    form->groupsList->setCurrentItem(form->groupsList->topLevelItem(2));
    form->RunTask1->trigger();
    form->groupsList->setCurrentItem(form->groupsList->topLevelItem(1));
    form->DeleteTask1->trigger();
    ASSERT_THAT(Names(App().Tasks), ElementsAre("A", "C"));

    // C's run (nothing to pack) comes and goes; B's never starts.
    const auto started = [&] {
        std::vector<std::string> runs;
        for (const TLogMessage& line : App().Log->Lines()) {
            if (line.Message.rfind("Backup. Task is ", 0) == 0) {
                runs.push_back(line.Message.substr(16));
            }
        }
        return runs;
    };
    ASSERT_TRUE(PumpUntil([&] { return !started().empty() && App().Pool->QueuedJobs() == 0 && !App().Busy; }, 20s));
    EXPECT_THAT(started(), ElementsAre("C"));
}

TEST_F(MainWindow, ClicksOnCheckBoxesReachTheTaskAtSaveWhichWritesTheFileAndTellsTheCompanion) {
    WriteTasks([] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("T"));
        tasks.push_back(Task("U"));
        return tasks;
    }());
    ModalUser user;
    Open();
    QTreeWidgetItem* drive = ShowDataDrive();
    drive->setExpanded(true);
    QTreeWidgetItem* a = ChildNamed(drive, "a.txt");
    QTreeWidgetItem* sub = ChildNamed(drive, "sub");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(sub, nullptr);

    // The popup's items are for real paths only: not for "My Computer".
    form->filesTree->setCurrentItem(form->filesTree->RootNode());
    form->explorePopupPopup();
    EXPECT_FALSE(form->Openfile1->isEnabled());
    EXPECT_FALSE(form->Openfolder1->isEnabled());
    form->filesTree->setCurrentItem(a);
    form->explorePopupPopup();
    EXPECT_TRUE(form->Openfile1->isEnabled());
    EXPECT_TRUE(form->Openfolder1->isEnabled());

    // A click beside the box (on the caption) changes nothing; a click on the box ticks.
    ClickAt(*form->filesTree, form->filesTree->visualItemRect(a).center());
    EXPECT_EQ(GetNodeState(a), NodeExcluded);
    ClickAt(*form->filesTree, CheckBoxPoint(*form->filesTree, a));
    EXPECT_EQ(GetNodeState(a), NodeIncluded);
    EXPECT_EQ(GetNodeState(drive), NodePartly);
    ClickAt(*form->filesTree, CheckBoxPoint(*form->filesTree, sub));
    EXPECT_EQ(GetNodeState(sub), NodeIncluded);

    // Saved with nobody to tell: the file is written all the same.
    form->Save1->trigger();
    ASSERT_EQ(StoredTasks().size(), 2u);
    EXPECT_THAT(FilesOf(*StoredTasks()[0]), ElementsAre(Docs() + "/a.txt", Docs() + "/sub/"));

    // With the companion's window announced, each save tells it, with the window as the sender and no data.
    {
        const RegistryPeer companion(TmainForm::CompanionClass, TmainForm::CompanionCaption);
        ClickAt(*form->filesTree, CheckBoxPoint(*form->filesTree, a));
        form->Save1->trigger();
        const auto notices = companion.Notices();
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].Sender, static_cast<std::uint64_t>(form->winId()));
        EXPECT_TRUE(notices[0].Data.empty());
    }
    EXPECT_THAT(FilesOf(*StoredTasks()[0]), ElementsAre(Docs() + "/sub/"));

    // Run Task asks first; on OK the tree reaches the task before the job is queued.
    ClickAt(*form->filesTree, CheckBoxPoint(*form->filesTree, ChildNamed(drive, "b.txt")));
    user.Confirms = {false, true};
    form->RunTask1->trigger();
    EXPECT_EQ(App().Pool->QueuedJobs(), 0u);
    EXPECT_THAT(FilesOf(*App().Tasks[0]), ElementsAre(Docs() + "/sub/"));
    form->RunTask1->trigger();
    EXPECT_EQ(App().Pool->QueuedJobs(), 1u);
    EXPECT_THAT(FilesOf(*App().Tasks[0]), ElementsAre(Docs() + "/b.txt", Docs() + "/sub/"));
    ASSERT_EQ(user.Requests.size(), 2u);
    EXPECT_EQ(user.Requests[1].text, "Run the task?");
    EXPECT_EQ(user.Requests[1].caption, "Warning");
}

TEST_F(MainWindow, CancellingAddTaskChangesNothingAndAcceptingAppendsARowWithoutSelectingIt) {
    WriteTasks([&] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("A", {Docs() + "/a.txt"}));
        return tasks;
    }());
    Open();
    ShowDataDrive();
    AnswerNextDialog([](QDialog& dialog) { dialog.reject(); });
    form->AddTask1->trigger();
    EXPECT_THAT(Names(App().Tasks), ElementsAre("A"));
    EXPECT_EQ(form->groupsList->topLevelItemCount(), 1);

    AnswerNextDialog([](QDialog& dialog) { dialog.accept(); });
    form->AddTask1->trigger();
    ASSERT_EQ(App().Tasks.size(), 2u);
    ASSERT_EQ(form->groupsList->topLevelItemCount(), 2);
    EXPECT_EQ(form->groupsList->topLevelItem(1)->text(0).toStdString(), App().Tasks[1]->Name);
    EXPECT_EQ(App().CurrentTask, 0);
    EXPECT_EQ(form->groupsList->currentItem(), form->groupsList->topLevelItem(0));
    EXPECT_EQ(GetNodeState(form->filesTree->RootNode()->child(0)), NodePartly) << "the tree still shows A";

    // The log line shows the newest line on top (here the failed connect to a server never set up), and
    // empties with the log.
    // A burst of lines reaches the box within a few tens of milliseconds.
    form->Reconnect1->trigger();
    const TLogMessageList lines = App().Log->Lines();
    ASSERT_GE(lines.size(), 2u);
    PumpUntil([&] { return form->logBox->count() == static_cast<int>(lines.size()); }, std::chrono::seconds(5));
    ASSERT_EQ(form->logBox->count(), static_cast<int>(lines.size()));
    EXPECT_EQ(form->logBox->currentIndex(), 0);
    EXPECT_EQ(form->logBox->currentText().toStdString(), lines.back().Time + " " + lines.back().Message);
    EXPECT_EQ(form->logBox->itemText(1).toStdString(),
              lines[lines.size() - 2].Time + " " + lines[lines.size() - 2].Message);
    // The hint is the newest line's message, shown when the mouse rests on the box.
    const auto hint = [&] {
        // A hint fades out before it is gone.
        QToolTip::hideText();
        PumpUntil([] { return !QToolTip::isVisible(); }, std::chrono::seconds(5));
        const QPoint inside(5, 5);
        QHelpEvent rest(QEvent::ToolTip, inside, form->logBox->mapToGlobal(inside));
        QApplication::sendEvent(form->logBox, &rest);
        return QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string();
    };
    EXPECT_EQ(hint(), lines.back().Message);
    form->Clearmessagelog1->trigger();
    EXPECT_EQ(hint(), "");
    EXPECT_EQ(form->logBox->count(), 0);
    EXPECT_EQ(App().Log->Count(), 0);
}

TEST_F(MainWindow, AFloodOfLogLinesPaintsTheLogLineAFewTimesAndEndsShowingTheNewest) {
    // A run logs a line per file and lets events through after each: the box must not be drawn for every line,
    // yet it must end up showing the newest.
    WriteTasks([&] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("A", {Docs() + "/a.txt"}));
        return tasks;
    }());
    Open();
    int paints = 0;
    TEventCounter counter(QEvent::Paint, paints);
    form->logBox->installEventFilter(&counter);
    const int lines = 2000;
    for (int i = 0; i < lines; ++i) {
        App().Log->Add("Adding file/home/ann/docs/file" + std::to_string(i) + ".txt");
        QApplication::processEvents();
    }
    EXPECT_LT(paints, lines / 10);
    const int paintsInFlood = paints;
    EXPECT_TRUE(PumpUntil([&] { return paints > paintsInFlood; }, std::chrono::seconds(5)))
        << "the last line is drawn once the flood is over";
    EXPECT_EQ(form->logBox->count(), App().Log->Count());
    EXPECT_EQ(form->logBox->currentIndex(), 0);
    EXPECT_TRUE(form->logBox->currentText().endsWith("Adding file/home/ann/docs/file1999.txt"));
    form->logBox->removeEventFilter(&counter);
}

TEST_F(MainWindow, OpenHandsTheDesktopThePathAsItIsOnDiskAndADoubleClickAnywhereInTheListEditsTheTask) {
    // Names written in an 8-bit encoding, which are no UTF-8.
    const std::string folder = Docs() + "/caf\xE9";
    const std::string file = folder + "/r\xE9sum\xE9.txt";
    fs::create_directories(folder);
    WriteFileBytes(file, "x");
    WriteTasks([] {
        std::vector<std::unique_ptr<TGroup>> tasks;
        tasks.push_back(Task("T"));
        return tasks;
    }());
    Open();
    QTreeWidgetItem* drive = ShowDataDrive();
    drive->setExpanded(true);
    QTreeWidgetItem* shown = nullptr;
    for (int i = 0; i < drive->childCount(); ++i) {
        shown = GetFileName(drive->child(i)) == folder ? drive->child(i) : shown;
    }
    ASSERT_NE(shown, nullptr);
    shown->setExpanded(true);
    ASSERT_EQ(shown->childCount(), 1);

    DesktopOpener opener;
    form->filesTree->setCurrentItem(shown->child(0));
    form->Openfile1->trigger();
    form->Openfolder1->trigger();
    EXPECT_EQ(opener.Paths, (std::vector<std::string>{file, folder + "/"}));

    // A double click on the task list below its last row is Edit Task, as one on a row is.
    int taskDialogs = 0;
    AnswerNextDialog([&](QDialog& dialog) {
        taskDialogs += dynamic_cast<TfrmGroupSettings*>(&dialog) != nullptr ? 1 : 0;
        dialog.reject();
    });
    QWidget* list = form->groupsList->viewport();
    const QPointF below(20, list->height() - 10);
    ASSERT_EQ(form->groupsList->itemAt(below.toPoint()), nullptr);
    const QPointF global(list->mapToGlobal(below.toPoint()));
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                                    QEvent::MouseButtonRelease}) {
        const bool down = type != QEvent::MouseButtonRelease;
        QMouseEvent event(type, below, global, Qt::LeftButton, down ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(list, &event);
    }
    EXPECT_EQ(taskDialogs, 1);
    EXPECT_THAT(Errors(), IsEmpty());
}

} // namespace

#include "MainWindowTest.moc"
