#include "WindowRegistry.h"

#include "Paths.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Wire format, little-endian: a notice is magic, sender (8), tag (4), data length (4), data; the answer is magic
// and the handler's result (8). The magic words keep a stray peer from being taken for one of ours.
constexpr char NoticeMagic[4] = {'C', 'V', 'N', '1'};
constexpr char AnswerMagic[4] = {'C', 'V', 'A', '1'};
constexpr std::size_t NoticeHeaderSize = 20;
constexpr std::size_t AnswerSize = 12;
// A connection that never completes its notice is dropped after this long, so it cannot pile up in the owner.
constexpr int StalledConnectionMs = 10000;

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void PutU64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::uint64_t GetLE(const char* bytes, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
    }
    return value;
}

// "<class>-<digest>." : the class in readable form for whoever lists the folder, the digest of class and caption
// so that any caption gives a short, safe file name and different windows never share a name.
std::string EntryPrefix(const std::string& className, const std::string& caption) {
    std::string readable;
    for (char c : className) {
        if (readable.size() == 32) {
            break;
        }
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        readable.push_back(plain ? c : '_');
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(className.data(), static_cast<qsizetype>(className.size())));
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(QByteArrayView(caption.data(), static_cast<qsizetype>(caption.size())));
    return readable + "-" + hash.result().toHex().left(24).toStdString() + ".";
}

// The process id that an entry's name carries after the prefix ("<pid>.<serial>"), or -1.
pid_t EntryProcess(const std::string& name, const std::string& prefix) {
    const std::string rest = name.substr(prefix.size());
    const auto dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos) {
        return -1;
    }
    pid_t pid = 0;
    for (std::size_t i = 0; i < dot; ++i) {
        if (rest[i] < '0' || rest[i] > '9' || pid > 100000000) {
            return -1;
        }
        pid = pid * 10 + (rest[i] - '0');
    }
    return pid;
}

// The entries of one window in the folder, in name order.
std::vector<std::string> ListEntries(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

timeval ToTimeval(std::chrono::milliseconds ms) {
    const auto count = std::max<std::int64_t>(ms.count(), 1);
    return timeval{static_cast<time_t>(count / 1000), static_cast<suseconds_t>((count % 1000) * 1000)};
}

std::chrono::milliseconds Remaining(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

// A connected socket to the entry, or -1. A blocking connect bounded by the send timeout: a listener whose queue
// is full (its owner is busy) is waited for until the deadline rather than taken for dead.
int Connect(const std::string& path, Clock::time_point deadline) {
    sockaddr_un address{};
    if (!MakeAddress(path, address)) {
        return -1;
    }
    while (true) {
        const auto left = Remaining(deadline);
        if (left.count() <= 0) {
            return -1;
        }
        TDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0) {
            return -1;
        }
        const timeval limit = ToTimeval(left);
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            return fd.Release();
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto left = Remaining(deadline);
        if (left.count() <= 0) {
            return false;
        }
        const timeval limit = ToTimeval(left);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, char* buffer, std::size_t size, Clock::time_point deadline) {
    std::size_t got = 0;
    while (got < size) {
        const auto left = Remaining(deadline);
        if (left.count() <= 0) {
            return false;
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue; // the deadline decides
        }
        const ssize_t n = ::recv(fd, buffer + got, size - got, 0);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool ProcessIsGone(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Entries whose process has ended and whose socket refuses connections are left-overs of a program that was
// killed; both tests must hold, so that an entry of a live program (in another process namespace, say) stays.
void RemoveDeadEntries(const std::string& folder, const std::string& prefix) {
    for (const std::string& name : ListEntries(folder, prefix)) {
        const pid_t pid = EntryProcess(name, prefix);
        if (pid == ::getpid() || !ProcessIsGone(pid)) {
            continue;
        }
        const std::string path = folder + name;
        TDescriptor probe(Connect(path, Clock::now() + std::chrono::milliseconds(200)));
        if (probe.Get() < 0) {
            ::unlink(path.c_str());
        }
    }
}

std::atomic<unsigned> NextSerial{0};

} // namespace

std::string WindowRegistryFolder(bool create) {
    std::string base;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && DirectoryExists(runtime)) {
        base = IncludeTrailingPathDelimiter(runtime) + "CorvaneBackUp-windows";
    } else {
        base = "/tmp/CorvaneBackUp-windows-" + std::to_string(::geteuid());
    }
    if (create) {
        ::mkdir(base.c_str(), 0700);
    }
    // Under /tmp anyone may have made the name first: use it only when it is a real folder of ours.
    struct stat st {};
    if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return "";
    }
    if ((st.st_mode & 077) != 0 && ::chmod(base.c_str(), 0700) != 0) {
        return "";
    }
    return base + "/";
}

namespace {

// What the connections of an announcement share with it. Held by the connections too, so a handler that ends
// the announcement leaves nothing dangling behind the connection it is answering.
struct ServingState {
    TWindowAnnouncement::CopyDataHandler handler;
    int serving = 0;
};

void Serve(QLocalSocket* socket, const std::shared_ptr<ServingState>& state) {
    if (socket->bytesAvailable() < static_cast<qint64>(NoticeHeaderSize)) {
        return;
    }
    const QByteArray header = socket->peek(NoticeHeaderSize);
    const std::uint64_t length = GetLE(header.constData() + 16, 4);
    if (std::memcmp(header.constData(), NoticeMagic, 4) != 0 || length > MaxCopyDataSize) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < static_cast<qint64>(NoticeHeaderSize + length)) {
        return;
    }
    const QByteArray notice = socket->read(static_cast<qint64>(NoticeHeaderSize + length));
    QObject::disconnect(socket, &QLocalSocket::readyRead, nullptr, nullptr);
    TCopyData message;
    message.Sender = GetLE(notice.constData() + 4, 8);
    message.Tag = static_cast<std::uint32_t>(GetLE(notice.constData() + 12, 4));
    message.Data.assign(notice.constData() + NoticeHeaderSize, length);

    QPointer<QLocalSocket> guard(socket);
    std::int64_t result = 0;
    ++state->serving;
    try {
        if (state->handler) {
            result = state->handler(message);
        }
    } catch (...) {
        // An error must not unwind through the event loop; the sender sees no answer.
        --state->serving;
        if (guard) {
            guard->abort();
        }
        return;
    }
    --state->serving;
    if (!guard) {
        return;
    }
    std::string answer(AnswerMagic, 4);
    PutU64(answer, static_cast<std::uint64_t>(result));
    guard->write(answer.data(), static_cast<qint64>(answer.size()));
    // Out at once: twelve bytes fit any socket buffer, and the answer must not wait on an event loop that may
    // be about to end with this window.
    guard->flush();
    guard->disconnectFromServer();
}

void Accept(QLocalServer* server, const std::shared_ptr<ServingState>& state) {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, state] { Serve(socket, state); });
        QTimer::singleShot(StalledConnectionMs, socket, &QLocalSocket::abort);
        // Bytes may have come with the connection, before any readyRead could be connected.
        QTimer::singleShot(0, socket, [socket, state] { Serve(socket, state); });
    }
}

} // namespace

struct TWindowAnnouncement::Impl {
    std::unique_ptr<QLocalServer> server;
    std::string path;
    std::shared_ptr<ServingState> state = std::make_shared<ServingState>();
};

TWindowAnnouncement::TWindowAnnouncement() : impl_(std::make_unique<Impl>()) {}

TWindowAnnouncement::~TWindowAnnouncement() {
    Withdraw();
}

bool TWindowAnnouncement::Announce(const std::string& className, const std::string& caption) {
    Withdraw();
    const std::string folder = WindowRegistryFolder(true);
    if (folder.empty()) {
        return false;
    }
    const std::string prefix = EntryPrefix(className, caption);
    RemoveDeadEntries(folder, prefix);

    const std::string path = folder + prefix + std::to_string(::getpid()) + "." + std::to_string(NextSerial++);
    sockaddr_un address{};
    if (!MakeAddress(path, address)) {
        return false;
    }
    // No live program can hold this name: it carries our own process id. A file there is a left-over of an ended
    // process that had the same id.
    ::unlink(path.c_str());
    TDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return false;
    }
    if (::listen(fd.Get(), 64) != 0) {
        ::unlink(path.c_str());
        return false;
    }
    auto server = std::make_unique<QLocalServer>();
    if (!server->listen(static_cast<qintptr>(fd.Get()))) {
        ::unlink(path.c_str());
        return false;
    }
    fd.Release(); // the server owns it now
    QLocalServer* listening = server.get();
    QObject::connect(listening, &QLocalServer::newConnection, listening,
                     [listening, state = impl_->state] { Accept(listening, state); });
    impl_->server = std::move(server);
    impl_->path = path;
    return true;
}

void TWindowAnnouncement::Withdraw() {
    if (!impl_->server) {
        return;
    }
    impl_->server->close();
    if (impl_->state->serving > 0) {
        // Ended from inside a handler: the connection being answered belongs to this server.
        impl_->server.release()->deleteLater();
    } else {
        impl_->server.reset();
    }
    ::unlink(impl_->path.c_str());
    impl_->path.clear();
}

bool TWindowAnnouncement::IsAnnounced() const {
    return impl_->server != nullptr;
}

std::string TWindowAnnouncement::SocketPath() const {
    return impl_->path;
}

void TWindowAnnouncement::SetCopyDataHandler(CopyDataHandler handler) {
    impl_->state->handler = std::move(handler);
}

struct TInstanceLock::Impl {
    std::string programName;
    std::unique_ptr<QLockFile> lock;
};

TInstanceLock::TInstanceLock(const std::string& programName) : impl_(std::make_unique<Impl>()) {
    impl_->programName = programName;
}

TInstanceLock::~TInstanceLock() = default; // QLockFile removes the file it holds

bool TInstanceLock::Acquire() {
    if (impl_->lock && impl_->lock->isLocked()) {
        return true;
    }
    const std::string folder = WindowRegistryFolder(true);
    if (folder.empty()) {
        return true;
    }
    const std::string path = folder + impl_->programName + ".lock";
    impl_->lock = std::make_unique<QLockFile>(QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())));
    if (impl_->lock->tryLock(0)) {
        return true;
    }
    return impl_->lock->error() != QLockFile::LockFailedError;
}

TProgramFolderLock::TProgramFolderLock(std::string path) : path_(std::move(path)) {}

TProgramFolderLock::~TProgramFolderLock() = default;

TProgramFolderLock::TOutcome TProgramFolderLock::Acquire() {
    int error = 0;
    if (!fd_.IsOpen()) {
        error = Open();
    }
    if (fd_.IsOpen() && ::flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
        return TOutcome::Taken;
    }
    if (fd_.IsOpen()) {
        error = errno;
        if (error == EWOULDBLOCK) {
            return TOutcome::HeldByAnother;
        }
    }
    problem_ = "Cannot lock \"" + path_ + "\". " +
               (error != 0 ? std::string(std::strerror(error)) : std::string("It is no regular file")) +
               ". Another copy of the program may be using the same files, and the changes of one may be lost. "
               "Look at the lock file's owner and permissions.";
    return TOutcome::Failed;
}

int TProgramFolderLock::Open() {
    const std::string folderPath = ExtractFilePath(path_);
    const TDescriptor folder(::open(folderPath.empty() ? "." : folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen()) {
        return errno;
    }
    // Read access is all a lock needs, and only the owner has it: whoever else could open the file could hold the
    // lock and keep the program from starting. Never through a link: the lock lies in the folder it guards. Never
    // waiting either: a FIFO in its place would hold the start in open() for good.
    const std::string name = ExtractFileName(path_);
    constexpr int Flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    TDescriptor fd(::openat(folder.Get(), name.c_str(), Flags | O_CREAT | O_EXCL, 0600));
    const bool made = fd.IsOpen();
    if (!made && errno == EEXIST) {
        fd = TDescriptor(::openat(folder.Get(), name.c_str(), Flags));
    }
    if (!fd.IsOpen()) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        return errno;
    }
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(st.st_mode)) {
        return 0;
    }
    if (made) {
        // Made by a start as root in a user's folder, it is the user's: the user's own starts can still take it.
        GiveFolderOwner(fd.Get(), folder.Get());
    }
    fd_ = std::move(fd);
    return 0;
}

bool FindWindow(const std::string& className, const std::string& caption, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    const std::string folder = WindowRegistryFolder(false);
    if (folder.empty()) {
        return false;
    }
    for (const std::string& name : ListEntries(folder, EntryPrefix(className, caption))) {
        TDescriptor fd(Connect(folder + name, deadline));
        if (fd.Get() >= 0) {
            return true;
        }
    }
    return false;
}

std::optional<std::int64_t> SendCopyData(const std::string& className, const std::string& caption,
                                         const TCopyData& message, std::chrono::milliseconds timeout) {
    if (message.Data.size() > MaxCopyDataSize) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    const std::string folder = WindowRegistryFolder(false);
    if (folder.empty()) {
        return std::nullopt;
    }
    for (const std::string& name : ListEntries(folder, EntryPrefix(className, caption))) {
        TDescriptor fd(Connect(folder + name, deadline));
        if (fd.Get() < 0) {
            continue;
        }
        std::string notice(NoticeMagic, 4);
        PutU64(notice, message.Sender);
        PutU32(notice, message.Tag);
        PutU32(notice, static_cast<std::uint32_t>(message.Data.size()));
        notice += message.Data;
        char answer[AnswerSize];
        if (!SendAll(fd.Get(), notice, deadline) || !ReceiveAll(fd.Get(), answer, AnswerSize, deadline) ||
            std::memcmp(answer, AnswerMagic, 4) != 0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(GetLE(answer + 4, 8));
    }
    return std::nullopt;
}
