#include "ModalBoxes.h"

#include <QApplication>
#include <QMessageBox>

namespace {
TModalResponder responder;
std::string title;
} // namespace

void SetModalResponder(TModalResponder newResponder) {
    responder = std::move(newResponder);
}

bool AnswerFromResponder(const TModalRequest& request, TModalAnswer& answer) {
    if (!responder) {
        return false;
    }
    answer = responder(request);
    return true;
}

bool ConfirmBox(QWidget* parent, const std::string& text, const std::string& caption) {
    TModalAnswer answer;
    if (AnswerFromResponder({TModalRequest::Confirm, caption, text}, answer)) {
        return answer.ok;
    }
    return QMessageBox::warning(parent, QString::fromStdString(caption), QString::fromStdString(text),
                                QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) == QMessageBox::Ok;
}

void MessageBox(QWidget* parent, const std::string& text) {
    TModalAnswer answer;
    if (AnswerFromResponder({TModalRequest::Message, ApplicationTitle(), text}, answer)) {
        return;
    }
    QMessageBox::information(parent, QString::fromStdString(ApplicationTitle()), QString::fromStdString(text));
}

void NoticeBox(QWidget* parent, const std::string& text) {
    TModalAnswer answer;
    if (AnswerFromResponder({TModalRequest::Message, ApplicationTitle(), text}, answer)) {
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(ApplicationTitle()),
                                QString::fromStdString(text), QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void SetApplicationTitle(const std::string& newTitle) {
    title = newTitle;
}

std::string ApplicationTitle() {
    return title.empty() ? QApplication::applicationName().toStdString() : title;
}
