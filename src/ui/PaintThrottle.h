#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

class QWidget;

// Lets a widget whose content changes many times a second paint at most once per interval. The first change after a
// quiet spell paints as usual; later changes within the interval are held back, and the widget paints its latest
// state when the interval ends. A backup run changes the log line and the bar for every file and lets pending
// events through after each one: without this every file would cost a repaint and the shaping of a long path.
class TPaintThrottle : public QObject {
public:
    explicit TPaintThrottle(QWidget* widget, std::chrono::milliseconds interval = std::chrono::milliseconds(40));
    // What the widget shows has just changed.
    void Changed();

private:
    QWidget* widget_;
    QTimer timer_;
};
