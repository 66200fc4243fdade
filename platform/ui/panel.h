#pragma once
// The panel as QUiLoader builds it from its Qt Designer form, checked against what the
// program declared. Inside the Qt layer only; GUI thread only, like the widgets.
//
// What the form holds besides Designer's own properties (dynamic properties, stdset="0"):
// the window's place on the screen (position: Designer keeps a form at 0, 0), callback
// names (callback), a ring's item values (itemValues: one whole number per item), and the
// slide a value display belongs to (slide), and for a button whose label changes, the
// accessible name that goes with each label it shows (labelNames: label, name, label, ...). A caption is the QLabel whose buddy is its
// control; a slide is a QSlider with a QSpinBox (int) or QDoubleSpinBox (double) that holds
// its minimum, maximum, singleStep, value and decimals.

#include <QLabel>
#include <QMainWindow>
#include <QPoint>
#include <QStringList>
#include <atomic>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/ui/core.h"

class QAction;

namespace uicore {

// The close button asks the program (it may have a procedure running), so the window
// never closes by itself.
class PanelWindow final : public QMainWindow {
public:
    using QMainWindow::QMainWindow;
    void Bind(int handle, PanelCallback callback)
    {
        handle_ = handle;
        callback_ = callback;
    }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    int handle_ = 0;
    PanelCallback callback_ = nullptr;
};

// A canvas on screen, and the toolkit's part of the canvas it shows: its text and its
// repaints. DrawText and Changed come from drawing threads with the canvas lock held.
class CanvasWidget final : public QWidget, public CanvasHost {
public:
    explicit CanvasWidget(QWidget *parent);
    // GUI thread, once the panel checks out: shows canvas and attaches to it.
    void Show(Canvas *canvas);
    void DrawText(std::uint32_t *pixels, int width, int height, double ratio, Point at, const char *text,
                  std::uint32_t rgb) override;
    // At most one repaint request in flight per canvas.
    void Changed() override;

protected:
    bool event(QEvent *event) override;
    // Draws the canvas again first when the window's ratio is not the one it was drawn at.
    void paintEvent(QPaintEvent *) override;

private:
    Canvas *canvas_ = nullptr;
    QFont font_;  // a copy of its own, touched only under the canvas lock
    std::atomic<bool> repaintPending_{false};
};

// A slide's value display. The form's spin box would clamp the file's value into its
// range before the check could see it; the display only shows, so a label does, and the
// spin box's numbers stay as written, as dynamic properties.
class ValueDisplay final : public QLabel {
public:
    ValueDisplay(bool isInt, QWidget *parent) : QLabel(parent), isInt_(isInt) {}
    bool IsInt() const { return isInt_; }

private:
    const bool isInt_;
};

struct ControlLayout {
    const UiControlDecl *decl = nullptr;
    QWidget *widget = nullptr;  // QPushButton, QComboBox, QSlider (a slide's bar), QFrame or CanvasWidget
    QLabel *caption = nullptr;
    ValueDisplay *display = nullptr;
    CtrlCallback callback = nullptr;
    // Slides: the value at step s is SlideValue(minimum, increment, s), s from 0 to steps.
    double minimum = 0.0;
    double increment = 0.0;
    int steps = 0;
    int startStep = 0;
    int decimals = 0;
    std::vector<int> values;  // rings: each item's value
    QStringList labelNames;   // buttons: label, accessible name, label, name, ...
};

struct MenuItemLayout {
    QAction *action = nullptr;
    int id = 0;
    MenuCallback callback = nullptr;
};

struct PanelLayout {
    PanelWindow *window = nullptr;  // owns every widget; the caller's once loaded
    QWidget *content = nullptr;     // the area that holds the controls, at its own size
    QPoint position;                // the window's inside on the screen
    PanelCallback callback = nullptr;
    int menuBarId = 0;
    std::vector<ControlLayout> controls;
    std::vector<MenuItemLayout> menuItems;
};

// Reads fileName (a regular file, at most 1 MB), refuses anything in it that the program
// does not use, builds it and checks it. Returns 0 and fills *out, or a negative UiError
// with a one-line reason in *why and nothing built.
int LoadPanelForm(const char *fileName, const UiPanelDecl &decl, int resourceId, PanelLayout *out,
                  std::string *why);

// The declared control of that name, or nullptr.
const UiControlDecl *DeclaredControl(const UiPanelDecl &decl, const QString &name);

// The check of a built form: the first fault found decides; a missing control is found
// at the end.
int CheckPanelForm(QWidget *root, const UiPanelDecl &decl, int resourceId, PanelLayout *out, std::string *why);

}  // namespace uicore
