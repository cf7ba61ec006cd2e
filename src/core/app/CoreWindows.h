#pragma once

#include <memory>
#include <string>
#include <vector>

// What the core asks of the windows it touches. The core never includes a widget header: the user interface
// implements these interfaces over its controls, and tests plug in fakes. Every call comes on the main thread.

class TGroup;

// One row of the task list. The list view owns its rows; a row pointer stays valid until the view's DeleteItem.
class ITaskListItem {
public:
    virtual ~ITaskListItem() = default;
    // The "Name" column.
    virtual void SetCaption(const std::string& caption) = 0;
    // The task the row stands for; the main window reads it back when a row is selected.
    virtual void SetData(TGroup* task) = 0;
    virtual void SetImageIndex(int index) = 0;
    // Replaces every sub-item (the columns after the caption) by these texts, in column order.
    virtual void SetSubItems(const std::vector<std::string>& texts) = 0;
};

// The main window's task list. It must outlive every task that holds a row in it.
class ITaskListView {
public:
    virtual ~ITaskListView() = default;
    // Adds an empty row after the last one.
    virtual ITaskListItem* AddItem() = 0;
    // Removes the row from the view and frees it.
    virtual void DeleteItem(ITaskListItem* item) = 0;
};

// The message log's lines as the log box reads them, oldest first. Read on the main thread; an index the box was
// given stays valid until the box's Clear or LogGone.
class ILogLines {
public:
    virtual ~ILogLines() = default;
    // The line as the box lists it: its time text, a blank and its message.
    virtual std::string LineText(int index) const = 0;
    virtual std::string LineMessage(int index) const = 0;
};

// The main window's one-line message log, a drop-down list whose closed face shows its first line. It holds no
// copy of the lines: it reads them from the log when it draws them.
class ILogBox {
public:
    virtual ~ILogBox() = default;
    // Line `index` of `lines` is the newest: the box lists every line up to it, newest first, selects it, and
    // makes its message the box's hint (shown).
    virtual void ShowNewest(const ILogLines& lines, int index) = 0;
    // Removes every item and leaves the box showing an empty text.
    virtual void Clear() = 0;
    // The lines go: the box keeps showing the line it shows and reads nothing more.
    virtual void LogGone() = 0;
};

// The progress window of a backup run: a bar from 0 to 100 and a STOP button. It is created hidden, with the
// caption "Compressing..." and the bar at 0. Its STOP button sets the application object's stop flag, sets the
// caption "Stopping......" and hides the window; its close box only hides it. Destroying it never throws.
class ISendWindow {
public:
    virtual ~ISendWindow() = default;
    // Modeless, on top of the other windows.
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual bool IsVisible() const = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Bar position, 0 to 100.
    virtual void SetProgress(int position) = 0;
};

// The "Please Wait...." box shown while the main thread is held by a long operation. Destroying it never throws.
class IWaitWindow {
public:
    virtual ~IWaitWindow() = default;
    // Modeless, on top of the other windows.
    virtual void Show() = 0;
    // Hides the window.
    virtual void Close() = 0;
    // Draws the window now, before the main thread is held again and cannot paint.
    virtual void RepaintNow() = 0;
};

// What the main window hands the application object: its task list and log box, and the making of the windows
// that the application object owns. Registered before the application object is first made (UnitGo.h).
class ICoreWindows {
public:
    virtual ~ICoreWindows() = default;
    // May return null: tasks then get no rows, the log shows nothing.
    virtual ITaskListView* TaskListView() = 0;
    virtual ILogBox* LogBox() = 0;
    // A new, hidden window; no owner.
    virtual std::unique_ptr<ISendWindow> CreateSendWindow() = 0;
    virtual std::unique_ptr<IWaitWindow> CreateWaitWindow() = 0;
    // Lists the server's backups again into the main window's tree of backups.
    virtual void FillServerTree() = 0;
};
