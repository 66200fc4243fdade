#include "app/shell.h"

#include <cstring>

#include "app/globals.h"
#include "app/panel.h"
#include "chart/chart.h"
#include "platform/audio.h"
#include "platform/sys.h"
#include "platform/ui.h"
#include "samples/samples.h"

const char kAboutText[] =
    "Velmora\n"
    "\u00a9 2026 The Velmora developers\n"
    "\n"
    "For more information, see the Velmora project page.\n";

namespace {

// Both procedures end by themselves; while one runs, a quit would pull the tone streams
// and the panel from under it, so the request is ignored.
void Request_Quit()
{
    if (Get(iAudiometrieRunning) == 0 && Get(iStimulationRunning) == 0) {
        Set(ucQuitFlag, 0);
    }
}

}  // namespace

int Main_Panel(int, int event, void *, int, int)
{
    if (event == EVENT_CLOSE) {
        Request_Quit();
    }
    return 0;
}

void Menu_Select(int, int menuItem, void *, int)
{
    if (menuItem == ABOUT) {
        Ui_MessagePopup("Velmora", kAboutText);
    } else if (menuItem == QUIT) {
        Request_Quit();
    }
}

void Describe_Silent_Tones(int audioStarted, char *buffer, int bufferSize)
{
    buffer[0] = '\0';
    if (!audioStarted) {
        Append_Text(buffer, bufferSize, "%s", kNoOutputText);
        return;
    }
    int missing = 0;
    char path[64];
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            if (Sample_State(f, ear) != SAMPLE_REFUSED) {
                continue;
            }
            if (missing++ == 0) {
                Append_Text(buffer, bufferSize,
                            "These tone files are missing, unreadable, longer than 10 s, or not 96000 Hz "
                            "stereo with the tone in its ear's channel only. Their tones cannot be played, "
                            "and a hearing test leaves their frequencies out:\n");
            }
            Sample_Path(f, ear, path, sizeof path);
            Append_Text(buffer, bufferSize, "%s\n", path);
        }
    }
}

int App_Main(int argc, char **argv)
{
    if (Ui_Init(argc, argv) == 0) {
        return -1;
    }
    Ui_DeclarePanel(&kMainPanelDecl);
    Set(iPanelHandle, Ui_LoadPanel(0, PANEL_FILE, MAIN_PANEL));
    if (Get(iPanelHandle) < 0) {
        return -1;
    }

    const int audioStarted = Audio_Init(-1, 96000, 0, nullptr, nullptr);
    Create_Samples();

    Set(iLeftRight, 0);
    Clear_Canvas();
    Set(iLeftRight, 1);
    Clear_Canvas();

    Ui_DisplayPanel(Get(iPanelHandle));

    // A silent tone would be charted as "not heard": say so once, as soon as it is known.
    // The tone files are read behind the panel; no output is known at once.
    bool warned = false;
    while (Get(ucQuitFlag) != 0) {
        if (!warned && (audioStarted == 0 || Samples_Checked() != 0)) {
            warned = true;
            static char warning[4096];
            Describe_Silent_Tones(audioStarted, warning, sizeof warning);
            if (warning[0] != '\0') {
                Ui_ShowWarning("Velmora", warning);
            }
        }
        Ui_ProcessSystemEvents();
        Sys_Sleep(10);
    }

    // A stopped stimulation may still be in its last cycle: let it end before its
    // streams and the panel it reads are released.
    Ui_WaitForThreadPoolFunctions();
    Free_Samples();
    Ui_DiscardPanel(Get(iPanelHandle));
    return 0;
}
