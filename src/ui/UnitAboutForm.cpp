#include "UnitAboutForm.h"

#include "Pictures.h"
#include "WindowPlacement.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QUrl>

#include <functional>

namespace {

// A label that runs an action when clicked, as a link does.
class TClickLabel : public QLabel {
public:
    TClickLabel(const QString& text, QWidget* parent, std::function<void()> action)
        : QLabel(text, parent), action_(std::move(action)) {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
            action_();
        }
        QLabel::mouseReleaseEvent(event);
    }

private:
    std::function<void()> action_;
};

QFont PixelFont(const QFont& base, int pixels, bool bold, bool underline = false) {
    QFont font = base;
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

} // namespace

TaboutForm::TaboutForm() : QDialog(nullptr) {
    setWindowTitle(QStringLiteral("About"));

    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(5, 5, 107, 107);
    Image1 = new QLabel(this);
    Image1->setPixmap(AboutPicture());
    Image1->setGeometry(8, 8, 100, 101);

    Label4 = new QLabel(QStringLiteral("Contact info:"), this);
    Label4->setFont(PixelFont(font(), 13, true));
    Label4->move(128, 8);
    Label1 = new QLabel(QString::fromLatin1(MakerName), this);
    Label1->setFont(PixelFont(font(), 13, true));
    Label1->move(144, 32);

    const QColor linkColour(68, 46, 92);
    Label2 = new TClickLabel(QString::fromLatin1(WebAddress), this, [this] { Label2Click(); });
    Label2->setFont(PixelFont(font(), 13, true));
    Label2->move(143, 55);
    Label3 = new TClickLabel(QString::fromLatin1(MailAddress), this, [this] { Label3Click(); });
    Label3->setFont(PixelFont(font(), 13, true, true));
    Label3->move(143, 80);
    for (QLabel* link : {Label2, Label3}) {
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, linkColour);
        link->setPalette(palette);
    }
    Label5 = new TClickLabel(QString::fromLatin1(CreditLine), this, [this] { Label5Click(); });
    QFont credit = PixelFont(font(), 9, false);
    credit.setFamily(QStringLiteral("Serif"));
    credit.setStyleHint(QFont::Serif);
    Label5->setFont(credit);
    Label5->move(8, 128);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TaboutForm::accept);

    int right = 316;
    for (QLabel* label : {Label4, Label1, Label2, Label3, Label5}) {
        label->adjustSize();
        right = std::max(right, label->geometry().right() + 10);
    }
    BitBtn1->setGeometry(right - 148, 118, 75, 27);
    setFixedSize(right, 151);
}

void TaboutForm::Label2Click() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(WebAddress)));
}

void TaboutForm::Label3Click() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(MailAddress)));
}

void TaboutForm::Label5Click() {
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(CreditAddress)));
}

void TaboutForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        CentreOnMainWindow(this);
    }
    QDialog::showEvent(event);
}
