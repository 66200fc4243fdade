#include "ui/ui_test_support.h"

#include "app/shell.h"
#include "audiometry/audiometry.h"
#include "stimulation/stimulation.h"

std::vector<CallbackCall> gCallbackCalls;

int Main_Panel(int panel, int event, void *, int, int)
{
    gCallbackCalls.push_back({"Main_Panel", panel, 0, event});
    return 0;
}

void Menu_Select(int menuBar, int menuItem, void *, int panel)
{
    gCallbackCalls.push_back({"Menu_Select", menuBar, menuItem, panel});
}

int Audiometrie_Button(int panel, int control, int event, void *, int, int)
{
    gCallbackCalls.push_back({"Audiometrie_Button", panel, control, event});
    return 0;
}

int Stimulation_Button(int panel, int control, int event, void *, int, int)
{
    gCallbackCalls.push_back({"Stimulation_Button", panel, control, event});
    return 0;
}
