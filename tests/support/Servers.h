#pragma once

#include "support/TempDir.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

// Real peers for the network tests: processes on loopback addresses, started on free ports, killed when the
// object goes. Every wait here is bounded; a peer that does not come up raises std::runtime_error with its output.

// A child process whose readiness is a line "READY <host> <port>" on its standard output (or, for programs
// that print nothing, a port that accepts connections).
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program and waits for its READY line.
    void StartWithReadyLine(const std::vector<std::string>& argv, const std::string& logPath);
    // Starts the program and waits until host:port accepts a connection; false when the program ended first.
    bool StartAndWaitForPort(const std::vector<std::string>& argv, const std::string& logPath, const std::string& host,
                             int port);
    // SIGTERM, then SIGKILL if it has not ended within a few seconds; waits for it.
    void Stop();
    bool Running();
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

private:
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath, int stdoutFd);

    pid_t pid_ = -1;
    std::string host_;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that nothing used a moment ago (for programs that cannot report the port they
// bound themselves; their start is retried on another port when this one was taken meanwhile).
int FindFreePort(const std::string& host = "127.0.0.1");
// Whether host:port accepts a TCP connection.
bool PortAccepts(const std::string& host, int port);
// Waits until the predicate holds or the time is up; the predicate's last value.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10));

struct FtpServerOptions {
    // Seconds a session may idle between commands before the server sends 421 and closes it.
    double idleTimeoutSeconds = 300;
    // When non-zero, the whole server vanishes (the process exits) once an upload has received this many bytes.
    std::int64_t exitAfterUploadBytes = 0;
    // Likewise once a download has sent this many bytes.
    std::int64_t exitAfterDownloadBytes = 0;
    std::string host = "127.0.0.1";
    // NLST announces its transfer and opens the data connection, then sends nothing, for ever.
    bool stallNameLists = false;
    // RETR sends the first half of the file and reports success.
    bool cutDownloads = false;
    // SIZE answers the file's size plus this many bytes.
    std::int64_t sizeOffset = 0;
    // STOR takes the data and closes the data connection, but its reply never comes.
    bool holdStoreReplies = false;
    // NLST sends its names and closes the data connection, but its reply never comes.
    bool holdListReplies = false;
    // When non-zero, data connections move at most this many bytes a second, both ways; 1 is a trickle of a byte
    // or two at a time.
    std::int64_t dataRate = 0;
    // Seconds before the greeting, and before each reply to USER, PASS and PWD.
    double greetingDelaySeconds = 0;
    double loginReplyDelaySeconds = 0;
    // PASS is never answered.
    bool silentPass = false;
    // PORT and EPRT are answered as accepted, but the server never connects to the client's port.
    bool noConnectBack = false;
};

// An FTP server (pyftpdlib) with one user, "tester" / "secret", whose root is a fresh temporary folder.
// Active and passive data connections both work. It records the peer address of every control connection and
// every command line it receives (the password masked).
class FtpServer {
public:
    explicit FtpServer(FtpServerOptions options = {});

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    std::string User() const { return "tester"; }
    std::string Password() const { return "secret"; }
    // The server's root folder on disk, with a trailing "/".
    const std::string& Root() const { return root_.Path(); }

    // Stops the server; its sessions end with it. Start brings it back on the same port with the same root.
    void Stop();
    void Start();
    void Restart();
    bool Running() { return process_.Running(); }
    // Options for the next Start.
    FtpServerOptions& Options() { return options_; }

    // Names that every folder listing of the server names too, besides what the folder holds (none of LF).
    void PlantListedNames(const std::vector<std::string>& names);

    // Peer addresses of the control connections, in order, and the command lines received, across restarts.
    std::vector<std::string> Connections() const;
    std::vector<std::string> Commands() const;
    void ClearRecords();

private:
    FtpServerOptions options_;
    TempDir root_;
    TempDir records_;
    PeerProcess process_;
    std::string host_;
    int port_ = 0;
};

struct SmtpServerOptions {
    // "auto" picks a free address in 127.0.0.0/8 for the port, so that parallel tests each have port 25.
    std::string host = "auto";
    int port = 25;
    // AUTH LOGIN (and PLAIN) offered and checked against these when the user is not empty.
    std::string authUser;
    std::string authPassword;
    std::vector<std::string> refusedRecipients; // RCPT answered 550
    std::vector<std::string> refusedSenders;    // MAIL answered 553
    bool refuseData = false;                    // the message answered 554 after DATA
    // Seconds before the greeting and before the replies to EHLO and AUTH.
    double loginDelaySeconds = 0;
    // A command never answered: "EHLO", "AUTH", "MAIL", "DATA" or "QUIT".
    std::string silentAt;
};

struct ReceivedMail {
    std::string mailFrom;
    std::vector<std::string> recipients;
    bool authenticated = false;
    std::string data; // the message as received after DATA, dot-stuffing removed
};

// An SMTP server (aiosmtpd) that records what it accepts.
class SmtpServer {
public:
    explicit SmtpServer(SmtpServerOptions options = {});

    const std::string& Host() const { return process_.Host(); }
    int Port() const { return process_.Port(); }
    void Stop() { process_.Stop(); }

    // The messages accepted so far, in order.
    std::vector<ReceivedMail> Mails() const;
    // The command lines received so far (AUTH continuation lines are not commands and are not there).
    std::vector<std::string> Commands() const;

private:
    TempDir records_;
    PeerProcess process_;
};

enum class ProxyProtocol { Socks4, Socks5 };

struct SocksProxyOptions {
    ProxyProtocol protocol = ProxyProtocol::Socks5;
    // SOCKS5: user and password required when the user is not empty. SOCKS4/4A: the user id required.
    std::string user;
    std::string password;
    // Names only the proxy can resolve, each with the address it stands for. With any, SOCKS5 too is our fixture,
    // which records its requests.
    std::vector<std::pair<std::string, std::string>> hostNames;
    // Outgoing connections leave from this address, so the server behind the proxy can tell them apart.
    std::string outgoingAddress = "127.0.0.7";
    // When not negative, requests past this many are never answered (a stuck proxy); our fixture then, SOCKS5 too.
    int answeredConnects = -1;
};

// A SOCKS proxy on loopback: microsocks for SOCKS5, a fixture of ours for SOCKS4 and 4A and for SOCKS5 with names
// of its own or stuck requests (all in one).
class SocksProxy {
public:
    explicit SocksProxy(SocksProxyOptions options = {});

    const std::string& Host() const { return process_.Host(); }
    int Port() const { return process_.Port(); }
    const std::string& OutgoingAddress() const { return options_.outgoingAddress; }
    // Our fixture only: the requests seen, each "SOCKS4 <ip> <port> <user>", "SOCKS4A <host> <port> <user>" or
    // "SOCKS5 <address or name> <port> <user>".
    std::vector<std::string> Requests() const;

private:
    SocksProxyOptions options_;
    TempDir records_;
    PeerProcess process_;
};

// Lines of a text file; empty when it does not exist.
std::vector<std::string> ReadLines(const std::string& path);

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (predicate()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
