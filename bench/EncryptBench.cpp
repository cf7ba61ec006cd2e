// EncryptFile and DecryptFile of one large file against the openssl command line doing the same cipher block
// chaining without padding on the same file. Our format adds only the starting vector and the tail step, so the
// two should cost the same.

#include "core/app/Encryption.h"
#include "core/app/UnitGo.h"
#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>

int main(int argc, char** argv) {
    const BenchOptions options = ParseBenchOptions(argc, argv, 256, 5);
    try {
        // In memory: the disk's write-back would decide which side waits, not the cipher.
        BenchTempDir temp(true);
        SetGlobalObjectOptions({nullptr, temp.Path()});
        GetGlobalObject();
        // A multiple of 16 bytes, so that openssl's CBC without padding takes it.
        const std::uint64_t size = options.sizeMb * 1024 * 1024;
        const std::string plain = temp / "plain.zip";
        WriteRandomFile(plain, size, 42);
        const std::string key = "00112233445566778899aabbccddeeff";
        const std::string iv = "ffeeddccbbaa99887766554433221100";
        const std::string openssl = "openssl enc -aes-128-cbc -nopad -K " + key + " -iv " + iv;

        double encrypt = std::numeric_limits<double>::max();
        double decrypt = encrypt;
        double referenceEncrypt = encrypt;
        double referenceDecrypt = encrypt;
        for (int run = 0; run < options.runs; ++run) {
            referenceEncrypt =
                std::min(referenceEncrypt, TimeCommand(openssl + " -in " + plain + " -out " + temp / "reference.crt"));
            referenceDecrypt = std::min(referenceDecrypt, TimeCommand(openssl + " -d -in " + temp / "reference.crt" +
                                                                      " -out " + temp / "reference.zip"));
            // The destinations are made new, as a run makes its volumes.
            std::filesystem::remove(temp / "ours.crt");
            std::filesystem::remove(temp / "ours.zip");
            Stopwatch ours;
            if (!EncryptFile(plain, temp / "ours.crt", "volume password")) {
                throw std::runtime_error("EncryptFile failed");
            }
            encrypt = std::min(encrypt, ours.Seconds());
            ours = Stopwatch();
            if (!DecryptFile(temp / "ours.crt", temp / "ours.zip", "volume password")) {
                throw std::runtime_error("DecryptFile failed");
            }
            decrypt = std::min(decrypt, ours.Seconds());
        }
        std::printf("encryption benchmark: %s, best of %d\n", Megabytes(size).c_str(), options.runs);
        std::printf("  EncryptFile %.1f MB/s, DecryptFile %.1f MB/s\n", MegabytesPerSecond(size, encrypt),
                    MegabytesPerSecond(size, decrypt));
        PrintRatio("EncryptFile", encrypt, "openssl enc -aes-128-cbc -nopad", referenceEncrypt, 1.10);
        PrintRatio("DecryptFile", decrypt, "openssl enc -d -aes-128-cbc -nopad", referenceDecrypt, 1.10);
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "encryption benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
