#include "ProgramRecorder.h"

#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

void WriteRecordingProgram(const std::string& programPath, const std::string& recordPath) {
    WriteFileBytes(programPath, "#!/bin/sh\n"
                                "line=\"$(pwd -P)\"\n"
                                "for a in \"$@\"; do line=\"$line|$a\"; done\n"
                                "printf '%s\\n' \"$line\" >> '" +
                                    recordPath + "'\n");
    std::filesystem::permissions(programPath, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec);
}

std::vector<std::string> WaitForRecordLines(const std::string& recordPath, std::size_t count,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> lines;
    while (true) {
        lines.clear();
        std::ifstream in(recordPath);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        if (lines.size() >= count || std::chrono::steady_clock::now() >= deadline) {
            return lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
