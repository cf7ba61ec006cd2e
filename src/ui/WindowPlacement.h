#pragma once

class QWidget;

// Places a window that has no owner over the middle of the program's main window, as a dialog with an owner
// would be; with no main window on screen it goes to the middle of the screen it is on.
void CentreOnMainWindow(QWidget* window);
// The middle of the screen, for the start-up picture shown before the main window.
void CentreOnScreen(QWidget* window);
// Keeps a window that stays on top out of the way of every modal window: it is hidden while one is shown, and
// shown again when the last one has gone (when it was visible before). Lasts as long as the window.
void StepAsideForModalWindows(QWidget* window);
