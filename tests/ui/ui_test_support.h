#pragma once
// Stand-ins for the program's four callbacks, so that the real declaration table
// (app/panel_decl.cpp) can be linked without the shell and the procedures. Each call is
// recorded; main thread only, as the layer promises.

#include <string>
#include <vector>

struct CallbackCall {
    std::string function;
    int panel;     // the panel, or for Menu_Select the menu bar
    int control;   // the control, or for Menu_Select the menu item
    int event;     // the event; for Menu_Select the panel
};

extern std::vector<CallbackCall> gCallbackCalls;
