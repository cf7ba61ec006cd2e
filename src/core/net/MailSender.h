#pragma once

#include <ctime>
#include <functional>
#include <string>

// Where a mail goes in and how the sender proves who it is.
struct MailServer {
    std::string host;
    int port = 25;
    // AUTH LOGIN with user and password when set; otherwise no credentials reach the server at all.
    bool authenticate = false;
    std::string user;
    std::string password;
    long connectSeconds = 30;  // TCP connect and the server's greeting
    long responseSeconds = 60; // each reply of the server, EHLO and the login's included
};

// A plain-text mail to one recipient. The addresses go into the envelope and the headers; the names and the
// subject may hold any text, non-ASCII included.
struct MailMessage {
    std::string fromName;
    std::string fromAddress;
    std::string recipient;
    std::string subject;
    std::string body; // lines end with CR LF or LF
};

enum class MailResult {
    Sent,
    ConnectFailed,  // no server there, no usable greeting, or a host or port that cannot be used
    LoginRefused,   // authentication was asked for and did not succeed
    AddressRefused, // the server refused the sender or the recipient, or an address was not fit to send
    MessageRefused, // the server refused the message after it was sent, or the connection broke while sending
    Stopped,        // a termination signal came: the conversation was given up at once
};

struct MailOutcome {
    MailResult result = MailResult::Sent;
    std::string message; // what went wrong, for the curious; empty when sent
    long replyCode = 0;  // the server's refusing reply code, 0 when there was none
    bool Sent() const { return result == MailResult::Sent; }
};

// The whole message as it goes after DATA: From and Sender with the name, To, Subject, Date, Message-ID and the
// MIME headers, then the body; every line ends with CR LF. Texts outside printable ASCII in the headers are
// encoded words; a body with non-ASCII bytes or overlong lines is quoted-printable.
std::string ComposeMail(const MailMessage& message, std::time_t date);

// Connects, authenticates when asked, sends the message to its one recipient and disconnects. Never raises for
// a failure of the server or the network; the outcome tells which step failed.
// With a body source, the body is taken from it (in place of message.body) once, only after the server has taken
// the connection and the login, so that a report whose server cannot be reached leaves its text where it was.
// An exception of the body source ends the conversation and is passed on to the caller.
MailOutcome SendMail(const MailServer& server, const MailMessage& message,
                     const std::function<std::string()>& bodySource = {});
