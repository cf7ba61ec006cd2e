#pragma once

#include "core/app/CoreWindows.h"

#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QGroupBox;
class QMenu;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TGroup;
class TPathExplorer;

// What the main window starts from. The defaults are the running program's own; a test points the program folder
// at a temporary one and chooses the command line, so that a window can be made and closed as often as it likes
// without touching the files beside the test program.
struct TmainFormStart {
    // Where "files.lst", "ftpbackup.stg" and "Backup.log" lie; "" for the folder of the running program.
    std::string ProgramDir;
    // The command line after the program's name; none for the process's own.
    std::optional<std::vector<std::string>> Arguments;
    // What went wrong before the window was made (the program folder's lock): logged and shown with the state
    // files that cannot be read.
    std::vector<std::string> StartProblems = {};
};

// One file picked in the tree of backups: its full path as listed, the volume that holds it, its place among that
// volume's entries (-1 where not known for certain) and the number of files the list gives that volume.
struct tagNameZipId {
    std::string Path;
    std::int32_t ZipId = 0;
    std::int32_t Position = 0;
    std::int32_t VolumeFiles = 0;
};

// The backup program's main window: the task list, the tree of files to back up for the current task, the tree of
// backups on the server, the log line, the menus and the tool bar. It is the application object's window side
// (ICoreWindows) for as long as it lives: it registers itself before the application object is made and takes the
// object down when it closes or goes. Creating it runs FormCreate.
class TmainForm : public QMainWindow, public ICoreWindows {
    Q_OBJECT

public:
    // The caption and the class name by which a second start finds the running one.
    static constexpr const char* Caption = "Corvane - Oxn Backup";
    static constexpr const char* ClassName = "TmainForm";
    // The companion's window, told about every save of the task list.
    static constexpr const char* CompanionClass = "TmainScheduleForm";
    static constexpr const char* CompanionCaption = "Corvane - Oxn Backup schedule_";

    explicit TmainForm(QWidget* owner = nullptr, TmainFormStart start = {});
    ~TmainForm() override;

    // ICoreWindows
    ITaskListView* TaskListView() override;
    ILogBox* LogBox() override;
    std::unique_ptr<ISendWindow> CreateSendWindow() override;
    std::unique_ptr<IWaitWindow> CreateWaitWindow() override;
    // Lists the server's backups again: the root "Server" and one unloaded node per list file. A refill asked
    // for while the tree is being filled or worked on (by the reconnect of an operation on it) is left out, so
    // that the tree is always built from one listing and no node in use is deleted under its user.
    void FillServerTree() override;

    // Start-up: the splash window, the application object, the tasks and settings, the connect (unless the first
    // parameter is "run"), a first task when there is none, task 0 current with its files tree.
    void FormCreate();
    // The close of the window; false (and nothing done) while the application object is busy. Otherwise the
    // tasks are saved, the companion told and the application object taken down.
    bool FormClose();
    void FormResize();

    // The task list's selection moved to `item`: the files tree is stored into the current task and rebuilt for
    // the task of the row.
    void groupsListChange(QTreeWidgetItem* item);
    void AddTask1Click();
    void EditTask1Click();
    void DeleteTask1Click();
    void Save1Click();
    void RunTask1Click();
    void FTPsettings1Click();
    void Reconnect1Click();
    void Clearmessagelog1Click();
    void About1Click();

    // The check marks of both trees (the rules themselves are CheckTree's).
    QTreeWidgetItem* AddTreeNode(QTreeWidgetItem* parent, const std::string& caption);
    void SetNodeCheckRecursive(QTreeWidgetItem* node, int state);
    void MarkAncestorsPartial(QTreeWidgetItem* node);
    void ToggleNodeCheck(QTreeWidgetItem* node);
    void UpdateNodeCheck(QTreeWidgetItem* node);
    void CollectCheckedNodes(QTreeWidgetItem* node, TGroup* task);

    // The files tree's marks become the current task's files and folders. Nothing without a current task or tree.
    void StoreTreeToTask();
    // Makes the files tree on the first call; lists it afresh for the current task on every call.
    void BuildFilesTree();
    // A click (or double click) at `point` of the tree's viewport: toggles the selected node's mark when the point
    // lies on its state picture.
    void groupsViewClick(QTreeWidget* sender, const QPoint& point);
    void groupsViewExpanding(QTreeWidgetItem* node);
    void groupsViewExpanded(QTreeWidgetItem* node);
    // Any mouse button selects the node under the mouse in the files tree, or none.
    void treeBacupFilesMouseDown(const QPoint& point);
    void explorePopupPopup();
    void Openfile1Click();
    void Openfolder1Click();

    // The ticked files under `node`, each path rebuilt from the captions below the backup node.
    void CollectServerFiles(QTreeWidgetItem* node, std::vector<tagNameZipId>& files, const std::string& prefix);
    // A backup node's first expansion loads its list file into folder and file nodes; refused while busy.
    void treeBacupFilesExpanding(QTreeWidgetItem* node, bool& allowExpansion);
    void Restore2Click();
    void Killrestorefromserver1Click();

    // The window's parts, by the names the commands are known by.
    // The tool bar: a row of buttons that wraps where the window ends.
    QWidget* ToolBar1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QTreeWidget* groupsList = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QTreeWidget* treeBacupFiles = nullptr;
    QSplitter* Splitter1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    QGroupBox* groupFiles = nullptr;
    QWidget* Panel1 = nullptr;
    QComboBox* logBox = nullptr;
    QMenu* explorePopup = nullptr;

    QAction* AddTask1 = nullptr;
    QAction* DeleteTask1 = nullptr;
    QAction* EditTask1 = nullptr;
    QAction* Save1 = nullptr;
    QAction* RunTask1 = nullptr;
    QAction* Restore2 = nullptr;
    QAction* Killrestorefromserver1 = nullptr;
    QAction* FTPsettings1 = nullptr;
    QAction* Reconnect1 = nullptr;
    QAction* Clearmessagelog1 = nullptr;
    QAction* About1 = nullptr;
    QAction* Openfile1 = nullptr;
    QAction* Openfolder1 = nullptr;

    // The files tree; null until BuildFilesTree makes it.
    TPathExplorer* filesTree = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class TTaskListView;
    class TLogBox;
    class TTreeHold;

    void CreateControls();
    void CreateCommands();
    // The task at the current index, or null.
    TGroup* CurrentGroup() const;
    // Runs a command; an error that escapes it is logged as "Error: " and its message.
    template <typename Command>
    void Guarded(Command command);
    // Tells the user once, in one message box and a log line each, of the state files that could not be read and
    // are left as they are.
    void ReportUnreadableStateFiles();
    // The Save Task command; at the close, a file refused since the start is not named again.
    void SaveTaskList(bool closing);
    void LoadBackupList(QTreeWidgetItem* backup);
    void RestoreBackup(QTreeWidgetItem* backup);

    TmainFormStart start_;
    // The files tree's own expanding handler, which lists a node; the window's runs in its place and calls it.
    std::function<void(QTreeWidgetItem*)> savedExpanding_;
    std::unique_ptr<TTaskListView> taskListView_;
    std::unique_ptr<TLogBox> logBoxView_;
    // Set by FormClose: the rows that leave the list as the application object goes select nothing.
    bool closing_ = false;
    // Whether the node being expanded had listed its children before this expansion.
    bool nodeWasExpanded_ = false;
    // Set while the server tree is filled or an operation walks it; a refill meanwhile is left out.
    int serverTreeHeld_ = 0;
    // A double click's closing release is not a click of its own.
    bool afterDoubleClick_ = false;
};
