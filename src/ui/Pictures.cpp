#include "Pictures.h"

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <map>

namespace {

// A rounded tile in a colour with a short symbol on it: small, legible at 16 and 24 pixels, and all alike.
QPixmap Tile(int size, const QColor& colour, const QString& symbol, const QColor& ink = Qt::white) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(140));
    painter.setBrush(colour);
    painter.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), size / 5.0, size / 5.0);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(size * 2 / 3);
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, symbol);
    return picture;
}

QPixmap Folder(int size) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor yellow(0xE8, 0xB9, 0x3A);
    painter.setPen(yellow.darker(150));
    painter.setBrush(yellow.darker(110));
    painter.drawRect(QRectF(1.5, 3.5, size * 0.45, 3));
    painter.setBrush(yellow);
    painter.drawRect(QRectF(1.5, 5.5, size - 3.0, size - 8.0));
    return picture;
}

QPixmap Document(int size, const QColor& colour) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(160));
    painter.setBrush(Qt::white);
    QPainterPath page;
    page.moveTo(3.5, 1.5);
    page.lineTo(size - 6.5, 1.5);
    page.lineTo(size - 3.5, 4.5);
    page.lineTo(size - 3.5, size - 1.5);
    page.lineTo(3.5, size - 1.5);
    page.closeSubpath();
    painter.drawPath(page);
    painter.setPen(colour);
    for (int y = 6; y < size - 3; y += 3) {
        painter.drawLine(QPointF(5.5, y + 0.5), QPointF(size - 5.5, y + 0.5));
    }
    return picture;
}

QPixmap CheckBox(int state) {
    constexpr int size = 16;
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(0x55, 0x55, 0x55));
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(2.5, 2.5, 11, 11));
    if (state == 1) {
        QPen pen(QColor(0x1E, 0x7B, 0x34), 2.0);
        painter.setPen(pen);
        painter.drawPolyline(QPolygonF({QPointF(4.5, 8.0), QPointF(7.0, 10.5), QPointF(11.5, 5.0)}));
    } else if (state == 2) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x7A, 0x9A, 0x7F));
        painter.drawRect(QRectF(5, 5, 6, 6));
    }
    return picture;
}

// The pictures shown on tree nodes and task rows, each made once and then shared: a node holds a reference to its
// kind's picture, not a painted copy of its own, so a tree of a million nodes costs what its nodes cost. The cache
// empties when the application ends, before the pixmaps' platform goes.
const QIcon& SharedPicture(int key, QIcon (*make)(int), int argument) {
    static std::map<int, QIcon> pictures;
    if (pictures.empty()) {
        qAddPostRoutine([] { pictures.clear(); });
    }
    const auto [found, made] = pictures.try_emplace(key);
    if (made) {
        found->second = make(argument);
    }
    return found->second;
}

QIcon MakeItemPicture(int index) {
    switch (index) {
    case 0:
        return QIcon(Tile(16, QColor(0x2F, 0x6D, 0xB5), QStringLiteral("T")));
    case 4:
        return QIcon(Tile(16, QColor(0x4A, 0x8F, 0x3C), QStringLiteral("Z")));
    case 5:
        return QIcon(Tile(16, QColor(0x55, 0x55, 0x66), QStringLiteral("S")));
    case 6:
        return QIcon(Folder(16));
    case 7:
        return QIcon(Document(16, QColor(0x80, 0x80, 0x80)));
    case 9:
        return QIcon(Tile(16, QColor(0xA8, 0x3A, 0x32), QStringLiteral("E")));
    default:
        return QIcon(Document(16, QColor(0xB0, 0xB0, 0xB0)));
    }
}

QIcon MakeStatePicture(int state) {
    return QIcon(CheckBox(state));
}

} // namespace

QIcon ItemPicture(int index) {
    // Every index without a picture of its own shares the neutral document.
    switch (index) {
    case 0:
    case 4:
    case 5:
    case 6:
    case 7:
    case 9:
        break;
    default:
        index = -1;
        break;
    }
    return SharedPicture(index, MakeItemPicture, index);
}

QIcon StatePicture(int state) {
    if (state < 1 || state > 3) {
        return QIcon();
    }
    return SharedPicture(100 + state, MakeStatePicture, state);
}

QIcon CommandPicture(int index) {
    struct Look {
        QColor colour;
        const char* symbol;
    };
    static const std::array<Look, 10> looks = {{
        {QColor(0x2E, 0x8B, 0x57), "\u25B6"}, // Run Task
        {QColor(0xB0, 0x30, 0x30), "\u2716"}, // Kill backup from server
        {QColor(0x2F, 0x6D, 0xB5), "\u21BB"}, // Reconnect
        {QColor(0xB0, 0x30, 0x30), "\u2212"}, // Delete Task
        {QColor(0x6A, 0x5A, 0xCD), "\u270E"}, // Edit Task
        {QColor(0x2E, 0x8B, 0x57), "+"},      // Add Task
        {QColor(0xD2, 0x8A, 0x1E), "\u21B5"}, // Restore selected
        {QColor(0x2F, 0x6D, 0xB5), "\u2713"}, // Save Task
        {QColor(0x55, 0x55, 0x66), "\u2699"}, // FTP and Proxy settings
        {QColor(0x55, 0x55, 0x66), "?"},      // About
    }};
    if (index < 0 || index >= static_cast<int>(looks.size())) {
        return QIcon();
    }
    const Look& look = looks[static_cast<std::size_t>(index)];
    return QIcon(Tile(24, look.colour, QString::fromUtf8(look.symbol)));
}

QPixmap SplashPicture() {
    QPixmap picture(220, 120);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    // The edge is drawn hard: the window cuts away only pure black, and a softened edge would leave a dark rim.
    QLinearGradient fill(0, 0, 0, 120);
    fill.setColorAt(0, QColor(0x3C, 0x7D, 0xC8));
    fill.setColorAt(1, QColor(0x1D, 0x46, 0x80));
    painter.setBrush(fill);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(6, 10, 208, 100), 22, 22);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(24);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(6, 24, 208, 40), Qt::AlignCenter, QStringLiteral("Corvane"));
    font.setPixelSize(14);
    font.setBold(false);
    painter.setFont(font);
    painter.drawText(QRect(6, 62, 208, 30), Qt::AlignCenter, QStringLiteral("Oxn Backup"));
    return picture;
}

QPixmap AboutPicture() {
    return Tile(100, QColor(0x2F, 0x6D, 0xB5), QStringLiteral("C")).copy(0, 0, 100, 100).scaled(100, 101);
}

QPixmap HeaderPicture() {
    // A clock: the dialog is about when a task runs.
    QPixmap picture(59, 60);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x1D, 0x46, 0x80), 3));
    painter.setBrush(QColor(0xE8, 0xF0, 0xFA));
    painter.drawEllipse(QRectF(4.5, 5.5, 50, 50));
    painter.setPen(QPen(QColor(0x1D, 0x46, 0x80), 4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(29.5, 30.5), QPointF(29.5, 14.5));
    painter.drawLine(QPointF(29.5, 30.5), QPointF(41.5, 36.5));
    return picture;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        icon.addPixmap(Tile(size, QColor(0x2F, 0x6D, 0xB5), QStringLiteral("C")));
    }
    return icon;
}
