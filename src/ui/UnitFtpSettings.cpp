#include "UnitFtpSettings.h"

#include "UnitPasswordDialog.h"
#include "core/app/UnitGo.h"
#include "platform/Convert.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstdint>

namespace {

// An edit with its caption above it, in two rows of the grid.
QLineEdit* LabelledEdit(QGridLayout* grid, int row, int column, const QString& caption, int columnSpan = 1) {
    auto* edit = new QLineEdit;
    grid->addWidget(new QLabel(caption), row, column, 1, columnSpan);
    grid->addWidget(edit, row + 1, column, 1, columnSpan);
    return edit;
}

// The background in every state; a locked edit keeps its text readable in grey on the grey background.
void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x60, 0x60, 0x60));
    widget->setPalette(palette);
}

void DigitFilter(QLineEdit* edit) {
    const QString text = edit->text();
    if (!text.isEmpty() && !(text.back() >= QLatin1Char('0') && text.back() <= QLatin1Char('9'))) {
        edit->setText(text.chopped(1));
    }
}

} // namespace

TftpSettings::TftpSettings(QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("Settings"));

    pages = new QTabWidget(this);
    sheetFtp = new QWidget;
    sheetProxy = new QWidget;
    pages->addTab(sheetFtp, QStringLiteral("FTP Server settings"));
    pages->addTab(sheetProxy, QStringLiteral("Proxy Settings"));

    auto* ftp = new QGridLayout(sheetFtp);
    ftp->setContentsMargins(24, 12, 24, 12);
    ftp->setHorizontalSpacing(15);
    ftp->setVerticalSpacing(3);
    editHost = LabelledEdit(ftp, 0, 0, QStringLiteral("Host"));
    editPort = LabelledEdit(ftp, 0, 1, QStringLiteral("Port"));
    BitBtn3 = new QPushButton(QStringLiteral("Change Host"));
    BitBtn3->setAutoDefault(false);
    ftp->addWidget(BitBtn3, 2, 1);
    editLogin = LabelledEdit(ftp, 3, 0, QStringLiteral("Login"));
    editPassword = LabelledEdit(ftp, 5, 0, QStringLiteral("Password"));
    editPassword->setEchoMode(QLineEdit::Password);
    editDir = LabelledEdit(ftp, 7, 0, QStringLiteral("Dir"), 2);
    ftp->setColumnStretch(0, 3);
    ftp->setColumnStretch(1, 2);
    ftp->setRowStretch(9, 1);
    // Locked until the master password is given.
    for (QLineEdit* edit : {editHost, editPort}) {
        edit->setEnabled(false);
        SetBackground(edit, Qt::lightGray);
    }
    setTabOrder(editHost, editLogin);
    setTabOrder(editLogin, editPassword);
    setTabOrder(editPassword, editPort);
    setTabOrder(editPort, editDir);
    setTabOrder(editDir, BitBtn3);

    radios = new QGroupBox(QStringLiteral("Proxy type"));
    radioItems = new QButtonGroup(this);
    auto* types = new QGridLayout(radios);
    types->setVerticalSpacing(2);
    const char* const items[] = {"Direct connection (no proxy)", "SOCKS4 proxy", "SOCKS4A proxy", "SOCKS5 proxy",
                                 "HTTP 1.1 proxy"};
    for (int id = 0; id < 5; ++id) {
        auto* item = new QRadioButton(QString::fromLatin1(items[id]));
        radioItems->addButton(item, id);
        types->addWidget(item, id, 0);
    }
    checkAuth = new QCheckBox(QStringLiteral("Use authentication"));
    types->addWidget(checkAuth, 3, 1, 2, 1, Qt::AlignLeft | Qt::AlignVCenter);
    types->setColumnStretch(0, 1);
    auto* proxy = new QGridLayout(sheetProxy);
    proxy->setContentsMargins(16, 8, 16, 8);
    proxy->setHorizontalSpacing(15);
    proxy->setVerticalSpacing(3);
    proxy->addWidget(radios, 0, 0, 1, 2);
    proxy->setRowMinimumHeight(1, 6);
    editProxyHost = LabelledEdit(proxy, 2, 0, QStringLiteral("Host"));
    editProxyPort = LabelledEdit(proxy, 2, 1, QStringLiteral("Port"));
    editProxyUser = LabelledEdit(proxy, 4, 0, QStringLiteral("User"));
    editProxyPassword = LabelledEdit(proxy, 4, 1, QStringLiteral("Password"));
    proxy->setRowStretch(6, 1);
    setTabOrder(editProxyHost, editProxyPort);
    setTabOrder(editProxyPort, editProxyUser);
    setTabOrder(editProxyUser, radioItems->button(0));
    setTabOrder(radioItems->button(0), checkAuth);
    setTabOrder(checkAuth, editProxyPassword);

    auto* bevel = new QFrame(this);
    bevel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    bevel->setFixedHeight(39);
    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), bevel);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Cancel"), bevel);
    BitBtn1->setDefault(true);
    BitBtn2->setAutoDefault(false);
    auto* buttons = new QHBoxLayout(bevel);
    buttons->setContentsMargins(8, 4, 8, 4);
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addStretch();

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    form->setSpacing(0);
    form->addWidget(pages, 1);
    form->addWidget(bevel);

    connect(editPort, &QLineEdit::textChanged, this, &TftpSettings::editPortChange);
    connect(editProxyPort, &QLineEdit::textChanged, this, &TftpSettings::editProxyPortChange);
    connect(radioItems, &QButtonGroup::idToggled, this, &TftpSettings::radiosClick);
    connect(BitBtn3, &QPushButton::clicked, this, &TftpSettings::BitBtn3Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TftpSettings::accept);
    connect(BitBtn2, &QPushButton::clicked, this, &TftpSettings::reject);

    setFixedSize(sizeHint().expandedTo(QSize(337, 281)));
    FormCreate();
}

void TftpSettings::FormCreate() {
    pages->setCurrentWidget(sheetProxy);
}

void TftpSettings::LoadSettings() {
    const TFTPconnection& settings = *GetGlobalObject()->FTP;
    editHost->setText(QString::fromStdString(settings.Host));
    editPort->setText(QString::number(settings.Port));
    editPassword->setText(QString::fromStdString(settings.Password));
    editLogin->setText(QString::fromStdString(settings.Login));
    editDir->setText(QString::fromStdString(settings.RemoteDir));
    // The byte as stored; a value that names no item (255 among them) leaves none chosen.
    const int type = static_cast<std::int8_t>(settings.ProxyType);
    radioItems->setExclusive(false);
    for (QAbstractButton* item : radioItems->buttons()) {
        item->setChecked(radioItems->id(item) == type);
    }
    radioItems->setExclusive(true);
    checkAuth->setChecked(settings.UseAuthentication != 0);
    editProxyHost->setText(QString::fromStdString(settings.ProxyHost));
    editProxyUser->setText(QString::fromStdString(settings.ProxyUser));
    editProxyPassword->setText(QString::fromStdString(settings.ProxyPassword));
    editProxyPort->setText(QString::number(settings.ProxyPort));
    radiosClick();
}

bool TftpSettings::SaveSettings() {
    TFTPconnection& settings = *GetGlobalObject()->FTP;

    if (editPort->text().isEmpty()) {
        editPort->setText(QStringLiteral("0"));
    }
    std::int32_t port = 0;
    if (!TryStrToInt(editPort->text().toStdString(), port)) {
        return false;
    }
    settings.Port = port;
    settings.Host = editHost->text().toStdString();
    settings.Password = editPassword->text().toStdString();
    settings.Login = editLogin->text().toStdString();
    settings.RemoteDir = editDir->text().toStdString();

    if (editProxyPort->text().isEmpty()) {
        editProxyPort->setText(QStringLiteral("0"));
    }
    std::int32_t proxyPort = 0;
    if (!TryStrToInt(editProxyPort->text().toStdString(), proxyPort)) {
        return false;
    }
    settings.ProxyPort = proxyPort;
    settings.ProxyType = static_cast<std::uint8_t>(radioItems->checkedId()); // none chosen: 255
    settings.UseAuthentication = checkAuth->isChecked() ? 1 : 0;
    settings.ProxyHost = editProxyHost->text().toStdString();
    settings.ProxyUser = editProxyUser->text().toStdString();
    settings.ProxyPassword = editProxyPassword->text().toStdString();
    return true;
}

void TftpSettings::editPortChange() {
    DigitFilter(editPort);
}

void TftpSettings::editProxyPortChange() {
    DigitFilter(editProxyPort);
}

void TftpSettings::radiosClick() {
    const bool open = radioItems->checkedId() > 2;
    for (QWidget* control :
         std::initializer_list<QWidget*>{checkAuth, editProxyHost, editProxyPort, editProxyPassword, editProxyUser}) {
        control->setEnabled(open);
    }
}

void TftpSettings::BitBtn3Click() {
    if (PasswordDialog("Enter Master Password") != MasterPassword) {
        return;
    }
    for (QLineEdit* edit : {editHost, editPort}) {
        edit->setEnabled(true);
        SetBackground(edit, Qt::white);
    }
}
