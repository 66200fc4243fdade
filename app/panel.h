#pragma once
// The numbers by which the code addresses the main panel, its controls and its menu.
// The panel file names them; panel_decl.cpp ties each name to its number and kind.

#include "platform/ui.h"

inline constexpr int MAIN_PANEL = 1;

enum : int {
    EAR_LEFT = 2,
    EAR_RIGHT,
    START_AUDIOMETRIE_L,
    STOP_AUDIOMETRIE,
    START_AUDIOMETRIE_R,
    NUMBER_MASTER_VOLUME,
    SPLITTER,
    RING_LEFT_RIGHT,
    RING_FREQ,
    NUMBER_INTERVAL,
    START_STIMULATION,
    NUMBER_VOLUME,
    NUMBER_HOLD,
    NUMBER_PAUSE,
    NUMBER_BAND_WIDTH,
};

enum : int {
    MENUBAR = 1,
    PROJECT = 2,
    ABOUT = 3,
    SEPARATOR = 4,
    QUIT = 5,
};

inline constexpr const char *PANEL_FILE = "Velmora.uir";

// Everything Ui_LoadPanel needs to check the file against and to attach callbacks by name.
extern const UiPanelDecl kMainPanelDecl;
