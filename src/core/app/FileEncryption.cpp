// The file operations live apart from the stream cipher: they log through the backup program's application object,
// which the companion, a user of the cipher, does not have.
#include "Encryption.h"
#include "UnitGo.h"

#include "platform/Exceptions.h"

#include <filesystem>
#include <memory>
#include <system_error>

namespace {

struct Wording {
    const char* start;
    const char* done;
    const char* failed;
};

constexpr Wording encryptWords{"Start encrypting file...", "Encrypting is done.",
                               "Can't encrypt file. ErrorMessage is"};
constexpr Wording decryptWords{"Start decrypting file...", "Decrypting is done ...",
                               "Can't decrypt file... Error message: "};

bool CryptFile(const std::string& source, const std::string& destination, const std::string& password, bool encrypt) {
    const Wording& words = encrypt ? encryptWords : decryptWords;
    TLog& log = *GetGlobalObject()->Log;
    log.Add(words.start);
    try {
        // The source is opened first, so that a missing source leaves no empty destination behind.
        TFileStream in(source, FileMode::OpenRead);
        // Creating the destination empties it: were it the source, under whatever name, the data would be gone.
        std::error_code unknown;
        if (std::filesystem::equivalent(source, destination, unknown)) {
            throw EFCreateError("Cannot create file \"" + destination + "\". It is the file being read.");
        }
        TFileStream out(destination, FileMode::Create, 0600);
        CryptStream(in, out, password, encrypt);
    } catch (const std::exception& error) {
        log.Add(std::string(words.failed) + error.what());
        return false;
    }
    log.Add(words.done);
    return true;
}

} // namespace

bool EncryptFile(const std::string& source, const std::string& destination, const std::string& password) {
    return CryptFile(source, destination, password, true);
}

bool DecryptFile(const std::string& source, const std::string& destination, const std::string& password) {
    return CryptFile(source, destination, password, false);
}
