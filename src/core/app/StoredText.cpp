#include "StoredText.h"

#include "platform/Exceptions.h"

#include <cstring>
#include <limits>

void WriteStringToStream(TStream& stream, const std::string& text) {
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
    // Checked against what is there before anything is allocated, so a damaged length costs no memory.
    if (length > stream.Remaining()) {
        throw EReadError("Stored text runs past the end of the data");
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    stream.ReadBuffer(bytes.data(), bytes.size());
    const auto zero = bytes.find('\0');
    if (zero == std::string::npos) {
        throw EReadError("Stored text is not terminated");
    }
    bytes.resize(zero);
    return bytes;
}
