#pragma once

#include "core/app/CoreWindows.h"

#include <QDialog>

class QProgressBar;
class QPushButton;
class TUpdateThrottle;

// The progress window of a backup run: a bar from 0 to 100 and a STOP button, on top of the other windows,
// modeless, with no owner. Made hidden, captioned "Compressing..." with the bar at 0; the application object
// shows it when a run starts. The close box and the window manager only hide it; the run goes on.
class TsendWindow : public QDialog, public ISendWindow {
public:
    TsendWindow();

    // STOP (also Escape): asks the run to stop, says so in the caption, and hides the application object's
    // progress window. The run sees the request when it next lets window messages through.
    void BitBtn1Click();

    void Show() override;
    void Hide() override;
    bool IsVisible() const override;
    void SetCaption(const std::string& caption) override;
    void SetProgress(int position) override;

    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    TUpdateThrottle* barUpdate_ = nullptr;
    int progress_ = 0;
};
