#pragma once

#include <QIcon>
#include <QPixmap>

// The backup program's pictures, drawn by the program itself so that no picture file has to travel with it.

// The 16 x 16 pictures of the task rows and the two trees, by their index:
// 0 task row, 4 plain backup, 5 server root, 6 folder, 7 backed-up file, 9 encrypted backup; other indexes give
// a neutral document. Each picture is made once per application and shared by every caller, as one image list
// serves every node: a node that shows it holds no picture of its own.
QIcon ItemPicture(int index);
// The check-mark pictures of the trees: 1 included, 2 partly included, 3 not included; any other state has none.
// Shared as the item pictures are.
QIcon StatePicture(int state);
// The 24 x 24 pictures of the menus and the tool bar, by the index each command uses: 0 Run Task, 1 Kill backup,
// 2 Reconnect, 3 Delete Task, 4 Edit Task, 5 Add Task, 6 Restore selected, 7 Save Task, 8 FTP and Proxy settings,
// 9 About.
QIcon CommandPicture(int index);
// The splash picture: 220 x 120 on a pure black background, which the splash window makes see-through.
QPixmap SplashPicture();
// The About box's picture (100 x 101) and the task settings dialog's header picture (59 x 60).
QPixmap AboutPicture();
QPixmap HeaderPicture();
// The program's window icon.
QIcon ProgramIcon();
