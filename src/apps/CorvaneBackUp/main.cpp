// CorvaneBackUp: the backup program. One copy runs at a time; it makes sure the schedule companion runs beside it,
// then lives in its main window until that closes.

#include "ui/ModalBoxes.h"
#include "ui/unitMainForm.h"

#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"

#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/TerminationSignals.h"
#include "platform/WindowRegistry.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <exception>

int main(int argc, char** argv) {
    // Held from before the look for a running copy to the end: starts that come together cannot all pass the look.
    TInstanceLock instance("CorvaneBackUp");
    // The program folder's own lock, taken after the look: whatever their environment, no two copies use the
    // folder's files at once. Holding it, this copy alone can be saving them, so what killed saves left goes.
    const std::string programDir = ProgramDirectory();
    TProgramFolderLock folder(programDir + "CorvaneBackUp.lock");
    try {
        // A copy that runs already keeps its state and stays where it is; this one leaves without a word.
        if (!instance.Acquire() || FindWindow(TmainForm::ClassName, TmainForm::Caption)) {
            return 0;
        }
    } catch (const std::exception&) {
        // A lookup that fails finds nothing; the folder's lock still keeps a second copy away from its files.
    }
    const TProgramFolderLock::TOutcome guard = folder.Acquire();
    if (guard == TProgramFolderLock::TOutcome::HeldByAnother) {
        return 0;
    }
    try {
        if (guard == TProgramFolderLock::TOutcome::Taken) {
            RemoveStateFileLeftovers(programDir);
            // Plain copies of the user's files that killed runs left, while no run of this user can be making any.
            RemoveRunLeftovers();
        }
        if (!FindWindow(TmainForm::CompanionClass, TmainForm::CompanionCaption)) {
            // A companion that is missing or fails to start changes nothing here.
            StartProgram(programDir + "Ploverly", {"run"}, programDir);
        }
    } catch (const std::exception&) {
        // The lookups and the start report nothing; a failure of theirs must not keep the program from starting.
    }

    QApplication app(argc, argv);
    // A logout or a kill closes the window as the user would, tasks saved first. An open dialog is closed first
    // (cancelled), and so is each one that opens after it, and the window only once the dialog's own step has
    // finished; a run is stopped as its STOP button does (the signal itself already stopped it, the moment it came),
    // and the window closes as soon as the run has ended (a restore or a deletion ends by itself). A window still
    // being made (its making may open the new-task dialog, on a first start) closes once made. The steps go on every
    // 50 ms until the program has ended, not only until the window is closed: a dialog that opens during the close
    // (a queued command, an error box) is cancelled too, and the application's loop is ended whatever window is left
    // open. Kept outside the try block, for a close still pending while an error box runs its own event loop.
    TmainForm* window = nullptr;
    bool ending = false;
    bool closed = false; // and the application object gone with the window
    // A dialog is cancelled through its own reject, which no close handler of it can refuse.
    const auto cancelDialog = [] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QDialog*>(dialog)) {
            box->reject();
        } else if (dialog != nullptr) {
            dialog->close();
        }
        return dialog != nullptr;
    };
    const auto closeWhenFree = [&] {
        if (cancelDialog()) {
            return;
        }
        if (closed) {
            QCoreApplication::quit();
            return;
        }
        if (window == nullptr) {
            return;
        }
        TGlobalObject* global = GetGlobalObject();
        if (global->Busy) {
            global->StopRun();
            return;
        }
        closed = window->close();
        if (closed) {
            QCoreApplication::quit();
        }
    };
    QTimer endingSteps;
    endingSteps.setInterval(50);
    QObject::connect(&endingSteps, &QTimer::timeout, closeWhenFree);
    try {
        SetApplicationTitle(TmainForm::Caption);
        OnTerminationSignal([&] {
            ending = true;
            cancelDialog();
            QTimer::singleShot(0, closeWhenFree);
            endingSteps.start();
        });
        // Findable from before the window's creation, which loads and connects: a second start meanwhile must
        // already see this one. Only once the signals are ours: whoever finds this copy may send it SIGTERM, which
        // must then close it the regular way instead of killing it.
        TWindowAnnouncement announcement;
        announcement.Announce(TmainForm::ClassName, TmainForm::Caption);
        // A lock that cannot be taken is logged and shown by the window, with what else the start finds wrong, in a
        // box that holds nothing back.
        TmainFormStart start;
        if (guard == TProgramFolderLock::TOutcome::Failed) {
            start.StartProblems.push_back(folder.Problem());
        }
        TmainForm mainForm(nullptr, start);
        window = &mainForm;
        // Also a signal that came after the last look at the event loop while the window was being made: the
        // window is not shown first.
        if (ending || TerminationRequested()) {
            closed = mainForm.close();
            return 0;
        }
        mainForm.show();
        QApplication::exec();
    } catch (const std::exception& error) {
        closed = true; // no window any more: a close still pending has nothing to do
        MessageBox(nullptr, error.what());
    }
    return 0;
}
