#include "core/net/CurlHandle.h"

#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
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

CURLcode PerformOnMulti(CURLM* multi, CURL* easy) {
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
        if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout), nullptr) != CURLM_OK) {
            return CURLE_OUT_OF_MEMORY;
        }
    }
    CURLcode result = CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
            result = message->data.result;
        }
    }
    return result;
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

std::string UrlHost(const std::string& host) {
    if (host.empty() || HasControlCharacter(host)) {
        return {};
    }
    for (unsigned char c : host) {
        // Anything that would end the host part of a URL or smuggle a user name into it.
        if (c == ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' || c == '%') {
            return {};
        }
    }
    if (host.find(':') != std::string::npos) {
        if (host.front() == '[' && host.back() == ']') {
            return host;
        }
        if (host.find_first_of("[]") != std::string::npos) {
            return {};
        }
        return "[" + host + "]";
    }
    if (host.find_first_of("[]") != std::string::npos) {
        return {};
    }
    return host;
}
