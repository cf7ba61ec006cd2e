#include "UnitSender.h"

#include "core/app/UnitGo.h"
#include "core/net/MailSender.h"
#include "core/tasks/UnitGroups.h"

void SendReport(TGroup& task) {
    TLog& log = *GetGlobalObject()->Log;
    const TGroupInfo& info = *task.Info;
    log.Add("Sending report..");

    MailServer server;
    server.host = info.MailServer;
    server.authenticate = info.MailNeedAuth != 0;
    server.user = info.MailUserId;
    server.password = info.MailPassword;

    MailMessage message;
    message.fromName = info.MailUserName;
    message.fromAddress = info.MailAddress;
    message.recipient = info.MailRecipient;
    message.subject = "FTP backup message";

    MailOutcome outcome;
    try {
        // The run's lines are taken, and the mark cleared, only once the server has taken the connection: a report
        // that cannot be delivered leaves them for the next one.
        outcome = SendMail(server, message, [&log] { return log.GetTextSinceMark(); });
    } catch (const std::exception&) {
        return;
    }
    switch (outcome.result) {
    case MailResult::Sent:
        log.Add("Report sent.");
        break;
    case MailResult::ConnectFailed:
    case MailResult::LoginRefused:
        log.Add("Can't connect to server!");
        break;
    case MailResult::AddressRefused:
    case MailResult::MessageRefused:
        log.Add("Can't Send Mail to." + info.MailRecipient);
        break;
    case MailResult::Stopped:
        log.Add("Report not sent. " + outcome.message);
        break;
    }
}
