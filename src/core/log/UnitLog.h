#pragma once

#include "core/app/CoreWindows.h"
#include "core/app/SyncCall.h"
#include "platform/StateFile.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// One logged line: the moment as text, then the message.
struct TLogMessage {
    std::string Time;
    std::string Message;
};

using TLogMessageList = std::vector<TLogMessage>;

inline constexpr const char* LogFileName = "Backup.log";

// The program's message log: every line in memory, the newest on top of the main window's log box, and the whole
// log carried across runs in "Backup.log" beside the program. A run marks where it began so that the mail report
// can take the run's lines.
//
// "Backup.log": an int32 count, then per entry the message and then the time text, each a stored text. There is
// no limit on the number of lines. The file is the user's alone (0600): it names paths and servers.
//
// Each line is held once, compactly: its time text and message side by side in large shared blocks, and the box
// reads them from here (ILogLines) rather than keeping copies. A log of years runs to hundreds of thousands of
// lines, a run adds one per file.
class TLog : public ILogLines {
public:
    // Reads programDir + "Backup.log" entry by entry when it exists and, when the whole file loaded, adds
    // "Program Started.". A damaged file keeps the entries before the damage and adds nothing; memory grows with
    // the entries kept, not with the file. A file that is there but cannot be read (see Unreadable) is never
    // written by this log. `box` may be null (nothing is shown);
    // `sync`, when given, carries the box's updates to the main thread once loading is over.
    TLog(ILogBox* box, const std::string& programDir, ISyncCall* sync = nullptr);
    // Adds "Program stoped." and replaces "Backup.log" with the whole log; a failed write keeps the old file and
    // is swallowed.
    ~TLog() override;
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    // Logs a line with the current moment as the locale's date-and-time text.
    void Add(std::string message);
    // Appends a stored line unchanged.
    void AddEntry(const std::string& message, const std::string& time);
    // Empties the log and the box; the mark stays where it was.
    void Clear();
    // Puts the newest line on top of the box, its message as the box's hint; nothing for an empty log. Main thread
    // only.
    void ShowLast();
    // The report begins with the next line logged.
    void Mark();
    // The lines since the mark, each as CR LF, the time text, a blank and the message (so no CR LF after the
    // last); empty without a mark. Clears the mark.
    std::string GetTextSinceMark();

    // Replaces the sync caller (null: the box is updated directly). The application object switches it off
    // before the worker behind it goes.
    void SetSyncCall(ISyncCall* sync);

    const std::string& FileName() const { return file_.Path(); }
    // Why "Backup.log" could not be read, when it was there; empty when it was read (damaged or not) or missing.
    const std::string& Unreadable() const { return file_.Unreadable(); }
    // "Backup.log" itself, refused for writing when it could not be read.
    const TStateFile& File() const { return file_; }
    TLogMessageList Lines() const;
    int Count() const;
    std::int32_t MarkIndex() const;

    // ILogLines
    std::string LineText(int index) const override;
    std::string LineMessage(int index) const override;

private:
    // Where one line's texts lie: the time text, then at once the message.
    struct TLine {
        const char* Text;
        std::uint32_t TimeLength;
        std::uint32_t MessageLength;
        std::string_view Time() const { return {Text, TimeLength}; }
        std::string_view Message() const { return {Text + TimeLength, MessageLength}; }
    };

    void Load();
    // The line just added at `index` is shown (on the main thread); nothing while loading.
    void Display(int index);
    void ShowLine(int index);
    void Save();
    // Copies both texts into the blocks. Called with the mutex held.
    void Append(std::string_view message, std::string_view time);

    TStateFile file_;
    std::vector<TLine> lines_;
    // Filled one after the other and never moved, so that a line's texts stay where its TLine points.
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t blockFree_ = 0;
    char* blockEnd_ = nullptr;
    ILogBox* box_;
    bool loading_ = false;
    std::int32_t mark_ = -1;
    ISyncCall* sync_;
    // Lines may be logged from more than one thread; the box itself is only touched on the main thread.
    mutable std::mutex mutex_;
};
