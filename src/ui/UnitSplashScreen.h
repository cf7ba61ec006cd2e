#pragma once

#include <QWidget>

class QLabel;

// The start-up picture, without border or caption, on top of the other windows in the middle of the screen.
// The picture's pure black is see-through: the window takes the picture's shape as its mask when it is shown,
// so the logo stands free on the desktop. The main window shows it while it loads and then destroys it. While a
// modal window is open it steps aside, so that it never covers a dialog the loading opens.
class TsplashScreen : public QWidget {
public:
    TsplashScreen();

    // The window paints no background of its own; only the picture is drawn.
    void FormCreate();
    // Applies the see-through mask.
    void FormShow();

    QLabel* Image1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
};
