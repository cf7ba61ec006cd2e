// Ploverly: the schedule companion. Sits in the notification area and starts CorvaneBackUp when a task falls due.
// One copy runs at a time; the command line ("run" from the backup program, "autorun" at logon) changes nothing.

#include "companion/UnitMainForm.h"
#include "platform/Paths.h"
#include "platform/TerminationSignals.h"
#include "platform/WindowRegistry.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

int main(int argc, char** argv) {
    // One companion per user, and one per program folder whatever the environment: a second one would start every
    // due task a second time. The locks are taken before anything else and held to the end, so that starts that
    // come together leave exactly one running.
    TInstanceLock instance("Ploverly");
    TProgramFolderLock folder(ProgramDirectory() + "Ploverly.lock");
    if (!instance.Acquire()) {
        return 0;
    }
    const TProgramFolderLock::TOutcome guard = folder.Acquire();
    if (guard == TProgramFolderLock::TOutcome::HeldByAnother) {
        return 0;
    }
    QApplication app(argc, argv);
    // No window of ours is ever shown, so the tray menu closing must not count as the last window closing; the
    // program ends when its main window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // A logout or a kill ends it as "Close Schedule" does, its registry entry withdrawn. Taken over before the
        // window announces itself: whoever finds it may send it SIGTERM at once.
        TmainScheduleForm* window = nullptr;
        bool ending = false;
        OnTerminationSignal([&] {
            ending = true;
            if (window != nullptr) {
                window->close();
            }
        });
        TmainScheduleForm form;
        window = &form;
        // Also a signal that came while the window was being made, before the event loop could pass it on.
        if (ending || TerminationRequested()) {
            form.close();
            return 0;
        }
        // Only once the timer runs, and without waiting for a click: a box must not hold the schedule back.
        if (guard == TProgramFolderLock::TOutcome::Failed) {
            auto* box = new QMessageBox(QMessageBox::Warning, "Ploverly", QString::fromStdString(folder.Problem()),
                                        QMessageBox::Ok, &form);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
        }
        QApplication::exec();
    } catch (const std::exception& error) {
        QMessageBox::critical(nullptr, "Ploverly", QString::fromStdString(error.what()));
    }
    return 0;
}
