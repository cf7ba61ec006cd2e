#include "UnitGroupSettings.h"

#include "ModalBoxes.h"
#include "Pictures.h"
#include "core/tasks/UnitGroups.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabWidget>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

// --- TSpinEdit ---

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent), bounded_(false) {
    setRange(INT_MIN, INT_MAX);
}

TSpinEdit::TSpinEdit(QWidget* parent, int lower, int upper) : QSpinBox(parent), bounded_(true) {
    setRange(lower, upper);
}

namespace {

const QRegularExpression& WholeNumber() {
    static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
    return pattern;
}

} // namespace

QValidator::State TSpinEdit::validate(QString& input, int&) const {
    const QString text = input.trimmed();
    if (text.isEmpty() || text == QLatin1String("-") || text == QLatin1String("+")) {
        return QValidator::Intermediate;
    }
    if (!WholeNumber().match(text).hasMatch()) {
        return QValidator::Invalid;
    }
    // A number beyond a bound may still be typed; leaving the edit brings it back (fixup).
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    return ok && value >= minimum() && value <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const {
    const QString text = input.trimmed();
    qlonglong value = bounded_ ? minimum() : 0;
    if (WholeNumber().match(text).hasMatch()) {
        bool ok = false;
        value = text.toLongLong(&ok);
        if (!ok) { // more digits than any bound: the bound on its side
            value = text.startsWith(QLatin1Char('-')) ? LLONG_MIN : LLONG_MAX;
        }
    }
    value = std::clamp<qlonglong>(value, minimum(), maximum());
    input = QString::number(value);
}

// --- TfrmGroupSettings ---

namespace {

// Radio buttons of one group are exclusive, which also keeps the last one on; a stored value that names none of
// them must turn them all off.
void CheckOnly(std::initializer_list<QRadioButton*> buttons, QRadioButton* on) {
    for (QRadioButton* button : buttons) {
        button->setAutoExclusive(false);
        button->setChecked(button == on);
        button->setAutoExclusive(true);
    }
}

QLineEdit* LabelledEdit(QGridLayout* grid, int row, int column, const QString& caption) {
    auto* edit = new QLineEdit;
    grid->addWidget(new QLabel(caption), row, column);
    grid->addWidget(edit, row + 1, column);
    return edit;
}

void SetStyleBold(QWidget* widget, bool bold) {
    QFont font = widget->font();
    font.setBold(bold);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    widget->setFont(font);
}

// The background in every state; a locked edit keeps its text readable in grey on the grey background.
void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x60, 0x60, 0x60));
    widget->setPalette(palette);
}

TDateTime WithTimeOfDay(TDateTime day, TDateTime fraction) {
    // The form of EncodeDateTime: before day 0 the time of day still counts forwards from midnight.
    const TDateTime whole = static_cast<TDateTime>(DayOf(day));
    return day < 0 ? whole - fraction : whole + fraction;
}

TDateTime TimeFraction(TDateTime value) {
    const TimeParts time = DecodeTime(value);
    return EncodeTime(time.hour, time.minute, time.second, time.millisecond);
}

QDate ToQDate(TDateTime value) {
    const DateParts date = DecodeDate(value);
    return QDate(date.year, date.month, date.day);
}

QTime ToQTime(TDateTime value) {
    const TimeParts time = DecodeTime(value);
    return QTime(time.hour, time.minute, time.second, time.millisecond);
}

struct TPageTexts {
    const char* title;
    const char* question;
};

constexpr std::array<TPageTexts, 3> PageTexts = {{
    {"Choose the main settings of the task.", "Do you need to protect your information?"},
    {"Choose the date and time for the task.", "You can choose one of four types."},
    {"Choose if you want to be notified about the process.",
     "Do you need the program to send you a report after backup?"},
}};

} // namespace

TfrmGroupSettings::TfrmGroupSettings(QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("Task Settings"));

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(65);
    Panel1->setAutoFillBackground(true);
    QPalette white = Panel1->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    Panel1->setPalette(white);
    lblTitle = new QLabel(Panel1);
    lblQuest = new QLabel(Panel1);
    QFont titleFont = lblTitle->font();
    titleFont.setPixelSize(13);
    QFont questFont = titleFont;
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);
    lblQuest->setFont(questFont);
    Image1 = new QLabel(Panel1);
    Image1->setPixmap(HeaderPicture());
    Image1->setFixedSize(59, 60);
    auto* headerTexts = new QVBoxLayout;
    headerTexts->setSpacing(4);
    headerTexts->addStretch();
    headerTexts->addWidget(lblTitle);
    auto* questRow = new QHBoxLayout;
    questRow->addSpacing(16);
    questRow->addWidget(lblQuest);
    headerTexts->addLayout(questRow);
    headerTexts->addStretch();
    auto* header = new QHBoxLayout(Panel1);
    header->setContentsMargins(12, 2, 8, 2);
    header->addLayout(headerTexts, 1);
    header->addWidget(Image1);

    PageControl1 = new QTabWidget(this);
    PageControl1->setDocumentMode(true);
    TabSheet1 = new QWidget;
    TabSheet2 = new QWidget;
    TabSheet3 = new QWidget;
    PageControl1->addTab(TabSheet1, QStringLiteral("General"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Schedule"));
    PageControl1->addTab(TabSheet3, QStringLiteral("Alerts"));
    BuildGeneralPage();
    BuildSchedulePage();
    BuildAlertsPage();

    Panel2 = new QWidget(this);
    Panel2->setFixedHeight(39);
    BitBtn4 = new QPushButton(CommandPicture(7), QStringLiteral("Save"), Panel2);
    BitBtn3 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("Cancel"), Panel2);
    // Enter must not save: neither button is the default, not even while it has the focus.
    for (QPushButton* button : {BitBtn4, BitBtn3}) {
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setMinimumWidth(90);
    }
    auto* buttons = new QHBoxLayout(Panel2);
    buttons->setContentsMargins(8, 4, 12, 4);
    buttons->addStretch();
    buttons->addWidget(BitBtn4);
    buttons->addWidget(BitBtn3);

    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    form->setSpacing(0);
    form->addWidget(Panel1);
    auto* middle = new QVBoxLayout;
    middle->setContentsMargins(6, 6, 6, 0);
    middle->addWidget(PageControl1);
    form->addLayout(middle, 1);
    form->addWidget(Panel2);

    connect(radioOnce, &QRadioButton::toggled, this, &TfrmGroupSettings::radioDailyClick);
    connect(radioDaily, &QRadioButton::toggled, this, &TfrmGroupSettings::radioDailyClick);
    connect(radioWekkly, &QRadioButton::toggled, this, &TfrmGroupSettings::radioDailyClick);
    connect(radioMonthly, &QRadioButton::toggled, this, &TfrmGroupSettings::radioDailyClick);
    connect(checkNeedEncrypt, &QCheckBox::toggled, this, &TfrmGroupSettings::checkNeedEncryptClick);
    connect(checkEndDate, &QCheckBox::toggled, this, &TfrmGroupSettings::checkEndDateClick);
    connect(BitBtn4, &QPushButton::clicked, this, &TfrmGroupSettings::BitBtn4Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TfrmGroupSettings::reject);
    connect(radioOcAt, &QRadioButton::toggled, this, &TfrmGroupSettings::radioOcAtClick);
    connect(radioOcEveryHours, &QRadioButton::toggled, this, &TfrmGroupSettings::radioOcAtClick);
    connect(checkMailNeedAuth, &QCheckBox::toggled, this, &TfrmGroupSettings::checkMailNeedAuthClick);
    connect(checkMailEnable, &QCheckBox::toggled, this, &TfrmGroupSettings::checkMailEnableClick);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TfrmGroupSettings::PageControl1Change);

    PageControl1->setCurrentIndex(0);
    setFixedSize(sizeHint().expandedTo(QSize(544, 454)));
}

void TfrmGroupSettings::BuildGeneralPage() {
    checkActive = new QCheckBox(QStringLiteral("Enabled"));

    GroupBox1 = new QGroupBox(QStringLiteral("Task name"));
    editTaskName = new QLineEdit;
    auto* nameRow = new QHBoxLayout(GroupBox1);
    nameRow->addWidget(new QLabel(QStringLiteral("Task Name")));
    nameRow->addWidget(editTaskName, 1);

    Encryption = new QGroupBox(QStringLiteral("Encryption"));
    checkNeedEncrypt = new QCheckBox(QStringLiteral("Encrypt files?"));
    editPassword = new QLineEdit;
    editRePassword = new QLineEdit;
    editPassword->setEchoMode(QLineEdit::Password);
    editRePassword->setEchoMode(QLineEdit::Password);
    auto* secret = new QGridLayout(Encryption);
    secret->addWidget(checkNeedEncrypt, 0, 0, 1, 2);
    secret->addWidget(new QLabel(QStringLiteral("Password")), 1, 0);
    secret->addWidget(editPassword, 1, 1);
    secret->addWidget(new QLabel(QStringLiteral("Confirm password")), 2, 0);
    secret->addWidget(editRePassword, 2, 1);
    secret->setColumnStretch(1, 1);

    GroupBox2 = new QGroupBox(QStringLiteral("Backup type"));
    radioFullBackup = new QRadioButton(QStringLiteral("Full backup"));
    radioIncBackup = new QRadioButton(QStringLiteral("Incremental backup"));
    auto* kind = new QVBoxLayout(GroupBox2);
    kind->addWidget(radioFullBackup);
    kind->addWidget(radioIncBackup);

    auto* page = new QVBoxLayout(TabSheet1);
    page->addWidget(checkActive);
    page->addWidget(GroupBox1);
    page->addWidget(Encryption);
    page->addWidget(GroupBox2);
    page->addStretch();
}

void TfrmGroupSettings::BuildSchedulePage() {
    GroupBox3 = new QGroupBox(QStringLiteral("Occurs"));
    radioOnce = new QRadioButton(QStringLiteral("Once"));
    radioDaily = new QRadioButton(QStringLiteral("Daily"));
    radioWekkly = new QRadioButton(QStringLiteral("Weekly"));
    radioMonthly = new QRadioButton(QStringLiteral("Monthly"));
    auto* occurs = new QHBoxLayout(GroupBox3);
    for (QRadioButton* button : {radioOnce, radioDaily, radioWekkly, radioMonthly}) {
        occurs->addWidget(button);
    }

    GroupBox4 = new QGroupBox(QStringLiteral("Daily"));
    editDailyEveriN = new TSpinEdit(nullptr, 1, 366);
    auto* daily = new QHBoxLayout(GroupBox4);
    daily->addWidget(new QLabel(QStringLiteral("Every")));
    daily->addWidget(editDailyEveriN);
    daily->addWidget(new QLabel(QStringLiteral("day(s)")));
    daily->addStretch();
    GroupBox4->setEnabled(false);

    GroupBox5 = new QGroupBox(QStringLiteral("Weekly"));
    editWeeklyEveriN = new TSpinEdit(nullptr, 1, 52);
    editWeeklyEveriN->setValue(1);
    checkMon = new QCheckBox(QStringLiteral("Mon"));
    checkTue = new QCheckBox(QStringLiteral("Tue"));
    checkWed = new QCheckBox(QStringLiteral("Wed"));
    checkThur = new QCheckBox(QStringLiteral("Thur"));
    checkFri = new QCheckBox(QStringLiteral("Fri"));
    checkSat = new QCheckBox(QStringLiteral("Sat"));
    checkSun = new QCheckBox(QStringLiteral("Sun"));
    auto* weekly = new QGridLayout(GroupBox5);
    auto* weeklyEvery = new QHBoxLayout;
    weeklyEvery->addWidget(new QLabel(QStringLiteral("Every")));
    weeklyEvery->addWidget(editWeeklyEveriN);
    weeklyEvery->addWidget(new QLabel(QStringLiteral("week(s)")));
    weeklyEvery->addStretch();
    weekly->addLayout(weeklyEvery, 0, 0, 1, 4);
    const std::array<QCheckBox*, 7> days = {checkMon, checkTue, checkWed, checkThur, checkFri, checkSat, checkSun};
    for (int i = 0; i < 7; ++i) {
        weekly->addWidget(days[static_cast<std::size_t>(i)], 1 + i / 3, i % 3);
    }

    GroupBox6 = new QGroupBox(QStringLiteral("Monthly"));
    editMonthDayN = new TSpinEdit(nullptr, 1, 31);
    checkJunuary = new QCheckBox(QStringLiteral("January"));
    checkFeb = new QCheckBox(QStringLiteral("February"));
    checkMarch = new QCheckBox(QStringLiteral("March"));
    checkApr = new QCheckBox(QStringLiteral("April"));
    checkMay = new QCheckBox(QStringLiteral("May"));
    checkJune = new QCheckBox(QStringLiteral("June"));
    checkJuly = new QCheckBox(QStringLiteral("July"));
    checkAug = new QCheckBox(QStringLiteral("August"));
    checkSept = new QCheckBox(QStringLiteral("September"));
    checkOkt = new QCheckBox(QStringLiteral("October"));
    checkNovem = new QCheckBox(QStringLiteral("November"));
    checkDecember = new QCheckBox(QStringLiteral("December"));
    auto* monthly = new QGridLayout(GroupBox6);
    auto* monthDay = new QHBoxLayout;
    monthDay->addWidget(new QLabel(QStringLiteral("Day")));
    monthDay->addWidget(editMonthDayN);
    monthDay->addWidget(new QLabel(QStringLiteral("of the month")));
    monthDay->addStretch();
    monthly->addLayout(monthDay, 0, 0, 1, 3);
    const std::array<QCheckBox*, 12> months = {checkJunuary, checkFeb, checkMarch, checkApr, checkMay,   checkJune,
                                               checkJuly,    checkAug, checkSept,  checkOkt, checkNovem, checkDecember};
    for (int i = 0; i < 12; ++i) {
        monthly->addWidget(months[static_cast<std::size_t>(i)], 1 + i / 3, i % 3);
    }
    monthly->setRowStretch(5, 1);

    GroupBox7 = new QGroupBox(QStringLiteral("Daily frequecy"));
    radioOcAt = new QRadioButton(QStringLiteral("Occurs once at"));
    timeAt = new QTimeEdit;
    timeAt->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    radioOcEveryHours = new QRadioButton(QStringLiteral("Occurs every"));
    editOcEveryHours = new TSpinEdit(nullptr);
    auto* frequency = new QHBoxLayout(GroupBox7);
    frequency->addWidget(radioOcAt);
    frequency->addWidget(timeAt);
    frequency->addSpacing(24);
    frequency->addWidget(radioOcEveryHours);
    frequency->addWidget(editOcEveryHours);
    frequency->addWidget(new QLabel(QStringLiteral("hour(s)")));
    frequency->addStretch();

    GroupBox8 = new QGroupBox(QStringLiteral("Duration"));
    startDate = new QDateEdit;
    endDate = new QDateEdit;
    checkEndDate = new QCheckBox(QStringLiteral("End date"));
    for (QDateEdit* picker : {startDate, endDate}) {
        picker->setCalendarPopup(true);
        picker->setDateRange(QDate(1, 1, 1), QDate(9999, 12, 31));
    }
    auto* duration = new QHBoxLayout(GroupBox8);
    duration->addWidget(new QLabel(QStringLiteral("Start date")));
    duration->addWidget(startDate);
    duration->addSpacing(24);
    duration->addWidget(checkEndDate);
    duration->addWidget(endDate);
    duration->addStretch();

    checkdeleteAfterStop = new QCheckBox(QStringLiteral("Delete task after finish"), TabSheet2);
    checkdeleteAfterStop->setVisible(false);

    auto* page = new QGridLayout(TabSheet2);
    page->addWidget(GroupBox3, 0, 0, 1, 2);
    page->addWidget(GroupBox4, 1, 0);
    page->addWidget(GroupBox5, 2, 0);
    page->addWidget(GroupBox6, 1, 1, 2, 1);
    page->addWidget(GroupBox7, 3, 0, 1, 2);
    page->addWidget(GroupBox8, 4, 0, 1, 2);
    page->setRowStretch(5, 1);
}

void TfrmGroupSettings::BuildAlertsPage() {
    checkMailEnable = new QCheckBox(QStringLiteral("Enable"));

    GroupBox9 = new QGroupBox(QStringLiteral("Alert via Email"));
    auto* mail = new QGridLayout(GroupBox9);
    editMailUserName = LabelledEdit(mail, 0, 0, QStringLiteral("User Name"));
    editMailAddress = LabelledEdit(mail, 2, 0, QStringLiteral("Mail Address"));
    editMailServer = LabelledEdit(mail, 4, 0, QStringLiteral("Mail Server"));
    editMailReciepent = LabelledEdit(mail, 6, 0, QStringLiteral("Recipient"));
    checkMailNeedAuth = new QCheckBox(QStringLiteral("My server needs authentication"));
    mail->addWidget(checkMailNeedAuth, 1, 2);
    editMailUserId = LabelledEdit(mail, 2, 2, QStringLiteral("UserId"));
    editMailPassword = LabelledEdit(mail, 4, 2, QStringLiteral("Password"));
    mail->setColumnMinimumWidth(1, 24);
    mail->setColumnStretch(0, 1);
    mail->setColumnStretch(2, 1);

    GroupBox10 = new QGroupBox(QStringLiteral("Alert on"));
    checkMailAlertFail = new QCheckBox(QStringLiteral("Fail"));
    checkMailAlertSuccess = new QCheckBox(QStringLiteral("Success"));
    auto* alertOn = new QHBoxLayout(GroupBox10);
    alertOn->addWidget(checkMailAlertFail);
    alertOn->addWidget(checkMailAlertSuccess);
    alertOn->addStretch();

    auto* page = new QVBoxLayout(TabSheet3);
    page->addWidget(checkMailEnable);
    page->addWidget(GroupBox9);
    page->addWidget(GroupBox10);
    page->addStretch();
}

void TfrmGroupSettings::LoadFromTask(TGroup* task) {
    const TGroupInfo& info = *task->Info;
    const TTimePeriod& period = *info.Period;

    checkActive->setChecked(info.Active != 0);
    editTaskName->setText(QString::fromStdString(task->GetName()));
    CheckOnly({radioFullBackup, radioIncBackup}, info.Incremental == 0 ? radioFullBackup : radioIncBackup);
    checkNeedEncrypt->setChecked(info.NeedEncrypt != 0);
    editPassword->setText(QString::fromStdString(info.Password));
    editRePassword->setText(QString::fromStdString(info.Password));
    const std::array<QRadioButton*, 4> kinds = {radioOnce, radioDaily, radioWekkly, radioMonthly};
    CheckOnly({radioOnce, radioDaily, radioWekkly, radioMonthly},
              period.Type < kinds.size() ? kinds[period.Type] : nullptr);
    editDailyEveriN->setValue(period.DailyEveryN);
    checkMon->setChecked(period.HasWeekDay(1));
    checkTue->setChecked(period.HasWeekDay(2));
    checkWed->setChecked(period.HasWeekDay(3));
    checkThur->setChecked(period.HasWeekDay(4));
    checkFri->setChecked(period.HasWeekDay(5));
    checkSat->setChecked(period.HasWeekDay(6));
    checkSun->setChecked(period.HasWeekDay(0));
    editMonthDayN->setValue(period.MonthDay);
    const std::array<QCheckBox*, 12> months = {checkJunuary, checkFeb, checkMarch, checkApr, checkMay,   checkJune,
                                               checkJuly,    checkAug, checkSept,  checkOkt, checkNovem, checkDecember};
    for (int month = 0; month < 12; ++month) {
        months[static_cast<std::size_t>(month)]->setChecked(period.HasMonth(month));
    }

    timeAt->setTime(ToQTime(period.At));
    at_ = {period.At, {}, timeAt->time()};
    startDate->setDate(ToQDate(period.StartDate));
    start_ = {period.StartDate, startDate->date(), {}};
    endDate->setDate(ToQDate(period.EndDate));
    end_ = {period.EndDate, endDate->date(), {}};
    checkEndDate->setChecked(period.HasEndDate != 0);
    checkdeleteAfterStop->setChecked(period.DeleteAfterStop != 0);
    CheckOnly({radioOcAt, radioOcEveryHours}, period.Mode == 0 ? radioOcAt : radioOcEveryHours);
    editOcEveryHours->setValue(period.EveryHours);

    checkMailEnable->setChecked(info.MailEnable != 0);
    editMailUserName->setText(QString::fromStdString(info.MailUserName));
    editMailAddress->setText(QString::fromStdString(info.MailAddress));
    editMailServer->setText(QString::fromStdString(info.MailServer));
    editMailReciepent->setText(QString::fromStdString(info.MailRecipient));
    editMailUserId->setText(QString::fromStdString(info.MailUserId));
    editMailPassword->setText(QString::fromStdString(info.MailPassword));
    checkMailNeedAuth->setChecked(info.MailNeedAuth != 0);
    checkMailAlertFail->setChecked(info.MailAlertFail != 0);
    checkMailAlertSuccess->setChecked(info.MailAlertSuccess != 0);

    checkEndDateClick();
    checkNeedEncryptClick();
    radioDailyClick();
    radioOcAtClick();
    checkMailNeedAuthClick();
    checkMailEnableClick();
    PageControl1Change();
}

void TfrmGroupSettings::SaveToTask(TGroup* task) {
    TGroupInfo& info = *task->Info;
    TTimePeriod& period = *info.Period;
    // A number still being typed counts as the edit shows it once left.
    for (TSpinEdit* edit : {editDailyEveriN, editWeeklyEveriN, editMonthDayN, editOcEveryHours}) {
        edit->interpretText();
    }

    info.Active = checkActive->isChecked() ? 1 : 0;
    task->SetName(editTaskName->text().toStdString());
    info.Incremental = radioFullBackup->isChecked() ? 0 : 1;
    info.NeedEncrypt = checkNeedEncrypt->isChecked() ? 1 : 0;
    info.Password = editPassword->text().toStdString();
    const std::array<QRadioButton*, 4> kinds = {radioOnce, radioDaily, radioWekkly, radioMonthly};
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        if (kinds[kind]->isChecked()) {
            period.Type = static_cast<std::uint8_t>(kind);
            break;
        }
    }
    period.DailyEveryN = editDailyEveriN->value();
    // Monday first and Sunday last, as the boxes stand.
    const std::array<std::pair<QCheckBox*, int>, 7> days = {
        {{checkMon, 1}, {checkTue, 2}, {checkWed, 3}, {checkThur, 4}, {checkFri, 5}, {checkSat, 6}, {checkSun, 0}}};
    period.ClearWeekDays();
    for (const auto& [box, day] : days) {
        if (box->isChecked()) {
            period.AddWeekDay(day);
        }
    }
    period.MonthDay = editMonthDayN->value();
    const std::array<QCheckBox*, 12> months = {checkJunuary, checkFeb, checkMarch, checkApr, checkMay,   checkJune,
                                               checkJuly,    checkAug, checkSept,  checkOkt, checkNovem, checkDecember};
    period.ClearMonths();
    for (int month = 0; month < 12; ++month) {
        if (months[static_cast<std::size_t>(month)]->isChecked()) {
            period.AddMonth(month);
        }
    }

    // Only the shown part of a moment changes, and only when the user changed it.
    const QTime time = timeAt->time();
    period.At = time == at_.time
                    ? at_.loaded
                    : WithTimeOfDay(at_.loaded, EncodeTime(time.hour(), time.minute(), time.second(), time.msec()));
    const auto pickedDay = [](const TShownMoment& shown, const QDate& date) {
        if (date == shown.date) {
            return shown.loaded;
        }
        return WithTimeOfDay(EncodeDate(date.year(), date.month(), date.day()), TimeFraction(shown.loaded));
    };
    period.StartDate = pickedDay(start_, startDate->date());
    period.EndDate = pickedDay(end_, endDate->date());
    period.HasEndDate = checkEndDate->isChecked() ? 1 : 0;
    period.DeleteAfterStop = checkdeleteAfterStop->isChecked() ? 1 : 0;
    period.Mode = radioOcAt->isChecked() ? 0 : 1;
    period.EveryHours = editOcEveryHours->value();

    info.MailEnable = checkMailEnable->isChecked() ? 1 : 0;
    info.MailUserName = editMailUserName->text().toStdString();
    info.MailAddress = editMailAddress->text().toStdString();
    info.MailServer = editMailServer->text().toStdString();
    info.MailRecipient = editMailReciepent->text().toStdString();
    info.MailUserId = editMailUserId->text().toStdString();
    info.MailPassword = editMailPassword->text().toStdString();
    info.MailNeedAuth = checkMailNeedAuth->isChecked() ? 1 : 0;
    info.MailAlertFail = checkMailAlertFail->isChecked() ? 1 : 0;
    info.MailAlertSuccess = checkMailAlertSuccess->isChecked() ? 1 : 0;
}

void TfrmGroupSettings::radioDailyClick() {
    const std::array<std::pair<QGroupBox*, QRadioButton*>, 3> groups = {
        {{GroupBox4, radioDaily}, {GroupBox5, radioWekkly}, {GroupBox6, radioMonthly}}};
    for (const auto& [group, button] : groups) {
        group->setEnabled(button->isChecked());
        SetStyleBold(group, button->isChecked());
    }
}

void TfrmGroupSettings::checkNeedEncryptClick() {
    editPassword->setEnabled(checkNeedEncrypt->isChecked());
    editRePassword->setEnabled(checkNeedEncrypt->isChecked());
}

void TfrmGroupSettings::checkEndDateClick() {
    endDate->setEnabled(checkEndDate->isChecked());
}

void TfrmGroupSettings::BitBtn4Click() {
    if (checkNeedEncrypt->isChecked() && editPassword->text() != editRePassword->text()) {
        MessageBox(this, "Please, rewrite password.");
        ShowPageKeepingHeader(0);
        return;
    }
    if (checkMailEnable->isChecked()) {
        const bool incomplete = editMailAddress->text().isEmpty() || editMailServer->text().isEmpty() ||
                                editMailReciepent->text().isEmpty() ||
                                (checkMailNeedAuth->isChecked() &&
                                 (editMailUserId->text().isEmpty() || editMailPassword->text().isEmpty()));
        if (incomplete) {
            MessageBox(this, "Please, fill the inforamation about your email.");
            ShowPageKeepingHeader(2);
            return;
        }
    }
    accept();
}

void TfrmGroupSettings::ShowPageKeepingHeader(int page) {
    // Only the user's own choice of a page runs PageControl1Change; the header keeps the texts it had.
    const QSignalBlocker quiet(PageControl1);
    PageControl1->setCurrentIndex(page);
}

void TfrmGroupSettings::radioOcAtClick() {
    timeAt->setEnabled(radioOcAt->isChecked());
    editOcEveryHours->setEnabled(!radioOcAt->isChecked());
}

void TfrmGroupSettings::checkMailNeedAuthClick() {
    const bool open = checkMailEnable->isChecked() && checkMailNeedAuth->isChecked();
    const QColor background = open ? QColor(Qt::white) : palette().color(QPalette::Button);
    for (QLineEdit* edit : {editMailUserId, editMailPassword}) {
        edit->setEnabled(open);
        SetBackground(edit, background);
    }
}

void TfrmGroupSettings::checkMailEnableClick() {
    // The user id and password keep their own state: they open when the authentication box is clicked.
    GroupBox9->setEnabled(checkMailEnable->isChecked());
    SetStyleBold(GroupBox9, checkMailEnable->isChecked());
}

void TfrmGroupSettings::PageControl1Change() {
    const int page = PageControl1->currentIndex();
    if (page < 0 || page >= static_cast<int>(PageTexts.size())) {
        return;
    }
    lblTitle->setText(QString::fromLatin1(PageTexts[static_cast<std::size_t>(page)].title));
    lblQuest->setText(QString::fromLatin1(PageTexts[static_cast<std::size_t>(page)].question));
}
