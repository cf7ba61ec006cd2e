#include "UnitWaitForm.h"

#include "WindowPlacement.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QThread>
#include <QWindow>

#include <algorithm>

TwaitForm::TwaitForm() : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    StaticText1 = new QLabel(QStringLiteral("Please Wait...."), this);
    StaticText1->setAlignment(Qt::AlignCenter);
    StaticText1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    StaticText1->setAutoFillBackground(true);
    QFont font = StaticText1->font();
    font.setPixelSize(24);
    StaticText1->setFont(font);
    // Wide enough for the text in the fonts of this desktop, which may run wider than the box's 170 pixels.
    const QSize size(std::max(170, StaticText1->fontMetrics().horizontalAdvance(StaticText1->text()) + 24), 37);
    StaticText1->setGeometry(QRect(QPoint(0, 0), size));
    setFixedSize(size);
}

void TwaitForm::Show() {
    CentreOnMainWindow(this);
    show();
    raise();
}

void TwaitForm::Close() {
    close();
}

void TwaitForm::RepaintNow() {
    // Bounded: a window system that never maps the box must not hold the operation up.
    const QDeadlineTimer deadline(500);
    while (windowHandle() && !windowHandle()->isExposed() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(5);
    }
    repaint();
}
