#pragma once

#include <functional>
#include <string>

class QWidget;

// Every message box and prompt of the backup program goes through here, so that a test can stand in for the user:
// with a responder set, no box is shown and the responder's answer is taken instead.

struct TModalRequest {
    enum Kind { Confirm, Message, Password };
    Kind kind = Message;
    std::string caption;
    std::string text;
};

struct TModalAnswer {
    bool ok = false;  // OK pressed (Confirm, Password)
    std::string text; // the typed text (Password)
};

using TModalResponder = std::function<TModalAnswer(const TModalRequest&)>;

// Sets the responder (empty: real boxes again). Main thread only.
void SetModalResponder(TModalResponder responder);
// The responder's answer when one is set; false when real boxes are to be shown.
bool AnswerFromResponder(const TModalRequest& request, TModalAnswer& answer);

// A box with OK and Cancel; true for OK.
bool ConfirmBox(QWidget* parent, const std::string& text, const std::string& caption);
// A box with the text and one OK button, captioned with the application's title.
void MessageBox(QWidget* parent, const std::string& text);

// The same box without waiting for it: it opens and the caller goes on at once, so that a box at start holds back
// neither the window nor the worker nor a task that is due. It goes when the user closes it, or with its parent.
void NoticeBox(QWidget* parent, const std::string& text);

// The application's title: the caption of MessageBox; the program's name until it is set. It is kept here rather
// than as Qt's application display name, which Qt appends to the caption of every window ("Warning - <title>"), so
// each window would no longer show exactly its own caption.
void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();
