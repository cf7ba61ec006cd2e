#pragma once

#include "core/app/CoreWindows.h"

#include <QWidget>

class QLabel;

// The borderless "Please Wait...." box shown while the main thread reads a backup's list from the server or
// restores files. On top of the other windows, over the middle of the main window, with no owner.
class TwaitForm : public QWidget, public IWaitWindow {
public:
    TwaitForm();

    void Show() override;
    void Close() override;
    // Draws the box at once. A window just shown is not on screen until the window system has mapped it, which
    // needs the event loop, so this lets the event loop run briefly (without user input) before painting.
    void RepaintNow() override;

    QLabel* StaticText1 = nullptr;
};
