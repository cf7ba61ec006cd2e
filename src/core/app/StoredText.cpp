#include "StoredText.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

void WriteStringToStream(TStream& stream, std::string_view text) {
    if (text.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw EWriteError("Text too long to store");
    }
    stream.WriteInt32(static_cast<std::int32_t>(text.size() + 1));
    stream.WriteBuffer(text.data(), text.size());
    stream.WriteByte(0);
}

std::string ReadStringFromStream(TStream& stream) {
    const std::int32_t length = stream.ReadInt32();
    if (length < 1) {
        throw EReadError("Stored text has an invalid length");
    }
    // Checked against what is there before anything is read, so a damaged length costs no memory; the text grows
    // piece by piece only up to its zero byte, and whatever padding follows that is passed over unread.
    if (length > stream.Remaining()) {
        throw EReadError("Stored text runs past the end of the data");
    }
    std::string text;
    std::array<char, 4096> piece{};
    std::int64_t left = length;
    while (left > 0) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::int64_t>(left, piece.size()));
        stream.ReadBuffer(piece.data(), size);
        left -= static_cast<std::int64_t>(size);
        const auto* zero = static_cast<const char*>(std::memchr(piece.data(), 0, size));
        if (zero != nullptr) {
            text.append(piece.data(), static_cast<std::size_t>(zero - piece.data()));
            if (left > 0) {
                stream.Seek(left, SeekOrigin::Current);
            }
            return text;
        }
        text.append(piece.data(), size);
    }
    throw EReadError("Stored text is not terminated");
}
