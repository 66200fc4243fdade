#include "audiometry/audiometry.h"

#include "app/globals.h"
#include "app/panel.h"
#include "chart/chart.h"
#include "platform/audio.h"
#include "platform/sys.h"
#include "platform/ui.h"
#include "samples/samples.h"

namespace {

const char kAnswerLabel[] = "-= PRESS IF YOU HEAR A NOISE =-";
const char kStartLabel[] = "START AUDIOMETRIE";

// The pass gets its ear through its function data, never from iLeftRight, which a
// stimulation's last cycle may still overwrite after the pass has been scheduled.
const int kEars[2] = {0, 1};

void Restore_Idle_Controls()
{
    const int panel = Get(iPanelHandle);
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_L, ATTR_LABEL_TEXT, kStartLabel);
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_R, ATTR_LABEL_TEXT, kStartLabel);
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_L, ATTR_DIMMED, 0);
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_R, ATTR_DIMMED, 0);
    Ui_SetCtrlAttribute(panel, STOP_AUDIOMETRIE, ATTR_DIMMED, 1);
    Ui_SetCtrlAttribute(panel, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 0);
    Ui_SetCtrlAttribute(panel, START_STIMULATION, ATTR_DIMMED, 0);
}

void Start_Pass(int ear)
{
    const int panel = Get(iPanelHandle);
    const int pressed = ear == 0 ? START_AUDIOMETRIE_L : START_AUDIOMETRIE_R;
    const int other = ear == 0 ? START_AUDIOMETRIE_R : START_AUDIOMETRIE_L;

    Set(iAudiometrieRunning, 1);
    Set(iLeftRight, ear);
    Ui_SetCtrlAttribute(panel, pressed, ATTR_LABEL_TEXT, kAnswerLabel);
    Ui_SetCtrlAttribute(panel, other, ATTR_DIMMED, 1);
    Ui_SetCtrlAttribute(panel, STOP_AUDIOMETRIE, ATTR_DIMMED, 0);
    Ui_SetCtrlAttribute(panel, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 1);
    Ui_SetCtrlAttribute(panel, START_STIMULATION, ATTR_DIMMED, 1);

    const int scheduled = Ui_ScheduleThreadPoolFunction(
        UI_DEFAULT_THREAD_POOL, Audiometrie, const_cast<int *>(&kEars[ear]), 0, nullptr,
        UI_EVENT_MASK_FUNCTION_EXECUTION_END, nullptr, UI_CALLBACK_THREAD_OWN, nullptr);
    if (scheduled < 0) {
        // No pass will ever clear the flag: go back to idle rather than lock the panel
        // (and the quit) in the running state.
        Restore_Idle_Controls();
        Set(iAudiometrieRunning, 0);
    }
}

// A stimulation that was stopped may still be in its last cycle (up to about 5.6 s),
// driving one of the streams a pass plays and writing iLeftRight. The pass lets it end
// first, so that no tone of the pass is cut or muted by it; the stimulation cannot start
// again meanwhile because the pass has dimmed its button.
void Wait_For_Stimulation_End()
{
    while (iStimulationActive.load() != 0) {
        Sys_Sleep(10);
    }
}

// Plays the ascending tones of one frequency until an answer, a stop or 25 tones.
// Returns the step of the tone in whose window iKey turned non-zero, or 25.
int Ascend(AudioHandle channel)
{
    double level = AUDIOMETRY_FIRST_LEVEL;
    int step = 0;
    for (;;) {
        Audio_ChannelStop(channel);
        Audio_ChannelSetPosition(channel, 0, AUDIO_POS_BYTE);
        Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_VOL, static_cast<float>(level));
        Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_FREQ, 96000.0f);
        level = level * AUDIOMETRY_STEP_FACTOR;
        Audio_ChannelPlay(channel, 0);
        Sys_Sleep(AUDIOMETRY_TONE_INTERVAL_MS);
        if (Get(iKey) != 0) {
            return step;
        }
        ++step;
        if (step >= AUDIOMETRY_STEP_LIMIT) {
            return step;
        }
    }
}

}  // namespace

int Audiometrie_Button(int, int control, int event, void *, int, int)
{
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (control == START_AUDIOMETRIE_L || control == START_AUDIOMETRIE_R) {
        if (Get(iAudiometrieRunning) == 0) {
            Start_Pass(control == START_AUDIOMETRIE_L ? 0 : 1);
        } else {
            Set(iKey, 1);
        }
    }
    if (control == STOP_AUDIOMETRIE) {
        Set(iKey, -1);
    }
    return 0;
}

int Audiometrie(void *functionData)
{
    const int ear = *static_cast<const int *>(functionData);
    const int panel = Get(iPanelHandle);
    const int canvas = ear == 0 ? EAR_LEFT : EAR_RIGHT;

    Wait_For_Stimulation_End();
    Set(iLeftRight, ear);
    Clear_Canvas();

    double masterVolume = 0.0;
    Ui_GetCtrlVal(panel, NUMBER_MASTER_VOLUME, &masterVolume);
    Audio_SetVolume(static_cast<float>(masterVolume));

    Ui_SetCtrlAttribute(panel, EAR_LEFT, ATTR_PEN_COLOR, 0x0000FF);
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_COLOR, 0xFF0000);

    int marks[FREQUENCY_COUNT] = {};
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        Sys_Srand(static_cast<unsigned>(Sys_Time()));
        const int r = Sys_Rand();
        Sys_Sleep(static_cast<unsigned>(500.0 + (r % 2000)));
        // After the pause: whatever was pressed during it, a stop included, does not count.
        Set(iKey, 0);

        const int step = Ascend(SinSample[f][ear]);
        if (Get(iKey) == -1) {
            break;
        }

        const int x = iAryYPos[f];
        const int y = Chart_StepY(step);
        Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 12);
        Ui_CanvasDrawPoint(panel, canvas, Ui_MakePoint(x, y));
        if (f > 0) {
            Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 6);
            Ui_CanvasDrawLine(panel, canvas, Ui_MakePoint(x, y), Ui_MakePoint(iAryYPos[f - 1], marks[f - 1]));
        }
        marks[f] = y;
    }

    Restore_Idle_Controls();
    // Last: a quit is allowed from here on, so the pass must have done all its work.
    Set(iAudiometrieRunning, 0);
    return 0;
}
