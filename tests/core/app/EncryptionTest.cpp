#include "core/app/Encryption.h"

#include "platform/Exceptions.h"
#include "support/Command.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The expected ciphertext, made by the openssl command line alone: MD5 for the key, one ECB block for the starting
// vector, CBC without padding over the full blocks, one more ECB block for the tail's mask.
std::string ReferenceCiphertext(const TempDir& dir, const std::string& phrase, const std::string& plain) {
    WriteFileBytes(dir / "phrase", phrase);
    WriteFileBytes(dir / "plain", plain);
    const std::string key = Hex(RunCommand("openssl md5 -binary < " + ShellQuote(dir / "phrase")));
    const std::string ecb = "openssl enc -aes-128-ecb -nopad -K " + key;
    const std::string iv = Hex(RunCommand("head -c 16 /dev/zero | " + ecb));
    const std::size_t full = plain.size() - plain.size() % 16;
    std::string cipher;
    if (full > 0) {
        cipher = RunCommand("head -c " + std::to_string(full) + " " + ShellQuote(dir / "plain") +
                            " | openssl enc -aes-128-cbc -nopad -K " + key + " -iv " + iv);
    }
    if (full < plain.size()) {
        std::string chain;
        if (full > 0) {
            chain = cipher.substr(full - 16);
        } else {
            chain = RunCommand("head -c 16 /dev/zero | " + ecb);
        }
        WriteFileBytes(dir / "chain", chain);
        const std::string mask = RunCommand(ecb + " < " + ShellQuote(dir / "chain"));
        for (std::size_t i = full; i < plain.size(); ++i) {
            cipher += static_cast<char>(plain[i] ^ mask[i - full]);
        }
    }
    return cipher;
}

std::string Crypt(const std::string& input, const std::string& phrase, bool encrypt) {
    TMemoryStream source(ToBytes(input));
    TMemoryStream destination;
    if (encrypt) {
        EncryptStreamWithKey(source, destination, phrase);
    } else {
        DecryptStreamWithKey(source, destination, phrase);
    }
    const auto& bytes = destination.Bytes();
    return std::string(bytes.begin(), bytes.end());
}

TEST(Encryption, MatchesTheReferenceAtEveryInterestingLength) {
    TempDir dir;
    for (const std::size_t length : {0u, 1u, 15u, 16u, 17u, 8191u, 8192u, 8193u, 3u * 1024 * 1024 + 5}) {
        const std::string plain = RandomBytes(length, static_cast<std::uint32_t>(length));
        const std::string expected = ReferenceCiphertext(dir, "SaveIntoListCore41", plain);
        ASSERT_EQ(expected.size(), length);
        const std::string cipher = Crypt(plain, "SaveIntoListCore41", true);
        EXPECT_TRUE(cipher == expected) << "length " << length;
        EXPECT_TRUE(Crypt(cipher, "SaveIntoListCore41", false) == plain) << "length " << length;
    }
}

TEST(Encryption, PassPhraseBytesAreHashedAsTheyStand) {
    TempDir dir;
    // Bytes from 0x80 and an empty phrase: no conversion, no terminator.
    for (const std::string& phrase : {std::string("SaveIntoBlockRow74"), std::string("p\xE4ss\xFF"), std::string()}) {
        const std::string plain = "forty-one bytes of a small settings file.";
        EXPECT_EQ(Crypt(plain, phrase, true), ReferenceCiphertext(dir, phrase, plain));
    }
}

TEST(Encryption, DeterministicAndWrongPhraseGivesSameLengthGarbage) {
    const std::string plain = RandomBytes(1000, 7);
    EXPECT_EQ(Crypt(plain, "secret", true), Crypt(plain, "secret", true));
    const std::string cipher = Crypt(plain, "secret", true);
    const std::string wrong = Crypt(cipher, "Secret", false);
    EXPECT_EQ(wrong.size(), plain.size());
    EXPECT_NE(wrong, plain);
}

TEST(Encryption, DestinationIsEmptiedFirstAndWrittenAtItsPosition) {
    TMemoryStream source(ToBytes("abc"));
    TMemoryStream destination(ToBytes("old content that is longer"));
    destination.SetPosition(5);
    EncryptStreamWithKey(source, destination, "k");
    EXPECT_EQ(destination.Size(), 3);
    EXPECT_EQ(destination.Position(), 3);
}

// A stream that refuses writes after a number of bytes.
class FailingStream : public TMemoryStream {
public:
    explicit FailingStream(std::size_t limit) : limit_(limit) {}
    std::size_t Write(const void* buffer, std::size_t count) override {
        if (Size() + static_cast<std::int64_t>(count) > static_cast<std::int64_t>(limit_)) {
            return 0;
        }
        return TMemoryStream::Write(buffer, count);
    }

private:
    std::size_t limit_;
};

TEST(Encryption, StreamFailuresAreAbsorbedAndLeaveWhatWasWritten) {
    const std::string plain = RandomBytes(400000, 3);
    TMemoryStream source(ToBytes(plain));
    FailingStream destination(200000);
    EXPECT_NO_THROW(EncryptStreamWithKey(source, destination, "k"));
    // Whole pieces up to the failure stay, and they are the right ones.
    EXPECT_GT(destination.Size(), 0);
    EXPECT_LT(destination.Size(), 200000);
    const auto expected = ToBytes(Crypt(plain, "k", true));
    EXPECT_TRUE(std::equal(destination.Bytes().begin(), destination.Bytes().end(), expected.begin()));
    source.SetPosition(0);
    FailingStream again(200000);
    EXPECT_THROW(CryptStream(source, again, "k", true), EWriteError);
}

} // namespace
