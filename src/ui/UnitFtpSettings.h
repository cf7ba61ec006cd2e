#pragma once

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QWidget;

// The modal dialog in which the user edits the FTP server and proxy settings of the application object's FTP
// connection. The server's host and port stay locked until "Change Host" is given the master password. It opens
// on the proxy page. The caller loads it, runs exec(), and on QDialog::Accepted calls SaveSettings and, when that
// succeeds, reconnects.
class TftpSettings : public QDialog {
public:
    // Master password that unlocks the host and port.
    static constexpr const char* MasterPassword = "wq7ubn3k";

    explicit TftpSettings(QWidget* owner);

    // Fills the controls from the FTP connection's settings.
    void LoadSettings();
    // Writes the controls back in two steps, the server's fields, then the proxy's; each step begins with its
    // port number and writes nothing when that does not convert, and the save ends there with false. An empty
    // port is taken as "0".
    bool SaveSettings();

    void FormCreate();
    // The digit filter of the port edits: a last character that is not a digit is taken off again.
    void editPortChange();
    void editProxyPortChange();
    // The proxy's host, port, user, password and "Use authentication" are open for SOCKS5 and HTTP 1.1 only;
    // closing them keeps what they hold.
    void radiosClick();
    // "Change Host": asks for the master password and unlocks the host and port when it matches exactly.
    void BitBtn3Click();

    QTabWidget* pages = nullptr;
    QWidget* sheetFtp = nullptr;
    QWidget* sheetProxy = nullptr;
    QLineEdit* editHost = nullptr;
    QLineEdit* editPort = nullptr;
    QPushButton* BitBtn3 = nullptr; // Change Host
    QLineEdit* editLogin = nullptr;
    QLineEdit* editPassword = nullptr;
    QLineEdit* editDir = nullptr;
    QGroupBox* radios = nullptr;
    QButtonGroup* radioItems = nullptr; // the items of "Proxy type", ids 0 to 4 in list order
    QCheckBox* checkAuth = nullptr;
    QLineEdit* editProxyHost = nullptr;
    QLineEdit* editProxyPort = nullptr;
    QLineEdit* editProxyUser = nullptr;
    QLineEdit* editProxyPassword = nullptr;
    QPushButton* BitBtn1 = nullptr; // OK
    QPushButton* BitBtn2 = nullptr; // Cancel
};
