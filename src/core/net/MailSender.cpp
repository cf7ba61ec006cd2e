#include "core/net/MailSender.h"

#include "core/net/CurlHandle.h"
#include "platform/Convert.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

bool IsPrintableAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string Base64(const std::string& bytes) {
    return QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64().toStdString();
}

// RFC 2047 encoded words, each short enough for a header line, split only between UTF-8 characters, and
// folded onto continuation lines. A CR or LF in the text ends up inside base64, where it cannot end the header.
std::string EncodedWords(const std::string& text) {
    constexpr std::size_t kChunk = 39; // 52 base64 characters, 64 with the "=?UTF-8?B?" frame
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.size(), start + kChunk);
        while (end < text.size() && end > start + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?" + Base64(text.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::string HeaderText(const std::string& text) {
    return IsPrintableAscii(text) ? text : EncodedWords(text);
}

// "Name" <address>, or the bare address when there is no name.
std::string Mailbox(const std::string& name, const std::string& address) {
    if (name.empty()) {
        return "<" + address + ">";
    }
    if (!IsPrintableAscii(name)) {
        return EncodedWords(name) + "\r\n <" + address + ">";
    }
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\" <" + address + ">";
}

std::string MailDate(std::time_t date) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&date, &local);
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    // Day and month names are fixed English words: the user's locale must not reach a mail header.
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday % 7],
                  local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

std::string MessageId(const std::string& fromAddress, std::time_t date) {
    std::random_device device;
    char unique[64];
    std::snprintf(unique, sizeof unique, "%lld.%08x%08x", static_cast<long long>(date), device(), device());
    const std::size_t at = fromAddress.rfind('@');
    std::string domain = at == std::string::npos ? "" : fromAddress.substr(at + 1);
    if (domain.empty() || !IsPrintableAscii(domain) || domain.find_first_of("<> \"") != std::string::npos) {
        domain = "localhost";
    }
    return "<" + std::string(unique) + "@" + domain + ">";
}

std::vector<std::string> BodyLines(const std::string& body) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        std::string line = body.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (end == body.size()) {
            if (!line.empty()) {
                lines.push_back(std::move(line));
            }
            break;
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool NeedsQuotedPrintable(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        // 998 is the longest line a mail may carry; bytes outside ASCII need an 8-bit path the server may lack.
        if (line.size() > 998) {
            return true;
        }
        for (unsigned char c : line) {
            if (c >= 0x7F || (c < 0x20 && c != '\t')) {
                return true;
            }
        }
    }
    return false;
}

std::string QuotedPrintableLine(const std::string& line) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t column = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        std::string piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
            piece = static_cast<char>(c);
        } else {
            piece = {'=', kHex[c >> 4], kHex[c & 15]};
        }
        if (column + piece.size() > 75) {
            out += "=\r\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

bool FitForEnvelope(const std::string& address) {
    return !HasControlCharacter(address) && address.find_first_of("<> ") == std::string::npos;
}

// Which step of the conversation a failure happened in, from the commands libcurl sends.
enum class Stage { Greeting, Auth, Envelope, Message };

struct MessageSource;
void ComposeOnce(MessageSource& source);

struct Conversation {
    MessageSource* source = nullptr;
    const MailServer* server = nullptr;
    // The present wait: the connection with the greeting, then each reply (and the message while it goes).
    WaitBound bound;
    std::string command;
    Stage stage = Stage::Greeting;
    bool authSent = false;
    bool dataSent = false;
    // The last refusal: after a failure libcurl still says QUIT, whose reply must not hide the refusal.
    long refusalCode = 0;
    std::string refusal;
    long replyAfterData = 0;
};

void Note(Conversation* talk, curl_infotype type, const char* data, size_t size) {
    std::string text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (type == CURLINFO_HEADER_OUT) {
        std::string command = text.substr(0, text.find(' '));
        std::transform(command.begin(), command.end(), command.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        // The lines that answer the server's AUTH questions are no commands to name.
        static const char* const kVerbs[] = {"EHLO", "HELO", "AUTH", "MAIL", "RCPT", "DATA", "QUIT", "RSET", "NOOP"};
        if (std::find(std::begin(kVerbs), std::end(kVerbs), command) != std::end(kVerbs)) {
            talk->command = command;
        }
        talk->bound.Begin(talk->server->responseSeconds);
        if (command == "AUTH") {
            talk->stage = Stage::Auth;
            talk->authSent = true;
        } else if (command.rfind("MAIL", 0) == 0 || command.rfind("RCPT", 0) == 0) {
            if (talk->stage != Stage::Envelope) {
                // Connected and logged in: now the body is wanted, not before.
                ComposeOnce(*talk->source);
            }
            talk->stage = Stage::Envelope;
        } else if (command == "DATA") {
            talk->stage = Stage::Message;
        }
    } else if (type == CURLINFO_DATA_OUT) {
        talk->dataSent = true;
        talk->command = "the message";
        talk->bound.Begin(talk->server->responseSeconds);
    } else if (type == CURLINFO_HEADER_IN) {
        if (text.size() >= 3 && std::isdigit(static_cast<unsigned char>(text[0])) &&
            (text.size() == 3 || text[3] == ' ')) {
            const long code = std::atol(text.substr(0, 3).c_str());
            if (code >= 400) {
                talk->refusal = text;
                talk->refusalCode = code;
            }
            if (talk->dataSent && talk->stage == Stage::Message && talk->replyAfterData == 0) {
                talk->replyAfterData = code;
            }
        }
    }
}

struct MessageSource {
    const MailMessage* message = nullptr;
    const std::function<std::string()>* bodySource = nullptr;
    std::string bytes;
    bool composed = false;
    std::exception_ptr failure;
    std::size_t offset = 0;
    const Conversation* talk = nullptr;
    bool requireAuth = false;
    bool authMissing = false;
};

void ComposeOnce(MessageSource& source) {
    if (source.composed) {
        return;
    }
    source.composed = true;
    try {
        if (source.bodySource != nullptr && *source.bodySource) {
            MailMessage filled = *source.message;
            filled.body = (*source.bodySource)();
            source.bytes = ComposeMail(filled, std::time(nullptr));
        } else {
            source.bytes = ComposeMail(*source.message, std::time(nullptr));
        }
    } catch (...) {
        source.failure = std::current_exception();
    }
}

// A debug callback must answer 0: a failure here is kept for the caller, and no more of the message is read.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) noexcept {
    auto* talk = static_cast<Conversation*>(user);
    return GuardedCallback(talk->source->failure, 0, [&] {
        Note(talk, type, data, size);
        return 0;
    });
}

// Asked once a second while libcurl waits inside a step of its own (the reply after the message, the QUIT).
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    return static_cast<Conversation*>(user)->bound.MillisecondsLeft() > 0 ? 0 : 1;
}

size_t ReadMessage(char* buffer, size_t size, size_t count, void* user) noexcept {
    auto* source = static_cast<MessageSource*>(user);
    if (source->requireAuth && !source->talk->authSent) {
        // libcurl goes on without a login when the server offers none; a task that asks for authentication
        // gets its mail sent with one or not at all.
        source->authMissing = true;
        return CURL_READFUNC_ABORT;
    }
    ComposeOnce(*source);
    if (source->failure) {
        return CURL_READFUNC_ABORT;
    }
    const std::size_t n = std::min(size * count, source->bytes.size() - source->offset);
    std::memcpy(buffer, source->bytes.data() + source->offset, n);
    source->offset += n;
    return n;
}

std::string EhloName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    const std::string host = name;
    const bool usable = !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
    });
    return usable ? host : "localhost";
}

MailOutcome Failed(MailResult result, std::string message, long replyCode = 0) {
    MailOutcome outcome;
    outcome.result = result;
    outcome.message = std::move(message);
    outcome.replyCode = replyCode;
    return outcome;
}

} // namespace

std::string ComposeMail(const MailMessage& message, std::time_t date) {
    const std::vector<std::string> lines = BodyLines(message.body);
    const bool quoted = NeedsQuotedPrintable(lines);
    std::string out;
    out += "From: " + Mailbox(message.fromName, message.fromAddress) + "\r\n";
    out += "Sender: " + Mailbox(message.fromName, message.fromAddress) + "\r\n";
    out += "To: <" + message.recipient + ">\r\n";
    out += "Subject: " + HeaderText(message.subject) + "\r\n";
    out += "Date: " + MailDate(date) + "\r\n";
    out += "Message-ID: " + MessageId(message.fromAddress, date) + "\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += std::string("Content-Transfer-Encoding: ") + (quoted ? "quoted-printable" : "7bit") + "\r\n";
    out += "\r\n";
    for (const std::string& line : lines) {
        out += (quoted ? QuotedPrintableLine(line) : line) + "\r\n";
    }
    return out;
}

MailOutcome SendMail(const MailServer& server, const MailMessage& message,
                     const std::function<std::string()>& bodySource) {
    if (server.port < 1 || server.port > 65535) {
        return Failed(MailResult::ConnectFailed, "Invalid port " + std::to_string(server.port) + ".");
    }
    const std::string serverUrl = ServerUrl("smtp", server.host, server.port);
    if (serverUrl.empty()) {
        return Failed(MailResult::ConnectFailed, "Invalid host name \"" + ShowControlCharacters(server.host) + "\".");
    }
    if (server.authenticate && (HasControlCharacter(server.user) || HasControlCharacter(server.password))) {
        return Failed(MailResult::LoginRefused, "The user name or password holds a control character.");
    }
    if (!FitForEnvelope(message.fromAddress)) {
        return Failed(MailResult::AddressRefused, "The sender address \"" + message.fromAddress + "\" is not valid.");
    }
    if (message.recipient.empty() || !FitForEnvelope(message.recipient)) {
        return Failed(MailResult::AddressRefused, "The recipient address \"" + message.recipient + "\" is not valid.");
    }

    Conversation talk;
    MessageSource source;
    source.message = &message;
    source.bodySource = &bodySource;
    source.talk = &talk;
    source.requireAuth = server.authenticate;
    talk.source = &source;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    CurlEasyPtr easy = NewCurlEasy();
    CURL* h = easy.get();
    CurlSlistPtr recipients;
    AppendCurlSlist(recipients, "<" + message.recipient + ">");
    // The path of an SMTP URL is the name the client greets the server with.
    const std::string url = serverUrl + EhloName();
    const std::string from = "<" + message.fromAddress + ">";

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp");
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // The bounds are ours, watched while libcurl runs; libcurl's own are a second line behind them.
    constexpr long kLoginReplies = 4; // EHLO, AUTH LOGIN, the user, the password
    SetSecondLineBounds(h, server.connectSeconds, server.responseSeconds, kLoginReplies);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &talk);
    // A server that takes the message a byte now and then must not hold the program: the floor of the FTP data.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 16L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, server.responseSeconds);
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients.get());
    if (server.authenticate) {
        curl_easy_setopt(h, CURLOPT_USERNAME, server.user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, server.password.c_str());
        curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
    }
    // Without authentication no user name is set at all: libcurl authenticates on its own when it has one.
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &ReadMessage);
    curl_easy_setopt(h, CURLOPT_READDATA, &source);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &OnDebug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &talk);

    talk.server = &server;
    talk.bound.Begin(server.connectSeconds);
    CurlMultiPtr multi = NewCurlMulti();
    const CURLcode code = talk.bound.MillisecondsLeft() <= 0
                              ? CURLE_ABORTED_BY_CALLBACK
                              : PerformOnMulti(multi.get(), h, [&talk] { return talk.bound.MillisecondsLeft(); });
    const bool givenUp = talk.bound.Stopped() || talk.bound.Overdue();
    // Nothing more is said to a server given up on; any other gets its QUIT, under the reply bound.
    CloseKeptConnection(h, server.responseSeconds, !givenUp);
    // The handle goes before the connection cache of the multi handle that holds its connection.
    curl_multi_remove_handle(multi.get(), h);
    easy.reset();
    multi.reset();
    if (source.failure) {
        std::rethrow_exception(source.failure);
    }
    if (talk.bound.Stopped()) {
        return Failed(MailResult::Stopped, kStoppedText);
    }
    if (code == CURLE_OK || (talk.replyAfterData >= 200 && talk.replyAfterData < 300)) {
        // A failure after the server took the message (at QUIT) does not unsend it.
        return MailOutcome{};
    }
    if (source.authMissing) {
        return Failed(MailResult::LoginRefused, "The server offers no authentication.");
    }
    std::string text = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    const long reply = talk.refusalCode;
    if (reply != 0) {
        text = talk.refusal;
    } else if (talk.bound.Overdue()) {
        // Ours; libcurl's own (the speed floor) say what they measured in the error buffer.
        const std::string waited = std::to_string(talk.bound.WaitedSeconds());
        text = talk.command.empty() ? "Timed out after " + waited + " s connecting to " + server.host + " port " +
                                          std::to_string(server.port) + "."
               : talk.command == "the message"
                   ? "Timed out after " + waited + " s sending the message or waiting for the server's reply to it."
                   : "Timed out after " + waited + " s waiting for the server's reply to " + talk.command + ".";
    }
    if (code == CURLE_LOGIN_DENIED) {
        return Failed(MailResult::LoginRefused, text, reply);
    }
    switch (talk.stage) {
    case Stage::Greeting:
        return Failed(MailResult::ConnectFailed, text, reply);
    case Stage::Auth:
        return Failed(MailResult::LoginRefused, text, reply);
    case Stage::Envelope:
        return Failed(MailResult::AddressRefused, text, reply);
    case Stage::Message:
        break;
    }
    return Failed(MailResult::MessageRefused, text, reply);
}
