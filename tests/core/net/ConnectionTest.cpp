#include "core/app/UnitGo.h"
#include "core/net/UnitFTP.h"
#include "core/net/UnitSender.h"

#include "support/FakeCoreWindows.h"
#include "support/Servers.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

namespace {

// The application object over a temporary program folder, its FTP connection aimed at a real server whose
// remote folder is "backups", and the temporary folder of downloads in a folder of the test.
class Connection : public ::testing::Test {
protected:
    explicit Connection(FtpServerOptions options = {}) : server(options) {}

    void SetUp() override {
        ::setenv("TEMP", temp.Path().c_str(), 1);
        std::filesystem::create_directory(server.Root() + "backups");
        SetGlobalObjectOptions({&windows, program.Path()});
        ftp = GetGlobalObject()->FTP.get();
        ftp->Host = server.Host();
        ftp->Port = server.Port();
        ftp->Login = server.User();
        ftp->Password = server.Password();
        ftp->RemoteDir = "backups";
        GetGlobalObject()->Log->Clear();
    }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
        // The folder goes with the test; later temporary folders must not be looked for in it.
        ::unsetenv("TEMP");
    }

    std::vector<std::string> Messages(bool withStatus = false) const {
        std::vector<std::string> messages;
        for (const auto& line : GetGlobalObject()->Log->Lines()) {
            if (withStatus || line.Message.rfind("Status: ", 0) != 0) {
                messages.push_back(line.Message);
            }
        }
        return messages;
    }
    void ClearLog() { GetGlobalObject()->Log->Clear(); }
    std::string Local(const std::string& name, const std::string& bytes) const {
        WriteFileBytes(program / name, bytes);
        return program / name;
    }
    std::string InBackups(const std::string& name) const { return server.Root() + "backups/" + name; }

    FtpServer server;
    TempDir program;
    TempDir temp;
    FakeCoreWindows windows;
    TFTPconnection* ftp = nullptr;
};

TEST_F(Connection, ConnectLogsInChangesFolderAndRefillsTheTree) {
    EXPECT_TRUE(ftp->Connect());
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(windows.TreeFills, 1);
    const auto all = Messages(true);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), "Connectig to the sever...");
    EXPECT_THAT(all, Contains(StartsWith("Status: Connected to")));
    // Connected already: nothing logged, the tree refilled again.
    ClearLog();
    EXPECT_TRUE(ftp->Connect());
    EXPECT_TRUE(Messages(true).empty());
    EXPECT_EQ(windows.TreeFills, 2);
    // A reconnect is a fresh session in the remote folder.
    EXPECT_TRUE(ftp->Reconnect());
    EXPECT_EQ(Messages().front(), "Connectig to the sever...");
    EXPECT_EQ(server.Connections().size(), 2u);
}

TEST_F(Connection, RefusedLoginAndServerDownFailTheConnect) {
    ftp->Password = "wrong";
    EXPECT_FALSE(ftp->Connect());
    EXPECT_FALSE(ftp->Connected());
    EXPECT_THAT(Messages(),
                ElementsAre("Connectig to the sever...", StartsWith("Can't connect to the server. Error message: ")));
    EXPECT_EQ(windows.TreeFills, 0);
    ClearLog();
    ftp->Password = server.Password();
    server.Stop();
    EXPECT_FALSE(ftp->Connect());
    EXPECT_THAT(Messages(),
                ElementsAre("Connectig to the sever...", StartsWith("Can't connect to the server. Error message: ")));
    // Every operation that needs the connection then fails with the connect's lines only.
    ClearLog();
    EXPECT_FALSE(ftp->DeleteFile("x.inf"));
    EXPECT_THAT(Messages(), ElementsAre("Deleting file... x.inf", "Connectig to the sever...",
                                        StartsWith("Can't connect to the server. Error message: ")));
    ClearLog();
    EXPECT_EQ(ftp->ListBackups()->Count(), 0);
    EXPECT_THAT(Messages(), ElementsAre("List files... ", "Connectig to the sever...",
                                        StartsWith("Can't connect to the server. Error message: ")));
}

TEST_F(Connection, AMissingFolderFailsTheConnectButTheSessionStaysInTheLoginFolder) {
    ftp->RemoteDir = "no-such-folder";
    EXPECT_FALSE(ftp->Connect());
    EXPECT_TRUE(ftp->Connected());
    EXPECT_EQ(windows.TreeFills, 0);
    EXPECT_TRUE(ftp->SendFile(Local("a.txt", "abc"), "a.txt", true));
    EXPECT_EQ(ReadFileBytes(server.Root() + "a.txt"), "abc");
    // The empty folder is sent as it is; this server takes it as the login folder.
    ftp->RemoteDir = "";
    EXPECT_TRUE(ftp->Reconnect());
    EXPECT_THAT(server.Commands(), Contains("CWD "));
}

TEST_F(Connection, TransfersWithTheirLogLines) {
    const std::string local = Local("0Docs.zip", "first ");
    EXPECT_TRUE(ftp->SendFile(local, "0Docs.zip", true));
    EXPECT_EQ(ReadFileBytes(InBackups("0Docs.zip")), "first ");
    // Append is an append.
    WriteFileBytes(local, "second");
    EXPECT_TRUE(ftp->SendFile(local, "0Docs.zip", true));
    EXPECT_EQ(ReadFileBytes(InBackups("0Docs.zip")), "first second");
    const auto messages = Messages();
    EXPECT_THAT(std::vector<std::string>(messages.end() - 2, messages.end()),
                ElementsAre("Sending file... " + local, "File sent... " + local));

    ClearLog();
    const std::string target = program / "down.zip";
    EXPECT_TRUE(ftp->ReceiveFile("0Docs.zip", target, false));
    EXPECT_EQ(ReadFileBytes(target), "first second");
    EXPECT_THAT(Messages(), ElementsAre("Recieving file... 0Docs.zip"));
    // Over an existing file without overwrite: refused, the file untouched.
    WriteFileBytes(target, "mine");
    ClearLog();
    EXPECT_FALSE(ftp->ReceiveFile("0Docs.zip", target, false));
    EXPECT_EQ(ReadFileBytes(target), "mine");
    EXPECT_THAT(Messages(), ElementsAre("Recieving file... 0Docs.zip",
                                        StartsWith("Can't receive file from the server. Error message: ")));
    EXPECT_TRUE(ftp->ReceiveFile("0Docs.zip", target, true));
    EXPECT_EQ(ReadFileBytes(target), "first second");

    ClearLog();
    EXPECT_FALSE(ftp->DeleteFile("missing.zip"));
    EXPECT_THAT(Messages(), ElementsAre("Deleting file... missing.zip",
                                        StartsWith("Can't delete file on the server. Error message: 550")));
    EXPECT_FALSE(ftp->SendFile(program / "not-there", "x", true));
    EXPECT_THAT(Messages().back(), StartsWith("Can't send file to the server . Error message: "));
}

TEST_F(Connection, BackupsAreListedReadAndDeleted) {
    EXPECT_EQ(ftp->ListBackups()->Count(), 0);
    EXPECT_EQ(Messages().back(), "0 files retrieved .");
    WriteFileBytes(InBackups("Docs__26_08_12_10-00-00.zip.inf"), "0\r\n/home/ann/a.txt\r\n1\r\n/home/ann/b.txt\r\n");
    WriteFileBytes(InBackups("Mail__26_08_12_11-00-00.zip.crt.inf"), "0\r\n/x\r\n");
    for (const char* volume : {"0Docs__26_08_12_10-00-00.zip", "1Docs__26_08_12_10-00-00.zip",
                               "2Docs__26_08_12_10-00-00.zip", "0Mail__26_08_12_11-00-00.zip.crt"}) {
        WriteFileBytes(InBackups(volume), "v");
    }
    ClearLog();
    auto list = ftp->ListBackups();
    std::vector<std::string> names = list->Lines();
    std::sort(names.begin(), names.end());
    EXPECT_THAT(names, ElementsAre("Docs__26_08_12_10-00-00.zip.inf", "Mail__26_08_12_11-00-00.zip.crt.inf"));
    EXPECT_THAT(Messages(), ElementsAre("List files... ", "2 files retrieved ."));

    ClearLog();
    auto info = ftp->ReadInfo("Docs__26_08_12_10-00-00.zip.inf");
    EXPECT_THAT(info->Lines(), ElementsAre("0", "/home/ann/a.txt", "1", "/home/ann/b.txt"));
    EXPECT_THAT(Messages(), ElementsAre("Retrieving information about backup files... ",
                                        "Recieving file... Docs__26_08_12_10-00-00.zip.inf", "Retrieved."));
    EXPECT_FALSE(std::filesystem::exists(temp / "Docs__26_08_12_10-00-00.zip.inf.tmp"));
    EXPECT_EQ(ftp->ReadInfo("missing.inf")->Count(), 0);

    ClearLog();
    EXPECT_TRUE(ftp->DeleteBackup("Docs__26_08_12_10-00-00.zip", 3));
    EXPECT_THAT(Messages(), ElementsAre("Deleting file... 0Docs__26_08_12_10-00-00.zip",
                                        "Deleting file... 1Docs__26_08_12_10-00-00.zip",
                                        "Deleting file... 2Docs__26_08_12_10-00-00.zip",
                                        "Deleting file... Docs__26_08_12_10-00-00.zip.inf"));
    EXPECT_TRUE(ftp->DeleteBackup("Mail__26_08_12_11-00-00.zip.crt", 0));
    EXPECT_TRUE(std::filesystem::exists(InBackups("0Mail__26_08_12_11-00-00.zip.crt")));
    EXPECT_FALSE(std::filesystem::exists(InBackups("Mail__26_08_12_11-00-00.zip.crt.inf")));
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(server.Root() + "backups")) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(left, ElementsAre("0Mail__26_08_12_11-00-00.zip.crt"));
}

TEST_F(Connection, HttpProxyTypeConnectsDirectly) {
    ftp->ProxyType = TFTPconnection::Http11;
    ftp->ProxyHost = "127.0.0.1";
    ftp->ProxyPort = 1; // nothing there
    EXPECT_TRUE(ftp->Connect());
    EXPECT_THAT(server.Connections(), ElementsAre(HasSubstr("127.0.0.1")));
}

class ConnectionThroughProxy : public Connection, public ::testing::WithParamInterface<int> {};

TEST_P(ConnectionThroughProxy, UploadsPassTheProxy) {
    const int type = GetParam();
    SocksProxyOptions options;
    options.protocol = type == TFTPconnection::Socks5 ? ProxyProtocol::Socks5 : ProxyProtocol::Socks4;
    options.user = "proxyuser";
    options.password = type == TFTPconnection::Socks5 ? "proxypass" : "";
    SocksProxy proxy(options);
    ftp->ProxyType = static_cast<std::uint8_t>(type);
    ftp->ProxyHost = proxy.Host();
    ftp->ProxyPort = proxy.Port();
    ftp->UseAuthentication = 1;
    ftp->ProxyUser = "proxyuser";
    ftp->ProxyPassword = options.password;
    EXPECT_TRUE(ftp->SendFile(Local("v.zip", "through the proxy"), "v.zip", true));
    EXPECT_EQ(ReadFileBytes(InBackups("v.zip")), "through the proxy");
    EXPECT_THAT(server.Connections(), ElementsAre(HasSubstr(proxy.OutgoingAddress())));
}

TEST_F(Connection, AProxyStuckOnTheDataConnectionCostsOneBoundedWaitAndTheLineSaysSo) {
    SocksProxyOptions options;
    options.answeredConnects = 1;
    SocksProxy proxy(options);
    ftp->ProxyType = TFTPconnection::Socks5;
    ftp->ProxyHost = proxy.Host();
    ftp->ProxyPort = proxy.Port();
    FtpTimeouts timeouts;
    timeouts.connectSeconds = 1;
    ftp->SetTimeouts(timeouts);
    ASSERT_TRUE(ftp->Connect());
    ClearLog();
    EXPECT_EQ(ftp->ListBackups()->Count(), 0);
    EXPECT_THAT(Messages(),
                ElementsAre("List files... ", MatchesRegex("Can't list files .Error message: Timed out after "
                                                           "[1-9][0-9]* s opening the data connection "
                                                           "through the proxy\\.")));
    // The program goes on: with the proxy out of the way, the next connect works.
    ftp->ProxyType = TFTPconnection::Direct;
    EXPECT_TRUE(ftp->Reconnect());
    EXPECT_TRUE(ftp->SendFile(Local("v.zip", "direct"), "v.zip", false));
}

INSTANTIATE_TEST_SUITE_P(Socks, ConnectionThroughProxy,
                         ::testing::Values(TFTPconnection::Socks4, TFTPconnection::Socks4A, TFTPconnection::Socks5));

class ConnectionIdle : public Connection {
protected:
    ConnectionIdle() : Connection(FtpServerOptions{1.0, 0, 0, "127.0.0.1"}) {}
};

TEST_F(ConnectionIdle, ASessionTheServerDroppedIsReopenedInTheRemoteFolder) {
    ASSERT_TRUE(ftp->Connect());
    ASSERT_TRUE(WaitUntil([&] { return !ftp->Connected(); }, std::chrono::seconds(10)));
    ClearLog();
    EXPECT_TRUE(ftp->SendFile(Local("b.zip", "after the timeout"), "b.zip", true));
    EXPECT_EQ(ReadFileBytes(InBackups("b.zip")), "after the timeout");
    EXPECT_THAT(Messages(), Contains("Connectig to the sever..."));
}

class ConnectionVanishing : public Connection {
protected:
    ConnectionVanishing() : Connection(FtpServerOptions{300, 1 << 20, 0, "127.0.0.1"}) {}
};

TEST_F(ConnectionVanishing, AnUploadCutOffIsAFailureThatSaysWhy) {
    EXPECT_FALSE(ftp->SendFile(Local("big.zip", RandomBytes(8 << 20, 5)), "big.zip", true));
    EXPECT_THAT(Messages().back(), StartsWith("Can't send file to the server . Error message: Connection lost: "));
}

// The mail report, received by a real SMTP server.
class Report : public ::testing::Test {
protected:
    void SetUp() override {
        SetGlobalObjectOptions({nullptr, program.Path()});
        log = GetGlobalObject()->Log.get();
        task.Info->MailServer = "127.0.0.1";
        task.Info->MailUserName = "Backup Robot";
        task.Info->MailAddress = "robot@example.org";
        task.Info->MailRecipient = "ann@example.org";
        task.Info->MailUserId = "robot";
        task.Info->MailPassword = "pw";
    }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const auto& line : log->Lines()) {
            messages.push_back(line.Message);
        }
        return messages;
    }

    TempDir program;
    TLog* log = nullptr;
    TGroup task;
};

TEST_F(Report, CarriesTheRunsLinesWithoutAuthenticationWhenNotAsked) {
    SmtpServer smtp;
    task.Info->MailServer = smtp.Host();
    log->Add("before the run");
    log->Mark();
    log->Add("Backup. Task is Docs");
    log->Add("Task Done.");
    SendReport(task);
    ASSERT_EQ(smtp.Mails().size(), 1u);
    const ReceivedMail mail = smtp.Mails().front();
    EXPECT_EQ(mail.mailFrom, "robot@example.org");
    EXPECT_THAT(mail.recipients, ElementsAre("ann@example.org"));
    EXPECT_FALSE(mail.authenticated);
    EXPECT_THAT(smtp.Commands(), ::testing::Not(Contains(StartsWith("AUTH"))));
    EXPECT_THAT(mail.data, HasSubstr("Subject: FTP backup message\r\n"));
    EXPECT_THAT(mail.data, HasSubstr("From: \"Backup Robot\" <robot@example.org>\r\n"));
    EXPECT_THAT(mail.data, HasSubstr("Sender: \"Backup Robot\" <robot@example.org>\r\n"));
    EXPECT_THAT(mail.data, HasSubstr("To: <ann@example.org>\r\n"));
    EXPECT_THAT(mail.data, HasSubstr(" Backup. Task is Docs\r\n"));
    EXPECT_THAT(mail.data, ::testing::Not(HasSubstr("before the run")));
    // The body's last line is the report's own first line.
    EXPECT_THAT(mail.data, ::testing::EndsWith(" Sending report..\r\n"));
    EXPECT_EQ(Messages().back(), "Report sent.");
    EXPECT_EQ(log->MarkIndex(), -1);
}

TEST_F(Report, AuthenticatesWhenAsked) {
    SmtpServerOptions options;
    options.authUser = "robot";
    options.authPassword = "pw";
    SmtpServer smtp(options);
    task.Info->MailServer = smtp.Host();
    task.Info->MailNeedAuth = 1;
    log->Mark();
    SendReport(task);
    ASSERT_EQ(smtp.Mails().size(), 1u);
    EXPECT_TRUE(smtp.Mails().front().authenticated);
    task.Info->MailPassword = "wrong";
    log->Mark();
    SendReport(task);
    EXPECT_EQ(smtp.Mails().size(), 1u);
    EXPECT_EQ(Messages().back(), "Can't connect to server!");
}

TEST_F(Report, RefusedRecipientAndServerDown) {
    SmtpServerOptions options;
    options.refusedRecipients = {"ann@example.org"};
    SmtpServer smtp(options);
    task.Info->MailServer = smtp.Host();
    log->Mark();
    SendReport(task);
    EXPECT_TRUE(smtp.Mails().empty());
    EXPECT_EQ(Messages().back(), "Can't Send Mail to.ann@example.org");

    smtp.Stop();
    log->Mark();
    SendReport(task);
    const auto messages = Messages();
    EXPECT_THAT(std::vector<std::string>(messages.end() - 2, messages.end()),
                ElementsAre("Sending report..", "Can't connect to server!"));
    // The run's lines were not taken by a report that never reached a server.
    EXPECT_NE(log->MarkIndex(), -1);
    task.Info->MailServer = "";
    SendReport(task);
    EXPECT_EQ(Messages().back(), "Can't connect to server!");
}

} // namespace
