#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

// Owners of libcurl's C handles, so that no error path frees one by hand.
struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Runs curl_global_init once per process before the first handle exists; libcurl wants that done before any
// thread uses it.
void EnsureCurlGlobalInit();

// A new easy handle; raises std::bad_alloc when libcurl cannot make one.
CurlEasyPtr NewCurlEasy();

// Appends a line to a list, raising std::bad_alloc when libcurl cannot.
void AppendCurlSlist(CurlSlistPtr& list, const std::string& line);

// True when the text holds a byte below 0x20 or DEL. Such a text must never reach a command line of a text
// protocol: a CR LF inside a file name or an address would start a command of the caller's choosing.
bool HasControlCharacter(const std::string& text);

// The host part of a URL: IPv6 literals in brackets. Empty when the host is not usable in a URL at all.
std::string UrlHost(const std::string& host);
