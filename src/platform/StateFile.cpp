#include "StateFile.h"

#include "ProgramFile.h"

void TStateFile::SetUnreadable(const std::string& reason) {
    if (unreadable_.empty()) {
        unreadable_ = reason;
    }
}

std::string TStateFile::UnreadableText() const {
    if (unreadable_.empty()) {
        return {};
    }
    return unreadable_ + ". The file is left as it was and is not saved while the program runs; look at the file's "
                         "owner and permissions, and at what stands at its name.";
}

void TStateFile::Write(const std::function<void(TStream&)>& write) {
    if (!unreadable_.empty()) {
        throw EStateFileRefused(UnreadableText());
    }
    try {
        TProgramFile file(path_, TProgramFileRules{});
        write(file.Stream());
        file.Commit();
    } catch (const EWriteError& error) {
        throw EWriteError(NotSavedText(error));
    } catch (const EFCreateError& error) {
        throw EFCreateError(NotSavedText(error));
    } catch (const std::exception& error) {
        throw Exception(NotSavedText(error));
    }
}

std::string TStateFile::NotSavedText(const std::exception& error) const {
    // Nothing is ever written in place instead: the companion could read the file half done.
    std::string text = error.what();
    if (text.find(path_) == std::string::npos) {
        text = "\"" + path_ + "\": " + text;
    }
    return text + ". The file was not saved and stays as it was.";
}
