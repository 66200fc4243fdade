#pragma once
// One toolkit per test process and the shipped panel file loaded once, with the real
// declaration table and the recording callbacks of ui_test_callbacks.cpp. Its widgets are
// found as in Designer: by objectName, a caption by its buddy, a value display by its slide.

#include <QAction>
#include <QApplication>
#include <QColor>
#include <QImage>
#include <QLabel>
#include <QMainWindow>

#include "app/panel.h"
#include "platform/ui.h"

// The top-level windows of the panel's name, newest last.
inline QList<QMainWindow *> PanelWindows()
{
    QList<QMainWindow *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == kMainPanelDecl.name) {
            found.push_back(qobject_cast<QMainWindow *>(w));
        }
    }
    return found;
}

inline QMainWindow *gSharedWindow = nullptr;

inline int SharedPanel()
{
    static const int handle = [] {
        static char name[] = "ui_qt_test";
        static char *argv[] = {name, nullptr};
        if (Ui_Init(1, argv) == 0) {
            return -100;
        }
        Ui_DeclarePanel(&kMainPanelDecl);
        const int loaded = Ui_LoadPanel(0, VELMORA_TEST_PANEL_FILE, MAIN_PANEL);
        gSharedWindow = loaded > 0 ? PanelWindows().value(0) : nullptr;
        return loaded;
    }();
    return handle;
}

inline QMainWindow *Window() { return gSharedWindow; }

inline QString NameOf(int control)
{
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        if (kMainPanelDecl.controls[i].id == control) {
            return kMainPanelDecl.controls[i].name;
        }
    }
    return {};
}

template <typename T = QWidget>
T *Widget(int control)
{
    return Window()->findChild<T *>(NameOf(control));
}

inline QLabel *Caption(int control)
{
    for (QLabel *label : Window()->findChildren<QLabel *>()) {
        if (label->buddy() != nullptr && label->buddy() == Widget(control)) {
            return label;
        }
    }
    return nullptr;
}

inline QLabel *ValueDisplayOf(int control)
{
    for (QLabel *label : Window()->findChildren<QLabel *>()) {
        if (label->property("slide").toString() == NameOf(control)) {
            return label;
        }
    }
    return nullptr;
}

inline QAction *Action(const char *name) { return Window()->findChild<QAction *>(name); }

// What a canvas shows, painted as on screen.
inline QImage CanvasImage(int control) { return Widget(control)->grab().toImage(); }

inline unsigned Rgb(const QImage &image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }
