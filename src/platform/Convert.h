#pragma once

#include <cstdint>
#include <string>

// The standard text-to-number conversion: a signed 32-bit decimal number with an optional sign in front and nothing
// around it (no blanks). TryStrToInt gives false for anything else, a number beyond the range included; StrToInt
// raises EConvertError.
bool TryStrToInt(const std::string& text, std::int32_t& value);
std::int32_t StrToInt(const std::string& text);

// The text with every control character written out ("\n", "\r", "\t", other ones as "\x1b", those from U+0080 to
// U+009F by their UTF-8 bytes, "\xc2\x9b"), for a log line that must stay one line and yet show what a name holds.
std::string ShowControlCharacters(const std::string& text);
