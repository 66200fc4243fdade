#pragma once
// Reading a panel file into plain data, checked against what the program declared. QtCore
// only, and no display: the toolkit side turns a checked PanelSpec into widgets, and a
// fuzzer can drive the reader on a bare buffer.
//
// The panel file is a Qt Designer form (.ui, version 4.0): Designer opens and edits it, and
// QUiLoader builds the same widgets from it. What the reader takes from the form:
//
//   <ui version="4.0">
//    <widget class="QMainWindow" name=PANEL>     the panel, under the declared panel's name
//      position (dynamic, a point)                 the window's inside on the screen
//      windowTitle; callback (dynamic)             title; panel callback (optional)
//      <widget class="QWidget">                    the area that holds the controls:
//        minimumSize; palette                       its size; active Window colour: background
//        one widget per declared control, under the control's name, with its geometry and
//        enabled false when dimmed:
//          QWidget (canvas), QPushButton (text, callback), QSlider (a slide's bar),
//          QFrame or Line (splitter), QComboBox (items, currentIndex, and itemValues: one
//          whole number per item, separated by blanks)
//        QLabel captions: buddy names the control; text, geometry, alignment
//        QSpinBox (int) or QDoubleSpinBox (double) value displays: the dynamic property
//          slide names the slide; minimum, maximum, singleStep, value, decimals
//      <widget class="QMenuBar" name=MENUBAR>       menus in its <addaction> order
//        <widget class="QMenu" name=MENU>            title; items in <addaction> order,
//                                                     "separator" for a separator line
//      <action name=ITEM>                          text, shortcut ("Ctrl+A"), callback
//
// Properties not listed are left to Designer and QUiLoader. Checked against the program's
// declaration: the panel's name and number; every declared control present once, of its
// kind (a slide's value type too); every declared menu entry present; each callback one that
// the program offers for that use; every value a ring or slide can give within the control's
// declared bounds. Rectangles lie inside the panel, and a canvas within 2048 pixels a side;
// a slide moves in whole steps and starts on one. The first fault found decides the result; a missing control is found at the end.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.h"

namespace uicore {

// Panel pixels; bottom and right exclusive.
struct PanelRect {
    int top = 0;
    int left = 0;
    int bottom = 0;
    int right = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

enum class LabelAlign { Left, Center, Right };

struct RingEntry {
    std::string label;
    int value = 0;
};

struct ControlSpec {
    std::string name;
    std::string captionName;  // the file's names of the caption and the value display, so
    std::string displayName;  // that the widgets can carry them as in the file
    int id = 0;
    UiKind kind = UI_COMMAND_BUTTON;
    std::string label;        // button text, or the caption of a canvas, slide or ring
    bool hasLabelRect = false;
    PanelRect labelRect;      // where a caption stands (not for buttons)
    LabelAlign labelAlign = LabelAlign::Left;
    PanelRect rect;           // the control itself; a slide's bar
    CtrlCallback callback = nullptr;
    bool dimmed = false;
    // Slides.
    PanelRect display;
    double minimum = 0.0;
    double maximum = 0.0;
    double increment = 0.0;
    int decimals = 0;
    double value = 0.0;       // the default; for a ring, the value of the item selected at start
    // Rings.
    std::vector<RingEntry> entries;
    int startEntry = 0;
};

struct MenuItemSpec {
    std::string name;
    int id = 0;
    bool separator = false;
    std::string label;
    std::string shortcut;     // "Ctrl+A" style, empty for none
    MenuCallback callback = nullptr;
};

struct MenuSpec {
    std::string name;
    int id = 0;
    std::string label;
    std::vector<MenuItemSpec> items;
};

struct PanelSpec {
    std::string name;
    int resourceId = 0;
    std::string title;
    int width = 0;
    int height = 0;
    int top = 0;
    int left = 0;
    std::uint32_t background = 0;
    PanelCallback callback = nullptr;
    bool hasMenuBar = false;
    std::string menuBarName;
    int menuBarId = 0;
    std::vector<MenuSpec> menus;
    std::vector<ControlSpec> controls;
};

// Parses text as a panel file for panel resourceId of decl. Returns 0 and fills *out, or a
// negative UiError with a one-line reason in *why.
int ParsePanelText(std::string_view text, const UiPanelDecl &decl, int resourceId, PanelSpec *out,
                   std::string *why);
// Reads the file first; a file that cannot be read is UI_ERR_FILE_MISSING, and so is anything
// but a regular file (a FIFO, a device, a folder), found without waiting on it.
int ReadPanelFile(const char *fileName, const UiPanelDecl &decl, int resourceId, PanelSpec *out,
                  std::string *why);

}  // namespace uicore
