#include "unitMainForm.h"

#include "CheckTree.h"
#include "ModalBoxes.h"
#include "Pictures.h"
#include "UnitAboutForm.h"
#include "UnitFtpSettings.h"
#include "UnitGroupSettings.h"
#include "UnitPasswordDialog.h"
#include "UnitSendProcess.h"
#include "UnitSplashScreen.h"
#include "UnitWaitForm.h"
#include "UpdateThrottle.h"
#include "uPathExplorer.h"

#include "core/app/Encryption.h"
#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "core/archive/UnitListing.h"
#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"
#include "platform/TerminationSignals.h"
#include "platform/WindowRegistry.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLayout>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QThread>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <set>
#include <unordered_map>

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) {
            pieces.push_back(path.substr(start));
            return pieces;
        }
        pieces.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

// The server tree shows the root folder, the empty piece in front of an absolute path, as "/"; no other piece can
// be "/", so the caption gives the piece back exactly.
std::string CaptionOfPiece(const std::string& piece) {
    return piece.empty() ? "/" : piece;
}
std::string PieceOfCaption(const std::string& caption) {
    return caption == "/" ? std::string() : caption;
}

// Lays its items out in rows, left to right, and begins a new row where the width ends: the tool bar keeps every
// button in reach however narrow the window is, rather than hiding the last ones behind an overflow button.
class TFlowLayout : public QLayout {
public:
    explicit TFlowLayout(QWidget* parent) : QLayout(parent) { setContentsMargins(2, 2, 2, 2); }
    ~TFlowLayout() override {
        while (QLayoutItem* item = takeAt(0)) {
            delete item;
        }
    }
    void addItem(QLayoutItem* item) override { items_.push_back(item); }
    int count() const override { return static_cast<int>(items_.size()); }
    QLayoutItem* itemAt(int index) const override {
        return index >= 0 && index < count() ? items_[static_cast<std::size_t>(index)] : nullptr;
    }
    QLayoutItem* takeAt(int index) override {
        if (index < 0 || index >= count()) {
            return nullptr;
        }
        QLayoutItem* item = items_[static_cast<std::size_t>(index)];
        items_.erase(items_.begin() + index);
        return item;
    }
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return Arrange(QRect(0, 0, width, 0), false); }
    void setGeometry(const QRect& rect) override {
        QLayout::setGeometry(rect);
        Arrange(rect, true);
    }
    QSize sizeHint() const override { return minimumSize(); }
    QSize minimumSize() const override {
        QSize size;
        for (const QLayoutItem* item : items_) {
            size = size.expandedTo(item->minimumSize());
        }
        const QMargins margins = contentsMargins();
        return size + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
    }

private:
    // Places the items (when asked) and returns the height they take at the rectangle's width.
    int Arrange(const QRect& rect, bool place) const {
        const QRect area = rect.marginsRemoved(contentsMargins());
        int x = area.x();
        int y = area.y();
        int rowHeight = 0;
        for (QLayoutItem* item : items_) {
            const QSize hint = item->sizeHint();
            if (x + hint.width() > area.right() + 1 && x > area.x()) {
                x = area.x();
                y += rowHeight + spacing();
                rowHeight = 0;
            }
            if (place) {
                item->setGeometry(QRect(QPoint(x, y), hint));
            }
            x += hint.width() + spacing();
            rowHeight = std::max(rowHeight, hint.height());
        }
        return y + rowHeight - rect.y() + contentsMargins().bottom();
    }

    std::vector<QLayoutItem*> items_;
};

// Grid lines between the rows and columns of the task list.
class TGridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

// Runs an action on every double click of the left button on the watched widget, and lets the widget have it too.
class TDoubleClickFilter : public QObject {
public:
    TDoubleClickFilter(QObject* parent, std::function<void()> action) : QObject(parent), action_(std::move(action)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonDblClick &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            action_();
        }
        return false;
    }

private:
    std::function<void()> action_;
};

// The log's lines for the drop-down box, newest on top, read from the log itself whenever the box draws one: the
// box holds no copy of its own. A log of years holds hundreds of thousands of lines, and a run adds one per file.
class TLogLines : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows_; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rows_ || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
            return {};
        }
        return source_ != nullptr ? Q(source_->LineText(LineOf(index.row()))) : kept_;
    }
    // Lists the lines of `source` up to `line`; returns the row of that line.
    int ShowUpTo(const ILogLines& source, int line) {
        if (&source != source_) {
            beginResetModel();
            source_ = &source;
            rows_ = 0;
            endResetModel();
        }
        if (line >= rows_) {
            beginInsertRows(QModelIndex(), 0, line - rows_);
            rows_ = line + 1;
            endInsertRows();
        }
        return rows_ - 1 - line;
    }
    // The message of the line in `row`, the box's hint.
    QString Message(int row) const {
        if (row < 0 || row >= rows_) {
            return {};
        }
        return source_ != nullptr ? Q(source_->LineMessage(LineOf(row))) : keptMessage_;
    }
    // The lines go: `row` stays as the only one, as copies.
    void Keep(int row) {
        const bool keep = row >= 0 && row < rows_ && source_ != nullptr;
        const QString text = keep ? data(index(row), Qt::DisplayRole).toString() : QString();
        const QString message = keep ? Message(row) : QString();
        beginResetModel();
        source_ = nullptr;
        rows_ = keep ? 1 : 0;
        kept_ = text;
        keptMessage_ = message;
        endResetModel();
    }
    void Clear() {
        beginResetModel();
        rows_ = 0;
        endResetModel();
    }

private:
    int LineOf(int row) const { return rows_ - 1 - row; }

    const ILogLines* source_ = nullptr;
    int rows_ = 0;
    QString kept_;
    QString keptMessage_;
};

} // namespace

// A row of the task list, which keeps the task it stands for.
class TTaskRow : public QTreeWidgetItem, public ITaskListItem {
public:
    explicit TTaskRow(QTreeWidget* list) : QTreeWidgetItem(list) {}
    void SetCaption(const std::string& caption) override { setText(0, Q(caption)); }
    void SetData(TGroup* task) override { Task = task; }
    void SetImageIndex(int index) override { setIcon(0, ItemPicture(index)); }
    void SetSubItems(const std::vector<std::string>& texts) override {
        for (int column = 1; column < columnCount() || column <= static_cast<int>(texts.size()); ++column) {
            const auto at = static_cast<std::size_t>(column - 1);
            setText(column, at < texts.size() ? Q(texts[at]) : QString());
        }
    }

    TGroup* Task = nullptr;
};

class TmainForm::TTaskListView : public ITaskListView {
public:
    explicit TTaskListView(QTreeWidget* view) : view_(view) {}
    ITaskListItem* AddItem() override { return new TTaskRow(view_); }
    void DeleteItem(ITaskListItem* item) override { delete dynamic_cast<TTaskRow*>(item); }

private:
    QTreeWidget* view_;
};

class TmainForm::TLogBox : public QObject, public ILogBox {
public:
    explicit TLogBox(QComboBox* box)
        : box_(box), lines_(new TLogLines(box)), update_(new TUpdateThrottle(this, [this] { ShowHeld(); })) {
        box_->setModel(lines_);
        // Every line is one line of text, so the drop-down list need not measure each of them.
        if (auto* list = qobject_cast<QListView*>(box_->view())) {
            list->setUniformItemSizes(true);
        }
        box_->installEventFilter(this);
    }
    void ShowNewest(const ILogLines& lines, int index) override {
        if (source_ != nullptr && source_ != &lines) {
            update_->Flush();
        }
        source_ = &lines;
        newest_ = index;
        update_->Request();
    }
    void Clear() override {
        source_ = nullptr;
        update_->Flush();
        lines_->Clear();
        box_->setCurrentIndex(-1);
    }
    void LogGone() override {
        update_->Flush();
        source_ = nullptr;
        lines_->Keep(box_->currentIndex());
        box_->setCurrentIndex(lines_->rowCount(QModelIndex()) - 1);
    }

protected:
    // The hint is the current line's message, looked up when the mouse rests on the box, not set for every line.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == box_ && event->type() == QEvent::ToolTip) {
            const QString hint = lines_->Message(box_->currentIndex());
            if (hint.isEmpty()) {
                QToolTip::hideText();
                event->ignore();
            } else {
                QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), hint, box_);
            }
            return true;
        }
        return false;
    }

private:
    // Lists the lines up to the newest one asked for and selects it.
    void ShowHeld() {
        if (source_ != nullptr) {
            box_->setCurrentIndex(lines_->ShowUpTo(*source_, newest_));
        }
    }

    QComboBox* box_;
    TLogLines* lines_;
    TUpdateThrottle* update_;
    // The newest line asked for, shown at the latest when the throttle's interval ends.
    const ILogLines* source_ = nullptr;
    int newest_ = -1;
};

// Holds the server tree while it is filled or an operation walks it.
class TmainForm::TTreeHold {
public:
    explicit TTreeHold(TmainForm& form) : form_(form) { ++form_.serverTreeHeld_; }
    ~TTreeHold() { --form_.serverTreeHeld_; }
    TTreeHold(const TTreeHold&) = delete;
    TTreeHold& operator=(const TTreeHold&) = delete;

private:
    TmainForm& form_;
};

namespace {

// The application object is busy for as long as this lives, with the wait window shown when asked for.
class TBusyScope {
public:
    explicit TBusyScope(bool wait) : app_(*GetGlobalObject()), wait_(wait) {
        if (wait_) {
            app_.BeginWait();
        }
        app_.Busy = true;
    }
    ~TBusyScope() {
        if (wait_) {
            app_.EndWait();
        }
        app_.Busy = false;
    }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TGlobalObject& app_;
    bool wait_;
};

class TWaitCursor {
public:
    TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// A file node's place among its volume's entries (-1 where the list does not tell it for certain) and the number of
// files the list gives that volume, kept beside its volume number (the node's data word).
constexpr int PositionRole = Qt::UserRole + 16;
constexpr int VolumeFilesRole = Qt::UserRole + 17;

// The volumes that the file nodes under `node` are in, ticked or not.
void CollectVolumes(const QTreeWidgetItem* node, std::set<std::int32_t>& volumes) {
    VisitSubtree(node, [&](const QTreeWidgetItem* item) {
        if (item != node && item->childCount() == 0 && GetNodeData(item) >= 0) {
            volumes.insert(GetNodeData(item));
        }
    });
}

// A folder node of the server tree by its parent and its piece of the path: each folder is keyed by its own piece
// alone, so a list's folders cost memory in proportion to the list, however deep its paths go.
struct TFolderKey {
    const QTreeWidgetItem* Parent;
    std::string Piece;
    bool operator==(const TFolderKey&) const = default;
};
struct TFolderKeyHash {
    std::size_t operator()(const TFolderKey& key) const {
        return std::hash<std::string>()(key.Piece) ^ std::hash<const void*>()(key.Parent);
    }
};

// The wait box stays on top of every window: it steps aside while the user is asked for the password, which it
// would otherwise cover.
std::string AskPassword() {
    TGlobalObject* app = GetGlobalObject();
    if (app->WaitWindow) {
        app->WaitWindow->Close();
    }
    std::string password = PasswordDialog("Enter Password");
    if (app->WaitWindow) {
        app->WaitWindow->Show();
        app->WaitWindow->RepaintNow();
    }
    return password;
}

void LogLine(const std::string& line) {
    GetGlobalObject()->Log->Add(line);
}

// The file URL of a path exactly as it is on disk: every byte that is no plain character travels percent-encoded,
// so a name that is no UTF-8 reaches the opener as the same bytes rather than as the text Qt would decode it to.
QUrl LocalFileUrl(const std::string& path) {
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"));
}

} // namespace

TmainForm::TmainForm(QWidget* owner, TmainFormStart start) : QMainWindow(owner), start_(std::move(start)) {
    setObjectName("mainForm");
    setWindowIcon(ProgramIcon());
    // Also for the windows made without an owner (the About box), which take no icon from this one.
    QApplication::setWindowIcon(windowIcon());
    resize(800, 520);
    CreateControls();
    CreateCommands();
    taskListView_ = std::make_unique<TTaskListView>(groupsList);
    logBoxView_ = std::make_unique<TLogBox>(logBox);
    SetGlobalObjectOptions({this, start_.ProgramDir});
    try {
        FormCreate();
    } catch (...) {
        // No window is left for the application object to point at.
        closing_ = true;
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        throw;
    }
}

TmainForm::~TmainForm() {
    // Not closed through FormClose (a test, an error at start): the application object still points at this
    // window's list and box, so it goes first, while they are there.
    closing_ = true;
    DestroyGlobalObject();
    SetGlobalObjectOptions({});
}

void TmainForm::CreateControls() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    ToolBar1 = new QWidget(central);
    ToolBar1->setObjectName("ToolBar1");
    auto* toolLayout = new TFlowLayout(ToolBar1);
    toolLayout->setSpacing(1);
    layout->addWidget(ToolBar1);

    Splitter1 = new QSplitter(Qt::Horizontal, central);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setChildrenCollapsible(false);

    GroupBox1 = new QGroupBox("Task list", Splitter1);
    GroupBox1->setObjectName("GroupBox1");
    auto* leftLayout = new QVBoxLayout(GroupBox1);
    leftLayout->setContentsMargins(4, 4, 4, 4);
    Splitter2 = new QSplitter(Qt::Vertical, GroupBox1);
    Splitter2->setObjectName("Splitter2");
    Splitter2->setChildrenCollapsible(false);
    leftLayout->addWidget(Splitter2);

    groupsList = new QTreeWidget(Splitter2);
    groupsList->setObjectName("groupsList");
    groupsList->setColumnCount(4);
    groupsList->setHeaderLabels({"Name", "Enable", "Period", "Last run"});
    groupsList->setRootIsDecorated(false);
    groupsList->setItemsExpandable(false);
    groupsList->setUniformRowHeights(true);
    groupsList->setSelectionMode(QAbstractItemView::SingleSelection);
    groupsList->setSelectionBehavior(QAbstractItemView::SelectRows);
    groupsList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    groupsList->setItemDelegate(new TGridDelegate(groupsList));
    // "Last run" takes what is left, so that a whole date and time shows once the column is wide enough.
    groupsList->header()->setStretchLastSection(true);
    groupsList->setColumnWidth(0, 110);
    groupsList->setColumnWidth(1, 50);
    groupsList->setColumnWidth(2, 70);
    groupsList->setColumnWidth(3, 100);
    connect(groupsList, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { groupsListChange(current); });
    // Wherever the double click lands, on a row or on the empty area below the rows.
    groupsList->viewport()->installEventFilter(new TDoubleClickFilter(groupsList, [this] { EditTask1Click(); }));

    GroupBox2 = new QGroupBox("Backed up files", Splitter2);
    GroupBox2->setObjectName("GroupBox2");
    auto* serverLayout = new QVBoxLayout(GroupBox2);
    serverLayout->setContentsMargins(4, 4, 4, 4);
    treeBacupFiles = new QTreeWidget(GroupBox2);
    treeBacupFiles->setObjectName("treeBacupFiles");
    treeBacupFiles->setHeaderHidden(true);
    treeBacupFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treeBacupFiles->viewport()->installEventFilter(this);
    connect(treeBacupFiles, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
        bool allow = true;
        treeBacupFilesExpanding(node, allow);
        if (!allow) {
            const QSignalBlocker quiet(treeBacupFiles);
            node->setExpanded(false);
        }
    });
    serverLayout->addWidget(treeBacupFiles);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({180, 240});

    groupFiles = new QGroupBox("Files for backup", Splitter1);
    groupFiles->setObjectName("groupFiles");
    auto* filesLayout = new QVBoxLayout(groupFiles);
    filesLayout->setContentsMargins(4, 4, 4, 4);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({400, 400});
    layout->addWidget(Splitter1, 1);

    // The log line sits at a fixed place and takes the window's width less ten pixels (FormResize), as the
    // window's own design lays it out.
    Panel1 = new QWidget(central);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(26);
    logBox = new QComboBox(Panel1);
    logBox->setObjectName("logBox");
    logBox->setEditable(false);
    logBox->move(3, 3);
    logBox->resize(logBox->width(), 20);
    layout->addWidget(Panel1);

    setCentralWidget(central);
}

void TmainForm::CreateCommands() {
    const auto command = [this](const char* name, const char* caption, int picture, bool hint) {
        auto* action = new QAction(caption, this);
        action->setObjectName(name);
        if (picture >= 0) {
            action->setIcon(CommandPicture(picture));
        }
        action->setToolTip(hint ? caption : QString());
        action->setStatusTip(hint ? caption : QString());
        return action;
    };
    AddTask1 = command("AddTask1", "Add Task", 5, true);
    DeleteTask1 = command("DeleteTask1", "Delete Task", 3, true);
    EditTask1 = command("EditTask1", "Edit Task", 4, true);
    Save1 = command("Save1", "Save Task", 7, true);
    RunTask1 = command("RunTask1", "Run Task", 0, true);
    Restore2 = command("Restore2", "Restore selected", 6, true);
    Killrestorefromserver1 = command("Killrestorefromserver1", "Kill backup from server", 1, true);
    FTPsettings1 = command("FTPsettings1", "FTP and Proxy settings", 8, true);
    Reconnect1 = command("Reconnect1", "Reconnect", 2, true);
    Clearmessagelog1 = command("Clearmessagelog1", "Clear message log", -1, false);
    About1 = command("About1", "About", 9, false);
    Openfile1 = command("Openfile1", "Open", -1, false);
    Openfolder1 = command("Openfolder1", "Open folder", -1, false);

    connect(AddTask1, &QAction::triggered, this, &TmainForm::AddTask1Click);
    connect(DeleteTask1, &QAction::triggered, this, &TmainForm::DeleteTask1Click);
    connect(EditTask1, &QAction::triggered, this, &TmainForm::EditTask1Click);
    connect(Save1, &QAction::triggered, this, &TmainForm::Save1Click);
    connect(RunTask1, &QAction::triggered, this, &TmainForm::RunTask1Click);
    connect(Restore2, &QAction::triggered, this, &TmainForm::Restore2Click);
    connect(Killrestorefromserver1, &QAction::triggered, this, &TmainForm::Killrestorefromserver1Click);
    connect(FTPsettings1, &QAction::triggered, this, &TmainForm::FTPsettings1Click);
    connect(Reconnect1, &QAction::triggered, this, &TmainForm::Reconnect1Click);
    connect(Clearmessagelog1, &QAction::triggered, this, &TmainForm::Clearmessagelog1Click);
    connect(About1, &QAction::triggered, this, &TmainForm::About1Click);
    connect(Openfile1, &QAction::triggered, this, &TmainForm::Openfile1Click);
    connect(Openfolder1, &QAction::triggered, this, &TmainForm::Openfolder1Click);

    QMenu* task = menuBar()->addMenu("Task");
    task->addActions({AddTask1, DeleteTask1, EditTask1, Save1, RunTask1});
    QMenu* restore = menuBar()->addMenu("Restore");
    restore->addActions({Restore2, Killrestorefromserver1});
    QMenu* options = menuBar()->addMenu("Options");
    options->addActions({FTPsettings1, Reconnect1, Clearmessagelog1});
    QMenu* help = menuBar()->addMenu("Help");
    help->addAction(About1);
    for (QMenu* menu : {task, restore, options, help}) {
        menu->setToolTipsVisible(true);
    }

    // Flat buttons with the picture and the caption side by side, each running its menu item.
    const std::vector<QAction*> tools{Reconnect1, nullptr,     AddTask1, EditTask1, DeleteTask1,
                                      Save1,      RunTask1,    nullptr,  Restore2,  Killrestorefromserver1,
                                      nullptr,    FTPsettings1};
    for (QAction* action : tools) {
        if (action == nullptr) {
            auto* separator = new QFrame(ToolBar1);
            separator->setFrameShape(QFrame::VLine);
            separator->setFrameShadow(QFrame::Sunken);
            separator->setFixedSize(8, 30);
            ToolBar1->layout()->addWidget(separator);
            continue;
        }
        auto* button = new QToolButton(ToolBar1);
        button->setDefaultAction(action);
        button->setAutoRaise(true);
        button->setIconSize(QSize(24, 24));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        ToolBar1->layout()->addWidget(button);
    }

    explorePopup = new QMenu(this);
    explorePopup->setObjectName("explorePopup");
    explorePopup->addAction(Openfile1);
    explorePopup->addAction(Openfolder1);
    explorePopup->setDefaultAction(Openfile1);
    connect(explorePopup, &QMenu::aboutToShow, this, &TmainForm::explorePopupPopup);
}

ITaskListView* TmainForm::TaskListView() {
    return taskListView_.get();
}

ILogBox* TmainForm::LogBox() {
    return logBoxView_.get();
}

std::unique_ptr<ISendWindow> TmainForm::CreateSendWindow() {
    return std::make_unique<TsendWindow>();
}

std::unique_ptr<IWaitWindow> TmainForm::CreateWaitWindow() {
    return std::make_unique<TwaitForm>();
}

TGroup* TmainForm::CurrentGroup() const {
    const TGlobalObject* app = GetGlobalObject();
    if (app->CurrentTask < 0 || app->CurrentTask >= static_cast<std::int32_t>(app->Tasks.size())) {
        return nullptr;
    }
    return app->Tasks[static_cast<std::size_t>(app->CurrentTask)].get();
}

template <typename Command>
void TmainForm::Guarded(Command command) {
    // Qt passes no exception through its event loop; each command ends its own errors in the log.
    try {
        command();
    } catch (const std::exception& error) {
        try {
            LogLine(std::string("Error: ") + error.what());
        } catch (const std::exception&) {
            // No log to write to: nothing more can be done.
        }
    }
}

void TmainForm::FormCreate() {
    setWindowTitle(Caption);
    SetApplicationTitle(Caption);
    // Drawn before the loading starts, which holds the main thread.
    auto splash = std::make_unique<TsplashScreen>();
    splash->show();
    splash->repaint();
    ProcessMessages();

    // Without an application object there is no log to tell of an error: that one reaches the caller.
    TGlobalObject* app = GetGlobalObject();
    try {
        app->LoadTasks();
        app->LoadSettings();
        ReportUnreadableStateFiles();
        std::vector<std::string> arguments;
        if (start_.Arguments) {
            arguments = *start_.Arguments;
        } else {
            const QStringList all = QCoreApplication::arguments();
            for (int i = 1; i < all.size(); ++i) {
                arguments.push_back(all[i].toStdString());
            }
        }
        if (arguments.empty() || arguments[0] != "run") {
            app->FTP->Connect();
        }
        if (app->Tasks.empty()) {
            AddTask1Click();
            if (app->Tasks.empty()) {
                app->Tasks.push_back(std::make_unique<TGroup>(app->GroupsList));
            }
        }
        app->CurrentTask = 0;
        groupsList->setCurrentItem(groupsList->topLevelItem(0));
        BuildFilesTree();
        splash->close();
    } catch (const std::exception& error) {
        app->Log->Add(std::string("Error: ") + error.what());
    }
}

void TmainForm::ReportUnreadableStateFiles() {
    TGlobalObject* app = GetGlobalObject();
    std::vector<std::string> lines = start_.StartProblems;
    for (const std::string& line : app->UnreadableStateFiles()) {
        lines.push_back(line);
    }
    std::string text;
    for (const std::string& line : lines) {
        app->Log->Add("Error: " + line);
        text += (text.empty() ? "" : "\n\n") + line;
    }
    // Not waited for: a start by the companion for a due task goes on to the task, whoever reads the box.
    if (!text.empty()) {
        NoticeBox(this, text);
    }
}

bool TmainForm::FormClose() {
    if (GetGlobalObject()->Busy) {
        return false;
    }
    hide();
    closing_ = true;
    SaveTaskList(true);
    DestroyGlobalObject();
    return true;
}

void TmainForm::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (FormClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TmainForm::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TmainForm::FormResize() {
    logBox->resize(std::max(0, width() - 10), logBox->height());
}

void TmainForm::groupsListChange(QTreeWidgetItem* item) {
    Guarded([&] {
        auto* row = dynamic_cast<TTaskRow*>(item);
        if (row == nullptr || row->Task == nullptr || closing_) {
            return;
        }
        TGlobalObject* app = GetGlobalObject();
        TGroup* task = row->Task;
        TGroup* current = CurrentGroup();
        if (current == task) {
            return;
        }
        if (current != nullptr) {
            StoreTreeToTask();
        }
        app->SelectTask(task);
        if (CurrentGroup() != nullptr) {
            BuildFilesTree();
        }
    });
}

void TmainForm::RunTask1Click() {
    Guarded([&] {
        TGroup* task = CurrentGroup();
        if (task == nullptr || !ConfirmBox(this, "Run the task?", "Warning")) {
            return;
        }
        StoreTreeToTask();
        // The busy flag is not looked at: the worker holds the job until the application is free.
        GetGlobalObject()->Pool->AddJob(task, 0);
    });
}

void TmainForm::AddTask1Click() {
    Guarded([&] {
        TfrmGroupSettings dialog(this);
        auto task = std::make_unique<TGroup>(nullptr);
        dialog.LoadFromTask(task.get());
        if (dialog.exec() != QDialog::Accepted) {
            return;
        }
        dialog.SaveToTask(task.get());
        TGlobalObject* app = GetGlobalObject();
        TGroup* added = task.get();
        app->Tasks.push_back(std::move(task));
        added->Owner = app->GroupsList;
        // A new row is not a selection: the current task and the files tree stay as they were.
        const QSignalBlocker quiet(groupsList);
        added->UpdateListItem();
    });
}

void TmainForm::EditTask1Click() {
    Guarded([&] {
        TGroup* task = CurrentGroup();
        if (task == nullptr) {
            return;
        }
        TfrmGroupSettings dialog(this);
        dialog.LoadFromTask(task);
        if (dialog.exec() == QDialog::Accepted) {
            dialog.SaveToTask(task);
            task->UpdateListItem();
        }
    });
}

void TmainForm::DeleteTask1Click() {
    Guarded([&] {
        TGlobalObject* app = GetGlobalObject();
        if (app->Busy || !ConfirmBox(this, "Delete the task?", "Warning")) {
            return;
        }
        // The dialog's event loop may have let a run begin.
        if (app->Busy || CurrentGroup() == nullptr || app->Tasks.size() <= 1) {
            return;
        }
        // The row goes with the task; the list's own move of the selection is no choice of the user's, and the
        // first task is made current here in one step.
        {
            const QSignalBlocker quiet(groupsList);
            const auto at = app->Tasks.begin() + app->CurrentTask;
            std::unique_ptr<TGroup> gone = std::move(*at);
            app->Tasks.erase(at);
            // A run queued a moment ago (Run Task, a timer tick) must not find the task gone.
            app->Pool->RemoveJobs(gone.get());
            app->CurrentTask = -1;
            gone.reset();
            app->CurrentTask = 0;
            groupsList->setCurrentItem(groupsList->topLevelItem(0));
        }
        BuildFilesTree();
    });
}

void TmainForm::Save1Click() {
    SaveTaskList(false);
}

void TmainForm::SaveTaskList(bool closing) {
    Guarded([&] {
        StoreTreeToTask();
        try {
            GetGlobalObject()->SaveTasks();
        } catch (const EStateFileRefused&) {
            // Named at start and at each click; the saves at exit say nothing more.
            if (closing) {
                return;
            }
            throw;
        }
        // The companion rereads the task file by itself; the notice only tells it that the file changed.
        TCopyData notice;
        notice.Sender = static_cast<std::uint64_t>(winId());
        SendCopyData(CompanionClass, CompanionCaption, notice);
    });
}

void TmainForm::FTPsettings1Click() {
    Guarded([&] {
        TftpSettings dialog(this);
        dialog.LoadSettings();
        if (dialog.exec() == QDialog::Accepted && dialog.SaveSettings()) {
            GetGlobalObject()->FTP->Reconnect();
        }
    });
}

void TmainForm::Reconnect1Click() {
    Guarded([&] { GetGlobalObject()->FTP->Reconnect(); });
}

void TmainForm::Clearmessagelog1Click() {
    Guarded([&] { GetGlobalObject()->Log->Clear(); });
}

void TmainForm::About1Click() {
    Guarded([&] {
        TaboutForm about;
        about.exec();
    });
}

// ---- The check marks of both trees

QTreeWidgetItem* TmainForm::AddTreeNode(QTreeWidgetItem* parent, const std::string& caption) {
    return ::AddTreeNode(parent, caption);
}

void TmainForm::SetNodeCheckRecursive(QTreeWidgetItem* node, int state) {
    ::SetNodeCheckRecursive(node, state);
}

void TmainForm::MarkAncestorsPartial(QTreeWidgetItem* node) {
    ::MarkAncestorsPartial(node);
}

void TmainForm::ToggleNodeCheck(QTreeWidgetItem* node) {
    ::ToggleNodeCheck(node);
}

void TmainForm::UpdateNodeCheck(QTreeWidgetItem* node) {
    if (const TGroup* task = CurrentGroup()) {
        ::UpdateNodeCheck(node, *task);
    }
}

void TmainForm::CollectCheckedNodes(QTreeWidgetItem* node, TGroup* task) {
    if (const TGroup* current = CurrentGroup()) {
        ::CollectCheckedNodes(node, *task, *current);
    }
}

// ---- The files tree

void TmainForm::StoreTreeToTask() {
    TGroup* task = CurrentGroup();
    if (task == nullptr || filesTree == nullptr) {
        return;
    }
    ::StoreTreeToTask(*filesTree, *task);
}

void TmainForm::BuildFilesTree() {
    if (filesTree == nullptr) {
        filesTree = new TPathExplorer(groupFiles);
        filesTree->setObjectName("filesTree");
        groupFiles->layout()->addWidget(filesTree);
        filesTree->viewport()->installEventFilter(this);
        // The window's step runs around the tree's own listing: before it to learn whether this expansion is the
        // node's first, after it to mark what was listed.
        savedExpanding_ = filesTree->ExpandingHandler();
        filesTree->SetExpandingHandler([this](QTreeWidgetItem* node) {
            groupsViewExpanding(node);
            savedExpanding_(node);
        });
        connect(filesTree, &TPathExplorer::NodeExpanded, this, &TmainForm::groupsViewExpanded);
        filesTree->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(filesTree, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& point) { explorePopup->popup(filesTree->viewport()->mapToGlobal(point)); });
        QTreeWidgetItem* root = filesTree->RootNode();
        root->setText(0, "My Computer");
        SetNodeState(root, NodeNoBox);
    }
    QTreeWidgetItem* root = filesTree->RootNode();
    qDeleteAll(root->takeChildren());
    SetNodeExpanded(root, false);
    // Lists the drives and marks each from the current task (groupsViewExpanding, then groupsViewExpanded).
    root->setExpanded(true);
}

void TmainForm::groupsViewClick(QTreeWidget* sender, const QPoint& point) {
    Guarded([&] {
        // The node under a click is the selected one: the press has just selected it.
        QTreeWidgetItem* node = StatePictureAt(*sender, point);
        if (node == nullptr) {
            return;
        }
        sender->setUpdatesEnabled(false);
        ToggleNodeCheck(node);
        sender->setUpdatesEnabled(true);
    });
}

void TmainForm::groupsViewExpanding(QTreeWidgetItem* node) {
    nodeWasExpanded_ = IsNodeExpanded(node);
}

void TmainForm::groupsViewExpanded(QTreeWidgetItem* node) {
    Guarded([&] {
        const int state = GetNodeState(node);
        if (state == 1 || state == 3) {
            SetNodeCheckRecursive(node, state);
        }
        const TGroup* task = CurrentGroup();
        if (!nodeWasExpanded_ && task != nullptr) {
            // UpdateNodeCheck for each child, with the task's entries indexed once for the whole listing.
            UpdateListingChecks(node, *task);
        }
    });
}

void TmainForm::treeBacupFilesMouseDown(const QPoint& point) {
    if (filesTree == nullptr) {
        return;
    }
    QTreeWidgetItem* node = filesTree->itemAt(point);
    if (node != nullptr) {
        filesTree->setCurrentItem(node);
    } else {
        filesTree->setCurrentItem(nullptr);
        filesTree->clearSelection();
    }
}

void TmainForm::explorePopupPopup() {
    if (filesTree == nullptr || filesTree->currentItem() == nullptr) {
        return;
    }
    const std::string path = GetFileName(filesTree->currentItem());
    const bool enabled = !path.empty() && path != "My Computer";
    Openfile1->setEnabled(enabled);
    Openfolder1->setEnabled(enabled);
}

void TmainForm::Openfile1Click() {
    if (filesTree == nullptr || filesTree->currentItem() == nullptr) {
        return;
    }
    QDesktopServices::openUrl(LocalFileUrl(GetFileName(filesTree->currentItem())));
}

void TmainForm::Openfolder1Click() {
    QTreeWidgetItem* node = filesTree != nullptr ? filesTree->currentItem() : nullptr;
    if (node == nullptr) {
        return;
    }
    // A drive is a mount point named without a closing "/": it shows itself, as a drive root does, rather than
    // the folder it is mounted in.
    const std::string path = GetFileName(node);
    const bool drive = node->parent() == filesTree->RootNode();
    QDesktopServices::openUrl(LocalFileUrl(drive ? path : ExtractFilePath(path)));
}

bool TmainForm::eventFilter(QObject* watched, QEvent* event) {
    const bool onServerTree = watched == treeBacupFiles->viewport();
    const bool onFilesTree = filesTree != nullptr && watched == filesTree->viewport();
    if (!onServerTree && !onFilesTree) {
        return QMainWindow::eventFilter(watched, event);
    }
    QTreeWidget* tree = onServerTree ? treeBacupFiles : filesTree;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (onFilesTree) {
            treeBacupFilesMouseDown(static_cast<QMouseEvent*>(event)->position().toPoint());
        }
        break;
    case QEvent::MouseButtonRelease: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        // The release that ends a double click is no click of its own: the double click has been handled.
        if (mouse->button() == Qt::LeftButton && !afterDoubleClick_) {
            groupsViewClick(tree, mouse->position().toPoint());
        }
        afterDoubleClick_ = false;
        break;
    }
    case QEvent::MouseButtonDblClick: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (onFilesTree && mouse->button() == Qt::LeftButton) {
            afterDoubleClick_ = true;
            groupsViewClick(tree, mouse->position().toPoint());
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- The tree of backups on the server

void TmainForm::FillServerTree() {
    if (serverTreeHeld_ > 0) {
        return;
    }
    Guarded([&] {
        const TTreeHold hold(*this);
        treeBacupFiles->clear();
        auto* root = new QTreeWidgetItem(treeBacupFiles, {"Server"});
        SetNodeState(root, NodeNoBox);
        SetNodeData(root, 0);
        root->setIcon(0, ItemPicture(5));
        QThread::msleep(200);
        const std::unique_ptr<TStringList> names = GetGlobalObject()->FTP->ListBackups();
        for (const std::string& name : *names) {
            const std::string caption = name.substr(0, name.size() - ExtractFileExt(name).size());
            QTreeWidgetItem* backup = AddTreeNode(root, caption);
            backup->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            SetNodeState(backup, NodeNoBox);
            SetNodeData(backup, -1);
            backup->setIcon(0, ItemPicture(ExtractFileExt(caption) == ".zip" ? 4 : 9));
        }
        const QSignalBlocker quiet(treeBacupFiles);
        root->setExpanded(true);
    });
}

void TmainForm::treeBacupFilesExpanding(QTreeWidgetItem* node, bool& allowExpansion) {
    TGlobalObject* app = GetGlobalObject();
    if (app->Busy) {
        allowExpansion = false;
        return;
    }
    // Only a backup not loaded yet has anything to wait for; other nodes open at once.
    if (GetNodeData(node) == 0 || node->childCount() > 0) {
        return;
    }
    Guarded([&] {
        const TTreeHold hold(*this);
        const TBusyScope busy(true);
        LoadBackupList(node);
    });
    // A backup of "/home/ann/Documents" opens down to where its folders branch, rather than at a lone "/".
    for (QTreeWidgetItem* folder = node; folder->childCount() == 1 && folder->child(0)->childCount() > 0;) {
        folder = folder->child(0);
        folder->setExpanded(true);
    }
    treeBacupFiles->repaint();
}

void TmainForm::LoadBackupList(QTreeWidgetItem* backup) {
    const std::unique_ptr<TStringList> list = GetGlobalObject()->FTP->ReadInfo(GetNodeCaption(backup) + ".inf");
    SetNodeData(backup, 0);
    SetNodeState(backup, 3);
    std::vector<std::string> errors;
    const std::vector<TListedFile> files = ParseBackupList(*list, errors);
    treeBacupFiles->setUpdatesEnabled(false);
    QTreeWidgetItem* lastParent = nullptr;
    std::string lastDirectory;
    // The folder nodes made so far: a backup of thousands of folders in one folder would otherwise search that
    // folder's children once for each of them. A file and a folder of one name are two nodes.
    std::unordered_map<TFolderKey, QTreeWidgetItem*, TFolderKeyHash> folders;
    for (std::size_t i = 0; i < files.size(); ++i) {
        // Every 51 lines of the list, as a pair takes two.
        if (i % 51 == 25) {
            ProcessMessages();
            QThread::msleep(70);
        }
        const std::string& path = files[i].Path;
        const std::string directory = ExtractFilePath(path);
        QTreeWidgetItem* parent = nullptr;
        std::string leaf;
        if (lastParent != nullptr && directory == lastDirectory) {
            parent = lastParent;
            leaf = ExtractFileName(path);
        } else {
            // Every listed path is a full one with no empty piece but the root's in front.
            const std::vector<std::string> pieces = SplitPath(path);
            parent = backup;
            leaf = pieces[0];
            for (std::size_t k = 1; k < pieces.size(); ++k) {
                const auto [known, added] = folders.try_emplace(TFolderKey{parent, std::move(leaf)}, nullptr);
                if (added) {
                    known->second = AddTreeNode(parent, CaptionOfPiece(known->first.Piece));
                }
                parent = known->second;
                leaf = std::move(pieces[k]);
            }
        }
        lastParent = parent;
        lastDirectory = directory;
        QTreeWidgetItem* file = AddTreeNode(parent, leaf);
        SetNodeData(file, files[i].Volume);
        file->setData(0, PositionRole, files[i].Position);
        file->setData(0, VolumeFilesRole, files[i].VolumeFiles);
        file->setIcon(0, ItemPicture(7));
        SetNodeState(file, 3);
    }
    // What parses is shown; what does not is told, a damaged line once for the list, a refused path each.
    for (const std::string& error : errors) {
        LogLine("Error: " + error);
    }
    backup->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    treeBacupFiles->setUpdatesEnabled(true);
}

void TmainForm::CollectServerFiles(QTreeWidgetItem* node, std::vector<tagNameZipId>& files, const std::string& prefix) {
    VisitSubtree(node, [&](QTreeWidgetItem* item) {
        if (item->childCount() > 0 || GetNodeState(item) != 1 || GetNodeData(item) == -1) {
            return;
        }
        // The path from the captions up to the node: as long as the file's own path, whatever the tree's depth.
        std::vector<const QTreeWidgetItem*> way;
        for (const QTreeWidgetItem* up = item; up != node; up = up->parent()) {
            way.push_back(up);
        }
        std::string path = prefix + PieceOfCaption(GetNodeCaption(node));
        for (auto down = way.rbegin(); down != way.rend(); ++down) {
            path += PathDelim + PieceOfCaption(GetNodeCaption(*down));
        }
        files.push_back({std::move(path), GetNodeData(item), item->data(0, PositionRole).toInt(),
                         item->data(0, VolumeFilesRole).toInt()});
    });
}

void TmainForm::Restore2Click() {
    TGlobalObject* app = GetGlobalObject();
    if (app->Busy) {
        return;
    }
    Guarded([&] {
        const TTreeHold hold(*this);
        const TBusyScope busy(true);
        const TWaitCursor cursor;
        QTreeWidgetItem* root = treeBacupFiles->topLevelItem(0);
        if (root == nullptr) {
            return;
        }
        for (int i = 0; i < root->childCount(); ++i) {
            QTreeWidgetItem* backup = root->child(i);
            const int state = GetNodeState(backup);
            if ((state == 1 || state == 2) && backup->childCount() > 0) {
                RestoreBackup(backup);
            }
        }
    });
}

void TmainForm::RestoreBackup(QTreeWidgetItem* backup) {
    TGlobalObject* app = GetGlobalObject();
    const std::string caption = GetNodeCaption(backup);
    std::vector<tagNameZipId> files;
    for (int i = 0; i < backup->childCount(); ++i) {
        CollectServerFiles(backup->child(i), files, "");
    }
    // The volumes in rising order, each once: a damaged list with a negative or a huge number can neither hold
    // the walk up from 0 for ever nor send it through billions of numbers that no volume has.
    std::set<std::int32_t> volumes;
    for (const tagNameZipId& file : files) {
        if (file.ZipId < 0) {
            LogLine("Error: " + ShowControlCharacters(file.Path) + " is listed in no volume (" +
                    std::to_string(file.ZipId) + ")");
        } else {
            volumes.insert(file.ZipId);
        }
    }
    std::string password;
    std::vector<TListedFile> wanted;
    for (const std::int32_t volume : volumes) {
        // The end of the session: the volumes after this one are not fetched.
        if (TerminationRequested()) {
            break;
        }
        wanted.clear();
        for (const tagNameZipId& file : files) {
            if (file.ZipId == volume) {
                wanted.push_back({file.ZipId, file.Position, file.Path, file.VolumeFiles});
            }
        }
        // Downloaded and decrypted into work files of our own: the server's names never make local ones.
        const std::string remote = VolumeFileName(caption, volume);
        const TWorkFile local("volume");
        if (!app->FTP->ReceiveFile(remote, local.Path(), true)) {
            continue;
        }
        if (ExtractFileExt(remote) == ".zip") {
            DecompressArchive(local.Path(), wanted, remote);
            continue;
        }
        if (password.empty()) {
            password = AskPassword();
            if (password.empty()) {
                continue;
            }
        }
        TWorkFile plain("volume");
        if (DecryptFile(local.Path(), plain, password)) {
            DecompressArchive(plain.Path(), wanted, remote);
        }
    }
}

void TmainForm::Killrestorefromserver1Click() {
    TGlobalObject* app = GetGlobalObject();
    if (app->Busy) {
        return;
    }
    Guarded([&] {
        {
            const TTreeHold hold(*this);
            const TBusyScope busy(false);
            QTreeWidgetItem* root = treeBacupFiles->topLevelItem(0);
            for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
                QTreeWidgetItem* backup = root->child(i);
                if (GetNodeState(backup) != 1) {
                    continue;
                }
                // The whole backup goes, so every volume it lists goes, not only those of the files still
                // ticked: a file unticked below a ticked backup must not leave its volume behind, unlisted.
                std::set<std::int32_t> volumes;
                CollectVolumes(backup, volumes);
                if (volumes.empty()) {
                    volumes.insert(0);
                }
                const std::string caption = GetNodeCaption(backup);
                for (const std::int32_t volume : volumes) {
                    app->FTP->DeleteFile(VolumeFileName(caption, volume));
                }
                app->FTP->DeleteFile(caption + ".inf");
            }
        }
        FillServerTree();
    });
}
