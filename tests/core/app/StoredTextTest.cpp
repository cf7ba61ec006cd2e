#include "core/app/StoredText.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> Stored(const std::string& text) {
    TMemoryStream stream;
    WriteStringToStream(stream, text);
    return stream.Bytes();
}

std::string ReadBack(std::vector<std::uint8_t> bytes) {
    TMemoryStream stream(std::move(bytes));
    return ReadStringFromStream(stream);
}

TEST(StoredText, LayoutIsLengthWithTerminatorThenBytes) {
    EXPECT_EQ(Stored(""), (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Stored("abc"), (std::vector<std::uint8_t>{0x04, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x00}));
    // Bytes from 0x80 go through untouched.
    EXPECT_EQ(Stored("\xE4\xFF"), (std::vector<std::uint8_t>{0x03, 0x00, 0x00, 0x00, 0xE4, 0xFF, 0x00}));
    const std::string longText(300, 'x');
    const auto bytes = Stored(longText);
    ASSERT_EQ(bytes.size(), 4u + 301u);
    EXPECT_EQ(bytes[0], 0x2D);
    EXPECT_EQ(bytes[1], 0x01);
}

TEST(StoredText, RoundTripsAndCutsAtAZeroByte) {
    for (const std::string& text :
         {std::string(), std::string("abc"), std::string("\x80\x81 \xFE\xFF"), std::string(70000, 'q')}) {
        EXPECT_EQ(ReadBack(Stored(text)), text);
    }
    EXPECT_EQ(ReadBack(Stored(std::string("ab\0cd", 5))), "ab");
}

TEST(StoredText, ReadsOneAfterAnotherFromThePosition) {
    TMemoryStream stream;
    WriteStringToStream(stream, "first");
    WriteStringToStream(stream, "");
    WriteStringToStream(stream, "third");
    stream.SetPosition(0);
    EXPECT_EQ(ReadStringFromStream(stream), "first");
    EXPECT_EQ(ReadStringFromStream(stream), "");
    EXPECT_EQ(ReadStringFromStream(stream), "third");
    EXPECT_EQ(stream.Remaining(), 0);
}

TEST(StoredText, DamagedInputRaisesAReadErrorWithoutReadingPastTheEnd) {
    // Length below 1.
    EXPECT_THROW(ReadBack({0x00, 0x00, 0x00, 0x00}), EReadError);
    EXPECT_THROW(ReadBack({0xFF, 0xFF, 0xFF, 0xFF, 0x00}), EReadError);
    // A length far beyond the data must not be allocated.
    EXPECT_THROW(ReadBack({0xFF, 0xFF, 0xFF, 0x7F, 0x41, 0x00}), EReadError);
    // L bytes without the zero byte.
    EXPECT_THROW(ReadBack({0x03, 0x00, 0x00, 0x00, 0x41, 0x42, 0x43}), EReadError);
    // Every truncation of a valid text.
    const auto whole = Stored("hello");
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_THROW(ReadBack(std::vector<std::uint8_t>(whole.begin(), whole.begin() + cut)), EReadError)
            << "cut at " << cut;
    }
}

} // namespace
