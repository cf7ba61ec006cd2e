#include "core/net/CurlHandle.h"

#include <mutex>
#include <new>

void EnsureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlEasyPtr NewCurlEasy() {
    EnsureCurlGlobalInit();
    CurlEasyPtr handle(curl_easy_init());
    if (!handle) {
        throw std::bad_alloc();
    }
    return handle;
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
