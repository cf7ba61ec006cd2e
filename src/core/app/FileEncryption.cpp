// The file operations live apart from the stream cipher: they log through the backup program's application object,
// which the companion, a user of the cipher, does not have.
#include "Encryption.h"
#include "UnitGo.h"

#include "platform/Exceptions.h"
#include "platform/ProgramFile.h"
#include "platform/TerminationSignals.h"

#include <functional>

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

// `write` makes or takes the destination and runs the cipher into it.
bool CryptFile(bool encrypt, const std::string& source, const std::function<void(TStream& in)>& write) {
    const Wording& words = encrypt ? encryptWords : decryptWords;
    TLog& log = *GetGlobalObject()->Log;
    log.Add(words.start);
    try {
        // The source is opened first, so that a missing source leaves no empty destination behind.
        TFileStream in(source, FileMode::OpenRead);
        write(in);
    } catch (const std::exception& error) {
        log.Add(std::string(words.failed) + error.what());
        return false;
    }
    log.Add(words.done);
    return true;
}

bool CryptFile(const std::string& source, const std::string& destination, const std::string& password, bool encrypt) {
    return CryptFile(encrypt, source, [&](TStream& in) {
        // Made new under its name: nothing that stands there, the source itself included, is ever emptied or
        // followed.
        TProgramFile out = TProgramFile::NewFile(destination);
        CryptStream(in, out.Stream(), password, encrypt, TerminationRequested);
        out.Keep();
    });
}

} // namespace

bool EncryptFile(const std::string& source, const std::string& destination, const std::string& password) {
    return CryptFile(source, destination, password, true);
}

bool DecryptFile(const std::string& source, const std::string& destination, const std::string& password) {
    return CryptFile(source, destination, password, false);
}

bool DecryptFile(const std::string& source, TWorkFile& destination, const std::string& password) {
    return CryptFile(false, source, [&](TStream& in) {
        destination.Stream().SetPosition(0);
        CryptStream(in, destination.Stream(), password, false, TerminationRequested);
    });
}
