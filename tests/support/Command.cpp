#include "Command.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::string RunCommand(const std::string& command, int* status) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    std::array<char, 65536> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), n);
    }
    const int raw = ::pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return output;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

int WaitBounded(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RunInChild(const std::function<int()>& body, int timeoutSeconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 255;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    if (pid < 0) {
        return -1;
    }
    return WaitBounded(pid, std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds));
}
