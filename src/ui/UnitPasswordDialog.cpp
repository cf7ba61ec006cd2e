#include "UnitPasswordDialog.h"

#include "ModalBoxes.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

std::string PasswordDialog(const std::string& prompt) {
    TModalAnswer answer;
    if (AnswerFromResponder({TModalRequest::Password, "Password Dialog", prompt}, answer)) {
        return answer.ok ? answer.text : std::string();
    }

    // Over whatever window asked, so that it is centred on it and keeps it from taking input meanwhile.
    QDialog form(QApplication::activeWindow());
    form.setWindowTitle(QStringLiteral("Password Dialog"));
    auto* label = new QLabel(QString::fromStdString(prompt), &form);
    label->setGeometry(10, 10, 160, 20);
    auto* edit = new QLineEdit(&form);
    edit->setEchoMode(QLineEdit::Password);
    edit->setGeometry(10, 30, 160, 25);
    auto* ok = new QPushButton(form.style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("Ok"), &form);
    ok->setDefault(true);
    ok->setGeometry(100, 62, 70, 27);
    QObject::connect(ok, &QPushButton::clicked, &form, &QDialog::accept);
    form.setFixedSize(180, 97);
    edit->setFocus();

    return form.exec() == QDialog::Accepted ? edit->text().toStdString() : std::string();
}
