#include "Convert.h"

#include "Exceptions.h"

#include <charconv>

bool TryStrToInt(const std::string& text, std::int32_t& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    // from_chars takes a minus but no plus; a plus may stand before the digits only.
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') {
            return false;
        }
    }
    if (begin == end) {
        return false;
    }
    const auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end;
}

std::int32_t StrToInt(const std::string& text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) {
        throw EConvertError("'" + text + "' is not a valid integer value");
    }
    return value;
}

std::string ShowControlCharacters(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else {
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 0xF];
        }
    }
    return shown;
}
