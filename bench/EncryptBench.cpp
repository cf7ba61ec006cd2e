// EncryptFile and DecryptFile of one large file against the openssl command line doing the same cipher block
// chaining without padding on the same file. Our format adds only the starting vector and the tail step, so the
// two should cost the same. A sample is as many passes as last about two seconds; the two sides take turns, and the
// median of the pairs' ratios counts.

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

        const auto referenceEncrypt = [&] {
            return TimeCommand(openssl + " -in " + plain + " -out " + temp / "reference.crt");
        };
        const auto referenceDecrypt = [&] {
            return TimeCommand(openssl + " -d -in " + temp / "reference.crt" + " -out " + temp / "reference.zip");
        };
        const auto encrypt = [&] {
            // The destination is made new, as a run makes its volumes.
            std::filesystem::remove(temp / "ours.crt");
            const Stopwatch ours;
            if (!EncryptFile(plain, temp / "ours.crt", "volume password")) {
                throw std::runtime_error("EncryptFile failed");
            }
            return ours.Seconds();
        };
        const auto decrypt = [&] {
            std::filesystem::remove(temp / "ours.zip");
            const Stopwatch ours;
            if (!DecryptFile(temp / "ours.crt", temp / "ours.zip", "volume password")) {
                throw std::runtime_error("DecryptFile failed");
            }
            return ours.Seconds();
        };
        // A sample is as many passes in a row as last about two seconds; the first round only finds how many.
        const int repeats =
            RepeatsForSeconds(std::min({referenceEncrypt(), referenceDecrypt(), encrypt(), decrypt()}), 2.0);
        const PairedTimes encryption =
            TimePairs(options.runs, Repeated(repeats, encrypt), Repeated(repeats, referenceEncrypt));
        const PairedTimes decryption =
            TimePairs(options.runs, Repeated(repeats, decrypt), Repeated(repeats, referenceDecrypt));
        std::printf("encryption benchmark: %s, %d passes a sample, median of %d pairs\n", Megabytes(size).c_str(),
                    repeats, options.runs);
        std::printf("  EncryptFile %.1f MB/s, DecryptFile %.1f MB/s\n",
                    MegabytesPerSecond(size * static_cast<std::uint64_t>(repeats), encryption.MedianOurs()),
                    MegabytesPerSecond(size * static_cast<std::uint64_t>(repeats), decryption.MedianOurs()));
        PrintPairedRatio("EncryptFile", encryption, "openssl enc -aes-128-cbc -nopad", 1.10);
        PrintPairedRatio("DecryptFile", decryption, "openssl enc -d -aes-128-cbc -nopad", 1.10);
        DestroyGlobalObject();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "encryption benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
