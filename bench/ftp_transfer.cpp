// Upload and download of one large file through our FTP client against the curl command line doing the same
// transfers in active mode, against the same loopback FTP server in the same run. Both sides sit on libcurl,
// so the ratio shows what our buffers, callbacks and file handling cost. Each side is timed from connect to
// disconnect, the best of the runs counts.
//
// Options: --size-mb N (default 256), --runs N (default 5). Files live in /dev/shm unless TMPDIR is set.

#include "core/net/FtpClient.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUser = "bench";
const char* const kPassword = "bench";

class Stopwatch {
public:
    double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class TempFolder {
public:
    TempFolder() {
        // Memory-backed when there is no other wish: the disk's write-back would swamp the difference measured.
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm")) {
            base = "/dev/shm";
        }
        std::string pattern = (base / "corvane-ftp-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern + "/";
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// The loopback FTP server of the tests, stopped when the object goes.
class Server {
public:
    explicit Server(const std::string& root, const std::string& log) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        const std::string script = std::string(CORVANE_FIXTURES_DIR) + "/ftp_server.py";
        std::vector<std::string> argv = {"/usr/bin/python3", script, "--root",     root,
                                         "--user",           kUser,  "--password", kPassword};
        std::vector<char*> args;
        for (auto& arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(fds[1], STDOUT_FILENO);
            if (logFd >= 0) {
                ::dup2(logFd, STDERR_FILENO);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (logFd >= 0) {
            ::close(logFd);
        }
        // The READY line, within a bounded time.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            char buffer[128];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got > 0) {
                line.append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        ::close(fds[0]);
        char host[64] = {};
        if (std::sscanf(line.c_str(), "READY %63s %d", host, &port_) != 2) {
            Stop();
            throw std::runtime_error("the FTP server did not start; see " + log);
        }
        host_ = host;
    }
    ~Server() { Stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

private:
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::string host_;
    int port_ = 0;
};

void WriteRandomFile(const std::string& path, std::uint64_t size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    std::mt19937_64 generator(7);
    std::vector<std::uint64_t> block(1 << 16);
    for (std::uint64_t written = 0; written < size;) {
        for (auto& word : block) {
            word = generator();
        }
        const std::uint64_t piece = std::min<std::uint64_t>(size - written, block.size() * sizeof(std::uint64_t));
        if (std::fwrite(block.data(), 1, piece, out) != piece) {
            std::fclose(out);
            throw std::runtime_error("cannot write " + path);
        }
        written += piece;
    }
    if (std::fclose(out) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

double TimeCommand(const std::string& command) {
    const Stopwatch watch;
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    return watch.Seconds();
}

void CheckSize(const std::string& path, std::uint64_t size) {
    if (std::filesystem::file_size(path) != size) {
        throw std::runtime_error(path + " has the wrong size");
    }
}

void PrintRatio(const std::string& name, double seconds, const std::string& reference, double referenceSeconds,
                double goal) {
    const double ratio = seconds / referenceSeconds;
    std::printf("%s: ratio %.3f (goal <= %.2f, %s)\n", name.c_str(), ratio, goal, ratio <= goal ? "met" : "missed");
    std::printf("  ours %.3f s, %s %.3f s\n", seconds, reference.c_str(), referenceSeconds);
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t sizeMb = 256;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mb") == 0) {
            sizeMb = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    try {
        TempFolder temp;
        std::filesystem::create_directory(temp / "root");
        const std::uint64_t size = sizeMb * 1024 * 1024;
        const std::string source = temp / "source.bin";
        WriteRandomFile(source, size);
        Server server(temp / "root", temp / "server.log");
        const std::string url = "ftp://" + std::string(kUser) + ":" + kPassword + "@" + server.Host() + ":" +
                                std::to_string(server.Port()) + "/";
        const std::string curl = "curl -sS --disable -P - ";

        FtpLogin login;
        login.host = server.Host();
        login.port = server.Port();
        login.user = kUser;
        login.password = kPassword;

        double upload = std::numeric_limits<double>::max();
        double download = upload;
        double referenceUpload = upload;
        double referenceDownload = upload;
        for (int run = 0; run < runs; ++run) {
            referenceUpload = std::min(referenceUpload, TimeCommand(curl + "-T " + source + " " + url + "curl.bin"));
            CheckSize(temp / "root/curl.bin", size);

            Stopwatch watch;
            {
                FtpClient client;
                client.Connect(login);
                client.Put(source, "ours.bin", false);
                client.Disconnect();
            }
            upload = std::min(upload, watch.Seconds());
            CheckSize(temp / "root/ours.bin", size);

            referenceDownload =
                std::min(referenceDownload, TimeCommand(curl + "-o " + temp / "curl.down " + url + "curl.bin"));
            CheckSize(temp / "curl.down", size);

            watch = Stopwatch();
            {
                FtpClient client;
                client.Connect(login);
                client.Get("ours.bin", temp / "ours.down", true);
                client.Disconnect();
            }
            download = std::min(download, watch.Seconds());
            CheckSize(temp / "ours.down", size);

            std::filesystem::remove(temp / "curl.down");
            std::filesystem::remove(temp / "ours.down");
        }
        std::printf("FTP transfer benchmark: %llu MB over loopback, active mode, best of %d\n",
                    static_cast<unsigned long long>(sizeMb), runs);
        PrintRatio("upload (Put)", upload, "curl -T", referenceUpload, 1.10);
        PrintRatio("download (Get)", download, "curl download", referenceDownload, 1.10);
        // The curl runs are child processes and not counted here: this is our client's whole footprint.
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("  peak memory of this process: %.1f MB for %llu MB transferred each way\n",
                    static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<unsigned long long>(sizeMb));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "FTP transfer benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
