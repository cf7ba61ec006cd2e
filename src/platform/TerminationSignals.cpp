#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
std::function<void()> terminationHandler;
// Written from the signal handler: only a lock-free atomic may be.
std::atomic<bool> terminationRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Only what is safe inside a signal handler: the flag, and one byte down the pipe for the event loop, which does
// the rest. The write must not block (a pipe full of unread bytes would hold the interrupted thread for good, and
// one byte waiting is as good as many), and must not leave its errno to the code it interrupted.
void OnSignal(int) {
    const int savedErrno = errno;
    terminationRequested.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::send(signalPipe[0], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = savedErrno;
}

} // namespace

void OnTerminationSignal(std::function<void()> handler) {
    terminationHandler = std::move(handler);
    if (signalPipe[0] >= 0) {
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        // Every byte waiting stands for the same request: one call answers them all.
        char bytes[64];
        while (::read(signalPipe[1], bytes, sizeof bytes) > 0) {
        }
        if (terminationHandler) {
            terminationHandler();
        }
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

bool TerminationRequested() {
    return terminationRequested.load();
}

void IgnoreFileSizeLimitSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGXFSZ, &action, nullptr);
}
