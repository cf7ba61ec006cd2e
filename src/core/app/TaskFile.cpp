#include "TaskFile.h"

#include "Encryption.h"

#include <optional>

std::string ReadTaskFile(const std::string& path, ITaskListView* owner, std::vector<std::unique_ptr<TGroup>>& tasks) {
    std::optional<TMemoryStream> plain;
    try {
        plain = ReadEncryptedFile(path, TaskFilePassPhrase);
    } catch (const std::exception& error) {
        return error.what();
    }
    if (!plain || plain->Remaining() < 4) {
        return {};
    }
    try {
        const std::int32_t count = plain->ReadInt32();
        // A count beyond the records ends where the data ends, without a task made from nothing.
        for (std::int32_t i = 0; i < count && plain->Remaining() > 0; ++i) {
            // In the list before its record is read: a task read in part stays.
            tasks.push_back(std::make_unique<TGroup>(owner));
            tasks.back()->LoadFromStream(*plain);
        }
    } catch (const std::exception&) {
        // A damaged file, or one the other program is replacing: what was read stays; the next read tries again.
    }
    return {};
}

void WriteTaskFile(const std::string& path, const std::vector<std::unique_ptr<TGroup>>& tasks) {
    TStateFile file(path);
    WriteTaskFile(file, tasks);
}

void WriteTaskFile(TStateFile& file, const std::vector<std::unique_ptr<TGroup>>& tasks) {
    TMemoryStream plain;
    plain.WriteInt32(static_cast<std::int32_t>(tasks.size()));
    for (const auto& task : tasks) {
        task->SaveToStream(plain);
    }
    // The file holds the tasks' and the mail passwords.
    WriteEncryptedFile(file, plain, TaskFilePassPhrase);
}
