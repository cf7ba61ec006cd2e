#include "UnitGo.h"

#include <stdexcept>

namespace companion {

namespace {

// The companion's view of "files.lst". It reads no tasks yet: the reader of the task file (decryption and the task
// records) is shared with the backup program and is not part of the core yet. Reload is where that reader is
// called, over the tasks' own objects, once it is; until then the list is empty and the timer only counts idle
// ticks and rereads.
class TTaskFileSource : public TTaskSource {
public:
    explicit TTaskFileSource(std::string programDir) : path_(std::move(programDir) + "files.lst") {}

    void Reload() override {}
    int Count() const override { return 0; }
    bool IsActive(int) const override { return false; }
    TTimePeriod& Period(int) override { throw std::out_of_range("no task at this index"); }

private:
    std::string path_;
};

} // namespace

std::unique_ptr<TTaskSource> MakeTaskFileSource(const std::string& programDir) {
    return std::make_unique<TTaskFileSource>(programDir);
}

} // namespace companion
