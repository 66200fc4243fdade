#pragma once
// Read-only views into the Qt user-interface layer, for tests: the widgets a panel file made
// and the pixels of a canvas. GUI thread only, like the widgets themselves. The program
// never includes this header.

#include <QImage>
#include <string>

class QAction;
class QLabel;
class QWidget;

// A copy of the canvas's pixels (Format_RGB32); a null image for anything but a canvas.
QImage Ui_TestCanvasImage(int panel, int control);
// The control's own widget: QPushButton, QComboBox, QSlider (a slide's bar), QFrame (the
// splitter) or the canvas widget. nullptr for an unknown handle.
QWidget *Ui_TestWidget(int panel, int control);
// A canvas's, slide's or ring's caption; nullptr when it has none.
QLabel *Ui_TestCaption(int panel, int control);
// A slide's value display; nullptr for other kinds.
QLabel *Ui_TestValueDisplay(int panel, int control);
// The panel's window (QMainWindow) and the area that holds its controls.
QWidget *Ui_TestPanelWindow(int panel);
QWidget *Ui_TestContentArea(int panel);
// A menu bar, menu or menu item by the number the program declared for it: the menu's
// QAction (menuAction() for a menu), nullptr for the menu bar or an unknown number.
QAction *Ui_TestMenuAction(int panel, int menuId);
// Why the last Ui_LoadPanel failed, as also written to standard error.
std::string Ui_TestLastLoadError();
