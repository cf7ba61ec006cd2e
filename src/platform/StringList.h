#pragma once

#include <cstddef>
#include <string>
#include <vector>

class TStream;

// An ordered list of texts. Saved with CR LF after every line; loading accepts CR LF and LF.
class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines) : lines_(lines) {}

    int Add(const std::string& line);
    void Clear() { lines_.clear(); }
    int Count() const { return static_cast<int>(lines_.size()); }
    bool Empty() const { return lines_.empty(); }
    std::string& operator[](int index) { return lines_.at(static_cast<std::size_t>(index)); }
    const std::string& operator[](int index) const { return lines_.at(static_cast<std::size_t>(index)); }
    int IndexOf(const std::string& line) const;
    void Delete(int index);

    // Every line followed by CR LF.
    std::string Text() const;
    void SetText(const std::string& text);
    // The lines as Text() gives them, written a block at a time: a long list is never held twice.
    void SaveToStream(TStream& stream) const;
    void SaveToFile(const std::string& path) const; // raises EFCreateError or EWriteError
    void LoadFromFile(const std::string& path);     // raises EFOpenError or EReadError

    std::vector<std::string>& Lines() { return lines_; }
    const std::vector<std::string>& Lines() const { return lines_; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }

private:
    std::vector<std::string> lines_;
};

using TStrings = TStringList;
