#include "core/net/CurlHandle.h"

#include "platform/TerminationSignals.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

namespace {

template <typename Owner, typename Make>
Owner MadeAfterGlobalInit(Make make) {
    EnsureCurlGlobalInit();
    Owner handle(make());
    if (!handle) {
        throw std::bad_alloc();
    }
    return handle;
}

} // namespace

CurlEasyPtr NewCurlEasy() {
    return MadeAfterGlobalInit<CurlEasyPtr>(curl_easy_init);
}

CurlMultiPtr NewCurlMulti() {
    return MadeAfterGlobalInit<CurlMultiPtr>(curl_multi_init);
}

CURLcode PerformOnMulti(CURLM* multi, CURL* easy, const std::function<long()>& millisecondsLeft) {
    curl_multi_remove_handle(multi, easy);
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_OUT_OF_MEMORY;
    }
    bool idleBefore = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            return CURLE_OUT_OF_MEMORY;
        }
        if (running == 0) {
            break;
        }
        const long left = millisecondsLeft ? millisecondsLeft() : -1;
        if (millisecondsLeft && left <= 0) {
            // Taken off before its end, the transfer's connection is closed as one whose state nobody knows.
            curl_multi_remove_handle(multi, easy);
            return CURLE_OPERATION_TIMEDOUT;
        }
        fd_set readable;
        fd_set writable;
        fd_set failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        int highest = -1;
        curl_multi_fdset(multi, &readable, &writable, &failed, &highest);
        long timeout = -1;
        curl_multi_timeout(multi, &timeout);
        if (highest < 0) {
            // Nothing to wait on: a step left for the next call. Should libcurl still have nothing after that one,
            // a short wait keeps this from spinning.
            if (!idleBefore) {
                idleBefore = true;
                continue;
            }
            timeout = timeout < 0 || timeout > 10 ? 10 : timeout;
        } else {
            idleBefore = false;
            for (int fd = 0; fd <= highest; ++fd) {
                if (FD_ISSET(fd, &readable)) {
                    // Sends the acknowledgement of what was read so far now; fails harmlessly on a socket that is
                    // not TCP.
                    const int on = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
                }
            }
            timeout = timeout < 0 || timeout > 1000 ? 1000 : timeout;
        }
        if (millisecondsLeft && left < timeout) {
            timeout = left;
        }
        if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout), nullptr) != CURLM_OK) {
            return CURLE_OUT_OF_MEMORY;
        }
    }
    CURLcode result = CURLE_FAILED_INIT;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
            result = message->data.result;
        }
    }
    return result;
}

long SetSecondLineBounds(CURL* easy, long connectSeconds, long replySeconds, long loginReplies) {
    constexpr long SecondLineSeconds = 5;
    const long reply = replySeconds + SecondLineSeconds;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectSeconds + loginReplies * replySeconds + SecondLineSeconds);
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, reply);
    return reply;
}

void WaitBound::Begin(long seconds) {
    seconds_ = seconds;
    since_ = Clock::now();
}

long WaitBound::MillisecondsLeft() noexcept {
    if (overdue_ || stopped_) {
        return 0;
    }
    if (TerminationRequested()) {
        stopped_ = true;
        return 0;
    }
    const auto waited = Clock::now() - since_;
    const long left =
        seconds_ * 1000 - static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    if (left <= 0) {
        RunOut(waited);
    }
    return left;
}

void WaitBound::RunOut(Clock::duration waited) noexcept {
    overdue_ = true;
    waited_ = waited;
}

long long WaitBound::WaitedSeconds() const {
    const auto waited = overdue_ ? waited_ : Clock::now() - since_;
    return std::chrono::duration_cast<std::chrono::seconds>(waited).count();
}

void CloseKeptConnection(CURL* easy, long replySeconds, bool sayQuit) noexcept {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
        return;
    }
    static const char kQuit[] = "QUIT\r\n";
    if (sayQuit && ::send(socket, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kQuit - 1)) {
        WaitBound bound;
        bound.Begin(replySeconds);
        std::string reply;
        // The reply's last line ("221 ..."), the server's close, or the bound's end.
        for (long left = bound.MillisecondsLeft(); left > 0; left = bound.MillisecondsLeft()) {
            pollfd ready{socket, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(std::min(left, 100L))) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(got));
            const std::size_t end = reply.rfind('\n');
            const std::size_t begin = end == std::string::npos ? end : reply.rfind('\n', end - 1);
            const std::size_t line = begin == std::string::npos ? 0 : begin + 1;
            if (end != std::string::npos && end - line >= 3 && reply[line + 3] != '-') {
                break;
            }
        }
    }
    ::shutdown(socket, SHUT_RDWR);
}

void AppendCurlSlist(CurlSlistPtr& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    (void)list.release();
    list.reset(grown);
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string UrlEscaped(const std::string& text) {
    // The handle argument has been unused since libcurl 7.82.
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr) {
        throw std::bad_alloc();
    }
    std::string out(escaped);
    curl_free(escaped);
    return out;
}

std::string HostShownBy(const std::string& url) {
    // "scheme://host:port/" as ServerUrl makes it.
    const std::size_t start = url.find("://");
    const std::size_t slash = start == std::string::npos ? std::string::npos : url.find('/', start + 3);
    const std::size_t colon = slash == std::string::npos ? std::string::npos : url.rfind(':', slash);
    if (colon == std::string::npos || colon < start + 3) {
        return {};
    }
    return url.substr(start + 3, colon - start - 3);
}

std::string ServerUrl(const std::string& scheme, const std::string& host, int port) {
    // libcurl refuses blanks, CR and LF in a host, but lets other control characters through.
    if (host.empty() || HasControlCharacter(host)) {
        return {};
    }
    CurlUrlPtr url(curl_url());
    if (!url) {
        throw std::bad_alloc();
    }
    // An IPv6 address is typed as it is; in a URL it stands in brackets.
    const bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
    const std::string bracketed = bare6 ? "[" + host + "]" : host;
    const std::string portText = std::to_string(port);
    // Any scheme: a proxy's (socks5h) is none that libcurl fetches from.
    if (curl_url_set(url.get(), CURLUPART_SCHEME, scheme.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_HOST, bracketed.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PORT, portText.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PATH, "/", 0) != CURLUE_OK) {
        return {};
    }
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || text == nullptr) {
        return {};
    }
    std::string result = text;
    curl_free(text);
    return result;
}
