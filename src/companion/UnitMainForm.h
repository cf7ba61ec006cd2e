#pragma once

#include "platform/WindowRegistry.h"

#include <QSystemTrayIcon>
#include <QWidget>

#include <cstdint>

class QAction;
class QMenu;

// The companion's one window. It is never shown: the program lives in the notification area, and the window is
// there to be found by the backup program (class "TmainScheduleForm", caption ending in "_") and to own the tray
// icon and its menu. Creating it runs FormCreate; closing it ends the program.
class TmainScheduleForm : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* DesignCaption = "Corvane - Oxn Backup schedule";
    static constexpr const char* TrayHint = "FTP backup schedule";
    static constexpr unsigned long StartDelayMs = 1030;

    explicit TmainScheduleForm(QWidget* parent = nullptr);
    ~TmainScheduleForm() override;

    // Start-up, in order: caption + "_" and the announcement under it, the application object with its timer,
    // the tasks, a 1030 ms wait, the tray icon, the notice handler, the start-at-logon entry.
    void FormCreate();
    // Deletes the application object (and with it the timer), withdraws the window and ends the program.
    void FormClose();
    // Menu "Open FTP backup": starts the backup program with "run" from the companion's folder.
    void OpenFTPbackup1Click();
    // Menu "Close Schedule".
    void CloseSchedule1Click();
    // The copy-data notice that the backup program sends after saving its tasks: accepted and left alone; the
    // changed tasks arrive with the timer's next reread. Answers 0, as a window that does not handle it does.
    std::int64_t ScheduleWndProc(const TCopyData& message);

    QMenu* PopupMenu1 = nullptr;
    QAction* OpenFTPbackup1 = nullptr;
    QAction* CloseSchedule1 = nullptr;
    QSystemTrayIcon* tray = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void trayActivated(QSystemTrayIcon::ActivationReason reason);

    TWindowAnnouncement announcement_;
};
