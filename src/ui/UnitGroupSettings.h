#pragma once

#include "platform/DateTime.h"

#include <QDate>
#include <QDialog>
#include <QSpinBox>
#include <QTime>

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimeEdit;
class QWidget;
class TGroup;

// A whole-number edit with optional bounds. While typing, any whole number is let through (letters are refused);
// when the edit is left, or its text is read, a number beyond a bound becomes that bound, and an empty or
// unreadable text becomes the lower bound (0 without bounds).
class TSpinEdit : public QSpinBox {
public:
    // Without bounds.
    explicit TSpinEdit(QWidget* parent);
    TSpinEdit(QWidget* parent, int lower, int upper);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;

private:
    bool bounded_;
};

// The modal dialog in which the user edits everything about one task except its files. It keeps no copy of the
// task: LoadFromTask fills the controls, exec() gives QDialog::Accepted when Save's checks pass, and only then
// does the caller hand the same task to SaveToTask. Cancel, Escape and the close box leave the task untouched.
class TfrmGroupSettings : public QDialog {
public:
    explicit TfrmGroupSettings(QWidget* owner);

    // Fills every control from the task, then sets every enabled state, colour, font and header text by the rules
    // of the handlers below.
    void LoadFromTask(TGroup* task);
    // Writes every control into the task, disabled ones too; checks nothing (Save did).
    void SaveToTask(TGroup* task);

    // The handlers read only the controls' current states, so any of them may run at any time.
    // The group of the chosen kind of schedule is enabled and bold, the other two disabled and regular.
    void radioDailyClick();
    void checkNeedEncryptClick();
    void checkEndDateClick();
    // Save: the password check, then the mail check; the first that fails shows its message and the page it
    // concerns (the header keeps the texts of the page shown before), and the dialog stays open.
    void BitBtn4Click();
    void radioOcAtClick();
    // User id and password are open only while both mail alerts and authentication are ticked.
    void checkMailNeedAuthClick();
    // The mail group follows the mail switch; the user id and password edits keep their state (they change only
    // through checkMailNeedAuthClick).
    void checkMailEnableClick();
    // The header texts of the page on display.
    void PageControl1Change();

    QWidget* Panel1 = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblQuest = nullptr;
    QLabel* Image1 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QWidget* Panel2 = nullptr;
    QPushButton* BitBtn4 = nullptr; // Save
    QPushButton* BitBtn3 = nullptr; // Cancel

    // General
    QCheckBox* checkActive = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* editTaskName = nullptr;
    QGroupBox* Encryption = nullptr;
    QCheckBox* checkNeedEncrypt = nullptr;
    QLineEdit* editPassword = nullptr;
    QLineEdit* editRePassword = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QRadioButton* radioFullBackup = nullptr;
    QRadioButton* radioIncBackup = nullptr;

    // Schedule
    QGroupBox* GroupBox3 = nullptr;
    QRadioButton* radioOnce = nullptr;
    QRadioButton* radioDaily = nullptr;
    QRadioButton* radioWekkly = nullptr;
    QRadioButton* radioMonthly = nullptr;
    QGroupBox* GroupBox4 = nullptr; // Daily
    TSpinEdit* editDailyEveriN = nullptr;
    QGroupBox* GroupBox5 = nullptr; // Weekly
    TSpinEdit* editWeeklyEveriN = nullptr;
    QCheckBox* checkMon = nullptr;
    QCheckBox* checkTue = nullptr;
    QCheckBox* checkWed = nullptr;
    QCheckBox* checkThur = nullptr;
    QCheckBox* checkFri = nullptr;
    QCheckBox* checkSat = nullptr;
    QCheckBox* checkSun = nullptr;
    QGroupBox* GroupBox6 = nullptr; // Monthly
    TSpinEdit* editMonthDayN = nullptr;
    QCheckBox* checkJunuary = nullptr;
    QCheckBox* checkFeb = nullptr;
    QCheckBox* checkMarch = nullptr;
    QCheckBox* checkApr = nullptr;
    QCheckBox* checkMay = nullptr;
    QCheckBox* checkJune = nullptr;
    QCheckBox* checkJuly = nullptr;
    QCheckBox* checkAug = nullptr;
    QCheckBox* checkSept = nullptr;
    QCheckBox* checkOkt = nullptr;
    QCheckBox* checkNovem = nullptr;
    QCheckBox* checkDecember = nullptr;
    QGroupBox* GroupBox7 = nullptr; // Daily frequency
    QRadioButton* radioOcAt = nullptr;
    QTimeEdit* timeAt = nullptr;
    QRadioButton* radioOcEveryHours = nullptr;
    TSpinEdit* editOcEveryHours = nullptr;
    QGroupBox* GroupBox8 = nullptr; // Duration
    QDateEdit* startDate = nullptr;
    QCheckBox* checkEndDate = nullptr;
    QDateEdit* endDate = nullptr;
    QCheckBox* checkdeleteAfterStop = nullptr; // never shown; carries the task's flag through

    // Alerts
    QCheckBox* checkMailEnable = nullptr;
    QGroupBox* GroupBox9 = nullptr;
    QLineEdit* editMailUserName = nullptr;
    QLineEdit* editMailAddress = nullptr;
    QLineEdit* editMailServer = nullptr;
    QLineEdit* editMailReciepent = nullptr;
    QCheckBox* checkMailNeedAuth = nullptr;
    QLineEdit* editMailUserId = nullptr;
    QLineEdit* editMailPassword = nullptr;
    QGroupBox* GroupBox10 = nullptr;
    QCheckBox* checkMailAlertFail = nullptr;
    QCheckBox* checkMailAlertSuccess = nullptr;

private:
    void BuildGeneralPage();
    // Puts a page on display for a failed Save check, without PageControl1Change.
    void ShowPageKeepingHeader(int page);
    void BuildSchedulePage();
    void BuildAlertsPage();

    // The pickers show a date or a time of day; the task holds whole moments. What was loaded is kept so that
    // the part a picker does not show, and the whole value when nothing was changed, reach the task untouched.
    struct TShownMoment {
        TDateTime loaded = 0;
        QDate date;
        QTime time;
    };
    TShownMoment at_;
    TShownMoment start_;
    TShownMoment end_;
};
