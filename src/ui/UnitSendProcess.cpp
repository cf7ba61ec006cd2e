#include "UnitSendProcess.h"

#include "Pictures.h"
#include "UpdateThrottle.h"
#include "WindowPlacement.h"
#include "core/app/UnitGo.h"

#include <QKeyEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

TsendWindow::TsendWindow() : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint) {
    setWindowTitle(QStringLiteral("Compressing..."));
    // Without an owner it would take no icon from the main window, and the desktop would show a generic one.
    setWindowIcon(ProgramIcon());
    setFixedSize(270, 88);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(8, 16, 254, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    barUpdate_ = new TUpdateThrottle(this, [this] { ProgressBar1->setValue(progress_); });
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("STOP"), this);
    BitBtn1->setGeometry(92, 48, 86, 28);
    connect(BitBtn1, &QPushButton::clicked, this, &TsendWindow::BitBtn1Click);
}

void TsendWindow::BitBtn1Click() {
    // This is the application object's progress window.
    GetGlobalObject()->StopRun();
}

void TsendWindow::Show() {
    if (!isVisible()) {
        CentreOnMainWindow(this);
    }
    show();
    raise();
}

void TsendWindow::Hide() {
    hide();
}

bool TsendWindow::IsVisible() const {
    return isVisible();
}

void TsendWindow::SetCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

void TsendWindow::SetProgress(int position) {
    if (position != progress_) {
        progress_ = position;
        barUpdate_->Request();
    }
}

void TsendWindow::keyPressEvent(QKeyEvent* event) {
    // Escape is the STOP button's key, as it would be for a Cancel button; left to the dialog it would only
    // hide the window.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        BitBtn1Click();
        return;
    }
    QDialog::keyPressEvent(event);
}
