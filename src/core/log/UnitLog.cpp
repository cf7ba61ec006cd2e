#include "UnitLog.h"

#include "core/app/StoredText.h"
#include "platform/DateTime.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

namespace {
// Lines are packed into blocks of this size (a longer line takes a block of its own): few enough allocations, and
// at most a block's worth of slack.
constexpr std::size_t LogBlockSize = 256 * 1024;
} // namespace

TLog::TLog(ILogBox* box, const std::string& programDir, ISyncCall* sync)
    : file_(programDir + LogFileName), box_(box), sync_(sync) {
    loading_ = true;
    Load();
    loading_ = false;
    mark_ = -1;
    // The loaded lines reach the box at once, not one by one.
    if (!lines_.empty()) {
        ShowLine(static_cast<int>(lines_.size()) - 1);
    }
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
    if (box_ != nullptr) {
        box_->LogGone();
    }
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
            data.WriteInt32(static_cast<std::int32_t>(lines_.size()));
            for (const TLine& line : lines_) {
                WriteStringToStream(data, line.Message());
                WriteStringToStream(data, line.Time());
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
    int index = 0;
    {
        const std::lock_guard lock(mutex_);
        Append(message, time);
        index = static_cast<int>(lines_.size()) - 1;
    }
    Display(index);
}

void TLog::Append(std::string_view message, std::string_view time) {
    const std::size_t size = time.size() + message.size();
    if (size > blockFree_) {
        const std::size_t block = std::max(size, LogBlockSize);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
        blockEnd_ = blocks_.back().get();
        blockFree_ = block;
    }
    char* text = blockEnd_;
    std::memcpy(text, time.data(), time.size());
    std::memcpy(text + time.size(), message.data(), message.size());
    blockEnd_ += size;
    blockFree_ -= size;
    lines_.push_back(TLine{text, static_cast<std::uint32_t>(time.size()), static_cast<std::uint32_t>(message.size())});
}

void TLog::Display(int index) {
    // While loading, the application object and its worker are not reachable yet, and the box takes the loaded
    // lines in one go afterwards. The index is passed along, not looked up again, so a line logged meanwhile on
    // another thread cannot take its place.
    if (loading_) {
        return;
    }
    if (sync_ == nullptr) {
        ShowLine(index);
    } else {
        sync_->SyncCall([this, index] { ShowLine(index); });
    }
}

void TLog::ShowLast() {
    int count = 0;
    {
        const std::lock_guard lock(mutex_);
        count = static_cast<int>(lines_.size());
    }
    if (count > 0) {
        ShowLine(count - 1);
    }
}

void TLog::ShowLine(int index) {
    if (box_ == nullptr) {
        return;
    }
    {
        // A clear on another thread may have taken the line away meanwhile.
        const std::lock_guard lock(mutex_);
        if (index >= static_cast<int>(lines_.size())) {
            return;
        }
    }
    box_->ShowNewest(*this, index);
}

void TLog::Clear() {
    if (box_ != nullptr) {
        box_->Clear();
    }
    const std::lock_guard lock(mutex_);
    lines_ = std::vector<TLine>();
    blocks_.clear();
    blockFree_ = 0;
    blockEnd_ = nullptr;
}

void TLog::Mark() {
    const std::lock_guard lock(mutex_);
    mark_ = static_cast<std::int32_t>(lines_.size());
}

std::string TLog::GetTextSinceMark() {
    const std::lock_guard lock(mutex_);
    std::string text;
    if (mark_ != -1) {
        for (std::size_t i = static_cast<std::size_t>(mark_); i < lines_.size(); ++i) {
            text.append("\r\n").append(lines_[i].Time()).append(" ").append(lines_[i].Message());
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
    TLogMessageList lines;
    lines.reserve(lines_.size());
    for (const TLine& line : lines_) {
        lines.push_back(TLogMessage{std::string(line.Time()), std::string(line.Message())});
    }
    return lines;
}

int TLog::Count() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(lines_.size());
}

std::string TLog::LineText(int index) const {
    const std::lock_guard lock(mutex_);
    const TLine& line = lines_.at(static_cast<std::size_t>(index));
    std::string text;
    text.reserve(line.TimeLength + 1 + line.MessageLength);
    text.append(line.Time()).append(" ").append(line.Message());
    return text;
}

std::string TLog::LineMessage(int index) const {
    const std::lock_guard lock(mutex_);
    return std::string(lines_.at(static_cast<std::size_t>(index)).Message());
}

std::int32_t TLog::MarkIndex() const {
    const std::lock_guard lock(mutex_);
    return mark_;
}
