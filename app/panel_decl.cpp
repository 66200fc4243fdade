#include "app/panel.h"

#include <climits>
#include <iterator>

#include "app/shell.h"
#include "audiometry/audiometry.h"
#include "stimulation/stimulation.h"

namespace {

// The bounds are what the procedures can take: a frequency or ear index within SinSample,
// at least one tone per block, a band width to divide by, a sleep of at most a minute,
// a volume factor.
const UiControlDecl kControls[] = {
    {"EAR_LEFT", EAR_LEFT, UI_CANVAS},
    {"EAR_RIGHT", EAR_RIGHT, UI_CANVAS},
    {"START_AUDIOMETRIE_L", START_AUDIOMETRIE_L, UI_COMMAND_BUTTON},
    {"STOP_AUDIOMETRIE", STOP_AUDIOMETRIE, UI_COMMAND_BUTTON},
    {"START_AUDIOMETRIE_R", START_AUDIOMETRIE_R, UI_COMMAND_BUTTON},
    {"NUMBER_MASTER_VOLUME", NUMBER_MASTER_VOLUME, UI_SLIDE_DOUBLE, 0.0, 1.0},
    {"SPLITTER", SPLITTER, UI_SPLITTER},
    {"RING_LEFT_RIGHT", RING_LEFT_RIGHT, UI_RING, 0, 1},
    {"RING_FREQ", RING_FREQ, UI_RING, 0, 12},
    {"NUMBER_INTERVAL", NUMBER_INTERVAL, UI_RING, 1, INT_MAX},
    {"START_STIMULATION", START_STIMULATION, UI_COMMAND_BUTTON},
    {"NUMBER_VOLUME", NUMBER_VOLUME, UI_SLIDE_DOUBLE, 0.0, 1.0},
    {"NUMBER_HOLD", NUMBER_HOLD, UI_SLIDE_DOUBLE, 0.0, 60000.0},
    {"NUMBER_PAUSE", NUMBER_PAUSE, UI_SLIDE_DOUBLE, 0.0, 60000.0},
    {"NUMBER_BAND_WIDTH", NUMBER_BAND_WIDTH, UI_SLIDE_INT, 1, INT_MAX},
};

// A Designer menu separator has no name of its own, so SEPARATOR is not asked of the file.
const UiMenuDecl kMenus[] = {
    {"MENUBAR", MENUBAR}, {"PROJECT", PROJECT}, {"ABOUT", ABOUT, "Ctrl+A"}, {"QUIT", QUIT, "Ctrl+Q"},
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
