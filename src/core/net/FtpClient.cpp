#include "core/net/FtpClient.h"

#include "core/net/CurlHandle.h"
#include "platform/Convert.h"
#include "platform/TerminationSignals.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sizes measured against a loopback server: a larger download buffer means fewer callbacks; a larger upload
// buffer made uploads slower (the server reads in pieces of its own). libcurl allocates each once per transfer,
// so memory stays the same whatever the file size.
constexpr long kDownloadBufferSize = 512 * 1024;
constexpr long kUploadBufferSize = 64 * 1024;
// A name list beyond this is not a folder of backups; refusing it keeps memory bounded.
constexpr std::size_t kMaxListingBytes = 64u * 1024 * 1024;
// libcurl drops a connection idle for longer than its default of 118 s and would then log in afresh, in the
// login folder; the session must live as long as the server keeps it.
constexpr long kNeverExpire = 10L * 365 * 24 * 3600;
// A data phase slower than this on average over the stall bound is no transfer: a peer that sends a byte now and
// then would otherwise hold the program for as long as it likes.
constexpr curl_off_t kFloorBytesPerSecond = 16;
// The replies libcurl counts in its connect phase after the greeting: USER, PASS and PWD.
constexpr long kLoginReplies = 3;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// A file descriptor closed on every path.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Get() const { return fd_; }
    bool Open() const { return fd_ >= 0; }
    void Reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes now and reports the error of close itself, which for a written file can be the first sign of a
    // failed write (a full disk on a network file system).
    int Close() {
        int result = 0;
        if (fd_ >= 0) {
            result = ::close(fd_);
            fd_ = -1;
        }
        return result;
    }

private:
    int fd_ = -1;
};

void CheckName(const std::string& what, const std::string& name) {
    if (what == "file name" && name.empty()) {
        // An empty name would make the URL the folder itself: a download of the folder's listing.
        throw EFtpError("The file name is empty.");
    }
    if (HasControlCharacter(name)) {
        throw EFtpError("The " + what + " holds a control character and is not sent to the server.");
    }
}

// The number in a "213" reply to SIZE; -1 when it is not a plain decimal number.
curl_off_t ParseSize(const std::string& text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[start]))) {
        return -1;
    }
    curl_off_t size = -1;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + start, end, size);
    return error == std::errc() && stop == end ? size : -1;
}

// Connection events worth a status line: the ones a user reads to see where a connection went.
bool IsStatusText(const std::string& text) {
    static const char* const kPrefixes[] = {
        "Trying ", "Connected to ",   "Closing connection", "Failed to connect",
        "SOCKS",   "Connection died", "Connection from ",   "Could not resolve",
    };
    for (const char* prefix : kPrefixes) {
        if (text.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

// One libcurl easy handle: the open control connection lives in its connection cache between operations.
//
// Each operation is a sequence of waits, each with its own bound: the connection (with the proxy's handshake and
// the server's greeting), each reply, the opening of a passive data connection (with its own proxy handshake), and
// the data itself. The bounds are this client's own, watched while libcurl runs: libcurl's timeouts do not reach
// the data connection through a proxy, and at the end of a transfer libcurl waits a minute of its own for the reply.
class FtpClient::Session {
public:
    enum class Use { Login, Existing };

    Session(const FtpLogin& login, const FtpTimeouts& timeouts, const StatusHandler* status)
        : login_(login), timeouts_(timeouts), status_(status), multi_(NewCurlMulti()), easy_(NewCurlEasy()) {
        // The logged-in control connection is the one connection worth keeping.
        curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, 1L);
        if (login.port < 1 || login.port > 65535) {
            throw EFtpError("Invalid port " + std::to_string(login.port) + ".");
        }
        baseUrl_ = ServerUrl("ftp", login.host, login.port);
        if (baseUrl_.empty()) {
            throw EFtpError("Invalid host name \"" + ShowControlCharacters(login.host) + "\".");
        }
        shownHosts_.emplace_back(HostShownBy(baseUrl_), login.host);
        if (HasControlCharacter(login.user) || HasControlCharacter(login.password)) {
            throw EFtpError("The user name or password holds a control character and is not sent to the server.");
        }
        if (login.proxy.kind != SocksKind::None) {
            if (login.proxy.port < 1 || login.proxy.port > 65535) {
                throw EFtpError("Invalid proxy port " + std::to_string(login.proxy.port) + ".");
            }
            // SOCKS5 with the host name resolved by the proxy.
            const char* scheme = login.proxy.kind == SocksKind::Socks4    ? "socks4"
                                 : login.proxy.kind == SocksKind::Socks4a ? "socks4a"
                                                                          : "socks5h";
            proxyUrl_ = ServerUrl(scheme, login.proxy.host, login.proxy.port);
            if (proxyUrl_.empty()) {
                throw EFtpError("Invalid proxy host name \"" + ShowControlCharacters(login.proxy.host) + "\".");
            }
            shownHosts_.emplace_back(HostShownBy(proxyUrl_), login.proxy.host);
        }
    }

    // A session given up (a bound ran out, the program is ending) ends without a word to the server; any other
    // says QUIT and waits for the reply by the reply bound, or until a termination signal.
    ~Session() { CloseKeptConnection(easy_.get(), timeouts_.responseSeconds, !abandoned_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Abandon() { abandoned_ = true; }

    CURL* Handle() { return easy_.get(); }
    std::string Peer() const { return login_.host + " port " + std::to_string(login_.port); }
    bool Passive() const { return login_.proxy.kind != SocksKind::None; }

    // Resets the handle to the options every operation shares; `path` is a name in the current folder.
    void Prepare(Use use, const std::string& path) {
        CURL* h = easy_.get();
        controlSocket_ = CURL_SOCKET_BAD;
        if (use == Use::Existing) {
            curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &controlSocket_);
        }
        curl_multi_remove_handle(multi_.get(), h);
        curl_easy_reset(h);
        use_ = use;
        reused_ = false;
        sessionLost_ = false;
        lastReply_.clear();
        lastReplyCode_ = 0;
        localError_.clear();
        callbackError_ = nullptr;
        errorBuffer_[0] = '\0';
        errorNoted_ = false;
        errorStale_ = false;
        command_.clear();
        announcedSize_ = -1;
        expected_ = -1;
        moved_ = 0;
        accepted_ = false;
        slow_ = false;
        bound_ = WaitBound();
        Await(Wait::Connecting);

        std::string url = baseUrl_;
        if (!path.empty()) {
            url += UrlEscaped(path);
        }
        Set(CURLOPT_URL, url.c_str());
        Set(CURLOPT_PROTOCOLS_STR, "ftp");
        if (!login_.user.empty()) {
            Set(CURLOPT_USERNAME, login_.user.c_str());
            Set(CURLOPT_PASSWORD, login_.password.c_str());
        }
        if (proxyUrl_.empty()) {
            // An empty proxy also keeps libcurl from taking one from the environment.
            Set(CURLOPT_PROXY, "");
            // Active mode, on the address of the control connection.
            Set(CURLOPT_FTPPORT, "-");
        } else {
            Set(CURLOPT_PROXY, proxyUrl_.c_str());
            if (login_.proxy.authenticate) {
                Set(CURLOPT_PROXYUSERNAME, UrlEscaped(login_.proxy.user).c_str());
                Set(CURLOPT_PROXYPASSWORD, UrlEscaped(login_.proxy.password).c_str());
            }
            // The data connection goes through the proxy too; the address in the server's PASV reply may be
            // one only the server's side can reach, the host we asked the proxy for is the one it reaches.
            Set(CURLOPT_FTP_SKIP_PASV_IP, 1L);
        }
        // Names are sent as given, relative to the folder the session is in; any other method walks folders.
        Set(CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
        Set(CURLOPT_MAXCONNECTS, 1L);
        Set(CURLOPT_MAXAGE_CONN, kNeverExpire);
        // libcurl's own bounds stay as a second line behind ours.
        const long secondLine =
            SetSecondLineBounds(easy_.get(), timeouts_.connectSeconds, timeouts_.responseSeconds, kLoginReplies);
        Set(CURLOPT_ACCEPTTIMEOUT_MS, secondLine * 1000);
        // A name lookup that hangs is left to end on its own rather than waited for when the operation gives up.
        Set(CURLOPT_QUICK_EXIT, 1L);
        Set(CURLOPT_NOPROGRESS, 0L);
        Set(CURLOPT_XFERINFOFUNCTION, &Session::OnProgress);
        Set(CURLOPT_XFERINFODATA, this);
        Set(CURLOPT_NOSIGNAL, 1L);
        Set(CURLOPT_TCP_KEEPALIVE, 1L);
        Set(CURLOPT_BUFFERSIZE, kDownloadBufferSize);
        Set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        Set(CURLOPT_ERRORBUFFER, errorBuffer_);
        Set(CURLOPT_VERBOSE, 1L);
        Set(CURLOPT_DEBUGFUNCTION, &Session::OnDebug);
        Set(CURLOPT_DEBUGDATA, this);
        Set(CURLOPT_OPENSOCKETFUNCTION, &Session::OnOpenSocket);
        Set(CURLOPT_OPENSOCKETDATA, this);
        Set(CURLOPT_SOCKOPTFUNCTION, &Session::OnSocketOptions);
        Set(CURLOPT_SOCKOPTDATA, this);
    }

    template <typename T>
    void Set(CURLoption option, T value) {
        const CURLcode code = curl_easy_setopt(easy_.get(), option, value);
        if (code != CURLE_OK) {
            throw EFtpError(std::string("Cannot set up the transfer: ") + curl_easy_strerror(code), code);
        }
    }

    // The number of bytes the transfer is to move, where known; once they have moved, what follows is the wait for
    // the server's reply.
    void ExpectBytes(curl_off_t bytes) { expected_ = bytes; }

    CURLcode Perform() {
        if (bound_.MillisecondsLeft() <= 0) {
            // The program is ending: nothing more goes to the server, no new login either.
            return CURLE_ABORTED_BY_CALLBACK;
        }
        const CURLcode code = PerformOnMulti(multi_.get(), easy_.get(), [this] { return MillisecondsLeft(); });
        // Whatever a failed callback left out, the operation cannot be trusted to have done what it should.
        return code == CURLE_OK && callbackError_ ? CURLE_ABORTED_BY_CALLBACK : code;
    }

    // The failure of the last Perform, in the words that best tell the user what happened: our own finding, the
    // bound that ran out, the server's refusal, else what broke on the wire. An exception that a callback kept is
    // raised here.
    EFtpError Failure(CURLcode code) const {
        if (callbackError_) {
            std::rethrow_exception(callbackError_);
        }
        if (!localError_.empty()) {
            return EFtpError(localError_, code, 0);
        }
        if (bound_.Stopped()) {
            return EFtpError(kStoppedText, code, 0);
        }
        if (sessionLost_) {
            return EFtpError("The server closed the session.", code, 0);
        }
        if (TimedOut(code)) {
            return EFtpError(TimeoutLine(), code, 0);
        }
        if (lastReplyCode_ >= 400) {
            return EFtpError(lastReply_, code, lastReplyCode_);
        }
        return EFtpError(Cause(code), code, 0);
    }

    // Whether the last Perform ended on a bound or for the program's end: the session, with the server's part of
    // the conversation unknown, is to be given up.
    bool TimedOutOrStopped(CURLcode code) const { return bound_.Stopped() || TimedOut(code); }

    // Where the transfer callbacks keep an exception for Failure.
    std::exception_ptr& CallbackError() { return callbackError_; }

    // The size the server gave in reply to a SIZE command of the last Perform; -1 when it gave none.
    curl_off_t AnnouncedSize() const { return announcedSize_; }

    // The reply to the last command of the last Perform.
    long LastReplyCode() const { return lastReplyCode_; }
    const std::string& LastReply() const { return lastReply_; }
    void SetLocalError(std::string text) {
        if (localError_.empty()) {
            localError_ = std::move(text);
        }
    }

private:
    // What the operation waits for.
    enum class Wait { Connecting, Reply, DataConnection, ServerConnect, Data };

    bool TimedOut(CURLcode code) const {
        return bound_.Overdue() || code == CURLE_OPERATION_TIMEDOUT || code == CURLE_FTP_ACCEPT_TIMEOUT;
    }

    void Await(Wait wait) {
        if (wait == Wait::Data && wait_ != Wait::Data) {
            // The data phase begins: its speed is measured from here.
            speed_.clear();
            speed_.emplace_back(WaitBound::Clock::now(), moved_);
        }
        wait_ = wait;
        bound_.Begin(BoundSeconds());
    }

    // Once the server has answered the command that opens a transfer, or connected to our data port: the data, or
    // the final reply when every byte has moved already.
    void AwaitDataOrReply() { Await(expected_ >= 0 && moved_ >= expected_ ? Wait::Reply : Wait::Data); }

    long BoundSeconds() const {
        switch (wait_) {
        case Wait::Connecting:
        case Wait::DataConnection:
            return timeouts_.connectSeconds;
        case Wait::Reply:
        case Wait::ServerConnect:
            return timeouts_.responseSeconds;
        case Wait::Data:
            break;
        }
        return timeouts_.stallSeconds;
    }

    // How long the present wait may still last; at zero the operation is given up, as it is at once when a callback
    // failed or the program is ending. Never raises: it runs between libcurl's steps.
    long MillisecondsLeft() noexcept {
        if (callbackError_) {
            return 0;
        }
        if (wait_ == Wait::Data && bound_.MillisecondsLeft() > 0 && TooSlow()) {
            return 0;
        }
        return bound_.MillisecondsLeft();
    }

    // The speed floor of the data phase: fewer than kFloorBytesPerSecond on average over the stall bound, counted
    // over the last stall bound's length at a resolution of a second.
    bool TooSlow() noexcept {
        const auto now = WaitBound::Clock::now();
        const auto window = std::chrono::seconds(timeouts_.stallSeconds);
        if (now - speed_.back().first >= std::chrono::seconds(1)) {
            speed_.emplace_back(now, moved_);
        }
        // The oldest sample kept is the newest one at least a window old.
        while (speed_.size() >= 2 && now - speed_[1].first >= window) {
            speed_.pop_front();
        }
        const auto [since, movedThen] = speed_.front();
        if (now - since < window || moved_ - movedThen >= kFloorBytesPerSecond * timeouts_.stallSeconds) {
            return false;
        }
        slow_ = true;
        bound_.RunOut(now - since);
        return true;
    }

    // "Timed out after N s <what was awaited>.", N the whole seconds this wait has really lasted.
    std::string TimeoutLine() const {
        const long long seconds = bound_.WaitedSeconds();
        if (slow_) {
            return "Timed out after " + std::to_string(seconds) + " s: the transfer moved fewer than " +
                   std::to_string(kFloorBytesPerSecond * seconds) + " bytes in " + std::to_string(seconds) + " s.";
        }
        const std::string through = Passive() ? " through the proxy" : "";
        std::string what;
        switch (wait_) {
        case Wait::Connecting:
            what = "connecting to " + Peer() + through;
            break;
        case Wait::Reply:
            what = "waiting for the server's reply to " + command_;
            break;
        case Wait::DataConnection:
            what = "opening the data connection" + through;
            break;
        case Wait::ServerConnect:
            what = "waiting for the server to connect to the client's data port (active mode)";
            break;
        case Wait::Data:
            what = "without data moving: the transfer stalled";
            break;
        }
        return "Timed out after " + std::to_string(seconds) + " s " + what + ".";
    }

    std::string Cause(CURLcode code) const {
        switch (code) {
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
            return std::string("Connection lost: ") + curl_easy_strerror(code) + ".";
        case CURLE_PARTIAL_FILE:
            return "Partial file: the transfer ended early.";
        default:
            break;
        }
        // libcurl keeps the first failure it reports in the error buffer and never overwrites it; a report it makes
        // on the way of a transfer that then goes on (7.88 makes one on every active-mode data connection) is no
        // cause.
        if (errorBuffer_[0] != '\0' && !errorStale_) {
            return AsTyped(errorBuffer_);
        }
        return curl_easy_strerror(code);
    }

    // libcurl's text with each host as the user typed it: libcurl shows a host in its URL form, a "%" in it
    // escaped.
    std::string AsTyped(std::string text) const {
        for (const auto& [shown, typed] : shownHosts_) {
            if (shown.empty() || shown == typed || shown == "[" + typed + "]") {
                continue;
            }
            for (std::size_t at = text.find(shown); at != std::string::npos; at = text.find(shown, at + typed.size())) {
                text.replace(at, shown.size(), typed);
            }
        }
        return text;
    }

    // Called by libcurl at every step, and once a second while it waits inside a step of its own (the reply at the
    // end of a transfer): there, giving up means shutting the control connection down, so that the session, which
    // now has a reply on its way, is not taken for an open one.
    static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
        auto* self = static_cast<Session*>(user);
        if (self->MillisecondsLeft() > 0) {
            return 0;
        }
        self->Abandon();
        if (self->controlSocket_ != CURL_SOCKET_BAD) {
            ::shutdown(self->controlSocket_, SHUT_RDWR);
        }
        return 1;
    }

    static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) noexcept {
        auto* self = static_cast<Session*>(user);
        // A debug callback must answer 0; a failure here ends the operation at the next check of its bounds.
        return GuardedCallback(self->callbackError_, 0, [&] {
            self->Note(type, data, size);
            return 0;
        });
    }

    // Follows the conversation: the waits it goes through, the replies, and the connection events worth a line.
    void Note(curl_infotype type, const char* data, size_t size) {
        if (type == CURLINFO_TEXT && errorBuffer_[0] != '\0') {
            // libcurl writes the error buffer just before it reports the same text here.
            errorNoted_ = true;
        } else if (type != CURLINFO_TEXT) {
            errorStale_ = errorNoted_;
        }
        if (type == CURLINFO_DATA_IN || type == CURLINFO_DATA_OUT) {
            moved_ += static_cast<curl_off_t>(size);
            // Once all of it has moved, the server is to end the transfer and reply.
            AwaitDataOrReply();
            return;
        }
        if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) {
            return;
        }
        std::string text(data, size);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (type == CURLINFO_HEADER_OUT) {
            command_ = text.substr(0, text.find(' '));
            lastReply_.clear();
            lastReplyCode_ = 0;
            Await(Wait::Reply);
        } else if (type == CURLINFO_TEXT) {
            text.erase(0, text.find_first_not_of(' '));
            if (text.rfind("Re-using existing connection", 0) == 0) {
                reused_ = true;
            }
            if (wait_ == Wait::Data && text.rfind("Remembering we are in dir", 0) == 0) {
                // libcurl says this as it ends a transfer whose data is over, before it reads the final reply.
                Await(Wait::Reply);
            }
            if (IsStatusText(text) && status_ != nullptr && *status_) {
                try {
                    (*status_)(AsTyped(text));
                } catch (...) {
                    // A status line that cannot be shown must not break the transfer.
                }
            }
        } else if (text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                   std::isdigit(static_cast<unsigned char>(text[1])) &&
                   std::isdigit(static_cast<unsigned char>(text[2])) && (text.size() == 3 || text[3] == ' ')) {
            // Each reply line arrives whole; a line "NNN text" ends a reply, "NNN-text" continues one.
            lastReply_ = text;
            lastReplyCode_ = std::stol(text.substr(0, 3));
            if (lastReplyCode_ < 200) {
                // A preliminary reply opens the transfer on the data connection, which in active mode the server
                // is yet to connect to our port.
                if (!Passive() && !accepted_) {
                    Await(Wait::ServerConnect);
                } else {
                    AwaitDataOrReply();
                }
            } else if ((command_ == "EPSV" && lastReplyCode_ == 229) || (command_ == "PASV" && lastReplyCode_ == 227)) {
                // libcurl now connects to the port the server named (through the proxy) before its next command.
                Await(Wait::DataConnection);
            }
            if (command_ == "SIZE" && lastReplyCode_ == 213) {
                announcedSize_ = ParseSize(text.substr(3));
                if (expected_ < 0) {
                    expected_ = announcedSize_;
                }
            }
        }
    }

    // A transfer on an open session may open data connections only. Should libcurl find the control connection
    // gone and go to open a new one, it would log in again in the login folder and run the command there: that
    // socket is refused, and the operation fails as a lost session.
    static curl_socket_t OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address) noexcept {
        auto* self = static_cast<Session*>(user);
        if (self->use_ == Use::Existing && !self->reused_) {
            self->sessionLost_ = true;
            return CURL_SOCKET_BAD;
        }
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }

    // The server's connection to our data port in active mode.
    static int OnSocketOptions(void* user, curl_socket_t, curlsocktype purpose) noexcept {
        auto* self = static_cast<Session*>(user);
        if (purpose == CURLSOCKTYPE_ACCEPT) {
            self->accepted_ = true;
            if (self->wait_ == Wait::ServerConnect) {
                self->AwaitDataOrReply();
            }
        }
        return CURL_SOCKOPT_OK;
    }

    FtpLogin login_;
    FtpTimeouts timeouts_;
    const StatusHandler* status_;
    std::string baseUrl_;
    std::string proxyUrl_;
    // The multi handle's connection cache holds the session between operations; it goes after the easy handle,
    // closing the session with QUIT.
    CurlMultiPtr multi_;
    CurlEasyPtr easy_;

    Use use_ = Use::Login;
    curl_socket_t controlSocket_ = CURL_SOCKET_BAD;
    bool reused_ = false;
    bool sessionLost_ = false;
    std::string lastReply_;
    long lastReplyCode_ = 0;
    std::string localError_;
    std::exception_ptr callbackError_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    // libcurl has written the error buffer; the transfer went on afterwards.
    bool errorNoted_ = false;
    bool errorStale_ = false;
    // The last command sent.
    std::string command_;
    curl_off_t announcedSize_ = -1;
    curl_off_t expected_ = -1;
    curl_off_t moved_ = 0;
    Wait wait_ = Wait::Connecting;
    WaitBound bound_;
    // Samples of the bytes moved in the data phase, a second apart, back to the stall bound's length.
    std::deque<std::pair<WaitBound::Clock::time_point, curl_off_t>> speed_;
    // The data phase fell below the speed floor.
    bool slow_ = false;
    // In active mode: the server has connected to our data port.
    bool accepted_ = false;
    bool abandoned_ = false;
    // Each host as libcurl shows it, and as it was typed.
    std::vector<std::pair<std::string, std::string>> shownHosts_;
};

FtpClient::FtpClient() {
    EnsureCurlGlobalInit();
}

// Closes the session without a status line: whatever the handler reports to may be gone already.
FtpClient::~FtpClient() = default;

void FtpClient::SetStatusHandler(StatusHandler handler) {
    statusHandler_ = std::move(handler);
}

void FtpClient::SetTimeouts(const FtpTimeouts& timeouts) {
    timeouts_ = timeouts;
}

bool FtpClient::PassiveMode() const {
    return session_ && session_->Passive();
}

void FtpClient::Connect(const FtpLogin& login) {
    Disconnect();
    auto session = std::make_unique<Session>(login, timeouts_, &statusHandler_);
    session->Prepare(Session::Use::Login, "");
    session->Set(CURLOPT_NOBODY, 1L);
    const CURLcode code = session->Perform();
    if (code != CURLE_OK) {
        // A login that failed leaves nothing worth a QUIT.
        session->Abandon();
        throw session->Failure(code);
    }
    session_ = std::move(session);
}

bool FtpClient::Connected() {
    if (!session_) {
        return false;
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(session_->Handle(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
        socket != CURL_SOCKET_BAD) {
        // Between commands the server has nothing to say; anything readable is its "421" farewell or the end of
        // the connection.
        pollfd entry{socket, POLLIN, 0};
        if (::poll(&entry, 1, 0) == 0) {
            return true;
        }
    }
    const std::string peer = session_->Peer();
    session_.reset();
    Status("Connection to " + peer + " lost");
    return false;
}

void FtpClient::Disconnect() {
    if (!session_) {
        return;
    }
    if (TerminationRequested()) {
        // No wait for the reply to QUIT either when the program is ending.
        session_->Abandon();
    }
    const std::string peer = session_->Peer();
    // Ending the handle sends QUIT on an open control connection and closes it; libcurl reports nothing then.
    session_.reset();
    Status("Disconnected from " + peer);
}

void FtpClient::Fail(int curlCode) {
    const auto code = static_cast<CURLcode>(curlCode);
    const EFtpError error = session_->Failure(code);
    if (session_->TimedOutOrStopped(code)) {
        // The server may still answer what was given up: the session is no longer in step, and goes.
        const std::string peer = session_->Peer();
        session_->Abandon();
        session_.reset();
        Status("Connection to " + peer + " dropped");
    }
    throw error;
}

void FtpClient::Status(const std::string& text) {
    if (statusHandler_) {
        try {
            statusHandler_(text);
        } catch (...) {
            // Ending a session never fails for want of a status line.
        }
    }
}

void FtpClient::ChangeDir(const std::string& folder) {
    CheckName("folder name", folder);
    CommandExpecting250("CWD " + folder, "The server did not change the folder.");
}

void FtpClient::Delete(const std::string& remoteName) {
    CheckName("file name", remoteName);
    CommandExpecting250("DELE " + remoteName, "The server did not delete the file.");
}

void FtpClient::CommandExpecting250(const std::string& command, const std::string& refusal) {
    if (!Connected()) {
        throw EFtpError("Not connected.");
    }
    CurlSlistPtr quote;
    // "*" keeps the session when the server refuses the command; the reply code decides.
    AppendCurlSlist(quote, "*" + command);
    session_->Prepare(Session::Use::Existing, "");
    session_->Set(CURLOPT_NOBODY, 1L);
    session_->Set(CURLOPT_QUOTE, quote.get());
    const CURLcode code = session_->Perform();
    if (code != CURLE_OK) {
        Fail(code);
    }
    if (session_->LastReplyCode() != 250) {
        throw EFtpError(session_->LastReply().empty() ? refusal : session_->LastReply(), 0, session_->LastReplyCode());
    }
}

namespace {

// What the transfer callbacks share: a failure of ours, and where an exception waits for the caller.
struct CallbackSink {
    std::string error;
    std::exception_ptr* kept = nullptr;
};

struct UploadSource : CallbackSink {
    int fd = -1;
    const std::string* path = nullptr;
};

struct DownloadTarget : CallbackSink {
    const std::string* path = nullptr;
    bool overwrite = false;
    FileHandle file;
    bool created = false;

    bool OpenFile() {
        // The local name is the program's own work file or the user's choice: a link found there in its place was
        // put there by someone else, and is refused rather than written through.
        int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
        if (!overwrite) {
            // Refuses a file that appeared since the check before the transfer.
            flags |= O_EXCL;
        }
        const int fd = ::open(path->c_str(), flags, 0666);
        if (fd < 0) {
            const int failure = errno;
            error = failure == EEXIST ? "The local file \"" + *path + "\" already exists."
                                      : "Cannot create \"" + *path + "\": " + ErrnoText(failure);
            return false;
        }
        file.Reset(fd);
        created = true;
        return true;
    }
};

struct ListingSink : CallbackSink {
    std::string text;
};

} // namespace

void FtpClient::Put(const std::string& localPath, const std::string& remoteName, bool append) {
    CheckName("file name", remoteName);
    if (!Connected()) {
        throw EFtpError("Not connected.");
    }
    // Only the program's own volumes and lists are sent: a link in the place of one was swapped in by someone else,
    // who would have another file sent.
    FileHandle file(::open(localPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.Open()) {
        throw EFtpError("Cannot open \"" + localPath + "\": " + ErrnoText(errno));
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw EFtpError("\"" + localPath + "\" is not a file.");
    }

    session_->Prepare(Session::Use::Existing, remoteName);
    UploadSource source;
    source.kept = &session_->CallbackError();
    source.fd = file.Get();
    source.path = &localPath;
    auto read = [](char* buffer, size_t size, size_t count, void* user) noexcept -> size_t {
        auto* src = static_cast<UploadSource*>(user);
        return GuardedCallback(*src->kept, static_cast<size_t>(CURL_READFUNC_ABORT), [&]() -> size_t {
            for (;;) {
                const ssize_t got = ::read(src->fd, buffer, size * count);
                if (got >= 0) {
                    return static_cast<size_t>(got);
                }
                if (errno != EINTR) {
                    src->error = "Cannot read \"" + *src->path + "\": " + ErrnoText(errno);
                    return CURL_READFUNC_ABORT;
                }
            }
        });
    };
    session_->ExpectBytes(static_cast<curl_off_t>(info.st_size));
    session_->Set(CURLOPT_UPLOAD, 1L);
    session_->Set(CURLOPT_APPEND, append ? 1L : 0L);
    session_->Set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(info.st_size));
    session_->Set(CURLOPT_READFUNCTION, static_cast<curl_read_callback>(read));
    session_->Set(CURLOPT_READDATA, &source);
    const CURLcode code = session_->Perform();
    if (!source.error.empty()) {
        session_->SetLocalError(source.error);
    }
    if (code != CURLE_OK) {
        Fail(code);
    }
    curl_off_t sent = 0;
    curl_easy_getinfo(session_->Handle(), CURLINFO_SIZE_UPLOAD_T, &sent);
    if (sent != static_cast<curl_off_t>(info.st_size)) {
        // The file changed size while it was sent: what the server holds is not the file.
        throw EFtpError("\"" + localPath + "\" changed while it was sent.");
    }
}

void FtpClient::Get(const std::string& remoteName, const std::string& localPath, bool overwrite) {
    CheckName("file name", remoteName);
    if (!Connected()) {
        throw EFtpError("Not connected.");
    }
    struct stat info {};
    if (::lstat(localPath.c_str(), &info) == 0) {
        if (!overwrite) {
            throw EFtpError("The local file \"" + localPath + "\" already exists.");
        }
        if (S_ISDIR(info.st_mode)) {
            throw EFtpError("\"" + localPath + "\" is a folder.");
        }
    }
    // A local file that cannot be made is found out now: failing once the data flows would cost the session.
    const std::size_t slash = localPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : localPath.substr(0, slash);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw EFtpError("Cannot create \"" + localPath + "\": the folder does not exist.");
    }

    // libcurl would stop reading at the size the server gives and call a file that is longer than that complete.
    // The size is asked for here instead ("*": a server without SIZE is no failure), the data is read to its end,
    // and the two must agree.
    CurlSlistPtr sizeQuery;
    AppendCurlSlist(sizeQuery, "*SIZE " + remoteName);
    session_->Prepare(Session::Use::Existing, remoteName);
    DownloadTarget target;
    target.kept = &session_->CallbackError();
    target.path = &localPath;
    target.overwrite = overwrite;
    auto write = [](char* data, size_t size, size_t count, void* user) noexcept -> size_t {
        auto* t = static_cast<DownloadTarget*>(user);
        return GuardedCallback(*t->kept, size_t{0}, [&]() -> size_t {
            const size_t total = size * count;
            if (!t->file.Open() && !t->OpenFile()) {
                return 0;
            }
            size_t done = 0;
            while (done < total) {
                const ssize_t put = ::write(t->file.Get(), data + done, total - done);
                if (put < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    t->error = "Cannot write \"" + *t->path + "\": " + ErrnoText(errno);
                    return 0;
                }
                done += static_cast<size_t>(put);
            }
            return total;
        });
    };
    session_->Set(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    session_->Set(CURLOPT_PREQUOTE, sizeQuery.get());
    session_->Set(CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(write));
    session_->Set(CURLOPT_WRITEDATA, &target);
    CURLcode code = session_->Perform();
    curl_off_t received = 0;
    curl_easy_getinfo(session_->Handle(), CURLINFO_SIZE_DOWNLOAD_T, &received);
    const curl_off_t announced = session_->AnnouncedSize();
    if (code == CURLE_OK && announced >= 0 && received != announced) {
        session_->SetLocalError(received < announced
                                    ? "Partial file: received " + std::to_string(received) + " of the " +
                                          std::to_string(announced) + " bytes the server announced."
                                    : "The server sent " + std::to_string(received) + " bytes where it announced " +
                                          std::to_string(announced) + ".");
        code = CURLE_PARTIAL_FILE;
    }
    if (code == CURLE_OK && !target.file.Open() && !target.OpenFile()) {
        // An empty remote file sent no bytes; its local copy is an empty file all the same.
        code = CURLE_WRITE_ERROR;
    }
    if (code == CURLE_OK && target.file.Close() != 0) {
        session_->SetLocalError("Cannot write \"" + localPath + "\": " + ErrnoText(errno));
        code = CURLE_WRITE_ERROR;
    }
    if (!target.error.empty()) {
        session_->SetLocalError(target.error);
    }
    if (code != CURLE_OK) {
        target.file.Close();
        if (target.created) {
            // Half a file under the wanted name would pass for the whole one.
            ::unlink(localPath.c_str());
        }
        Fail(code);
    }
}

std::vector<std::string> FtpClient::List(const std::string& mask) {
    CheckName("mask", mask);
    if (!Connected()) {
        throw EFtpError("Not connected.");
    }
    session_->Prepare(Session::Use::Existing, "");
    ListingSink sink;
    sink.kept = &session_->CallbackError();
    auto write = [](char* data, size_t size, size_t count, void* user) noexcept -> size_t {
        auto* s = static_cast<ListingSink*>(user);
        return GuardedCallback(*s->kept, size_t{0}, [&]() -> size_t {
            const size_t total = size * count;
            if (s->text.size() + total > kMaxListingBytes) {
                s->error = "The server's name list is too long.";
                return 0;
            }
            s->text.append(data, total);
            return total;
        });
    };
    session_->Set(CURLOPT_DIRLISTONLY, 1L);
    session_->Set(CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(write));
    session_->Set(CURLOPT_WRITEDATA, &sink);
    const CURLcode code = session_->Perform();
    if (!sink.error.empty()) {
        session_->SetLocalError(sink.error);
    }
    if (code != CURLE_OK) {
        Fail(code);
    }

    const std::string pattern = mask.empty() ? "*" : mask;
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < sink.text.size()) {
        std::size_t end = sink.text.find('\n', start);
        if (end == std::string::npos) {
            end = sink.text.size();
        }
        std::string name = sink.text.substr(start, end - start);
        if (!name.empty() && name.back() == '\r') {
            name.pop_back();
        }
        if (!name.empty() && ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) {
            names.push_back(std::move(name));
        }
        start = end + 1;
    }
    return names;
}
