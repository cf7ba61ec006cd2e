#pragma once

#include "platform/Streams.h"

#include <string>
#include <string_view>

// The one text encoding of every stored record: a 32-bit little-endian length L that counts the closing zero
// byte, then the text's bytes as they are and that zero byte.

void WriteStringToStream(TStream& stream, std::string_view text);

// Reads one stored text; the result ends at the first zero byte, and the stream's position moves past all L bytes.
// Memory grows with the result, not with L: bytes after the zero byte are passed over. Raises EReadError, never
// reading past the stream's end, when L is below 1, when fewer than L bytes remain, or when the L bytes hold no
// zero byte.
std::string ReadStringFromStream(TStream& stream);
