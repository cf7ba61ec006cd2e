#include "support/Servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CORVANE_FIXTURES_DIR
#error "CORVANE_FIXTURES_DIR must name tests/fixtures"
#endif

namespace {

// The Debian python that has the peers' libraries; the one first on PATH may be another.
const char* const kPython = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(15);

std::string Fixture(const std::string& name) {
    return std::string(CORVANE_FIXTURES_DIR) + "/" + name;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

sockaddr_in LoopbackAddress(const std::string& host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + host);
    }
    return address;
}

} // namespace

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

int FindFreePort(const std::string& host) {
    // Below the range the kernel hands out to outgoing connections (32768 and up by default): the many connections
    // the tests make at once cannot take the port between this look and the server's own bind.
    static constexpr int First = 20000;
    static constexpr int Count = 12000;
    static thread_local std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::runtime_error("socket failed");
        }
        const int port = First + static_cast<int>(random() % Count);
        sockaddr_in address = LoopbackAddress(host, port);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (bound) {
            return port;
        }
    }
    throw std::runtime_error("no free port on " + host);
}

bool PortAccepts(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address = LoopbackAddress(host, port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

PeerProcess::~PeerProcess() {
    Stop();
}

pid_t PeerProcess::Spawn(const std::vector<std::string>& argv, const std::string& logPath, int stdoutFd) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
        throw std::runtime_error("cannot create " + logPath);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(logFd);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // A test that crashes must not leave its servers running.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(stdoutFd >= 0 ? stdoutFd : logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(logFd);
    return pid;
}

void PeerProcess::StartWithReadyLine(const std::vector<std::string>& argv, const std::string& logPath) {
    Stop();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    try {
        pid_ = Spawn(argv, logPath, fds[1]);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);

    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    bool ended = false;
    while (line.find('\n') == std::string::npos && !ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{fds[0], POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0) {
            ended = true;
        } else {
            line.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fds[0]);

    std::istringstream words(line);
    std::string tag;
    words >> tag >> host_ >> port_;
    if (tag != "READY" || port_ <= 0) {
        Stop();
        throw std::runtime_error("peer " + argv.at(1) + " did not start: " + FileText(logPath));
    }
}

bool PeerProcess::StartAndWaitForPort(const std::vector<std::string>& argv, const std::string& logPath,
                                      const std::string& host, int port) {
    Stop();
    pid_ = Spawn(argv, logPath, -1);
    host_ = host;
    port_ = port;
    const bool up = WaitUntil([&] { return !Running() || PortAccepts(host, port); }, kStartLimit);
    if (up && Running()) {
        return true;
    }
    Stop();
    return false;
}

bool PeerProcess::Running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
        pid_ = -1;
        return false;
    }
    return true;
}

void PeerProcess::Stop() {
    if (!Running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!WaitUntil([&] { return !Running(); }, std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

FtpServer::FtpServer(FtpServerOptions options) : options_(std::move(options)) {
    Start();
}

void FtpServer::Start() {
    std::vector<std::string> argv = {
        kPython,
        Fixture("ftp_server.py"),
        "--host",
        options_.host,
        "--port",
        std::to_string(port_),
        "--root",
        root_.Path(),
        "--user",
        User(),
        "--password",
        Password(),
        "--idle-timeout",
        std::to_string(options_.idleTimeoutSeconds),
        "--exit-after-upload-bytes",
        std::to_string(options_.exitAfterUploadBytes),
        "--exit-after-download-bytes",
        std::to_string(options_.exitAfterDownloadBytes),
        "--planted-names",
        records_ / "planted.txt",
        "--size-offset",
        std::to_string(options_.sizeOffset),
        "--data-rate",
        std::to_string(options_.dataRate),
        "--greeting-delay",
        std::to_string(options_.greetingDelaySeconds),
        "--login-reply-delay",
        std::to_string(options_.loginReplyDelaySeconds),
        "--connections-log",
        records_ / "connections.txt",
        "--commands-log",
        records_ / "commands.txt",
    };
    if (options_.stallNameLists) {
        argv.push_back("--stall-name-lists");
    }
    if (options_.cutDownloads) {
        argv.push_back("--cut-downloads");
    }
    if (options_.holdStoreReplies) {
        argv.push_back("--hold-store-replies");
    }
    if (options_.holdListReplies) {
        argv.push_back("--hold-list-replies");
    }
    if (options_.silentPass) {
        argv.push_back("--silent-pass");
    }
    if (options_.noConnectBack) {
        argv.push_back("--no-connect-back");
    }
    process_.StartWithReadyLine(argv, records_ / "server.log");
    host_ = process_.Host();
    port_ = process_.Port();
}

void FtpServer::Stop() {
    process_.Stop();
}

void FtpServer::Restart() {
    Stop();
    Start();
}

std::vector<std::string> FtpServer::Connections() const {
    return ReadLines(records_ / "connections.txt");
}

std::vector<std::string> FtpServer::Commands() const {
    return ReadLines(records_ / "commands.txt");
}

void FtpServer::PlantListedNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += name + "\n";
    }
    WriteFileBytes(records_ / "planted.txt", text);
}

void FtpServer::ClearRecords() {
    ::unlink((records_ / "connections.txt").c_str());
    ::unlink((records_ / "commands.txt").c_str());
}

SmtpServer::SmtpServer(SmtpServerOptions options) {
    std::vector<std::string> argv = {
        kPython,  Fixture("smtp_server.py"),    "--host",       options.host,
        "--port", std::to_string(options.port), "--record-dir", records_.Path(),
    };
    if (!options.authUser.empty()) {
        argv.insert(argv.end(), {"--auth-user", options.authUser, "--auth-password", options.authPassword});
    }
    for (const std::string& address : options.refusedRecipients) {
        argv.insert(argv.end(), {"--refuse-recipient", address});
    }
    for (const std::string& address : options.refusedSenders) {
        argv.insert(argv.end(), {"--refuse-sender", address});
    }
    if (options.refuseData) {
        argv.push_back("--refuse-data");
    }
    argv.insert(argv.end(),
                {"--login-delay", std::to_string(options.loginDelaySeconds), "--silent-at", options.silentAt});
    process_.StartWithReadyLine(argv, records_ / "server.log");
}

std::vector<ReceivedMail> SmtpServer::Mails() const {
    std::vector<ReceivedMail> mails;
    for (int n = 1;; ++n) {
        const std::string base = records_ / ("mail-" + std::to_string(n));
        if (::access((base + ".env").c_str(), F_OK) != 0) {
            break;
        }
        ReceivedMail mail;
        for (const std::string& line : ReadLines(base + ".env")) {
            const std::size_t blank = line.find(' ');
            const std::string key = line.substr(0, blank);
            const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
            if (key == "FROM") {
                mail.mailFrom = value;
            } else if (key == "RCPT") {
                mail.recipients.push_back(value);
            } else if (key == "AUTH") {
                mail.authenticated = value == "1";
            }
        }
        mail.data = FileText(base + ".eml");
        mails.push_back(std::move(mail));
    }
    return mails;
}

std::vector<std::string> SmtpServer::Commands() const {
    return ReadLines(records_ / "commands.txt");
}

SocksProxy::SocksProxy(SocksProxyOptions options) : options_(std::move(options)) {
    if (options_.protocol == ProxyProtocol::Socks4 || !options_.hostNames.empty() || options_.answeredConnects >= 0) {
        std::vector<std::string> argv = {
            kPython,
            Fixture("socks_proxy.py"),
            "--host",
            "127.0.0.1",
            "--port",
            "0",
            "--bind-address",
            options_.outgoingAddress,
            "--log",
            records_ / "requests.txt",
            "--answered-connects",
            std::to_string(options_.answeredConnects),
        };
        if (!options_.user.empty()) {
            argv.insert(argv.end(), {"--user", options_.user, "--password", options_.password});
        }
        for (const auto& [name, address] : options_.hostNames) {
            argv.insert(argv.end(), {"--map", name + "=" + address});
        }
        process_.StartWithReadyLine(argv, records_ / "proxy.log");
        return;
    }
    // microsocks cannot say which port it bound: try free ports until one start holds.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = FindFreePort();
        std::vector<std::string> argv = {
            "/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-b", options_.outgoingAddress,
        };
        if (!options_.user.empty()) {
            argv.insert(argv.end(), {"-u", options_.user, "-P", options_.password});
        }
        if (process_.StartAndWaitForPort(argv, records_ / "proxy.log", "127.0.0.1", port)) {
            return;
        }
    }
    throw std::runtime_error("microsocks did not start: " + FileText(records_ / "proxy.log"));
}

std::vector<std::string> SocksProxy::Requests() const {
    return ReadLines(records_ / "requests.txt");
}
