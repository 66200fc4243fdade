#include "stimulation/stimulation.h"

#include "app/globals.h"
#include "app/panel.h"
#include "platform/audio.h"
#include "platform/sys.h"
#include "platform/ui.h"
#include "samples/samples.h"

namespace {

bool Run_Stopped(void *) { return iStimulationRunning.load() == 0; }

void Run_Cycle(int &tonesLeft)
{
    const int panel = Get(iPanelHandle);

    if (tonesLeft == 0) {
        Sys_Sleep(STIMULATION_BLOCK_BREAK_MS);
        Ui_GetCtrlVal(panel, NUMBER_INTERVAL, &tonesLeft);
    }
    --tonesLeft;

    int ear = 0;
    Ui_GetCtrlVal(panel, RING_LEFT_RIGHT, &ear);
    Set(iLeftRight, ear);
    int frequency = 0;
    Ui_GetCtrlVal(panel, RING_FREQ, &frequency);
    // A tone file still being read is waited for, unless the run is stopped meanwhile; one
    // that cannot sound is driven as 0, so the run keeps its cadence in silence.
    const AudioHandle channel = Sample_Wait(frequency, ear, Run_Stopped, nullptr);
    if (Sample_State(frequency, ear) == SAMPLE_PENDING) {
        return;
    }

    double volume = 0.0;
    Ui_GetCtrlVal(panel, NUMBER_VOLUME, &volume);
    Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_VOL, static_cast<float>(volume));

    int bandWidth = 1;
    Ui_GetCtrlVal(panel, NUMBER_BAND_WIDTH, &bandWidth);
    // Seeded from whole seconds before every draw: tones that start within one second
    // share their offset.
    Sys_Srand(static_cast<unsigned>(Sys_Time()));
    const int r = Sys_Rand();
    const int offset = (r % bandWidth) - (bandWidth / 2);
    Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_FREQ, static_cast<float>(STIMULATION_NOMINAL_RATE + offset));

    // No rewind here: every tone of ours leaves its stream rewound below.
    Audio_ChannelPlay(channel, 0);

    double hold = 0.0;
    Ui_GetCtrlVal(panel, NUMBER_HOLD, &hold);
    Sys_Sleep(static_cast<unsigned>(hold));

    // Muted before it is stopped, so the stop itself cannot be heard.
    Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_VOL, 0.0f);
    Sys_Sleep(STIMULATION_MUTE_MS);
    Audio_ChannelStop(channel);
    Audio_ChannelSetPosition(channel, 0, AUDIO_POS_BYTE);

    double pause = 0.0;
    Ui_GetCtrlVal(panel, NUMBER_PAUSE, &pause);
    Sys_Sleep(static_cast<unsigned>(pause));
}

}  // namespace

namespace {

// Moves the lockout from any phase in `from` (a mask of phases) to `to`, adding `starts`
// to the count; returns the phase it left, or -1 when the phase was in none of `from`.
int Move_Stimulation(unsigned from, std::uint32_t to, std::uint32_t starts)
{
    std::uint32_t state = uStimulationState.load(std::memory_order_acquire);
    for (;;) {
        const std::uint32_t phase = state & STIMULATION_PHASE;
        if ((from & (1u << phase)) == 0) {
            return -1;
        }
        const std::uint32_t next = (state & ~STIMULATION_PHASE) + starts * STIMULATION_START + to;
        if (uStimulationState.compare_exchange_weak(state, next, std::memory_order_acq_rel)) {
            return static_cast<int>(phase);
        }
    }
}

constexpr unsigned kIdle = 1u << STIMULATION_IDLE;
constexpr unsigned kRunning = 1u << STIMULATION_RUNNING;
constexpr unsigned kStopping = 1u << STIMULATION_STOPPING;

void Show_Stimulation(int panel, bool on)
{
    Set(iStimulationRunning, on ? 1 : 0);
    Ui_SetCtrlAttribute(panel, START_STIMULATION, ATTR_LABEL_TEXT, on ? "STOP STIMULATION" : "START STIMULATION");
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_L, ATTR_DIMMED, on ? 1 : 0);
    Ui_SetCtrlAttribute(panel, START_AUDIOMETRIE_R, ATTR_DIMMED, on ? 1 : 0);
}

}  // namespace

int Stimulation_Button(int, int control, int event, void *, int, int)
{
    if (event != EVENT_COMMIT || control != START_STIMULATION) {
        return 0;
    }
    const int panel = Get(iPanelHandle);

    if (Get(iStimulationRunning) != 0) {
        Move_Stimulation(kRunning, STIMULATION_STOPPING, 0);
        Show_Stimulation(panel, false);
        return 0;
    }
    Show_Stimulation(panel, true);
    // From stopping, the procedure still in its last cycle carries on for this press.
    if (Move_Stimulation(kIdle | kStopping, STIMULATION_RUNNING, 1) == static_cast<int>(STIMULATION_IDLE)) {
        const int scheduled = Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, Stimulation, nullptr, 0, nullptr,
                                                            UI_EVENT_MASK_FUNCTION_EXECUTION_END, nullptr,
                                                            UI_CALLBACK_THREAD_OWN, nullptr);
        if (scheduled < 0) {
            // Nothing will run: show the idle state instead of a stop button that stops nothing.
            Move_Stimulation(kRunning, STIMULATION_IDLE, 0);
            Show_Stimulation(panel, false);
        }
    }
    return 0;
}

int Stimulation(void *)
{
    int tonesLeft = 0;
    std::uint32_t run = 0;
    int losses = Audio_OutputLosses();
    bool earsToldTogether = false;
    // Every start press asks for a new run, which opens with a first block of 10 at master
    // 0.5: also a start that this procedure carries on for, pressed during the last cycle
    // of a stopped run (left as it was, a counter at 0 would open with a block break).
    const auto beginRun = [&](std::uint32_t state) {
        run = state / STIMULATION_START;
        tonesLeft = STIMULATION_FIRST_BLOCK;
        earsToldTogether = false;
        Audio_SetVolume(STIMULATION_MASTER_VOLUME);
        if (Audio_OutputWorking() == 0) {
            // The run goes on: the output is tried again every 2 s and heard once back.
            Ui_ShowWarning("Velmora", kNoOutputStimulationText);
        }
    };
    beginRun(uStimulationState.load(std::memory_order_acquire));
    for (;;) {
        const std::uint32_t state = uStimulationState.load(std::memory_order_acquire);
        if ((state & STIMULATION_PHASE) != STIMULATION_RUNNING) {
            // Fails only when a start pressed since that look made it running again: then
            // this procedure carries on for it.
            if (Move_Stimulation(kStopping | kIdle, STIMULATION_IDLE, 0) >= 0) {
                return 0;
            }
            continue;
        }
        if (state / STIMULATION_START != run) {
            beginRun(state);
        }
        // The run goes on (the output is tried again every 2 s), but the user learns
        // once per loss that the tones since may not have been heard.
        if (Audio_OutputLosses() != losses) {
            losses = Audio_OutputLosses();
            Ui_ShowWarning("Velmora",
                           "The sound output was lost during the stimulation. The stimulation goes on; "
                           "its tones are heard again once the output works again.\n");
        }
        // Into one ear by choice: an output that reaches both ears (the one it began on, or
        // the one the sound went to) is the user's to know about, once a run, not to stop.
        if (!earsToldTogether && Audio_OutputEarsApart() == 0) {
            earsToldTogether = true;
            char text[512];
            Describe_Ears_Together(false, text, sizeof text);
            Ui_ShowWarning("Velmora", text);
        }
        Run_Cycle(tonesLeft);
    }
}
