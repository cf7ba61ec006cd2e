#include "StringList.h"

#include "Streams.h"

int TStringList::Add(const std::string& line) {
    lines_.push_back(line);
    return static_cast<int>(lines_.size()) - 1;
}

int TStringList::IndexOf(const std::string& line) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i] == line) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void TStringList::Delete(int index) {
    lines_.erase(lines_.begin() + index);
}

std::string TStringList::Text() const {
    std::string text;
    for (const auto& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(const std::string& text) {
    lines_.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool last = end == std::string::npos;
        if (last) {
            end = text.size();
        }
        std::size_t lineEnd = end;
        if (lineEnd > start && text[lineEnd - 1] == '\r') {
            --lineEnd;
        }
        lines_.push_back(text.substr(start, lineEnd - start));
        start = last ? end : end + 1;
    }
}

void TStringList::SaveToStream(TStream& stream) const {
    constexpr std::size_t BlockSize = 64 * 1024;
    std::string block;
    for (const auto& line : lines_) {
        block += line;
        block += "\r\n";
        if (block.size() >= BlockSize) {
            stream.WriteBuffer(block.data(), block.size());
            block.clear();
        }
    }
    stream.WriteBuffer(block.data(), block.size());
}

void TStringList::SaveToFile(const std::string& path) const {
    TFileStream file(path, FileMode::Create);
    SaveToStream(file);
}

void TStringList::LoadFromFile(const std::string& path) {
    TFileStream file(path, FileMode::OpenRead);
    std::string text(static_cast<std::size_t>(file.Size()), '\0');
    file.ReadBuffer(text.data(), text.size());
    SetText(text);
}
