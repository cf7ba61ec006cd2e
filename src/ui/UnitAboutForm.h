#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The About box: the program's picture and the makers' contact details, whose web and mail lines open the
// browser or a new mail. Modal, with no owner, over the middle of the main window.
class TaboutForm : public QDialog {
public:
    static constexpr const char* MakerName = "Corvane Backup Project";
    static constexpr const char* WebAddress = "https://www.example.org/corvane/";
    static constexpr const char* MailAddress = "support@example.org";
    static constexpr const char* CreditLine = "Written by the Corvane team";
    static constexpr const char* CreditAddress = "team@example.org";

    TaboutForm();

    // The web page, a new mail to the support address, a new mail to the team.
    void Label2Click();
    void Label3Click();
    void Label5Click();

    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QPushButton* BitBtn1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
};
