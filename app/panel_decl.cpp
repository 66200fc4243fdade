#include "app/panel.h"

#include <iterator>

#include "app/shell.h"
#include "audiometry/audiometry.h"
#include "stimulation/stimulation.h"

namespace {

const UiControlDecl kControls[] = {
    {"EAR_LEFT", EAR_LEFT, UI_CANVAS},
    {"EAR_RIGHT", EAR_RIGHT, UI_CANVAS},
    {"START_AUDIOMETRIE_L", START_AUDIOMETRIE_L, UI_COMMAND_BUTTON},
    {"STOP_AUDIOMETRIE", STOP_AUDIOMETRIE, UI_COMMAND_BUTTON},
    {"START_AUDIOMETRIE_R", START_AUDIOMETRIE_R, UI_COMMAND_BUTTON},
    {"NUMBER_MASTER_VOLUME", NUMBER_MASTER_VOLUME, UI_SLIDE_DOUBLE},
    {"SPLITTER", SPLITTER, UI_SPLITTER},
    {"RING_LEFT_RIGHT", RING_LEFT_RIGHT, UI_RING},
    {"RING_FREQ", RING_FREQ, UI_RING},
    {"NUMBER_INTERVAL", NUMBER_INTERVAL, UI_RING},
    {"START_STIMULATION", START_STIMULATION, UI_COMMAND_BUTTON},
    {"NUMBER_VOLUME", NUMBER_VOLUME, UI_SLIDE_DOUBLE},
    {"NUMBER_HOLD", NUMBER_HOLD, UI_SLIDE_DOUBLE},
    {"NUMBER_PAUSE", NUMBER_PAUSE, UI_SLIDE_DOUBLE},
    {"NUMBER_BAND_WIDTH", NUMBER_BAND_WIDTH, UI_SLIDE_INT},
};

const UiMenuDecl kMenus[] = {
    {"MENUBAR", MENUBAR}, {"PROJECT", PROJECT}, {"ABOUT", ABOUT}, {"SEPARATOR", SEPARATOR}, {"QUIT", QUIT},
};

const UiCallbackDecl kCallbacks[] = {
    {"Main_Panel", Main_Panel, nullptr, nullptr},
    {"Menu_Select", nullptr, nullptr, Menu_Select},
    {"Audiometrie_Button", nullptr, Audiometrie_Button, nullptr},
    {"Stimulation_Button", nullptr, Stimulation_Button, nullptr},
};

}  // namespace

const UiPanelDecl kMainPanelDecl = {
    "MAIN_PANEL",
    MAIN_PANEL,
    kControls,
    static_cast<int>(std::size(kControls)),
    kMenus,
    static_cast<int>(std::size(kMenus)),
    kCallbacks,
    static_cast<int>(std::size(kCallbacks)),
};
