#include "UnitLog.h"

#include "core/app/StoredText.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"

#include <exception>
#include <memory>

TLog::TLog(ILogBox* box, const std::string& programDir, ISyncCall* sync)
    : file_(programDir + LogFileName), box_(box), sync_(sync) {
    loading_ = true;
    Load();
    loading_ = false;
    mark_ = -1;
}

TLog::~TLog() {
    // The worker is gone by now; the last line is shown directly.
    sync_ = nullptr;
    try {
        Add("Program stoped.");
    } catch (const std::exception&) {
        // Still write what there is.
    }
    Save();
}

void TLog::Load() {
    std::unique_ptr<TFileStream> file;
    try {
        file = TFileStream::OpenIfPresent(file_.Path());
    } catch (const std::exception& error) {
        file_.SetUnreadable(error.what());
        return;
    }
    if (!file) {
        return;
    }
    try {
        // Entry by entry through the file: each stored text is checked against what the file still holds, so
        // memory grows with the lines kept, never with the file, and a damaged count or length ends the loading
        // at the damage with the lines before it kept.
        TBufferedReader data(*file);
        const std::int32_t count = data.ReadInt32();
        for (std::int32_t i = 0; i < count; ++i) {
            const std::string message = ReadStringFromStream(data);
            const std::string time = ReadStringFromStream(data);
            AddEntry(message, time);
        }
        Add("Program Started.");
    } catch (const std::exception& error) {
        // A damaged log must not stop the program: the lines read so far stay, and nothing is added. One the
        // system could not read to its end is not damaged: what it holds beyond must not be lost.
        if (file->LastError() != 0) {
            file_.SetUnreadable(error.what());
        }
    }
}

void TLog::Save() {
    try {
        TMemoryStream data;
        {
            const std::lock_guard lock(mutex_);
            data.WriteInt32(static_cast<std::int32_t>(messages_.size()));
            for (const TLogMessage& line : messages_) {
                WriteStringToStream(data, line.Message);
                WriteStringToStream(data, line.Time);
            }
        }
        // Paths and server names are the user's own business: a state file of the program's, 0600.
        file_.Write([&](TStream& out) { out.WriteBuffer(data.Bytes().data(), data.Bytes().size()); });
    } catch (const std::exception&) {
        // At exit there is nobody left to tell; the previous file stays as it was.
    }
}

void TLog::Add(std::string message) {
    AddEntry(message, DateTimeToStr(Now()));
}

void TLog::AddEntry(const std::string& message, const std::string& time) {
    TLogMessage line{time, message};
    {
        const std::lock_guard lock(mutex_);
        messages_.push_back(line);
    }
    Display(line);
}

void TLog::Display(const TLogMessage& line) {
    // While loading, the application object and its worker are not reachable yet. The line is passed along, not
    // looked up again, so a line logged meanwhile on another thread cannot take its place in the box.
    if (loading_ || sync_ == nullptr) {
        ShowLine(line);
    } else {
        sync_->SyncCall([this, &line] { ShowLine(line); });
    }
}

void TLog::ShowLast() {
    TLogMessage line;
    {
        const std::lock_guard lock(mutex_);
        if (messages_.empty()) {
            return;
        }
        line = messages_.back();
    }
    ShowLine(line);
}

void TLog::ShowLine(const TLogMessage& line) {
    if (box_ != nullptr) {
        box_->InsertTopLine(line.Time + " " + line.Message, line.Message);
    }
}

void TLog::Clear() {
    if (box_ != nullptr) {
        box_->Clear();
    }
    const std::lock_guard lock(mutex_);
    messages_.clear();
}

void TLog::Mark() {
    const std::lock_guard lock(mutex_);
    mark_ = static_cast<std::int32_t>(messages_.size());
}

std::string TLog::GetTextSinceMark() {
    const std::lock_guard lock(mutex_);
    std::string text;
    if (mark_ != -1) {
        for (std::size_t i = static_cast<std::size_t>(mark_); i < messages_.size(); ++i) {
            text += "\r\n" + messages_[i].Time + " " + messages_[i].Message;
        }
    }
    mark_ = -1;
    return text;
}

void TLog::SetSyncCall(ISyncCall* sync) {
    sync_ = sync;
}

TLogMessageList TLog::Lines() const {
    const std::lock_guard lock(mutex_);
    return messages_;
}

int TLog::Count() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(messages_.size());
}

std::int32_t TLog::MarkIndex() const {
    const std::lock_guard lock(mutex_);
    return mark_;
}
