#pragma once

class TGroup;

// Mails the log lines of the task's last run (since the run's mark) with the task's mail settings, to port 25 of
// its mail server, subject "FTP backup message"; logs how it went. Nothing is reported to the caller.
void SendReport(TGroup& task);
