#include "core/net/MailSender.h"

#include "support/Servers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < text.size()) {
                lines.push_back(text.substr(start));
            }
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// The header block of a message: its lines up to the first empty one.
std::vector<std::string> Headers(const std::string& message) {
    std::vector<std::string> headers;
    for (const std::string& line : SplitCrLf(message)) {
        if (line.empty()) {
            break;
        }
        headers.push_back(line);
    }
    return headers;
}

std::string Body(const std::string& message) {
    const std::size_t end = message.find("\r\n\r\n");
    return end == std::string::npos ? "" : message.substr(end + 4);
}

bool HasHeaderStartingWith(const std::vector<std::string>& headers, const std::string& prefix) {
    return std::any_of(headers.begin(), headers.end(), [&](const std::string& h) { return h.rfind(prefix, 0) == 0; });
}

MailMessage Report() {
    MailMessage message;
    message.fromName = "Backup Robot";
    message.fromAddress = "robot@example.test";
    message.recipient = "admin@example.test";
    message.subject = "FTP backup message";
    message.body = "\r\n08.12.2026 10:00:00 Task Done.\r\n.hidden line starts with a dot\r\n"
                   "08.12.2026 10:00:01 Sending report..";
    return message;
}

MailServer ServerOf(const SmtpServer& smtp) {
    MailServer server;
    server.host = smtp.Host();
    server.port = smtp.Port();
    server.connectSeconds = 10;
    server.responseSeconds = 20;
    return server;
}

TEST(ComposeMail, WritesEveryHeaderAndCrLfLines) {
    const std::string text = ComposeMail(Report(), 0);
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(text[i - 1], '\r') << "bare LF at " << i;
        }
    }
    const auto headers = Headers(text);
    EXPECT_THAT(headers, Contains("From: \"Backup Robot\" <robot@example.test>"));
    EXPECT_THAT(headers, Contains("Sender: \"Backup Robot\" <robot@example.test>"));
    EXPECT_THAT(headers, Contains("To: <admin@example.test>"));
    EXPECT_THAT(headers, Contains("Subject: FTP backup message"));
    EXPECT_THAT(headers, Contains("Content-Transfer-Encoding: 7bit"));
    EXPECT_TRUE(HasHeaderStartingWith(headers, "Message-ID: <"));
    // The date in the mail's own format, never in the user's language.
    const auto date =
        std::find_if(headers.begin(), headers.end(), [](const std::string& h) { return h.rfind("Date: ", 0) == 0; });
    ASSERT_NE(date, headers.end());
    EXPECT_THAT(*date, ::testing::MatchesRegex("Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                               "[0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}"));
    EXPECT_EQ(Body(text), "\r\n08.12.2026 10:00:00 Task Done.\r\n.hidden line starts with a dot\r\n"
                          "08.12.2026 10:00:01 Sending report..\r\n");
}

TEST(ComposeMail, KeepsHeadersWholeWhateverTheTexts) {
    MailMessage message = Report();
    message.fromName = "Zo\xC3\xAB \"the\" admin\r\nBcc: victim@example.test";
    message.subject = "Sicherung \xC3\xBC\x62\x65r alles\r\nX-Injected: yes";
    message.body = "Pfad /home/j\xC3\xBCrgen/a.txt\n" + std::string(1200, 'x') + "\nlast=1 ";
    const std::string text = ComposeMail(message, 0);
    const auto headers = Headers(text);
    EXPECT_FALSE(HasHeaderStartingWith(headers, "Bcc:"));
    EXPECT_FALSE(HasHeaderStartingWith(headers, "X-Injected:"));
    EXPECT_TRUE(HasHeaderStartingWith(headers, "From: =?UTF-8?B?"));
    EXPECT_THAT(headers, Contains("Subject: =?UTF-8?B?U2ljaGVydW5nIMO8YmVyIGFsbGVzDQpYLUluamVjdGVkOiB5ZXM=?="));
    EXPECT_THAT(headers, Contains("Content-Transfer-Encoding: quoted-printable"));
    for (const std::string& line : SplitCrLf(text)) {
        EXPECT_LE(line.size(), 78u);
        for (unsigned char c : line) {
            EXPECT_LT(c, 0x7F) << line;
        }
    }
    EXPECT_THAT(Body(text), HasSubstr("Pfad /home/j=C3=BCrgen/a.txt\r\n"));
    EXPECT_THAT(Body(text), HasSubstr("last=3D1=20\r\n"));
}

TEST(SendMail, WithoutAuthenticationNoCredentialsAreSent) {
    SmtpServerOptions options;
    options.authUser = "robot";
    options.authPassword = "secret";
    SmtpServer smtp(options);
    ASSERT_EQ(smtp.Port(), 25);

    MailServer server = ServerOf(smtp);
    server.user = "robot"; // present in the settings, but authentication is off
    server.password = "secret";
    const MailOutcome outcome = SendMail(server, Report());
    ASSERT_TRUE(outcome.Sent()) << outcome.message;

    for (const std::string& command : smtp.Commands()) {
        EXPECT_NE(command.rfind("AUTH", 0), 0u) << command;
    }
    const auto mails = smtp.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mailFrom, "robot@example.test");
    EXPECT_THAT(mails[0].recipients, ElementsAre("admin@example.test"));
    EXPECT_FALSE(mails[0].authenticated);
    const auto headers = Headers(mails[0].data);
    EXPECT_THAT(headers, Contains("From: \"Backup Robot\" <robot@example.test>"));
    EXPECT_THAT(headers, Contains("Sender: \"Backup Robot\" <robot@example.test>"));
    EXPECT_THAT(headers, Contains("To: <admin@example.test>"));
    EXPECT_THAT(headers, Contains("Subject: FTP backup message"));
    // The line with a leading dot survives the transfer; the last line is the last of the report.
    const auto body = SplitCrLf(Body(mails[0].data));
    EXPECT_THAT(body, ElementsAre("", "08.12.2026 10:00:00 Task Done.", ".hidden line starts with a dot",
                                  "08.12.2026 10:00:01 Sending report.."));
}

TEST(SendMail, AuthLoginWhenAsked) {
    SmtpServerOptions options;
    options.authUser = "robot";
    options.authPassword = "s3cret pass";
    SmtpServer smtp(options);
    MailServer server = ServerOf(smtp);
    server.authenticate = true;
    server.user = "robot";
    server.password = "s3cret pass";
    const MailOutcome outcome = SendMail(server, Report());
    ASSERT_TRUE(outcome.Sent()) << outcome.message;
    EXPECT_THAT(smtp.Commands(), Contains("AUTH LOGIN"));
    ASSERT_EQ(smtp.Mails().size(), 1u);
    EXPECT_TRUE(smtp.Mails()[0].authenticated);

    server.password = "wrong";
    const MailOutcome refused = SendMail(server, Report());
    EXPECT_EQ(refused.result, MailResult::LoginRefused);
    EXPECT_EQ(refused.replyCode, 535);
    EXPECT_EQ(smtp.Mails().size(), 1u);
}

TEST(SendMail, AuthenticationAskedOfAServerWithoutItIsALoginFailure) {
    SmtpServer smtp;
    MailServer server = ServerOf(smtp);
    server.authenticate = true;
    server.user = "robot";
    server.password = "secret";
    EXPECT_EQ(SendMail(server, Report()).result, MailResult::LoginRefused);
    EXPECT_TRUE(smtp.Mails().empty());
}

TEST(SendMail, RefusalsAreToldApart) {
    SmtpServerOptions options;
    options.refusedRecipients = {"nobody@example.test"};
    options.refusedSenders = {"spammer@example.test"};
    SmtpServer smtp(options);
    const MailServer server = ServerOf(smtp);

    MailMessage message = Report();
    message.recipient = "nobody@example.test";
    MailOutcome outcome = SendMail(server, message);
    EXPECT_EQ(outcome.result, MailResult::AddressRefused);
    EXPECT_EQ(outcome.replyCode, 550);

    message = Report();
    message.fromAddress = "spammer@example.test";
    outcome = SendMail(server, message);
    EXPECT_EQ(outcome.result, MailResult::AddressRefused);
    EXPECT_EQ(outcome.replyCode, 553);
    EXPECT_TRUE(smtp.Mails().empty());

    // An address that would carry a command of its own never reaches the server.
    message = Report();
    message.recipient = "admin@example.test>\r\nRCPT TO:<other@example.test";
    EXPECT_EQ(SendMail(server, message).result, MailResult::AddressRefused);
    message.recipient = "";
    EXPECT_EQ(SendMail(server, message).result, MailResult::AddressRefused);
    EXPECT_THAT(smtp.Commands(), Not(Contains(HasSubstr("other@example.test"))));

    SmtpServerOptions strict;
    strict.refuseData = true;
    SmtpServer refusing(strict);
    outcome = SendMail(ServerOf(refusing), Report());
    EXPECT_EQ(outcome.result, MailResult::MessageRefused);
    EXPECT_EQ(outcome.replyCode, 554);
}

TEST(SendMail, EachStepOfTheLoginHasItsOwnBound) {
    // Slower in all than the connect bound, each step within its own: the greeting within the connect bound, the
    // replies to EHLO and AUTH within the reply bound.
    SmtpServerOptions options;
    options.authUser = "robot";
    options.authPassword = "s3cret";
    options.loginDelaySeconds = 1.5;
    SmtpServer smtp(options);
    MailServer server = ServerOf(smtp);
    server.authenticate = true;
    server.user = "robot";
    server.password = "s3cret";
    server.connectSeconds = 3;
    server.responseSeconds = 3;
    EXPECT_TRUE(SendMail(server, Report()).Sent());
    ASSERT_EQ(smtp.Mails().size(), 1u);

    // A reply that never comes fails on the reply bound, and says so.
    for (const char* const silent : {"EHLO", "MAIL"}) {
        options.loginDelaySeconds = 0;
        options.silentAt = silent;
        SmtpServer mute(options);
        MailServer to = ServerOf(mute);
        to.responseSeconds = 1;
        const auto start = std::chrono::steady_clock::now();
        const MailOutcome outcome = SendMail(to, Report());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(outcome.result,
                  silent == std::string("EHLO") ? MailResult::ConnectFailed : MailResult::AddressRefused);
        EXPECT_EQ(outcome.message,
                  "Timed out after 1 s waiting for the server's reply to " + std::string(silent) + ".");
        EXPECT_LT(took, std::chrono::seconds(3));
    }

    // A server that took the message and never answers QUIT holds the sender no longer than a reply bound, and
    // the mail counts as sent.
    options.silentAt = "QUIT";
    SmtpServer mute(options);
    MailServer to = ServerOf(mute);
    to.responseSeconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(SendMail(to, Report()).Sent());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(mute.Mails().size(), 1u);
}

TEST(SendMail, AServerThatIsNotThereIsAConnectFailure) {
    SmtpServer smtp;
    const MailServer server = ServerOf(smtp);
    smtp.Stop();
    EXPECT_EQ(SendMail(server, Report()).result, MailResult::ConnectFailed);

    MailServer empty = server;
    empty.host = "";
    EXPECT_EQ(SendMail(empty, Report()).result, MailResult::ConnectFailed);
}

} // namespace

namespace {

TEST(SendMail, TheBodyIsTakenOnlyOnceTheServerHasTakenTheLogin) {
    SmtpServerOptions options;
    options.authUser = "robot";
    options.authPassword = "secret";
    options.refusedRecipients = {"nobody@example.test"};
    SmtpServer smtp(options);
    MailServer server = ServerOf(smtp);
    server.authenticate = true;
    server.user = "robot";
    server.password = "secret";
    int taken = 0;
    const auto body = [&] {
        ++taken;
        return std::string("\r\nline one\r\nSending report..");
    };

    server.password = "wrong";
    EXPECT_EQ(SendMail(server, Report(), body).result, MailResult::LoginRefused);
    EXPECT_EQ(taken, 0);

    server.password = "secret";
    MailMessage refused = Report();
    refused.recipient = "nobody@example.test";
    EXPECT_EQ(SendMail(server, refused, body).result, MailResult::AddressRefused);
    EXPECT_EQ(taken, 1);

    ASSERT_TRUE(SendMail(server, Report(), body).Sent());
    EXPECT_EQ(taken, 2);
    ASSERT_EQ(smtp.Mails().size(), 1u);
    EXPECT_EQ(Body(smtp.Mails()[0].data), "\r\nline one\r\nSending report..\r\n");

    // A body that cannot be had ends the mail unsent and reaches the caller.
    EXPECT_THROW(SendMail(server, Report(), []() -> std::string { throw std::runtime_error("no log"); }),
                 std::runtime_error);
    EXPECT_EQ(smtp.Mails().size(), 1u);

    const MailServer down = ServerOf(smtp);
    smtp.Stop();
    EXPECT_EQ(SendMail(down, Report(), body).result, MailResult::ConnectFailed);
    EXPECT_EQ(taken, 2);
}

} // namespace
