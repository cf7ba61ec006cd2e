#include "platform/WindowRegistry.h"
#include "support/Command.h"
#include "support/EventLoop.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QProcess>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const std::string ScheduleClass = "TmainScheduleForm";
const std::string ScheduleCaption = "Corvane - Oxn Backup schedule_";

// Another process that announces a window and answers notices with a fixed value.
class Peer {
public:
    Peer(const std::string& className, const std::string& caption, int answer = 0) {
        process_.setProgram(REGISTRY_PEER);
        process_.setArguments(
            {QString::fromStdString(className), QString::fromStdString(caption), QString::number(answer)});
        process_.start();
        if (process_.waitForStarted(10000)) {
            const std::string first = ReadLine();
            if (first.rfind("announced ", 0) == 0) {
                socketPath_ = first.substr(10);
            }
        }
    }
    ~Peer() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    bool Announced() const { return !socketPath_.empty(); }
    const std::string& SocketPath() const { return socketPath_; }
    qint64 Pid() const { return process_.processId(); }

    std::string ReadLine(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!process_.canReadLine()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !process_.waitForReadyRead(static_cast<int>(left.count()))) {
                return "";
            }
        }
        return process_.readLine().trimmed().toStdString();
    }

    // Ends the peer the ordinary way: it withdraws its window on the way out.
    bool End() {
        process_.closeWriteChannel();
        return process_.waitForFinished(10000) && process_.exitCode() == 0;
    }
    bool Signal(int signal) { return ::kill(static_cast<pid_t>(process_.processId()), signal) == 0; }
    bool WaitEnded() { return process_.waitForFinished(10000); }

private:
    QProcess process_;
    std::string socketPath_;
};

std::size_t EntryCount(const std::string& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

class WindowRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureCoreApplication();
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    }
    std::string Folder() const { return runtime_.Path() + "CorvaneBackUp-windows/"; }

    TempDir runtime_;
};

TEST_F(WindowRegistry, WindowOfAnotherProcessIsFoundByClassAndCaptionUntilItEnds) {
    EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
    Peer peer(ScheduleClass, ScheduleCaption);
    ASSERT_TRUE(peer.Announced());
    EXPECT_EQ(WindowRegistryFolder(), Folder());

    EXPECT_TRUE(FindWindow(ScheduleClass, ScheduleCaption));
    // Both parts of the identity count, exactly.
    EXPECT_FALSE(FindWindow(ScheduleClass, "Corvane - Oxn Backup schedule"));
    EXPECT_FALSE(FindWindow("TmainForm", ScheduleCaption));
    EXPECT_FALSE(FindWindow("tmainscheduleform", ScheduleCaption));

    ASSERT_TRUE(peer.End());
    EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
    EXPECT_EQ(EntryCount(Folder()), 0u) << "an ended window leaves no entry";
}

TEST_F(WindowRegistry, KilledProgramDoesNotLookAliveAndItsEntryIsTakenOver) {
    for (int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal);
        std::string stale;
        {
            Peer peer(ScheduleClass, ScheduleCaption);
            ASSERT_TRUE(peer.Announced());
            ASSERT_TRUE(FindWindow(ScheduleClass, ScheduleCaption));
            ASSERT_TRUE(peer.Signal(signal));
            ASSERT_TRUE(peer.WaitEnded());
            stale = peer.SocketPath();
        }
        // The socket file stays behind, but nothing answers on it.
        ASSERT_TRUE(std::filesystem::exists(stale));
        EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
        EXPECT_FALSE(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{}, 2s).has_value());

        Peer next(ScheduleClass, ScheduleCaption, 3);
        ASSERT_TRUE(next.Announced());
        EXPECT_TRUE(FindWindow(ScheduleClass, ScheduleCaption));
        EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{}), 3);
        EXPECT_FALSE(std::filesystem::exists(stale)) << "the new announce clears the dead entry";
        EXPECT_EQ(EntryCount(Folder()), 1u);
        ASSERT_TRUE(next.End());
    }
}

TEST_F(WindowRegistry, NoticeIsAnsweredByTheOwnerBeforeTheSenderGoesOn) {
    Peer peer(ScheduleClass, ScheduleCaption, 42);
    ASSERT_TRUE(peer.Announced());

    // The notice as the backup program sends it after saving: its window as sender and no data.
    EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{12345, 0, ""}), 42);
    EXPECT_EQ(peer.ReadLine(), "notice 12345 0");

    TCopyData withData{7, 0xDEADBEEF, std::string("\0\x01z", 3)};
    EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, withData), 42);
    EXPECT_EQ(peer.ReadLine(), "notice 7 3735928559 00017a");

    // Data at the limit goes through; one byte more is refused before anything is sent.
    EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{1, 1, std::string(MaxCopyDataSize, 'x')}), 42);
    EXPECT_EQ(peer.ReadLine(), "notice 1 1 " + std::to_string(MaxCopyDataSize) + "-bytes");
    EXPECT_FALSE(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{1, 1, std::string(MaxCopyDataSize + 1, 'x')})
                     .has_value());

    EXPECT_FALSE(SendCopyData("TmainForm", "Corvane - Oxn Backup", TCopyData{}).has_value());
    ASSERT_TRUE(peer.End());
}

TEST_F(WindowRegistry, BusyOwnerIsStillFoundAndTheSendersWaitIsBounded) {
    Peer peer(ScheduleClass, ScheduleCaption, 1);
    ASSERT_TRUE(peer.Announced());
    ASSERT_TRUE(peer.Signal(SIGSTOP));

    // A stopped owner cannot answer, but its window exists.
    EXPECT_TRUE(FindWindow(ScheduleClass, ScheduleCaption));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{}, 300ms).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // Once it runs again it answers as before.
    ASSERT_TRUE(peer.Signal(SIGCONT));
    EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{}), 1);
    ASSERT_TRUE(peer.End());
}

TEST_F(WindowRegistry, AnnouncementInThisProcessAnswersOnItsOwnThread) {
    TWindowAnnouncement window;
    EXPECT_FALSE(window.IsAnnounced());
    ASSERT_TRUE(window.Announce("TmainForm", "Corvane - Oxn Backup"));
    EXPECT_TRUE(FindWindow("TmainForm", "Corvane - Oxn Backup"));

    std::thread::id handledOn;
    TCopyData received;
    window.SetCopyDataHandler([&](const TCopyData& message) -> std::int64_t {
        handledOn = std::this_thread::get_id();
        received = message;
        return -5;
    });
    std::atomic<bool> done = false;
    std::optional<std::int64_t> answer;
    std::thread sender([&] {
        answer = SendCopyData("TmainForm", "Corvane - Oxn Backup", TCopyData{99, 4, "abc"});
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10s));
    sender.join();
    EXPECT_EQ(answer, -5);
    EXPECT_EQ(handledOn, std::this_thread::get_id());
    EXPECT_EQ(received.Sender, 99u);
    EXPECT_EQ(received.Tag, 4u);
    EXPECT_EQ(received.Data, "abc");

    // A new caption replaces the old identity, as renaming a window does.
    ASSERT_TRUE(window.Announce("TmainForm", "Corvane - Oxn Backup schedule_"));
    EXPECT_FALSE(FindWindow("TmainForm", "Corvane - Oxn Backup"));
    EXPECT_TRUE(FindWindow("TmainForm", "Corvane - Oxn Backup schedule_"));
    window.Withdraw();
    EXPECT_FALSE(window.IsAnnounced());
    EXPECT_FALSE(FindWindow("TmainForm", "Corvane - Oxn Backup schedule_"));
    EXPECT_EQ(EntryCount(Folder()), 0u);
}

TEST_F(WindowRegistry, HandlerThatEndsTheAnnouncementStillAnswers) {
    auto window = std::make_unique<TWindowAnnouncement>();
    ASSERT_TRUE(window->Announce(ScheduleClass, ScheduleCaption));
    window->SetCopyDataHandler([&window](const TCopyData&) -> std::int64_t {
        window.reset();
        return 8;
    });
    std::atomic<bool> done = false;
    std::optional<std::int64_t> answer;
    std::thread sender([&] {
        answer = SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{});
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 10s));
    sender.join();
    EXPECT_EQ(answer, 8);
    EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Sends raw bytes to the entry, in pieces with a pause between them, and gives back what comes back before the
// owner closes.
std::string RawExchange(const std::string& path, const std::vector<std::string>& pieces) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        for (const std::string& bytes : pieces) {
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(100ms);
        }
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        char buffer[64];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

TEST_F(WindowRegistry, StrayBytesAreDroppedAndTheOwnerGoesOnAnswering) {
    Peer peer(ScheduleClass, ScheduleCaption, 6);
    ASSERT_TRUE(peer.Announced());
    // Not our magic word; then ours with a length over the limit: both connections are closed unanswered.
    EXPECT_EQ(RawExchange(peer.SocketPath(), {std::string(20, 'x')}), "");
    std::string tooLong = "CVN1" + std::string(12, '\0') + std::string("\xff\xff\xff\x7f", 4);
    EXPECT_EQ(RawExchange(peer.SocketPath(), {tooLong}), "");
    // A notice sent in pieces is put together.
    const std::string header = "CVN1" + std::string(8, '\0') + std::string(4, '\0') + std::string("\x02\0\0\0", 4);
    const std::string answer = RawExchange(peer.SocketPath(), {header.substr(0, 7), header.substr(7), "h", "i"});
    EXPECT_EQ(answer, std::string("CVA1\x06\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(SendCopyData(ScheduleClass, ScheduleCaption, TCopyData{}), 6);
    ASSERT_TRUE(peer.End());
}

TEST_F(WindowRegistry, FolderThatIsNotOursIsNeverUsed) {
    // A file where the folder belongs.
    WriteFileBytes(runtime_ / "CorvaneBackUp-windows", "");
    TWindowAnnouncement window;
    EXPECT_FALSE(window.Announce(ScheduleClass, ScheduleCaption));
    EXPECT_EQ(WindowRegistryFolder(true), "");
    EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
    std::filesystem::remove(runtime_ / "CorvaneBackUp-windows");

    // A folder open to others is closed before use.
    std::filesystem::create_directory(Folder());
    ::chmod(Folder().c_str(), 0777);
    ASSERT_TRUE(window.Announce(ScheduleClass, ScheduleCaption));
    struct stat st {};
    ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    window.Withdraw();

    // A folder of another user, which only root can make here.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(Folder().c_str(), 12345, 12345), 0);
        EXPECT_FALSE(window.Announce(ScheduleClass, ScheduleCaption));
        EXPECT_FALSE(FindWindow(ScheduleClass, ScheduleCaption));
    }
}

TEST_F(WindowRegistry, WithoutRuntimeFolderTheUsersFolderUnderTmpServes) {
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string expected = "/tmp/CorvaneBackUp-windows-" + std::to_string(::geteuid()) + "/";
    // A caption of this test's own, so that programs of this user that really run are not touched.
    const std::string caption = "registry test " + std::to_string(::getpid());
    TWindowAnnouncement window;
    ASSERT_TRUE(window.Announce("TmainForm", caption));
    EXPECT_EQ(WindowRegistryFolder(), expected);
    EXPECT_EQ(window.SocketPath().rfind(expected, 0), 0u);
    EXPECT_TRUE(FindWindow("TmainForm", caption));
    window.Withdraw();
    EXPECT_FALSE(FindWindow("TmainForm", caption));
}

TEST(ProgramFolderLock, OneProcessHoldsItUntilItEndsAndAFailureIsSaid) {
    using Outcome = TProgramFolderLock::TOutcome;
    TempDir dir;
    const std::string path = dir / "CorvaneBackUp.lock";
    const auto inChild = [&] {
        return RunInChild([&] { return static_cast<int>(TProgramFolderLock(path).Acquire()); });
    };
    {
        TProgramFolderLock lock(path);
        ASSERT_EQ(lock.Acquire(), Outcome::Taken);
        EXPECT_EQ(inChild(), static_cast<int>(Outcome::HeldByAnother));
    }
    EXPECT_EQ(inChild(), static_cast<int>(Outcome::Taken)) << "let go with its holder";
    // A holder killed: the system lets go of the lock; the file stays.
    EXPECT_EQ(RunInChild([&] {
                  TProgramFolderLock lock(path);
                  lock.Acquire();
                  ::kill(::getpid(), SIGKILL);
                  return 0;
              }),
              -1);
    EXPECT_EQ(TProgramFolderLock(path).Acquire(), Outcome::Taken);

    // Something that cannot serve as the lock: said, with the reason.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    TProgramFolderLock lock(path);
    EXPECT_EQ(lock.Acquire(), Outcome::Failed);
    EXPECT_EQ(lock.Problem().rfind("Cannot lock \"" + path + "\". Is a directory. ", 0), 0u) << lock.Problem();
}

} // namespace
