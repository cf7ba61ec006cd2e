#include "UnitMainForm.h"

#include "UnitGo.h"
#include "Unitstartup.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QVBoxLayout>

namespace {

// The tray picture: a clock face on a blue disc, a schedule that runs backups. Drawn here rather than shipped, so
// it scales to whatever size the tray asks for.
QIcon TrayPicture() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / 64.0, size / 64.0);
        const QColor blue(0x1f, 0x6f, 0xb5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(blue);
        painter.drawEllipse(QRectF(2, 2, 60, 60));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(11, 11, 42, 42));
        painter.setPen(QPen(blue, 6, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(32, 32), QPointF(32, 18));
        painter.drawLine(QPointF(32, 32), QPointF(43, 38));
        painter.end();
        icon.addPixmap(picture);
    }
    return icon;
}

} // namespace

TmainScheduleForm::TmainScheduleForm(QWidget* parent) : QWidget(parent) {
    setObjectName("mainScheduleForm");
    setWindowTitle(DesignCaption);
    setFixedSize(324, 183);
    setWindowIcon(TrayPicture());
    auto* layout = new QVBoxLayout(this);
    auto* about = new QLabel("Ploverly starts CorvaneBackUp when a backup task falls due.", this);
    about->setWordWrap(true);
    layout->addWidget(about);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    OpenFTPbackup1 = PopupMenu1->addAction("Open FTP backup");
    OpenFTPbackup1->setObjectName("OpenFTPbackup1");
    CloseSchedule1 = PopupMenu1->addAction("Close Schedule");
    CloseSchedule1->setObjectName("CloseSchedule1");
    connect(OpenFTPbackup1, &QAction::triggered, this, &TmainScheduleForm::OpenFTPbackup1Click);
    connect(CloseSchedule1, &QAction::triggered, this, &TmainScheduleForm::CloseSchedule1Click);

    tray = new QSystemTrayIcon(TrayPicture(), this);
    tray->setObjectName("tray");
    tray->setToolTip(TrayHint);
    // The menu opens on the left button. It is the context menu too: tray hosts that draw the menu themselves
    // only offer it that way, and the right button is where desktop users look for it.
    tray->setContextMenu(PopupMenu1);
    connect(tray, &QSystemTrayIcon::activated, this, &TmainScheduleForm::trayActivated);

    FormCreate();
}

TmainScheduleForm::~TmainScheduleForm() = default;

void TmainScheduleForm::FormCreate() {
    // The backup program looks for this caption; from here on the window can be found.
    setWindowTitle(windowTitle() + "_");
    announcement_.Announce(metaObject()->className(), windowTitle().toStdString());
    companion::GetGlobalObject();
    companion::GetGlobalObject()->LoadTasks();
    QThread::msleep(StartDelayMs);
    // Minimised to the tray: the window was never shown, so it has no taskbar button; the icon is all there is.
    // Without a tray the icon stays invisible and the program runs on all the same.
    setWindowState(Qt::WindowMinimized);
    tray->show();
    announcement_.SetCopyDataHandler([this](const TCopyData& message) { return ScheduleWndProc(message); });
    SetAutoStart(true);
}

void TmainScheduleForm::FormClose() {
    companion::DestroyGlobalObject();
    announcement_.Withdraw();
    tray->hide();
    QCoreApplication::quit();
}

void TmainScheduleForm::OpenFTPbackup1Click() {
    companion::StartBackupProgram(companion::GetGlobalObject()->ProgramDir);
}

void TmainScheduleForm::CloseSchedule1Click() {
    close();
}

std::int64_t TmainScheduleForm::ScheduleWndProc(const TCopyData&) {
    return 0;
}

void TmainScheduleForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TmainScheduleForm::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    // Only the menu answers the mouse; no click brings a window back.
    if (reason == QSystemTrayIcon::Trigger) {
        PopupMenu1->popup(QCursor::pos());
    }
}
