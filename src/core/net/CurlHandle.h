#pragma once

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>

// Owners of libcurl's C handles, so that no error path frees one by hand.
struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlMultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct CurlUrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Runs curl_global_init once per process before the first handle exists; libcurl wants that done before any
// thread uses it.
void EnsureCurlGlobalInit();

// A new easy handle; raises std::bad_alloc when libcurl cannot make one.
CurlEasyPtr NewCurlEasy();

// A new multi handle; raises std::bad_alloc when libcurl cannot make one. Its connection cache keeps the
// connections of the easy handles run on it after they are done.
CurlMultiPtr NewCurlMulti();

// Runs the easy handle's transfer to its end on the multi handle, which runs nothing else, and returns the
// transfer's result. The easy handle stays on the multi handle afterwards, so that CURLINFO_ACTIVESOCKET still
// names its connection; it is taken off and put back at the next call.
//
// This is curl_easy_perform without two waits of its loop. When a reply arrives so fast that libcurl handles it
// in the step that sent the command (an FTP passive-mode reply through a proxy, typically), libcurl 7.88 ends that
// step with a data connection set up but not begun and nothing to wait on, and curl_easy_perform sleeps its full
// second; here libcurl is run again at once. And a peer's reply is acknowledged at once rather than after the
// delayed-acknowledgement time: a relay that writes with Nagle's algorithm on (many SOCKS proxies) holds the next
// reply back until that acknowledgement comes, some 40 ms on Linux for every transfer.
//
// `millisecondsLeft`, when given, is asked after every step how long the transfer may still wait for what it waits
// for now; at zero or below the transfer is abandoned at once (taken off the multi handle, which closes its
// connection without a word to the peer) and CURLE_OPERATION_TIMEDOUT returned. libcurl bounds some waits only
// by the whole transfer's time, the connection of an FTP data connection through a proxy among them.
CURLcode PerformOnMulti(CURLM* multi, CURL* easy, const std::function<long()>& millisecondsLeft = {});

// Sets libcurl's own bounds as a second line a few seconds behind ours, so that the line that ends a wait is ours.
// libcurl counts the greeting and the login's replies (`loginReplies` of them) in its connect bound, where each reply
// after the greeting has the reply bound with us. Gives the reply bound it set, in seconds.
long SetSecondLineBounds(CURL* easy, long connectSeconds, long replySeconds, long loginReplies);

// The clock of a conversation's waits, one at a time, each with its own bound, and the end of the program: what
// PerformOnMulti and a progress callback ask between and inside libcurl's steps.
class WaitBound {
public:
    using Clock = std::chrono::steady_clock;
    // A new wait begins now, bounded by `seconds`.
    void Begin(long seconds);
    // How long the present wait may still last; zero or below once it ran out or the program is ending (a
    // termination signal came), and so from then on. Never raises.
    long MillisecondsLeft() noexcept;
    // Ends the present wait now as run out, `waited` after its begin.
    void RunOut(Clock::duration waited) noexcept;
    bool Overdue() const { return overdue_; }
    // A termination signal came: the conversation is to be given up at once, whatever it waits for.
    bool Stopped() const { return stopped_; }
    // Whole seconds the present wait had lasted when it ran out, or has lasted until now.
    long long WaitedSeconds() const;
    Clock::time_point Since() const { return since_; }

private:
    long seconds_ = 0;
    Clock::time_point since_ = Clock::now();
    bool overdue_ = false;
    bool stopped_ = false;
    Clock::duration waited_{};
};

// Ends the connection that libcurl keeps after a conversation. libcurl would say QUIT itself when the handle goes,
// and wait for the reply by a bound of its own, deaf to a termination signal; here the QUIT, when `sayQuit`, is sent
// and its reply awaited for at most `replySeconds`, the wait given up at once at a termination signal. The connection
// is then shut, so that libcurl's own QUIT fails at once. Never raises.
void CloseKeptConnection(CURL* easy, long replySeconds, bool sayQuit) noexcept;

// The line of a conversation given up for the program's end.
constexpr const char* kStoppedText = "The operation was stopped: the program is ending.";

// Runs the body of a libcurl callback. An exception must not cross libcurl's C frames: it is kept in `kept` (the
// first one counts) for the caller to raise once libcurl has returned, and the callback answers `failed`, the
// value that makes libcurl give the transfer up where there is one.
template <typename Result, typename Body>
Result GuardedCallback(std::exception_ptr& kept, Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        if (!kept) {
            kept = std::current_exception();
        }
        return failed;
    }
}

// Appends a line to a list, raising std::bad_alloc when libcurl cannot.
void AppendCurlSlist(CurlSlistPtr& list, const std::string& line);

// True when the text holds a byte below 0x20 or DEL. Such a text must never reach a command line of a text
// protocol: a CR LF inside a file name or an address would start a command of the caller's choosing.
bool HasControlCharacter(const std::string& text);

// The text percent-encoded as libcurl escapes it (every byte but the unreserved ones): for a name within a URL, and
// for CURLOPT_PROXYUSERNAME and CURLOPT_PROXYPASSWORD, which libcurl URL-decodes, so that the proxy gets the bytes
// as typed.
std::string UrlEscaped(const std::string& text);

// The host of a URL that ServerUrl made, as libcurl shows it in its own texts ("Could not resolve host: ..."): a
// "%" in it escaped.
std::string HostShownBy(const std::string& url);

// "scheme://host:port/", built and checked by libcurl's URL parser; an IPv6 address may come with or without its
// brackets. Empty when the host is no name or address that such a URL can carry: empty, holding a control
// character, a blank, or anything that would end the host part or put a user name before it.
std::string ServerUrl(const std::string& scheme, const std::string& host, int port);
