#include "Encryption.h"

#include "platform/Exceptions.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kBlock = 16;
// The pieces the data passes through: a fixed buffer, so memory does not grow with the input, and a multiple of
// the block size, so chaining carries over between pieces. 64 KiB keeps the system calls few and both buffers in
// the processor's cache; the output does not depend on it.
constexpr std::size_t kPiece = 64 * 1024;

using Block = std::array<std::uint8_t, kBlock>;

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

class CipherError : public Exception {
public:
    using Exception::Exception;
};

CipherContext NewContext(const EVP_CIPHER* cipher, const Block& key, const std::uint8_t* iv, bool encrypt) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context || EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1) {
        throw CipherError("Cannot set up the cipher");
    }
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    return context;
}

void Update(EVP_CIPHER_CTX* context, std::uint8_t* out, const std::uint8_t* in, std::size_t size) {
    int written = 0;
    if (EVP_CipherUpdate(context, out, &written, in, static_cast<int>(size)) != 1 ||
        static_cast<std::size_t>(written) != size) {
        throw CipherError("Cipher failure");
    }
}

// Key material lives only as long as one call and is wiped when it ends, however it ends.
struct KeySchedule {
    Block key{};
    Block iv{};
    CipherContext blockCipher; // E_K on single blocks

    explicit KeySchedule(const std::string& passPhrase) {
        unsigned int digestSize = 0;
        if (EVP_Digest(passPhrase.data(), passPhrase.size(), key.data(), &digestSize, EVP_md5(), nullptr) != 1 ||
            digestSize != kBlock) {
            throw CipherError("Cannot hash the pass phrase");
        }
        blockCipher = NewContext(EVP_aes_128_ecb(), key, nullptr, true);
        const Block zero{};
        Encrypt(zero, iv);
    }
    ~KeySchedule() {
        OPENSSL_cleanse(key.data(), key.size());
        OPENSSL_cleanse(iv.data(), iv.size());
    }
    KeySchedule(const KeySchedule&) = delete;
    KeySchedule& operator=(const KeySchedule&) = delete;

    void Encrypt(const Block& in, Block& out) { Update(blockCipher.get(), out.data(), in.data(), kBlock); }
};

} // namespace

void CryptStream(TStream& source, TStream& destination, const std::string& passPhrase, bool encrypt,
                 const std::function<bool()>& cancelled) {
    destination.SetSize(0);
    KeySchedule schedule(passPhrase);
    CipherContext chain = NewContext(EVP_aes_128_cbc(), schedule.key, schedule.iv.data(), encrypt);

    Block chainValue = schedule.iv;
    std::vector<std::uint8_t> in(kPiece);
    std::vector<std::uint8_t> out(kPiece);
    std::int64_t left = source.Size();
    while (left > 0) {
        if (cancelled && cancelled()) {
            throw EAborted("Stopped: the program is ending");
        }
        const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(left, kPiece));
        source.ReadBuffer(in.data(), piece);
        left -= static_cast<std::int64_t>(piece);

        const std::size_t full = piece - piece % kBlock;
        if (full > 0) {
            Update(chain.get(), out.data(), in.data(), full);
            // The chaining value is the last ciphertext block: the output when encrypting, the input when not.
            const std::uint8_t* lastCipherBlock = (encrypt ? out.data() : in.data()) + full - kBlock;
            std::memcpy(chainValue.data(), lastCipherBlock, kBlock);
        }
        const std::size_t tail = piece - full;
        if (tail > 0) {
            Block mask{};
            schedule.Encrypt(chainValue, mask);
            for (std::size_t i = 0; i < tail; ++i) {
                out[full + i] = in[full + i] ^ mask[i];
            }
            OPENSSL_cleanse(mask.data(), mask.size());
        }
        destination.WriteBuffer(out.data(), piece);
    }
    OPENSSL_cleanse(in.data(), in.size());
    OPENSSL_cleanse(out.data(), out.size());
}

void EncryptStreamWithKey(TStream& source, TStream& destination, const std::string& passPhrase) {
    try {
        CryptStream(source, destination, passPhrase, true);
    } catch (const std::exception&) {
        // The stored files' writers have no one to tell; the caller sees a short destination.
    }
}

void DecryptStreamWithKey(TStream& source, TStream& destination, const std::string& passPhrase) {
    try {
        CryptStream(source, destination, passPhrase, false);
    } catch (const std::exception&) {
        // A reader then meets a short or meaningless plaintext, which its own checks catch.
    }
}

std::optional<TMemoryStream> ReadEncryptedFile(const std::string& path, const std::string& passPhrase) {
    // Read-only: a reader has no business writing, and refusing a read-only file would cost its content.
    const std::unique_ptr<TFileStream> file = TFileStream::OpenIfPresent(path);
    if (!file) {
        return std::nullopt;
    }
    std::optional<TMemoryStream> plain(std::in_place);
    CryptStream(*file, *plain, passPhrase, false);
    plain->SetPosition(0);
    return plain;
}

void WriteEncryptedFile(TStateFile& file, TStream& plain, const std::string& passPhrase) {
    plain.SetPosition(0);
    file.Write([&](TStream& out) { CryptStream(plain, out, passPhrase, true); });
}
