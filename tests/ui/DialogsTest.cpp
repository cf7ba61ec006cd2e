#include "core/app/UnitGo.h"
#include "core/tasks/UnitGroups.h"
#include "support/FakeCoreWindows.h"
#include "support/TempDir.h"
#include "ui/ModalBoxes.h"
#include "ui/Pictures.h"
#include "ui/UnitFtpSettings.h"
#include "ui/UnitGroupSettings.h"
#include "ui/UnitPasswordDialog.h"
#include "ui/UnitSendProcess.h"
#include "ui/UnitSplashScreen.h"

#include <QApplication>
#include <QBitmap>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "ui_dialogs_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Answers every box and prompt in the user's place and keeps what was asked.
class Responder {
public:
    Responder() {
        SetModalResponder([this](const TModalRequest& request) {
            Asked.push_back(request.text);
            return Answer;
        });
    }
    ~Responder() { SetModalResponder({}); }

    std::vector<std::string> Asked;
    TModalAnswer Answer;
};

std::vector<int> WeekDays(const TTimePeriod& period) {
    return {period.WeekDays.begin(), period.WeekDays.end()};
}
std::vector<int> Months(const TTimePeriod& period) {
    return {period.Months.begin(), period.Months.end()};
}

bool Bold(const QWidget* widget) {
    return widget->font().bold();
}

QColor Background(const QWidget* widget) {
    return widget->palette().color(QPalette::Base);
}

class TaskSettingsDialog : public ::testing::Test {
protected:
    QApplication& app = App(); // before the dialog
    TfrmGroupSettings dialog{nullptr};
};

TEST_F(TaskSettingsDialog, FreshTaskOpensOnTheDefaultsAndSavesThemBackBounded) {
    TGroup task;
    const TTimePeriod fresh = *task.Info->Period;
    dialog.LoadFromTask(&task);

    EXPECT_TRUE(dialog.radioOnce->isChecked());
    for (QGroupBox* group : {dialog.GroupBox4, dialog.GroupBox5, dialog.GroupBox6}) {
        EXPECT_FALSE(group->isEnabled());
        EXPECT_FALSE(Bold(group));
    }
    EXPECT_EQ(dialog.editDailyEveriN->value(), 1);
    EXPECT_EQ(dialog.editMonthDayN->value(), 1);
    EXPECT_TRUE(dialog.radioOcAt->isChecked());
    EXPECT_TRUE(dialog.timeAt->isEnabled());
    EXPECT_EQ(dialog.timeAt->time(), QTime(0, 0));
    EXPECT_FALSE(dialog.editOcEveryHours->isEnabled());
    EXPECT_EQ(dialog.editOcEveryHours->value(), 3);
    EXPECT_FALSE(dialog.editPassword->isEnabled());
    EXPECT_FALSE(dialog.endDate->isEnabled());
    EXPECT_FALSE(dialog.GroupBox9->isEnabled());
    EXPECT_EQ(dialog.PageControl1->currentIndex(), 0);
    EXPECT_EQ(dialog.lblTitle->text(), "Choose the main settings of the task.");
    EXPECT_EQ(dialog.lblQuest->text(), "Do you need to protect your information?");

    dialog.SaveToTask(&task);
    const TTimePeriod& saved = *task.Info->Period;
    EXPECT_EQ(saved.Type, 0);
    EXPECT_EQ(saved.DailyEveryN, 1);
    EXPECT_EQ(saved.MonthDay, 1);
    EXPECT_EQ(saved.WeeklyEveryN, 0); // no control writes it
    EXPECT_EQ(saved.At, 0.0);
    EXPECT_EQ(saved.StartDate, fresh.StartDate); // to the last bit: the moment of creation, time of day included
    EXPECT_EQ(saved.EndDate, fresh.EndDate);
    EXPECT_EQ(saved.EveryHours, 3);
    EXPECT_EQ(saved.Mode, 0);
    EXPECT_TRUE(saved.WeekDays.empty());
    EXPECT_TRUE(saved.Months.empty());
    EXPECT_EQ(task.GetName(), "NewTask");
    EXPECT_EQ(task.Info->Active + task.Info->Incremental + task.Info->NeedEncrypt + task.Info->MailEnable, 0);
}

TEST_F(TaskSettingsDialog, EveryFieldComesBackAndDisabledControlsStillSave) {
    TGroup task;
    TGroupInfo& info = *task.Info;
    TTimePeriod& period = *info.Period;
    task.SetName(" Nightly ");
    info.Active = 1;
    info.Incremental = 7;
    info.NeedEncrypt = 0;
    info.Password = "Kept";
    period.Type = TTimePeriod::Weekly;
    period.DailyEveryN = 400;
    period.WeeklyEveryN = 5;
    period.MonthDay = 40;
    period.WeekDays = {0, 1}; // Sunday, Monday
    period.Months = {11, 0, 5};
    period.At = EncodeDate(2021, 3, 4) + EncodeTime(10, 20, 30, 123);
    period.StartDate = EncodeDate(2020, 1, 2) + EncodeTime(8, 0, 0) + 0.4 / 86400000; // finer than a millisecond
    period.EndDate = EncodeDate(2024, 5, 6) + EncodeTime(23, 59, 59, 999);
    period.HasEndDate = 0;
    period.DeleteAfterStop = 9;
    period.Mode = 2;
    period.EveryHours = -7;
    info.MailEnable = 0;
    info.MailNeedAuth = 1;
    info.MailUserName = "Ann";
    info.MailAddress = "ann@example.org";
    info.MailServer = "smtp.example.org";
    info.MailRecipient = "bob@example.org";
    info.MailUserId = "ann";
    info.MailPassword = "mail secret";
    info.MailAlertFail = 3;
    const TTimePeriod before = period;

    dialog.LoadFromTask(&task);
    EXPECT_TRUE(dialog.radioIncBackup->isChecked());
    EXPECT_TRUE(dialog.GroupBox5->isEnabled() && Bold(dialog.GroupBox5));
    EXPECT_FALSE(dialog.GroupBox4->isEnabled() || Bold(dialog.GroupBox4));
    EXPECT_TRUE(dialog.checkSun->isChecked() && dialog.checkMon->isChecked() && !dialog.checkTue->isChecked());
    EXPECT_TRUE(dialog.radioOcEveryHours->isChecked());
    EXPECT_FALSE(dialog.timeAt->isEnabled());
    // Mail off with authentication on: the user id and password stay closed and grey.
    EXPECT_FALSE(dialog.editMailUserId->isEnabled());
    EXPECT_EQ(Background(dialog.editMailPassword), dialog.palette().color(QPalette::Button));

    dialog.SaveToTask(&task);
    EXPECT_EQ(task.GetName(), " Nightly ");
    EXPECT_EQ(info.Incremental, 1);
    EXPECT_EQ(info.Password, "Kept");
    EXPECT_EQ(period.Type, TTimePeriod::Weekly);
    EXPECT_EQ(period.DailyEveryN, 366);
    EXPECT_EQ(period.WeeklyEveryN, 5);
    EXPECT_EQ(period.MonthDay, 31);
    EXPECT_EQ(WeekDays(period), (std::vector<int>{1, 0})); // the order of the boxes, Sunday last
    EXPECT_EQ(Months(period), (std::vector<int>{0, 5, 11}));
    EXPECT_EQ(period.At, before.At);
    EXPECT_EQ(period.StartDate, before.StartDate);
    EXPECT_EQ(period.EndDate, before.EndDate);
    EXPECT_EQ(period.HasEndDate, 0);
    EXPECT_EQ(period.DeleteAfterStop, 1);
    EXPECT_EQ(period.Mode, 1);
    EXPECT_EQ(period.EveryHours, -7);
    EXPECT_EQ(info.MailEnable, 0);
    EXPECT_EQ(info.MailUserId, "ann");
    EXPECT_EQ(info.MailPassword, "mail secret");
    EXPECT_EQ(info.MailRecipient, "bob@example.org");
    EXPECT_EQ(info.MailNeedAuth, 1);
    EXPECT_EQ(info.MailAlertFail, 1);
    EXPECT_EQ(info.MailAlertSuccess, 0);

    // Switching mail alerts on opens the group but leaves the user id and password closed and grey, until the
    // authentication box is clicked off and on again.
    dialog.checkMailEnable->click();
    EXPECT_TRUE(dialog.GroupBox9->isEnabled() && Bold(dialog.GroupBox9));
    for (QLineEdit* edit : {dialog.editMailUserId, dialog.editMailPassword}) {
        EXPECT_FALSE(edit->isEnabled());
        EXPECT_EQ(Background(edit), dialog.palette().color(QPalette::Button));
    }
    dialog.checkMailNeedAuth->click();
    dialog.checkMailNeedAuth->click();
    for (QLineEdit* edit : {dialog.editMailUserId, dialog.editMailPassword}) {
        EXPECT_TRUE(edit->isEnabled());
        EXPECT_EQ(Background(edit), QColor(Qt::white));
    }
}

TEST_F(TaskSettingsDialog, AKindOutsideTheFourChecksNoButtonAndIsKept) {
    TGroup task;
    task.Info->Period->Type = 7;
    dialog.LoadFromTask(&task);
    for (QRadioButton* kind : {dialog.radioOnce, dialog.radioDaily, dialog.radioWekkly, dialog.radioMonthly}) {
        EXPECT_FALSE(kind->isChecked());
    }
    EXPECT_FALSE(dialog.GroupBox4->isEnabled() || dialog.GroupBox5->isEnabled() || dialog.GroupBox6->isEnabled());
    dialog.SaveToTask(&task);
    EXPECT_EQ(task.Info->Period->Type, 7);

    dialog.radioMonthly->click();
    EXPECT_TRUE(dialog.GroupBox6->isEnabled() && Bold(dialog.GroupBox6));
    dialog.SaveToTask(&task);
    EXPECT_EQ(task.Info->Period->Type, TTimePeriod::Monthly);
}

TEST_F(TaskSettingsDialog, PickersChangeOnlyThePartTheyShow) {
    TGroup task;
    TTimePeriod& period = *task.Info->Period;
    period.At = EncodeDate(2021, 3, 4) + EncodeTime(10, 20, 30);
    period.StartDate = EncodeDate(2022, 7, 1) + EncodeTime(12, 0, 0);
    period.EndDate = EncodeDate(2022, 8, 1) + EncodeTime(6, 0, 0);
    period.HasEndDate = 1;
    dialog.LoadFromTask(&task);
    EXPECT_EQ(dialog.startDate->date(), QDate(2022, 7, 1));
    EXPECT_TRUE(dialog.endDate->isEnabled());

    dialog.timeAt->setTime(QTime(23, 0, 5));
    dialog.startDate->setDate(QDate(2023, 2, 28));
    dialog.SaveToTask(&task);
    EXPECT_DOUBLE_EQ(period.At, EncodeDate(2021, 3, 4) + EncodeTime(23, 0, 5));
    EXPECT_DOUBLE_EQ(period.StartDate, EncodeDate(2023, 2, 28) + EncodeTime(12, 0, 0));
    EXPECT_EQ(period.EndDate, EncodeDate(2022, 8, 1) + EncodeTime(6, 0, 0));
    EXPECT_EQ(period.HasEndDate, 1);

    // Dates from a damaged file show as the dates they stand for, and stay as they were unless changed.
    period.At = std::numeric_limits<double>::quiet_NaN();
    period.StartDate = std::numeric_limits<double>::infinity();
    period.EndDate = -1e300;
    dialog.LoadFromTask(&task);
    EXPECT_EQ(dialog.timeAt->time(), QTime(0, 0));
    EXPECT_EQ(dialog.startDate->date(), QDate(9999, 12, 31));
    EXPECT_EQ(dialog.endDate->date(), QDate(1, 1, 1));
    dialog.SaveToTask(&task);
    EXPECT_TRUE(std::isnan(period.At));
    EXPECT_EQ(period.StartDate, std::numeric_limits<double>::infinity());
    dialog.timeAt->setTime(QTime(8, 0, 0));
    dialog.endDate->setDate(QDate(2030, 1, 2));
    dialog.SaveToTask(&task);
    EXPECT_EQ(period.At, EncodeTime(8, 0, 0));
    EXPECT_EQ(DecodeDate(period.EndDate).year, 2030);
}

TEST_F(TaskSettingsDialog, TypedNumbersAreBroughtIntoTheEditsBounds) {
    TGroup task;
    dialog.LoadFromTask(&task);
    dialog.radioDaily->click();
    dialog.radioOcEveryHours->click();

    const auto type = [](TSpinEdit* edit, const char* keys) {
        edit->selectAll();
        QTest::keyClicks(edit, QString::fromLatin1(keys));
    };
    type(dialog.editDailyEveriN, "400");
    EXPECT_EQ(dialog.editDailyEveriN->text(), "400"); // may be typed, is not kept
    type(dialog.editOcEveryHours, "-12");
    dialog.radioMonthly->click();
    type(dialog.editMonthDayN, "0");
    dialog.SaveToTask(&task); // while the edits still hold their typed texts
    EXPECT_EQ(task.Info->Period->DailyEveryN, 366);
    EXPECT_EQ(task.Info->Period->MonthDay, 1);
    EXPECT_EQ(task.Info->Period->Type, TTimePeriod::Monthly);
    EXPECT_EQ(task.Info->Period->EveryHours, -12);
    EXPECT_EQ(dialog.editDailyEveriN->text(), "366");

    // Letters are refused as they are typed; an emptied edit reads as its lower bound.
    dialog.radioDaily->click();
    type(dialog.editDailyEveriN, "x");
    EXPECT_EQ(dialog.editDailyEveriN->text(), "366");
    type(dialog.editDailyEveriN, "12");
    dialog.editDailyEveriN->selectAll();
    QTest::keyClick(dialog.editDailyEveriN, Qt::Key_Backspace);
    dialog.SaveToTask(&task);
    EXPECT_EQ(task.Info->Period->DailyEveryN, 1);
}

TEST_F(TaskSettingsDialog, SaveChecksThePasswordThenTheMailAndOnlyThenCloses) {
    Responder user;
    TGroup task;
    task.Info->NeedEncrypt = 1;
    task.Info->Password = "secret";
    task.Info->MailEnable = 1;
    dialog.LoadFromTask(&task);
    dialog.show();
    dialog.PageControl1->setCurrentIndex(1);
    dialog.editRePassword->setText("Secret");

    // Enter is not Save.
    QTest::keyClick(dialog.editTaskName, Qt::Key_Return);
    EXPECT_TRUE(user.Asked.empty());
    EXPECT_TRUE(dialog.isVisible());

    // Both checks would fail: only the password speaks. The page it puts on display leaves the header as it was.
    const auto headerOfSchedule = [&] {
        EXPECT_EQ(dialog.lblTitle->text(), "Choose the date and time for the task.");
        EXPECT_EQ(dialog.lblQuest->text(), "You can choose one of four types.");
    };
    headerOfSchedule();
    QTest::mouseClick(dialog.BitBtn4, Qt::LeftButton);
    EXPECT_EQ(user.Asked, (std::vector<std::string>{"Please, rewrite password."}));
    EXPECT_EQ(dialog.PageControl1->currentIndex(), 0);
    headerOfSchedule();
    EXPECT_TRUE(dialog.isVisible());

    // Without encryption the two texts are not compared.
    dialog.checkNeedEncrypt->click();
    const std::vector<std::pair<QLineEdit*, const char*>> steps = {
        {dialog.editMailAddress, " "}, {dialog.editMailServer, "smtp"}, {dialog.editMailReciepent, "bob"}};
    for (const auto& [edit, text] : steps) {
        user.Asked.clear();
        QTest::mouseClick(dialog.BitBtn4, Qt::LeftButton);
        EXPECT_EQ(user.Asked, (std::vector<std::string>{"Please, fill the inforamation about your email."}));
        EXPECT_EQ(dialog.PageControl1->currentIndex(), 2);
        headerOfSchedule();
        edit->setText(QString::fromLatin1(text));
    }
    // With authentication ticked the user id and password are needed too; they are open to be filled.
    dialog.checkMailNeedAuth->click();
    ASSERT_TRUE(dialog.editMailUserId->isEnabled());
    QTest::keyClicks(dialog.editMailUserId, "ann");
    user.Asked.clear();
    QTest::mouseClick(dialog.BitBtn4, Qt::LeftButton);
    EXPECT_EQ(user.Asked.size(), 1u);
    QTest::keyClicks(dialog.editMailPassword, "pw");
    QTest::mouseClick(dialog.BitBtn4, Qt::LeftButton);
    EXPECT_EQ(user.Asked.size(), 1u);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);

    // The checks wrote nothing; the caller saves.
    EXPECT_EQ(task.Info->MailAddress, "");
    dialog.SaveToTask(&task);
    EXPECT_EQ(task.Info->MailAddress, " ");
    EXPECT_EQ(task.Info->NeedEncrypt, 0);
    EXPECT_EQ(task.Info->Password, "secret");
}

// An application object over a temporary folder whose progress windows are the real ones.
class RealWindows : public FakeCoreWindows {
public:
    std::unique_ptr<ISendWindow> CreateSendWindow() override { return std::make_unique<TsendWindow>(); }
};

class WithGlobalObject : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        SetGlobalObjectOptions({&windows, dir.Path()});
        global = GetGlobalObject();
    }
    void TearDown() override {
        DestroyGlobalObject();
        SetGlobalObjectOptions({});
    }

    TempDir dir;
    RealWindows windows;
    TGlobalObject* global = nullptr;
};

class FtpSettingsDialog : public WithGlobalObject {
protected:
    void SetUp() override {
        WithGlobalObject::SetUp();
        TFTPconnection& ftp = *global->FTP;
        ftp.Host = "ftp.example.org";
        ftp.Port = 2121;
        ftp.Login = "ann";
        ftp.Password = "pw";
        ftp.RemoteDir = "backups";
        ftp.ProxyType = TFTPconnection::Socks5;
        ftp.ProxyHost = "proxy";
        ftp.ProxyPort = 1080;
        dialog = std::make_unique<TftpSettings>(nullptr);
        dialog->LoadSettings();
    }
    std::unique_ptr<TftpSettings> dialog;
};

TEST_F(FtpSettingsDialog, OpensOnTheProxyPageWithTheHostLockedUntilTheMasterPassword) {
    EXPECT_EQ(dialog->pages->currentWidget(), dialog->sheetProxy);
    EXPECT_EQ(dialog->editHost->text(), "ftp.example.org");
    for (QLineEdit* edit : {dialog->editHost, dialog->editPort}) {
        EXPECT_FALSE(edit->isEnabled());
        EXPECT_EQ(Background(edit), QColor(Qt::lightGray));
    }

    Responder user;
    user.Answer = {true, "WQ7UBN3K"};
    dialog->BitBtn3->click();
    user.Answer = {false, "wq7ubn3k"}; // typed, but the box was closed
    dialog->BitBtn3->click();
    EXPECT_EQ(user.Asked, (std::vector<std::string>{"Enter Master Password", "Enter Master Password"}));
    EXPECT_FALSE(dialog->editHost->isEnabled());

    user.Answer = {true, "wq7ubn3k"};
    dialog->BitBtn3->click();
    for (QLineEdit* edit : {dialog->editHost, dialog->editPort}) {
        EXPECT_TRUE(edit->isEnabled());
        EXPECT_EQ(Background(edit), QColor(Qt::white));
    }
}

TEST_F(FtpSettingsDialog, ProxyFieldsOpenForSocks5AndHttpOnlyAndKeepWhatWasTyped) {
    const std::vector<QWidget*> fields = {dialog->checkAuth, dialog->editProxyHost, dialog->editProxyPort,
                                          dialog->editProxyUser, dialog->editProxyPassword};
    const auto open = [&] {
        int count = 0;
        for (QWidget* field : fields) {
            count += field->isEnabled() ? 1 : 0;
        }
        return count;
    };
    EXPECT_EQ(open(), 5);
    // The digit filter takes a typed non-digit off again.
    dialog->editProxyPort->selectAll();
    QTest::keyClicks(dialog->editProxyPort, "8x0y");
    EXPECT_EQ(dialog->editProxyPort->text(), "80");
    QTest::keyClicks(dialog->editProxyUser, "carl");

    for (int type : {0, 1, 2}) {
        dialog->radioItems->button(type)->click();
        EXPECT_EQ(open(), 0) << type;
    }
    dialog->radioItems->button(4)->click();
    EXPECT_EQ(open(), 5);
    dialog->radioItems->button(1)->click();
    ASSERT_TRUE(dialog->SaveSettings());
    const TFTPconnection& ftp = *global->FTP;
    EXPECT_EQ(ftp.ProxyType, TFTPconnection::Socks4);
    EXPECT_EQ(ftp.ProxyPort, 80);
    EXPECT_EQ(ftp.ProxyUser, "carl");

    // A stored type that names no item chooses none, closes the fields, and is written back as 255.
    global->FTP->ProxyType = 255;
    dialog->LoadSettings();
    EXPECT_EQ(dialog->radioItems->checkedId(), -1);
    EXPECT_EQ(open(), 0);
    ASSERT_TRUE(dialog->SaveSettings());
    EXPECT_EQ(ftp.ProxyType, 255);
}

TEST_F(FtpSettingsDialog, SaveWritesTheServerThenTheProxyAndStopsAtTheFirstBadPort) {
    const TFTPconnection& ftp = *global->FTP;
    dialog->editPort->setText("21a");
    EXPECT_EQ(dialog->editPort->text(), "21");
    dialog->editPort->clear();
    dialog->editProxyPort->clear();
    ASSERT_TRUE(dialog->SaveSettings());
    EXPECT_EQ(ftp.Port, 0);
    EXPECT_EQ(ftp.ProxyPort, 0);
    EXPECT_EQ(dialog->editPort->text(), "0");

    // A proxy port beyond 32 bits: the server's fields are written, the proxy's are not.
    dialog->editPort->setText("21");
    dialog->editLogin->setText("bob");
    dialog->editDir->setText("other");
    dialog->editProxyHost->setText("changed");
    dialog->radioItems->button(0)->click();
    dialog->editProxyPort->setText("4294967296");
    EXPECT_FALSE(dialog->SaveSettings());
    EXPECT_EQ(ftp.Port, 21);
    EXPECT_EQ(ftp.Login, "bob");
    EXPECT_EQ(ftp.RemoteDir, "other");
    EXPECT_EQ(ftp.ProxyHost, "proxy");
    EXPECT_EQ(ftp.ProxyType, TFTPconnection::Socks5);
    EXPECT_EQ(ftp.ProxyPort, 0);

    // A bad server port writes nothing at all; a non-digit before the last character is not filtered.
    dialog->editPort->setText("2a1");
    dialog->editLogin->setText("carl");
    EXPECT_FALSE(dialog->SaveSettings());
    EXPECT_EQ(ftp.Port, 21);
    EXPECT_EQ(ftp.Login, "bob");
}

// Runs `action` on the modal window once it is up; closes any modal window left after ten seconds so that a
// failing test cannot hang.
void WhenModal(std::function<void(QWidget*)> action) {
    QTimer::singleShot(0, [action] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            action(modal);
        }
    });
    QTimer::singleShot(10000, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
}

TEST(PasswordDialogBox, GivesTheTextOnlyWhenConfirmed) {
    App();
    std::string caption;
    WhenModal([&](QWidget* box) {
        caption = box->windowTitle().toStdString();
        QLineEdit* edit = box->findChild<QLineEdit*>();
        QTest::keyClicks(edit, "s3cret");
        QTest::keyClick(edit, Qt::Key_Return);
    });
    EXPECT_EQ(PasswordDialog("Enter Password"), "s3cret");
    EXPECT_EQ(caption, "Password Dialog");

    std::string prompt;
    WhenModal([&](QWidget* box) {
        prompt = box->findChild<QLabel*>()->text().toStdString();
        QTest::keyClicks(box->findChild<QLineEdit*>(), "s3cret");
        box->close(); // the title bar's close box
    });
    EXPECT_EQ(PasswordDialog("Enter Master Password"), "");
    EXPECT_EQ(prompt, "Enter Master Password");
}

using ProgressWindow = WithGlobalObject;

TEST_F(ProgressWindow, StopAsksTheRunToStopAndHidesTheWindowWhichStays) {
    global->ShowSendWindow();
    auto* window = dynamic_cast<TsendWindow*>(global->SendWindow.get());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Compressing...");
    EXPECT_EQ(window->ProgressBar1->value(), 0);
    // Made without an owner, it carries the program's icon itself.
    EXPECT_EQ(window->windowIcon().pixmap(32).toImage(), ProgramIcon().pixmap(32).toImage());

    QTest::mouseClick(window->BitBtn1, Qt::LeftButton);
    EXPECT_TRUE(global->Stop);
    EXPECT_EQ(window->windowTitle(), "Stopping......");
    EXPECT_FALSE(window->IsVisible());
    EXPECT_EQ(global->SendWindow.get(), window);
}

TEST_F(ProgressWindow, TheCloseBoxOnlyHidesAndEscapeIsStop) {
    global->ShowSendWindow();
    TsendWindow* window = dynamic_cast<TsendWindow*>(global->SendWindow.get());
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(global->Stop);
    EXPECT_EQ(window->windowTitle(), "Compressing...");

    global->ShowSendWindow();
    window = dynamic_cast<TsendWindow*>(global->SendWindow.get());
    QTest::keyClick(window->BitBtn1, Qt::Key_Escape);
    EXPECT_TRUE(global->Stop);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Stopping......");
}

TEST(SplashWindow, PureBlackIsSeeThroughAndEveryOtherColourStays) {
    App();
    TsplashScreen splash;
    splash.show();
    ASSERT_EQ(splash.size(), SplashPicture().size());
    // A picture with colours next to black, the way a softened edge would have them.
    QImage picture(40, 10, QImage::Format_RGB32);
    picture.fill(Qt::black);
    for (int x = 10; x < 40; ++x) {
        for (int y = 0; y < 10; ++y) {
            const int level = x < 20 ? 1 : x < 30 ? 12 : 200;
            picture.setPixel(x, y, qRgb(level, x == 15 ? 0 : level, 0));
        }
    }
    splash.Image1->setPixmap(QPixmap::fromImage(picture));
    splash.FormShow();

    QImage shown(picture.size(), QImage::Format_RGB32);
    shown.fill(Qt::black);
    {
        QPainter painter(&shown);
        painter.setClipRegion(splash.mask());
        painter.fillRect(shown.rect(), Qt::white);
    }
    int wrong = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            const bool black = qRed(pixel) == 0 && qGreen(pixel) == 0 && qBlue(pixel) == 0;
            wrong += black == (shown.pixel(x, y) == qRgb(255, 255, 255)) ? 1 : 0;
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(SplashWindow, ThePictureHasNoDarkRimAroundItsShape) {
    App();
    // Only pure black is cut away, so a pixel next to black but not black would stay as a dark rim on the desktop.
    const QImage picture = SplashPicture().toImage().convertToFormat(QImage::Format_RGB32);
    int nearlyBlack = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            const int sum = qRed(pixel) + qGreen(pixel) + qBlue(pixel);
            nearlyBlack += sum > 0 && sum < 60 ? 1 : 0;
        }
    }
    EXPECT_EQ(nearlyBlack, 0);
}

} // namespace
