#pragma once

#include "platform/Exceptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The SOCKS proxy that the control and data connections pass through, if any. SOCKS4A and SOCKS5 hand a host name
// to the proxy to resolve, so a server known only on the proxy's side is reachable; SOCKS4 carries addresses only.
enum class SocksKind { None, Socks4, Socks4a, Socks5 };

struct FtpProxy {
    SocksKind kind = SocksKind::None;
    std::string host;
    int port = 0;
    // When set, the user (and for SOCKS5 the password) go to the proxy; SOCKS4 and 4A carry the user id only.
    bool authenticate = false;
    std::string user;
    std::string password;
};

struct FtpLogin {
    std::string host;
    int port = 21;
    std::string user;
    std::string password;
    FtpProxy proxy;
};

// How long the client waits for each thing an operation waits for; every wait of the client is bounded by one of
// these, counted from the moment that wait began. An operation that runs out of one fails, and its session with it.
struct FtpTimeouts {
    // The control connection: its connect, the proxy's handshake and the server's greeting. And a passive data
    // connection: from the server's reply naming its port to the connection made, the proxy's handshake included.
    long connectSeconds = 30;
    // One server reply, the final one after a transfer's data included, and the server's connection to our data
    // port in active mode.
    long responseSeconds = 60;
    // A transfer that moves no byte for this long, or fewer than 16 bytes a second on average over this long.
    long stallSeconds = 60;
};

// A failure of the FTP client. The message is the server's refusal ("550 No such file or directory.") when the
// server refused, else the cause as found here: a local error, "Connection lost: ...", a bound that ran out
// ("Timed out after N s " and what was awaited: "connecting to <host> port <port>" or "opening the data
// connection", with " through the proxy" where there is one, "waiting for the server's reply to STOR" or another
// command, "waiting for the server to connect to the client's data port (active mode)", "without data moving: the
// transfer stalled", or, after "Timed out after N s", ": the transfer moved fewer than X bytes in N s"), "The
// operation was stopped: the program is ending." once a termination signal came, a partial file with its byte counts,
// or libcurl's account of a failed connect.
class EFtpError : public Exception {
public:
    explicit EFtpError(const std::string& message, int curlCode = 0, long replyCode = 0)
        : Exception(message), curlCode_(curlCode), replyCode_(replyCode) {}
    // libcurl's result code, 0 when the failure was found before libcurl was asked.
    int CurlCode() const { return curlCode_; }
    // The FTP reply code that refused the command, 0 when there was none.
    long ReplyCode() const { return replyCode_; }

private:
    int curlCode_;
    long replyCode_;
};

// One FTP session on one server. Operations work in the session's current folder and raise EFtpError on failure.
// An operation never logs in again by itself: once the session is lost (the server closed it, a transfer broke
// it, a wait ran out of its bound), every operation fails with "Not connected." until Connect opens a new one, so
// that a new session never silently starts in the login folder. Every wait is bounded: see FtpTimeouts.
//
// Data connections are active (the server connects to us) on a direct connection and passive through a SOCKS
// proxy, which cannot carry a connection the server opens. Transfers are binary and stream through fixed buffers.
// Names and folders are refused before anything is sent when they hold a control character.
class FtpClient {
public:
    // Receives the client's connection events ("Connected to ...", "Disconnected from ...") as they happen.
    using StatusHandler = std::function<void(const std::string& text)>;

    FtpClient();
    // Ends an open session (QUIT) without calling the status handler.
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    void SetStatusHandler(StatusHandler handler);
    void SetTimeouts(const FtpTimeouts& timeouts);

    // Closes any open session, then connects (through the proxy, if any) and logs in.
    void Connect(const FtpLogin& login);
    // CWD with the folder as given, the empty one included; succeeds only on reply 250. A refused change leaves
    // the session open and logged in, in the folder it was in.
    void ChangeDir(const std::string& folder);
    // Sends a local file: appended to the remote file (created when missing) or stored anew.
    void Put(const std::string& localPath, const std::string& remoteName, bool append);
    // Receives a remote file. Without overwrite an existing local file (or anything else at that path) is an
    // error and stays untouched. The local file is created once the server sends the file, so a missing remote
    // file leaves nothing behind; an empty remote file gives an empty local file; a broken transfer removes the
    // partial local file. A download whose length is not the size the server gives for the file fails, too long
    // as well as too short.
    void Get(const std::string& remoteName, const std::string& localPath, bool overwrite);
    void Delete(const std::string& remoteName);
    // The names in the current folder that match the mask (shell wildcards, matched here: servers differ in
    // what NLST does with an argument), in the server's order.
    std::vector<std::string> List(const std::string& mask);

    // True while the session is open: a session that the server closed (an idle timeout, a restart) reads as
    // false at once.
    bool Connected();
    // Ends the session with QUIT when one is open. Never raises.
    void Disconnect();

    // Whether data connections are passive, as they are through a proxy.
    bool PassiveMode() const;

private:
    class Session;
    void Status(const std::string& text);
    // Sends a command on the control connection that succeeds only with reply 250; the refusal text is the
    // error's message when the server gave none.
    void CommandExpecting250(const std::string& command, const std::string& refusal);
    // Raises the failure of the session's last transfer; after a bound ran out or the program's end, the session
    // is dropped first, without a word to the server.
    [[noreturn]] void Fail(int curlCode);

    std::unique_ptr<Session> session_;
    StatusHandler statusHandler_;
    FtpTimeouts timeouts_;
};
