#pragma once

#include "core/app/CoreWindows.h"
#include "core/app/SyncCall.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Fakes of the core's window interfaces that record what the core did to them. Header only, so any test program
// that links the core can use them.

class FakeTaskRow : public ITaskListItem {
public:
    void SetCaption(const std::string& caption) override { Caption = caption; }
    void SetData(TGroup* task) override { Data = task; }
    void SetImageIndex(int index) override { ImageIndex = index; }
    void SetSubItems(const std::vector<std::string>& texts) override { SubItems = texts; }

    std::string Caption;
    TGroup* Data = nullptr;
    int ImageIndex = -1;
    std::vector<std::string> SubItems;
};

class FakeTaskListView : public ITaskListView {
public:
    ITaskListItem* AddItem() override {
        Rows.push_back(std::make_unique<FakeTaskRow>());
        return Rows.back().get();
    }
    void DeleteItem(ITaskListItem* item) override {
        const auto found = std::find_if(Rows.begin(), Rows.end(), [&](const auto& row) { return row.get() == item; });
        if (found == Rows.end()) {
            ++UnknownDeletes;
            return;
        }
        Rows.erase(found);
    }

    FakeTaskRow& Row(std::size_t index) { return *Rows.at(index); }

    std::vector<std::unique_ptr<FakeTaskRow>> Rows; // in view order
    int UnknownDeletes = 0;
};

class FakeLogBox : public ILogBox {
public:
    // Copies what a box would read, so that a test can look after the log is gone. Another log's lines replace
    // the ones listed, as in the real box.
    void ShowNewest(const ILogLines& lines, int index) override {
        if (&lines != Source) {
            Source = &lines;
            Items.clear();
            Listed = 0;
        }
        for (; Listed <= index; ++Listed) {
            Items.push_front(lines.LineText(Listed));
        }
        Hint = lines.LineMessage(index);
        ShowHint = true;
        ItemIndex = Listed - 1 - index;
        Text = lines.LineText(index);
    }
    void Clear() override {
        Items.clear();
        Listed = 0;
        Text.clear();
        ItemIndex = -1;
        ++Clears;
    }
    void LogGone() override {
        Source = nullptr;
        ++Gone;
    }

    std::deque<std::string> Items; // top first; a run of many files puts a line on top per file
    const ILogLines* Source = nullptr;
    int Listed = 0; // lines of the log listed so far
    std::string Hint;
    bool ShowHint = false;
    int ItemIndex = -1;
    std::string Text; // what the closed box shows
    int Clears = 0;
    int Gone = 0;
};

// What happened to the windows, in order, across every window a factory made.
struct FakeWindowJournal {
    std::vector<std::string> Events;
    int SendAlive = 0;
    int WaitAlive = 0;
};

class FakeSendWindow : public ISendWindow {
public:
    FakeSendWindow(FakeWindowJournal& journal, int number) : journal_(journal), number_(number) {
        ++journal_.SendAlive;
        Log("create");
    }
    ~FakeSendWindow() override {
        --journal_.SendAlive;
        Log("destroy");
    }
    void Show() override {
        Visible = true;
        Log("show");
    }
    void Hide() override {
        Visible = false;
        Log("hide");
    }
    bool IsVisible() const override { return Visible; }
    void SetCaption(const std::string& caption) override { Caption = caption; }
    void SetProgress(int position) override { Position = position; }

    bool Visible = false;
    std::string Caption = "Compressing...";
    int Position = 0;

private:
    void Log(const std::string& what) { journal_.Events.push_back("send" + std::to_string(number_) + " " + what); }
    FakeWindowJournal& journal_;
    int number_;
};

class FakeWaitWindow : public IWaitWindow {
public:
    FakeWaitWindow(FakeWindowJournal& journal, int number) : journal_(journal), number_(number) {
        ++journal_.WaitAlive;
        Log("create");
    }
    ~FakeWaitWindow() override {
        --journal_.WaitAlive;
        Log("destroy");
    }
    void Show() override { Log("show"); }
    void Close() override { Log("close"); }
    void RepaintNow() override { Log("repaint"); }

private:
    void Log(const std::string& what) { journal_.Events.push_back("wait" + std::to_string(number_) + " " + what); }
    FakeWindowJournal& journal_;
    int number_;
};

class FakeCoreWindows : public ICoreWindows {
public:
    ITaskListView* TaskListView() override { return &List; }
    ILogBox* LogBox() override {
        if (OnLogBox) {
            OnLogBox();
        }
        return &Box;
    }
    std::unique_ptr<ISendWindow> CreateSendWindow() override {
        auto window = std::make_unique<FakeSendWindow>(Journal, ++SendMade);
        LastSend = window.get();
        return window;
    }
    std::unique_ptr<IWaitWindow> CreateWaitWindow() override {
        return std::make_unique<FakeWaitWindow>(Journal, ++WaitMade);
    }
    void FillServerTree() override {
        ++TreeFills;
        if (OnFillServerTree) {
            OnFillServerTree();
        }
    }

    FakeTaskListView List;
    FakeLogBox Box;
    FakeWindowJournal Journal;
    FakeSendWindow* LastSend = nullptr; // the newest progress window (may be destroyed by now)
    int SendMade = 0;
    int WaitMade = 0;
    int TreeFills = 0;
    std::function<void()> OnFillServerTree;
    // Runs when the application object asks for the log box, that is while it is being made.
    std::function<void()> OnLogBox;
};

// Runs the work at once, as a call from the main thread does, and counts it.
class FakeSyncCall : public ISyncCall {
public:
    void SyncCall(const std::function<void()>& method) override {
        ++Calls;
        method();
    }
    int Calls = 0;
};
