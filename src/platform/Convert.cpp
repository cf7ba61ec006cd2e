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
    const auto escape = [&](unsigned char byte) {
        shown += "\\x";
        shown += digits[byte >> 4];
        shown += digits[byte & 0xF];
    };
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        // The controls from U+0080 to U+009F as UTF-8 too: a terminal takes U+009B for CSI as it takes ESC "[".
        const auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            escape(byte);
            escape(next);
            ++at;
        } else if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else {
            escape(byte);
        }
    }
    return shown;
}
