#include "core/net/FtpClient.h"

#include "core/net/CurlHandle.h"

#include "support/Servers.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

namespace {

// The seconds a "Timed out after N s ..." message names; -1 when it names none.
long SecondsNamed(const std::string& message) {
    long seconds = -1;
    return std::sscanf(message.c_str(), "Timed out after %ld s ", &seconds) == 1 ? seconds : -1;
}

// Runs `operation`, which must fail with a timeout; checks that the time its message names is the time it took, at
// least the bound and not much more (the bound ended it, not a later one), and returns the message with that time
// as "N".
template <typename Operation>
std::string TimedOutMessage(Operation operation, long boundSeconds) {
    const auto start = std::chrono::steady_clock::now();
    try {
        operation();
    } catch (const EFtpError& error) {
        const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long named = SecondsNamed(error.Message());
        EXPECT_GE(named, boundSeconds) << error.Message();
        EXPECT_LE(named, boundSeconds + 1) << error.Message();
        EXPECT_LE(static_cast<double>(named), took) << error.Message();
        std::string message = error.Message();
        const std::string number = std::to_string(named);
        return named < 0 ? message : message.replace(message.find(number), number.size(), "N");
    }
    ADD_FAILURE() << "the operation succeeded";
    return {};
}

bool AnyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class FtpClientTest : public ::testing::Test {
protected:
    explicit FtpClientTest(FtpServerOptions options = {}) : server_(options) {
        client_.SetStatusHandler([this](const std::string& text) { status_.push_back(text); });
        FtpTimeouts timeouts;
        timeouts.connectSeconds = 10;
        timeouts.responseSeconds = 20;
        timeouts.stallSeconds = 20;
        client_.SetTimeouts(timeouts);
    }

    FtpLogin Login() const {
        FtpLogin login;
        login.host = server_.Host();
        login.port = server_.Port();
        login.user = server_.User();
        login.password = server_.Password();
        return login;
    }

    std::string Remote(const std::string& name) const { return server_.Root() + name; }

    // Sends bytes through a local file.
    void PutBytes(const std::string& bytes, const std::string& remoteName, bool append) {
        const std::string path = local_ / "upload.bin";
        WriteFileBytes(path, bytes);
        client_.Put(path, remoteName, append);
    }

    FtpServer server_;
    TempDir local_;
    std::vector<std::string> status_;
    FtpClient client_;
};

TEST_F(FtpClientTest, LoginOpensASessionThatLastsUntilDisconnect) {
    EXPECT_FALSE(client_.Connected());
    client_.Connect(Login());
    EXPECT_TRUE(client_.Connected());
    EXPECT_FALSE(client_.PassiveMode());
    EXPECT_TRUE(AnyStartsWith(status_, "Trying "));
    EXPECT_TRUE(AnyStartsWith(status_, "Connected to "));

    // Several operations share the one control connection.
    PutBytes("one", "a.bin", false);
    client_.List("*");
    client_.Delete("a.bin");
    EXPECT_EQ(server_.Connections().size(), 1u);
    EXPECT_THAT(server_.Commands(), Contains("USER tester"));

    client_.Disconnect();
    EXPECT_FALSE(client_.Connected());
    EXPECT_TRUE(AnyStartsWith(status_, "Disconnected from "));
    // Only connection events: nothing of the transfers' inner workings.
    for (const std::string& line : status_) {
        EXPECT_FALSE(line.rfind("Re-using", 0) == 0 || line.rfind("Connection #", 0) == 0) << line;
    }
    EXPECT_TRUE(WaitUntil([&] { return AnyStartsWith(server_.Commands(), "QUIT"); }));
    EXPECT_THROW(client_.List("*"), EFtpError);
}

TEST_F(FtpClientTest, RefusedLoginAndUnreachableServerAreErrorsWithoutSession) {
    FtpLogin wrong = Login();
    wrong.password = "not the password";
    try {
        client_.Connect(wrong);
        FAIL() << "login with a wrong password succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.ReplyCode(), 530);
        EXPECT_THAT(error.Message(), HasSubstr("530"));
    }
    EXPECT_FALSE(client_.Connected());

    server_.Stop();
    try {
        client_.Connect(Login());
        FAIL() << "connect to a stopped server succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.ReplyCode(), 0);
        EXPECT_FALSE(error.Message().empty());
    }
    EXPECT_FALSE(client_.Connected());

    // Refused as hosts before any lookup or connect.
    FtpLogin badHost = Login();
    for (const char* host : {"", "evil.example/path", "ann@127.0.0.1", "127.0.0.1\x01"}) {
        badHost.host = host;
        try {
            client_.Connect(badHost);
            ADD_FAILURE() << "connect to \"" << host << "\" succeeded";
        } catch (const EFtpError& error) {
            EXPECT_THAT(error.Message(), StartsWith("Invalid host name")) << host;
        }
    }
    FtpLogin badPort = Login();
    badPort.port = 0;
    EXPECT_THROW(client_.Connect(badPort), EFtpError);
}

TEST_F(FtpClientTest, ChangeDirWorksInTheFolderAndAFailedChangeKeepsTheSession) {
    std::filesystem::create_directory(Remote("backups"));
    client_.Connect(Login());

    try {
        client_.ChangeDir("missing");
        FAIL() << "change to a missing folder succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.ReplyCode(), 550);
    }
    // Still logged in, in the login folder.
    ASSERT_TRUE(client_.Connected());
    PutBytes("root", "in-root.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("in-root.bin")), "root");

    client_.ChangeDir("backups");
    PutBytes("sub", "in-sub.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("backups/in-sub.bin")), "sub");
    EXPECT_THAT(client_.List("*"), ElementsAre("in-sub.bin"));

    // The empty folder is sent as such; this server takes it as its home folder.
    client_.ChangeDir("");
    EXPECT_THAT(server_.Commands(), Contains("CWD "));
    EXPECT_THAT(client_.List("*"), UnorderedElementsAre("backups", "in-root.bin"));
    EXPECT_EQ(server_.Connections().size(), 1u);
}

TEST_F(FtpClientTest, PutStoresAnewOrAppendsBinaryBytes) {
    // Every byte value and bare CR and LF: an ASCII-mode transfer would change them.
    const std::string first = RandomBytes(300000, 1) + "\r\n\n\r";
    const std::string second = RandomBytes(70000, 2);
    client_.Connect(Login());

    PutBytes(first, "data.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("data.bin")), first);
    PutBytes(second, "data.bin", true);
    EXPECT_EQ(ReadFileBytes(Remote("data.bin")), first + second);
    PutBytes(second, "data.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("data.bin")), second);
    // Append creates a missing file.
    PutBytes(first, "new.bin", true);
    EXPECT_EQ(ReadFileBytes(Remote("new.bin")), first);
    PutBytes("", "empty.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("empty.bin")), "");
    // A name with blanks and non-ASCII letters arrives as it is.
    PutBytes("x", "my backup \xC3\xA4.zip", false);
    EXPECT_EQ(ReadFileBytes(Remote("my backup \xC3\xA4.zip")), "x");

    const auto commands = server_.Commands();
    EXPECT_EQ(CountStartingWith(commands, "APPE "), 2);
    EXPECT_EQ(CountStartingWith(commands, "STOR "), 4);
    // Active mode on a direct connection.
    EXPECT_TRUE(AnyStartsWith(commands, "EPRT ") || AnyStartsWith(commands, "PORT "));
    EXPECT_FALSE(AnyStartsWith(commands, "EPSV") || AnyStartsWith(commands, "PASV"));
    EXPECT_THAT(commands, Contains("TYPE I"));

    // A local file that is not there, or is a folder, fails before anything is sent; the session stays.
    EXPECT_THROW(client_.Put(local_ / "absent.bin", "x.bin", false), EFtpError);
    EXPECT_THROW(client_.Put(local_.Path(), "x.bin", false), EFtpError);
    EXPECT_FALSE(std::filesystem::exists(Remote("x.bin")));
    EXPECT_TRUE(client_.Connected());
}

TEST_F(FtpClientTest, GetFollowsTheOverwriteRule) {
    const std::string bytes = RandomBytes(1 << 20, 3);
    WriteFileBytes(Remote("volume.zip"), bytes);
    WriteFileBytes(Remote("empty.inf"), "");
    client_.Connect(Login());

    const std::string target = local_ / "volume.zip";
    client_.Get("volume.zip", target, false);
    EXPECT_EQ(ReadFileBytes(target), bytes);

    // Without overwrite an existing file is an error and stays as it was.
    WriteFileBytes(target, "mine");
    EXPECT_THROW(client_.Get("volume.zip", target, false), EFtpError);
    EXPECT_EQ(ReadFileBytes(target), "mine");
    client_.Get("volume.zip", target, true);
    EXPECT_EQ(ReadFileBytes(target), bytes);

    // An empty remote file still makes the local file.
    client_.Get("empty.inf", local_ / "empty.inf", false);
    ASSERT_TRUE(std::filesystem::exists(local_ / "empty.inf"));
    EXPECT_EQ(std::filesystem::file_size(local_ / "empty.inf"), 0u);

    // A missing remote file leaves no local file behind, and the session goes on.
    try {
        client_.Get("missing.zip", local_ / "missing.zip", true);
        FAIL() << "download of a missing file succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.ReplyCode(), 550);
    }
    EXPECT_FALSE(std::filesystem::exists(local_ / "missing.zip"));
    EXPECT_TRUE(client_.Connected());

    // A local path that cannot be created fails, with nothing left behind.
    EXPECT_THROW(client_.Get("volume.zip", local_ / "no-such-folder/volume.zip", true), EFtpError);

    ASSERT_TRUE(client_.Connected());
    client_.Get("volume.zip", local_ / "again.zip", false);
    EXPECT_EQ(ReadFileBytes(local_ / "again.zip"), bytes);
}

TEST_F(FtpClientTest, DeleteRemovesAFileAndReportsAMissingOne) {
    WriteFileBytes(Remote("old.inf"), "x");
    client_.Connect(Login());
    client_.Delete("old.inf");
    EXPECT_FALSE(std::filesystem::exists(Remote("old.inf")));
    try {
        client_.Delete("old.inf");
        FAIL() << "delete of a missing file succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.ReplyCode(), 550);
        EXPECT_THAT(error.Message(), HasSubstr("550"));
    }
    EXPECT_TRUE(client_.Connected());
    EXPECT_EQ(server_.Connections().size(), 1u);
}

TEST_F(FtpClientTest, ListAppliesTheMaskToTheServersNames) {
    client_.Connect(Login());
    EXPECT_TRUE(client_.List("*.inf").empty());

    for (const char* name : {"b__26_08_12.zip.inf", "a__26_08_12.zip.inf", "1a__26_08_12.zip", "notes.txt",
                             "with blank.inf", ".inf.bak"}) {
        WriteFileBytes(Remote(name), "x");
    }
    std::filesystem::create_directory(Remote("folder.inf.d"));

    EXPECT_THAT(client_.List("*.inf"),
                UnorderedElementsAre("b__26_08_12.zip.inf", "a__26_08_12.zip.inf", "with blank.inf"));
    EXPECT_EQ(client_.List("*").size(), 7u);
    EXPECT_EQ(client_.List("").size(), 7u);
    EXPECT_THAT(client_.List("?a__*"), ElementsAre("1a__26_08_12.zip"));
    // The mask never goes to the server: a plain NLST each time.
    for (const std::string& line : server_.Commands()) {
        if (line.rfind("NLST", 0) == 0) {
            EXPECT_EQ(line, "NLST");
        }
    }
}

TEST_F(FtpClientTest, UnusableNamesNeverReachTheServer) {
    WriteFileBytes(Remote("victim.bin"), "x");
    WriteFileBytes(local_ / "file.bin", "y");
    client_.Connect(Login());
    server_.ClearRecords();

    const std::string injected = "a.bin\r\nDELE victim.bin";
    EXPECT_THROW(client_.Put(local_ / "file.bin", injected, false), EFtpError);
    EXPECT_THROW(client_.Get(injected, local_ / "out.bin", true), EFtpError);
    EXPECT_THROW(client_.Delete(injected), EFtpError);
    EXPECT_THROW(client_.ChangeDir("sub\nDELE victim.bin"), EFtpError);
    EXPECT_THROW(client_.List("*\r\nDELE victim.bin"), EFtpError);
    EXPECT_THROW(client_.Delete(std::string("a\0b", 3)), EFtpError);
    EXPECT_THROW(client_.Delete("tab\there"), EFtpError);
    // No name at all is refused too: it would address the folder itself.
    EXPECT_THROW(client_.Get("", local_ / "listing.bin", true), EFtpError);
    EXPECT_THROW(client_.Put(local_ / "file.bin", "", false), EFtpError);
    EXPECT_FALSE(std::filesystem::exists(local_ / "listing.bin"));

    EXPECT_TRUE(std::filesystem::exists(Remote("victim.bin")));
    EXPECT_TRUE(server_.Commands().empty());
    EXPECT_TRUE(client_.Connected());

    FtpLogin login = Login();
    login.user = "tester\r\nDELE victim.bin";
    EXPECT_THROW(client_.Connect(login), EFtpError);
    EXPECT_TRUE(std::filesystem::exists(Remote("victim.bin")));
}

TEST_F(FtpClientTest, AServerRestartEndsTheSession) {
    client_.Connect(Login());
    server_.Restart();
    EXPECT_TRUE(WaitUntil([&] { return !client_.Connected(); }));
    EXPECT_TRUE(AnyStartsWith(status_, "Connection to "));
    // No operation logs in again behind the caller's back.
    EXPECT_THROW(PutBytes("x", "after.bin", false), EFtpError);
    EXPECT_FALSE(std::filesystem::exists(Remote("after.bin")));

    client_.Connect(Login());
    PutBytes("x", "after.bin", false);
    EXPECT_TRUE(std::filesystem::exists(Remote("after.bin")));
}

class FtpIdleTimeoutTest : public FtpClientTest {
protected:
    static FtpServerOptions Options() {
        FtpServerOptions options;
        options.idleTimeoutSeconds = 1;
        return options;
    }
    FtpIdleTimeoutTest() : FtpClientTest(Options()) {}
};

TEST_F(FtpIdleTimeoutTest, ASessionDroppedByTheServerReadsAsNotConnected) {
    std::filesystem::create_directory(Remote("backups"));
    client_.Connect(Login());
    client_.ChangeDir("backups");
    EXPECT_TRUE(client_.Connected());

    EXPECT_TRUE(WaitUntil([&] { return !client_.Connected(); }, std::chrono::seconds(15)));
    try {
        PutBytes("late", "late.bin", false);
        FAIL() << "upload on a dropped session succeeded";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.Message(), "Not connected.");
    }
    // Nothing was stored, in the login folder least of all.
    EXPECT_FALSE(std::filesystem::exists(Remote("late.bin")));
    EXPECT_FALSE(std::filesystem::exists(Remote("backups/late.bin")));
    EXPECT_EQ(server_.Connections().size(), 1u);
}

class FtpVanishingServerTest : public FtpClientTest {
protected:
    static FtpServerOptions Options() {
        FtpServerOptions options;
        options.exitAfterUploadBytes = 1 << 20;
        options.exitAfterDownloadBytes = 1 << 20;
        return options;
    }
    FtpVanishingServerTest() : FtpClientTest(Options()) {}
};

TEST_F(FtpVanishingServerTest, AnUploadCutOffByTheServerGoingAwayFails) {
    client_.Connect(Login());
    try {
        PutBytes(RandomBytes(16 << 20, 4), "big.bin", false);
        FAIL() << "upload to a vanished server succeeded";
    } catch (const EFtpError& error) {
        EXPECT_THAT(error.Message(), StartsWith("Connection lost: "));
    }
    EXPECT_FALSE(client_.Connected());
    // Once the server is back, a new session works.
    server_.Start();
    client_.Connect(Login());
    PutBytes("small", "small.bin", false);
    EXPECT_EQ(ReadFileBytes(Remote("small.bin")), "small");
}

TEST_F(FtpVanishingServerTest, ADownloadCutOffLeavesNoPartialFile) {
    WriteFileBytes(Remote("big.zip"), RandomBytes(16 << 20, 6));
    client_.Connect(Login());
    try {
        client_.Get("big.zip", local_ / "big.zip", false);
        FAIL() << "download from a vanished server succeeded";
    } catch (const EFtpError& error) {
        EXPECT_THAT(error.Message(), StartsWith("Connection lost: "));
    }
    EXPECT_FALSE(std::filesystem::exists(local_ / "big.zip"));
    EXPECT_FALSE(client_.Connected());
}

class FtpFaultyServerTest : public FtpClientTest {
protected:
    static FtpServerOptions Options() {
        FtpServerOptions options;
        options.stallNameLists = true;
        options.cutDownloads = true;
        options.holdStoreReplies = true;
        return options;
    }
    FtpFaultyServerTest() : FtpClientTest(Options()) {}
};

TEST_F(FtpFaultyServerTest, AStalledNameListTimesOutAndSaysSo) {
    FtpTimeouts timeouts;
    timeouts.stallSeconds = 1;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    try {
        client_.List("*");
        FAIL() << "a name list that never came succeeded";
    } catch (const EFtpError& error) {
        EXPECT_THAT(error.Message(),
                    MatchesRegex("Timed out after [1-9][0-9]* s without data moving: the transfer stalled\\."));
    }
}

TEST_F(FtpFaultyServerTest, AReplyHeldBackAfterTheDataIsAWaitForThatReply) {
    FtpTimeouts timeouts;
    timeouts.responseSeconds = 1;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    const std::string bytes = RandomBytes(200000, 10);
    EXPECT_EQ(TimedOutMessage([&] { PutBytes(bytes, "volume.zip", false); }, timeouts.responseSeconds),
              "Timed out after N s waiting for the server's reply to STOR.");
    EXPECT_EQ(ReadFileBytes(Remote("volume.zip")), bytes);
    // The session, with a reply still owed on it, is given up; a new one works.
    EXPECT_FALSE(client_.Connected());
    client_.Connect(Login());
    PutBytes("tail", "volume.zip", true);
    EXPECT_EQ(ReadFileBytes(Remote("volume.zip")), bytes + "tail");
}

TEST_F(FtpFaultyServerTest, ADownloadCutShortFailsWithTheCountsAndLeavesNoFile) {
    WriteFileBytes(Remote("volume.zip"), RandomBytes(1000000, 8));
    client_.Connect(Login());
    try {
        client_.Get("volume.zip", local_ / "volume.zip", false);
        FAIL() << "half a file passed for the whole";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.Message(), "Partial file: received 500000 of the 1000000 bytes the server announced.");
    }
    EXPECT_FALSE(std::filesystem::exists(local_ / "volume.zip"));
    EXPECT_TRUE(client_.Connected());
}

TEST_F(FtpClientTest, ADownloadWhoseSizeDisagreesWithItsDataFails) {
    WriteFileBytes(Remote("volume.zip"), RandomBytes(100000, 9));
    const std::pair<std::int64_t, std::string> cases[] = {
        {1000, "Partial file: received 100000 of the 101000 bytes the server announced."},
        // Trusting this size would cut the file short and call it complete.
        {-1000, "The server sent 100000 bytes where it announced 99000."},
    };
    for (const auto& [offset, message] : cases) {
        server_.Options().sizeOffset = offset;
        server_.Restart();
        client_.Connect(Login());
        try {
            client_.Get("volume.zip", local_ / "volume.zip", false);
            FAIL() << "a download with the size off by " << offset << " succeeded";
        } catch (const EFtpError& error) {
            EXPECT_EQ(error.Message(), message);
        }
        EXPECT_FALSE(std::filesystem::exists(local_ / "volume.zip"));
    }
}

// A server that misbehaves as told: each test sets its options and restarts it.
class FtpHostileServerTest : public FtpClientTest {
protected:
    void Restart(const std::function<void(FtpServerOptions&)>& set) {
        server_.Options() = FtpServerOptions{};
        set(server_.Options());
        server_.Restart();
    }
    // "Timed out after N s: the transfer moved fewer than X bytes in N s." from `operation`, which must fail so:
    // N at least the stall bound and at most the time it took, X sixteen bytes a second of it.
    template <typename Operation>
    void ExpectTooSlow(Operation operation, long stallSeconds) {
        const auto start = std::chrono::steady_clock::now();
        try {
            operation();
            ADD_FAILURE() << "a trickle passed for a transfer";
        } catch (const EFtpError& error) {
            const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            long seconds = -1, bytes = -1, again = -1;
            char end = 0;
            ASSERT_EQ(std::sscanf(error.Message().c_str(),
                                  "Timed out after %ld s: the transfer moved fewer than %ld bytes in %ld s%c", &seconds,
                                  &bytes, &again, &end),
                      4)
                << error.Message();
            EXPECT_EQ(end, '.');
            EXPECT_EQ(again, seconds);
            EXPECT_EQ(bytes, 16 * seconds);
            EXPECT_GE(seconds, stallSeconds);
            EXPECT_LE(static_cast<double>(seconds), took);
        }
        EXPECT_FALSE(client_.Connected());
    }
};

TEST_F(FtpHostileServerTest, ATrickleFailsOnTheSpeedFloorWhereASlowRealLinkGoesThrough) {
    // Names enough for a listing that would trickle for minutes, and a file for a download.
    for (int i = 0; i < 8; ++i) {
        WriteFileBytes(Remote("backup-of-some-length-" + std::to_string(i) + ".inf"), "x");
    }
    const std::string bytes = RandomBytes(60000, 11);
    WriteFileBytes(Remote("volume.zip"), bytes);
    // A byte or two every second or two: each restarts the stall bound, none is a transfer.
    Restart([](FtpServerOptions& options) { options.dataRate = 1; });
    FtpTimeouts timeouts;
    timeouts.stallSeconds = 3;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    ExpectTooSlow([&] { client_.List("*.inf"); }, timeouts.stallSeconds);
    client_.Connect(Login());
    ExpectTooSlow([&] { client_.Get("volume.zip", local_ / "volume.zip", false); }, timeouts.stallSeconds);
    EXPECT_FALSE(std::filesystem::exists(local_ / "volume.zip"));

    // 20 KB/s, for three times the stall bound, is a slow link and no trickle.
    Restart([](FtpServerOptions& options) { options.dataRate = 20000; });
    timeouts.stallSeconds = 1;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    client_.Get("volume.zip", local_ / "volume.zip", false);
    EXPECT_EQ(ReadFileBytes(local_ / "volume.zip"), bytes);
    EXPECT_EQ(client_.List("*.inf").size(), 8u);
}

TEST_F(FtpHostileServerTest, EachStepOfTheLoginHasItsOwnBound) {
    // Slower in all than the connect bound, each step within its own: the greeting within the connect bound, each
    // reply within the reply bound.
    Restart([](FtpServerOptions& options) {
        options.greetingDelaySeconds = 2;
        options.loginReplyDelaySeconds = 1.5;
    });
    FtpTimeouts timeouts;
    timeouts.connectSeconds = 4;
    timeouts.responseSeconds = 3;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    EXPECT_TRUE(client_.Connected());
    client_.Disconnect();

    Restart([](FtpServerOptions& options) { options.silentPass = true; });
    EXPECT_EQ(TimedOutMessage([&] { client_.Connect(Login()); }, timeouts.responseSeconds),
              "Timed out after N s waiting for the server's reply to PASS.");
    EXPECT_FALSE(client_.Connected());
}

TEST_F(FtpHostileServerTest, AServerThatNeverConnectsBackInActiveModeIsNamedAndTheSessionDropped) {
    Restart([](FtpServerOptions& options) { options.noConnectBack = true; });
    FtpTimeouts timeouts;
    timeouts.responseSeconds = 1;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    ASSERT_FALSE(client_.PassiveMode());
    EXPECT_EQ(TimedOutMessage([&] { client_.List("*"); }, timeouts.responseSeconds),
              "Timed out after N s waiting for the server to connect to the client's data port (active mode).");
    // Dropped: no later operation, nor the QUIT of a disconnect, waits on that session.
    EXPECT_FALSE(client_.Connected());
    EXPECT_TRUE(AnyStartsWith(status_, "Connection to " + server_.Host() + " port " + std::to_string(server_.Port()) +
                                           " dropped"));
    EXPECT_THROW(client_.List("*"), EFtpError);
}

TEST_F(FtpHostileServerTest, ANameListWhoseReplyIsHeldBackIsAWaitForThatReply) {
    WriteFileBytes(Remote("a.inf"), "a");
    Restart([](FtpServerOptions& options) { options.holdListReplies = true; });
    FtpTimeouts timeouts;
    timeouts.responseSeconds = 1;
    client_.SetTimeouts(timeouts);
    client_.Connect(Login());
    // libcurl waits for that reply inside a step of its own, where only the progress callback can end the wait.
    EXPECT_EQ(TimedOutMessage([&] { client_.List("*"); }, timeouts.responseSeconds),
              "Timed out after N s waiting for the server's reply to NLST.");
    EXPECT_FALSE(client_.Connected());
}

TEST_F(FtpClientTest, HostsAreShownAsTyped) {
    FtpLogin login = Login();
    login.host = "localhost\x01\t";
    try {
        client_.Connect(login);
        FAIL() << "a host with control characters was used";
    } catch (const EFtpError& error) {
        EXPECT_EQ(error.Message(), "Invalid host name \"localhost\\x01\\t\".");
    }
    FtpTimeouts timeouts;
    timeouts.connectSeconds = 2;
    client_.SetTimeouts(timeouts);
    login.host = "backup%2Fstore.invalid";
    try {
        client_.Connect(login);
        FAIL() << "a host that is not there was found";
    } catch (const EFtpError& error) {
        EXPECT_THAT(error.Message(), HasSubstr("backup%2Fstore.invalid"));
        EXPECT_THAT(error.Message(), Not(HasSubstr("%25")));
    }
    for (const std::string& line : status_) {
        EXPECT_THAT(line, Not(HasSubstr("%25")));
    }
}

TEST(CurlCallback, AnExceptionInACallbackEndsTheTransferAndReachesTheCaller) {
    FtpServer server;
    WriteFileBytes(server.Root() + "volume.zip", "data");
    const CurlMultiPtr multi = NewCurlMulti();
    const CurlEasyPtr easy = NewCurlEasy();
    const std::string url = "ftp://" + server.User() + ":" + server.Password() + "@" + server.Host() + ":" +
                            std::to_string(server.Port()) + "/volume.zip";
    struct Sink {
        std::exception_ptr kept;
    } sink;
    auto write = [](char*, size_t, size_t, void* user) noexcept -> size_t {
        auto* s = static_cast<Sink*>(user);
        return GuardedCallback(s->kept, size_t{0}, []() -> size_t { throw std::runtime_error("the disk is gone"); });
    };
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, static_cast<curl_write_callback>(write));
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &sink);
    EXPECT_EQ(PerformOnMulti(multi.get(), easy.get()), CURLE_WRITE_ERROR);
    ASSERT_TRUE(sink.kept);
    try {
        std::rethrow_exception(sink.kept);
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "the disk is gone");
    }
    curl_multi_remove_handle(multi.get(), easy.get());
}

struct ProxyCase {
    const char* name;
    ProxyProtocol protocol;
    SocksKind kind;
    bool authenticate;
};

void PrintTo(const ProxyCase& proxyCase, std::ostream* out) {
    *out << proxyCase.name;
}

class FtpProxyTest : public FtpClientTest, public ::testing::WithParamInterface<ProxyCase> {
protected:
    FtpProxyTest() : proxy_(ProxyOptions()) {}

    static SocksProxyOptions ProxyOptions() {
        SocksProxyOptions options;
        options.protocol = GetParam().protocol;
        if (GetParam().authenticate) {
            options.user = "proxyuser";
            options.password = "proxypass";
        }
        return options;
    }

    FtpLogin ProxiedLogin() const {
        FtpLogin login = Login();
        login.proxy.kind = GetParam().kind;
        login.proxy.host = proxy_.Host();
        login.proxy.port = proxy_.Port();
        login.proxy.authenticate = GetParam().authenticate;
        login.proxy.user = "proxyuser";
        login.proxy.password = "proxypass";
        return login;
    }

    SocksProxy proxy_;
};

TEST_P(FtpProxyTest, EveryOperationPassesTheProxy) {
    const std::string bytes = RandomBytes(3 << 20, 5);
    std::filesystem::create_directory(Remote("backups"));
    client_.Connect(ProxiedLogin());
    EXPECT_TRUE(client_.PassiveMode());
    client_.ChangeDir("backups");
    PutBytes(bytes, "up.zip", false);
    PutBytes("tail", "up.zip", true);
    EXPECT_EQ(ReadFileBytes(Remote("backups/up.zip")), bytes + "tail");
    client_.Get("up.zip", local_ / "down.zip", false);
    EXPECT_EQ(ReadFileBytes(local_ / "down.zip"), bytes + "tail");
    EXPECT_THAT(client_.List("*.zip"), ElementsAre("up.zip"));
    client_.Delete("up.zip");

    // The server saw only the proxy's address, and data connections were passive, all in one session.
    EXPECT_THAT(server_.Connections(), ElementsAre(proxy_.OutgoingAddress()));
    const auto commands = server_.Commands();
    EXPECT_EQ(CountStartingWith(commands, "USER "), 1);
    EXPECT_TRUE(AnyStartsWith(commands, "EPSV") || AnyStartsWith(commands, "PASV"));
    EXPECT_FALSE(AnyStartsWith(commands, "EPRT") || AnyStartsWith(commands, "PORT"));
    if (GetParam().protocol == ProxyProtocol::Socks4) {
        const std::string kind = GetParam().kind == SocksKind::Socks4a ? "SOCKS4A " : "SOCKS4 ";
        ASSERT_FALSE(proxy_.Requests().empty());
        for (const std::string& request : proxy_.Requests()) {
            EXPECT_EQ(request.rfind(kind, 0), 0u) << request;
        }
    }
}

TEST_P(FtpProxyTest, TheProxyRefusesWrongCredentials) {
    if (!GetParam().authenticate) {
        // A proxy without a password lets a client with one through as well.
        FtpLogin login = ProxiedLogin();
        login.proxy.authenticate = true;
        client_.Connect(login);
        EXPECT_TRUE(client_.Connected());
        return;
    }
    FtpLogin login = ProxiedLogin();
    login.proxy.user = "intruder";
    login.proxy.password = "guess";
    EXPECT_THROW(client_.Connect(login), EFtpError);
    EXPECT_FALSE(client_.Connected());
    if (GetParam().kind == SocksKind::Socks5) {
        login.proxy.authenticate = false;
        EXPECT_THROW(client_.Connect(login), EFtpError);
    }
    EXPECT_TRUE(server_.Connections().empty());
}

INSTANTIATE_TEST_SUITE_P(Socks, FtpProxyTest,
                         ::testing::Values(ProxyCase{"Socks4", ProxyProtocol::Socks4, SocksKind::Socks4, false},
                                           ProxyCase{"Socks4User", ProxyProtocol::Socks4, SocksKind::Socks4, true},
                                           ProxyCase{"Socks4a", ProxyProtocol::Socks4, SocksKind::Socks4a, false},
                                           ProxyCase{"Socks4aUser", ProxyProtocol::Socks4, SocksKind::Socks4a, true},
                                           ProxyCase{"Socks5", ProxyProtocol::Socks5, SocksKind::Socks5, false},
                                           ProxyCase{"Socks5Password", ProxyProtocol::Socks5, SocksKind::Socks5, true}),
                         [](const ::testing::TestParamInfo<ProxyCase>& param) { return param.param.name; });

// The server's login through a SOCKS5 proxy at host:port.
FtpLogin Socks5LoginTo(const FtpServer& server, const std::string& proxyHost, int proxyPort) {
    FtpLogin login;
    login.host = server.Host();
    login.port = server.Port();
    login.user = server.User();
    login.password = server.Password();
    login.proxy.kind = SocksKind::Socks5;
    login.proxy.host = proxyHost;
    login.proxy.port = proxyPort;
    return login;
}

TEST(FtpProxySetup, Socks5HandsTheHostNameToTheProxy) {
    FtpServer server;
    SocksProxyOptions options;
    // A name no resolver of this machine knows; the proxy's network does.
    options.hostNames = {{"backup-store.invalid", server.Host()}};
    SocksProxy proxy(options);
    FtpClient client;
    FtpLogin login = Socks5LoginTo(server, proxy.Host(), proxy.Port());
    login.host = "backup-store.invalid";
    client.Connect(login);
    TempDir local;
    WriteFileBytes(local / "up.zip", "named");
    client.Put(local / "up.zip", "up.zip", false);
    client.Get("up.zip", local / "down.zip", false);
    EXPECT_EQ(ReadFileBytes(local / "down.zip"), "named");
    // The control connection and each data connection asked for the name.
    const auto requests = proxy.Requests();
    EXPECT_EQ(requests.size(), 3u);
    for (const std::string& request : requests) {
        EXPECT_THAT(request, StartsWith("SOCKS5 backup-store.invalid ")) << request;
    }
    // An address goes as the address.
    login.host = server.Host();
    client.Connect(login);
    client.List("*");
    EXPECT_THAT(proxy.Requests().back(), StartsWith("SOCKS5 " + server.Host() + " "));
}

TEST(FtpProxySetup, AProxyThatNeverAnswersForTheDataConnectionCostsTheConnectBound) {
    FtpServer server;
    SocksProxyOptions options;
    options.answeredConnects = 1;
    SocksProxy proxy(options);
    FtpClient client;
    FtpTimeouts timeouts;
    timeouts.connectSeconds = 1;
    client.SetTimeouts(timeouts);
    const FtpLogin login = Socks5LoginTo(server, proxy.Host(), proxy.Port());
    client.Connect(login);
    EXPECT_EQ(TimedOutMessage([&] { client.List("*"); }, 1),
              "Timed out after N s opening the data connection through the proxy.");
    EXPECT_FALSE(client.Connected());
    // Nor does the proxy answer a control connection any more.
    EXPECT_EQ(TimedOutMessage([&] { client.Connect(login); }, 1), "Timed out after N s connecting to " + server.Host() +
                                                                      " port " + std::to_string(server.Port()) +
                                                                      " through the proxy.");
    EXPECT_FALSE(client.Connected());
}

TEST(FtpProxySetup, ProxyCredentialsReachTheProxyAsTyped) {
    FtpServer server;
    FtpClient client;
    TempDir local;
    WriteFileBytes(local / "up.zip", "as typed");
    // Text that a URL decoder would change: an escape, a lone "%", an escaped blank, an escaped NUL.
    for (const auto& [user, password] :
         std::vector<std::pair<std::string, std::string>>{{"u%41", "x%41y%"}, {"p%20w", "p%00w"}}) {
        SocksProxyOptions options;
        options.user = user;
        options.password = password;
        SocksProxy proxy(options);
        FtpLogin login = Socks5LoginTo(server, proxy.Host(), proxy.Port());
        login.proxy.authenticate = true;
        login.proxy.user = user;
        login.proxy.password = password;
        client.Connect(login);
        client.Put(local / "up.zip", "up.zip", false);
    }
    EXPECT_EQ(ReadFileBytes(server.Root() + "up.zip"), "as typed");
    // A SOCKS4 user id likewise.
    SocksProxyOptions options;
    options.protocol = ProxyProtocol::Socks4;
    options.user = "u%41";
    SocksProxy proxy(options);
    FtpLogin login = Socks5LoginTo(server, proxy.Host(), proxy.Port());
    login.proxy.kind = SocksKind::Socks4;
    login.proxy.authenticate = true;
    login.proxy.user = "u%41";
    client.Connect(login);
    ASSERT_FALSE(proxy.Requests().empty());
    EXPECT_THAT(proxy.Requests().front(), testing::EndsWith(" u%41"));
}

TEST(FtpProxySetup, AProxyThatIsNotThereFailsTheConnect) {
    FtpServer server;
    FtpClient client;
    FtpLogin login = Socks5LoginTo(server, "127.0.0.1", FindFreePort());
    EXPECT_THROW(client.Connect(login), EFtpError);
    EXPECT_TRUE(server.Connections().empty());
    login.proxy.host = "";
    EXPECT_THROW(client.Connect(login), EFtpError);
}

} // namespace
