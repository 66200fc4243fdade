#include "audiometry/audiometry.h"

#include "app/globals.h"
#include "app/panel.h"
#include "chart/chart.h"
#include "platform/audio.h"
#include "platform/sys.h"
#include "platform/ui.h"
#include "samples/samples.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

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

// Main thread only: the log has one writer.
void Log_Press(int kind)
{
    const int n = iPressCount.load(std::memory_order_relaxed);
    iAryPressKind[n % PRESS_LOG_SIZE].store(kind, std::memory_order_relaxed);
    // When the button went down, not when the click ended: a listener answers the tone
    // that sounded as they pressed.
    llAryPressTime[n % PRESS_LOG_SIZE].store(Ui_EventPressTimeNs(), std::memory_order_relaxed);
    iPressCount.store(n + 1, std::memory_order_release);
}

void Start_Pass(int ear)
{
    if (Audio_OutputWorking() == 0) {
        // Every tone would be charted as not heard: refuse, and say why again.
        Ui_ShowWarning("Velmora", kNoOutputText);
        return;
    }
    if (Audio_OutputEarsApart() == 0) {
        // The tone meant for one ear would reach both: the other ear could answer it.
        char text[512];
        Describe_Ears_Together(true, text, sizeof text);
        Ui_ShowWarning("Velmora", text);
        return;
    }
    const int panel = Get(iPanelHandle);
    const int pressed = ear == 0 ? START_AUDIOMETRIE_L : START_AUDIOMETRIE_R;
    const int other = ear == 0 ? START_AUDIOMETRIE_R : START_AUDIOMETRIE_L;

    Set(iAudiometrieRunning, 1);
    Set(iLeftRight, ear);
    // A press from before this pass cannot end or answer it.
    Set(iKey, 0);
    iPassPressesFrom.store(iPressCount.load(std::memory_order_relaxed), std::memory_order_relaxed);
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
// Returns whether it waited.
bool Wait_For_Stimulation_End()
{
    bool waited = false;
    while (Stimulation_Phase() != STIMULATION_IDLE) {
        Sys_Sleep(10);
        waited = true;
    }
    return waited;
}

// The tone of the pass that may still sound: the answered (or 25th) tone plays on through
// its mark and the pause, and is stopped when the next frequency's first tone starts.
std::atomic<AudioHandle> lastTone{0};

constexpr std::int64_t kToneWindowNs = static_cast<std::int64_t>(AUDIOMETRY_TONE_INTERVAL_MS) * 1'000'000;

// The presses a pass may read, from the count it remembers: the log keeps only the last
// PRESS_LOG_SIZE, and the acquire load makes every entry below `end` whole.
struct Presses {
    int begin;
    int end;
    static Presses Since(int from)
    {
        const int count = iPressCount.load(std::memory_order_acquire);
        return {std::max(from, count - PRESS_LOG_SIZE), count};
    }
    static int Kind(int n) { return iAryPressKind[n % PRESS_LOG_SIZE].load(std::memory_order_relaxed); }
    static std::int64_t Time(int n) { return llAryPressTime[n % PRESS_LOG_SIZE].load(std::memory_order_relaxed); }
};

bool Stop_Pressed_Since(int from)
{
    const Presses p = Presses::Since(from);
    for (int n = p.begin; n < p.end; ++n) {
        if (Presses::Kind(n) == -1) {
            return true;
        }
    }
    return false;
}

bool Stop_Pressed_While_Waiting(void *from) { return Stop_Pressed_Since(*static_cast<const int *>(from)); }

// What the listener's presses say about one frequency's tones so far.
struct Verdict {
    int step = -1;           // the tone answered, or -1
    bool stop = false;       // a stop decided: no mark, end of the pass
    bool stopAfter = false;  // an answer decided, and a stop came after it
    int window = -1;         // the tone whose window decided
};

// Tone s owns the presses made from when it sounded until tone s + 1 sounded (the last
// tone: until it has sounded for one tone interval). The earliest tone that owns a press
// decides, by its last press. Presses before the first tone sounded belong to no tone of
// this frequency. Only presses up to now and tones known to have sounded take part.
// `lastEnds`: no tone follows the last one played, whose window then ends as the 25th's.
Verdict Judge(const std::uint64_t plays[], int played, int pressesFrom, bool lastEnds)
{
    std::int64_t heard[AUDIOMETRY_STEP_LIMIT];
    int known = 0;
    while (known < played && Audio_PlaySoundedAt(plays[known], &heard[known]) == 1) {
        ++known;
    }
    Verdict v;
    const Presses p = Presses::Since(pressesFrom);
    for (int s = 0; s < known && v.step < 0 && !v.stop; ++s) {
        const std::int64_t from = heard[s];
        const std::int64_t until = s + 1 < known ? heard[s + 1]
                                   : s + 1 == AUDIOMETRY_STEP_LIMIT || (lastEnds && s + 1 == played)
                                       ? heard[s] + kToneWindowNs
                                       : INT64_MAX;
        std::int64_t decidedAt = 0;
        for (int n = p.begin; n < p.end; ++n) {
            const std::int64_t t = Presses::Time(n);
            if (t >= from && t < until) {
                const int kind = Presses::Kind(n);
                v.step = kind == 1 ? s : -1;
                v.stop = kind == -1;
                v.window = s;
                decidedAt = t;
            }
        }
        for (int n = p.begin; n < p.end && v.step >= 0; ++n) {
            v.stopAfter = v.stopAfter || (Presses::Kind(n) == -1 && Presses::Time(n) > decidedAt);
        }
    }
    return v;
}

void Sleep_Until_Window_End(std::uint64_t play)
{
    std::int64_t heard = 0;
    if (Audio_PlaySoundedAt(play, &heard) == 1) {
        const std::int64_t left = heard + kToneWindowNs - Sys_NowNs();
        if (left > 0) {
            Sys_Sleep(static_cast<unsigned>((left + 999'999) / 1'000'000));
        }
    }
}

// What the output was when the pass began. Any loss or change of route since means that
// a tone may not have reached the ear under test.
struct OutputSeen {
    int losses;
    int changes;
    static OutputSeen Now() { return {Audio_OutputLosses(), Audio_OutputRouteChanges()}; }
    bool Lost() const { return Audio_OutputLosses() != losses || Audio_OutputWorking() == 0; }
    bool Changed() const { return Audio_OutputRouteChanges() != changes; }
    bool Moved() const { return Lost() || Changed(); }
};

// Plays the ascending tones of one frequency until an answer, a stop or 25 tones, at the
// cadence of one tone every 1400 ms, looking at the presses after each tone's interval.
// Returns the verdict, with step 25 when no tone was answered; lost when the output was
// lost or went elsewhere since the pass began.
Verdict Ascend(AudioHandle channel, const OutputSeen &output, int pressesFrom, bool &lost)
{
    std::uint64_t plays[AUDIOMETRY_STEP_LIMIT] = {};
    double level = AUDIOMETRY_FIRST_LEVEL;
    for (int step = 0; step < AUDIOMETRY_STEP_LIMIT; ++step) {
        Audio_ChannelStop(channel);
        Audio_ChannelSetPosition(channel, 0, AUDIO_POS_BYTE);
        Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_VOL, static_cast<float>(level));
        Audio_ChannelSetAttribute(channel, AUDIO_ATTRIB_FREQ, 96000.0f);
        level = level * AUDIOMETRY_STEP_FACTOR;
        if (step == 0) {
            const AudioHandle previous = lastTone.exchange(channel);
            if (previous != 0 && previous != channel) {
                Audio_ChannelStop(previous);
            }
        }
        Audio_ChannelPlay(channel, 0);
        plays[step] = Audio_ChannelLastPlay(channel);
        Sys_Sleep(AUDIOMETRY_TONE_INTERVAL_MS);
        if (output.Moved()) {
            lost = true;
            return Verdict{};
        }
        Verdict v = Judge(plays, step + 1, pressesFrom, false);
        if (v.window == step) {
            // Decided in the window still open, by a press that a later one in the same
            // window may overrule: play no further tone, and let this window run its
            // 1400 ms from when the tone sounded before looking again.
            Sleep_Until_Window_End(plays[step]);
            v = Judge(plays, step + 1, pressesFrom, true);
        }
        if (v.step >= 0 || v.stop) {
            return v;
        }
    }
    // The last tone's window ends when it has sounded for one interval: look once more then.
    Sleep_Until_Window_End(plays[AUDIOMETRY_STEP_LIMIT - 1]);
    Verdict v = Judge(plays, AUDIOMETRY_STEP_LIMIT, pressesFrom, true);
    if (v.step < 0 && !v.stop) {
        v.step = AUDIOMETRY_STEP_LIMIT;
    }
    return v;
}

// What a pass could not measure, told to the user once at its end.
struct PassReport {
    int skipped[FREQUENCY_COUNT];  // no tone file: left out
    int skippedCount;
    int capped[FREQUENCY_COUNT];  // answered at or beyond a step that could not get louder
    int cappedCount;
    int firstCappedStep;  // the lowest such step among them
    double fittingMaster;  // the highest master setting at which their ladders fit
    int lostAt;            // frequency under test when the output was lost, or -1
    int changedAt;         // frequency under test when the sound went elsewhere, or -1
};

void Warn_About_Pass(const PassReport &report)
{
    if (report.skippedCount == 0 && report.cappedCount == 0 && report.lostAt < 0 && report.changedAt < 0) {
        return;
    }
    char text[2048] = "";
    if (report.changedAt >= 0) {
        char from[128];
        char to[128];
        Audio_OutputLastChange(from, to, sizeof from);
        const int hz = kFrequencyHz[report.changedAt];
        Append_Text(text, sizeof text,
                    "The sound output changed while %d Hz was tested (from %s to %s). The test ended "
                    "there; %d Hz has no mark. Check your headphones and test this ear again.\n\n",
                    hz, from, to, hz);
    } else if (report.lostAt >= 0) {
        Append_Text(text, sizeof text,
                    "The sound output was lost while %d Hz was tested. The test ended there; %d Hz has no "
                    "mark. Once the output works again, test this ear once more.\n\n",
                    kFrequencyHz[report.lostAt], kFrequencyHz[report.lostAt]);
    }
    if (report.cappedCount > 0) {
        Append_Text(text, sizeof text,
                    "From step %d on, the tones could not get louder: at this master volume they all "
                    "sounded at full scale. These marks do not show a true hearing level:",
                    report.firstCappedStep);
        for (int i = 0; i < report.cappedCount; ++i) {
            Append_Text(text, sizeof text, "%s %d Hz", i == 0 ? "" : ",", kFrequencyHz[report.capped[i]]);
        }
        Append_Text(text, sizeof text,
                    ".\nThe whole ladder of 25 steps fits at a MASTER VOLUME CALIBRATION of %.3f or "
                    "lower.\n\n",
                    report.fittingMaster);
    }
    if (report.skippedCount > 0) {
        Append_Text(text, sizeof text, "These frequencies were left out, their tone files could not be opened:");
        for (int i = 0; i < report.skippedCount; ++i) {
            Append_Text(text, sizeof text, "%s %d Hz", i == 0 ? "" : ",", kFrequencyHz[report.skipped[i]]);
        }
        Append_Text(text, sizeof text, ".\n");
    }
    Ui_ShowWarning("Velmora", text);
}

}  // namespace

int First_Capped_Step(float masterVolume, float peak)
{
    double level = AUDIOMETRY_FIRST_LEVEL;
    for (int step = 0; step < AUDIOMETRY_STEP_LIMIT; ++step) {
        if (!Audio_GainFits(static_cast<float>(level), masterVolume, peak)) {
            return step;
        }
        level = level * AUDIOMETRY_STEP_FACTOR;
    }
    return AUDIOMETRY_STEP_LIMIT;
}

double Highest_Fitting_Master(float peak)
{
    for (int k = 200; k > 0; --k) {  // the slide's 0.005 steps from 1.0 down
        const double master = k * 0.005;
        if (First_Capped_Step(static_cast<float>(master), peak) == AUDIOMETRY_STEP_LIMIT) {
            return master;
        }
    }
    return 0.0;
}

int Audiometrie_Button(int, int control, int event, void *, int, int)
{
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (control == START_AUDIOMETRIE_L || control == START_AUDIOMETRIE_R) {
        if (Get(iAudiometrieRunning) == 0) {
            Start_Pass(control == START_AUDIOMETRIE_L ? 0 : 1);
        } else {
            Log_Press(1);
            Set(iKey, 1);
        }
    }
    if (control == STOP_AUDIOMETRIE) {
        Log_Press(-1);
        Set(iKey, -1);
    }
    return 0;
}

int Audiometrie(void *functionData)
{
    const int ear = *static_cast<const int *>(functionData);
    const int panel = Get(iPanelHandle);
    const int canvas = ear == 0 ? EAR_LEFT : EAR_RIGHT;

    if (Wait_For_Stimulation_End() && Stop_Pressed_Since(iPassPressesFrom.load(std::memory_order_relaxed))) {
        // Stopped while it waited for the stimulation, before anything of it was shown.
        Restore_Idle_Controls();
        Set(iAudiometrieRunning, 0);
        return 0;
    }
    Set(iLeftRight, ear);
    Clear_Canvas();

    double masterVolume = 0.0;
    Ui_GetCtrlVal(panel, NUMBER_MASTER_VOLUME, &masterVolume);
    Audio_SetVolume(static_cast<float>(masterVolume));

    Ui_SetCtrlAttribute(panel, EAR_LEFT, ATTR_PEN_COLOR, 0x0000FF);
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_COLOR, 0xFF0000);

    PassReport report{};
    report.lostAt = -1;
    report.changedAt = -1;
    // The output as the pass found it: every later look compares with this.
    const OutputSeen output = OutputSeen::Now();
    const auto endedBy = [&](int f) {
        if (!output.Moved()) {
            return false;
        }
        (output.Changed() ? report.changedAt : report.lostAt) = f;
        return true;
    };
    report.firstCappedStep = AUDIOMETRY_STEP_LIMIT;
    report.fittingMaster = 1.0;
    int lastMarked = -1;
    int lastMarkY = 0;
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        // A tone file still being read is waited for; a stop meanwhile ends the pass.
        int waitFrom = iPressCount.load(std::memory_order_acquire);
        const AudioHandle channel = Sample_Wait(f, ear, Stop_Pressed_While_Waiting, &waitFrom);
        if (Stop_Pressed_Since(waitFrom) || endedBy(f)) {
            break;
        }
        if (channel == 0) {
            // A tone that cannot sound would be charted as not heard: leave it out, and
            // let the next mark join the last one drawn.
            report.skipped[report.skippedCount++] = f;
            continue;
        }
        Sys_Srand(static_cast<unsigned>(Sys_Time()));
        const int r = Sys_Rand();
        Sys_Sleep(static_cast<unsigned>(500.0 + (r % 2000)));
        if (endedBy(f)) {
            break;
        }
        // After the pause: whatever was pressed during it, a stop included, does not count.
        Set(iKey, 0);
        const int pressesFrom = iPressCount.load(std::memory_order_acquire);

        bool lost = false;
        const Verdict verdict = Ascend(channel, output, pressesFrom, lost);
        if (lost) {
            endedBy(f);
            break;
        }
        if (verdict.stop) {
            break;
        }
        const int step = verdict.step;
        AudioInfo tone;
        const float peak = Audio_ChannelGetInfo(channel, &tone) != 0 ? tone.peak : 0.0f;
        const int capped = First_Capped_Step(static_cast<float>(masterVolume), peak);
        if (capped < AUDIOMETRY_STEP_LIMIT && step >= capped) {
            report.capped[report.cappedCount++] = f;
            report.firstCappedStep = capped < report.firstCappedStep ? capped : report.firstCappedStep;
            const double fits = Highest_Fitting_Master(peak);
            report.fittingMaster = fits < report.fittingMaster ? fits : report.fittingMaster;
        }

        const int x = iAryYPos[f];
        const int y = Chart_StepY(step);
        Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 12);
        Ui_CanvasDrawPoint(panel, canvas, Ui_MakePoint(x, y));
        if (lastMarked >= 0) {
            Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 6);
            Ui_CanvasDrawLine(panel, canvas, Ui_MakePoint(x, y), Ui_MakePoint(iAryYPos[lastMarked], lastMarkY));
        }
        lastMarked = f;
        lastMarkY = y;
        if (verdict.stopAfter) {
            break;
        }
    }

    Warn_About_Pass(report);
    Restore_Idle_Controls();
    // Last: a quit is allowed from here on, so the pass must have done all its work.
    Set(iAudiometrieRunning, 0);
    return 0;
}
