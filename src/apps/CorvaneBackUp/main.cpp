// CorvaneBackUp: the backup program. One copy runs at a time; it makes sure the schedule companion runs beside it,
// then lives in its main window until that closes.

#include "ui/ModalBoxes.h"
#include "ui/unitMainForm.h"

#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/TerminationSignals.h"
#include "platform/WindowRegistry.h"

#include <QApplication>
#include <QTimer>

#include <exception>
#include <functional>

int main(int argc, char** argv) {
    try {
        // A copy that runs already keeps its state and stays where it is; this one leaves without a word.
        if (FindWindow(TmainForm::ClassName, TmainForm::Caption)) {
            return 0;
        }
        if (!FindWindow(TmainForm::CompanionClass, TmainForm::CompanionCaption)) {
            // A companion that is missing or fails to start changes nothing here.
            const std::string folder = ProgramDirectory();
            StartProgram(folder + "Ploverly", {"run"}, folder);
        }
    } catch (const std::exception&) {
        // The lookups and the start report nothing; a failure of theirs must not keep the program from starting.
    }

    QApplication app(argc, argv);
    try {
        SetApplicationTitle(TmainForm::Caption);
        // Findable from before the window's creation, which loads and connects: a second start meanwhile must
        // already see this one.
        TWindowAnnouncement announcement;
        announcement.Announce(TmainForm::ClassName, TmainForm::Caption);
        // A logout or a kill closes the window as the user would: refused while busy, else tasks saved first. An
        // open dialog is closed first (cancelled), and the window only once the dialog's own step has finished.
        TmainForm* window = nullptr;
        bool ending = false;
        std::function<void()> closeWhenFree = [&] {
            if (QApplication::activeModalWidget() != nullptr) {
                QTimer::singleShot(50, closeWhenFree);
            } else if (window != nullptr) {
                window->close();
            }
        };
        OnTerminationSignal([&] {
            ending = true;
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                dialog->close();
            }
            QTimer::singleShot(0, closeWhenFree);
        });
        TmainForm mainForm;
        window = &mainForm;
        if (ending) {
            mainForm.close();
            return 0;
        }
        mainForm.show();
        QApplication::exec();
    } catch (const std::exception& error) {
        MessageBox(nullptr, error.what());
    }
    return 0;
}
