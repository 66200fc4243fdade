#pragma once
// One toolkit per test process and the shipped panel file loaded once, with the real
// declaration table and the recording callbacks of ui_test_callbacks.cpp.

#include <QApplication>
#include <QColor>
#include <QImage>

#include "app/panel.h"
#include "platform/ui.h"

inline int SharedPanel()
{
    static const int handle = [] {
        static char name[] = "ui_qt_test";
        static char *argv[] = {name, nullptr};
        if (Ui_Init(1, argv) == 0) {
            return -100;
        }
        Ui_DeclarePanel(&kMainPanelDecl);
        return Ui_LoadPanel(0, VELMORA_TEST_PANEL_FILE, MAIN_PANEL);
    }();
    return handle;
}

inline unsigned Rgb(const QImage &image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }
