#include "UnitSplashScreen.h"

#include "Pictures.h"
#include "WindowPlacement.h"

#include <QBitmap>
#include <QImage>
#include <QLabel>
#include <QShowEvent>

TsplashScreen::TsplashScreen()
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    Image1 = new QLabel(this);
    Image1->setPixmap(SplashPicture());
    Image1->move(0, 0);
    Image1->adjustSize();
    // The window is as large as its picture: a margin beside it would be neither picture nor see-through.
    setFixedSize(Image1->size());
    // It stays on top while the main window loads, and the loading may ask the user (the first task's dialog).
    StepAsideForModalWindows(this);
    FormCreate();
}

void TsplashScreen::FormCreate() {
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
}

void TsplashScreen::FormShow() {
    // Exactly black, (0, 0, 0), is see-through; any other colour, however dark, stays.
    const QImage picture = Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage seeThrough = picture.createMaskFromColor(qRgb(0, 0, 0), Qt::MaskInColor);
    setMask(QBitmap::fromImage(seeThrough));
}

void TsplashScreen::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        CentreOnScreen(this);
        FormShow();
    }
    QWidget::showEvent(event);
}
