#pragma once
// The fake platform: a virtual clock that the program's sleeps run on, and recorders for
// everything the program asks of the audio engine and the user-interface runtime.
//
// Pieces (each its own library, so a test can mix a fake piece with a real one):
//   velmora_fake_clock  the scheduler and virtual time; every other piece links it
//   velmora_fake_sys    Sys_* on the virtual clock, a scripted clock and generator
//   velmora_fake_audio  Audio_*: recorded calls and per-stream state
//   velmora_fake_ui     Ui_*: scripted control values, recorded attributes and drawing,
//                       a thread pool whose threads take part in the scheduler
//
// Scheduling. The test thread plays the main thread. It and every thread started by
// Sys_StartThread take turns: exactly one of them runs at a time, the others wait
// for their turn, so every run is the same run. A thread gives up its turn only by
// sleeping (Sys_Sleep, or the test's RunUntil family) or by ending. When the thread that
// runs gives up its turn, the next one is the sleeper with the earliest wake time, and
// virtual time jumps to that wake time. Ties at one virtual time go:
//   1. the test thread's own wake (an At action, the end of RunUntil) first,
//   2. then pool threads, in the order in which they went to sleep,
//   3. then actions added with AtAfterThreads.
// So a press at t and a procedure's check after a sleep that ends at t: the press is
// seen. A thread scheduled by a press starts at the press's virtual time, once the test
// thread gives up its turn, never beside it.
//
// A test thread that waits longer than the watchdog (10 s of real time) for its turn means
// a pool thread blocked outside the scheduler: the fake prints the scheduler's state and
// aborts, so the test fails rather than hangs.
//
// Not supported: threads that sleep through Sys_Sleep without being started by
// Sys_StartThread (they would be taken for the test thread).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/ui.h"

namespace fake {

// ---------------------------------------------------------------- clock (velmora_fake_clock)

// Virtual milliseconds since the last ResetClock.
std::int64_t Now();

// fn(t) runs each time virtual time is about to move on to t, before anything at t runs,
// with the scheduler's lock held: it may not call into the fake. For a stand-in device
// that renders the sound up to t. Cleared by ResetClock.
void OnAdvance(std::function<void(std::int64_t)> fn);

// Runs fn on the test thread when virtual time reaches t (ms), before any pool thread
// that wakes at t. Actions at one time run in the order they were added. A t in the past
// runs at the next chance.
void At(std::int64_t t, std::function<void()> fn);
// As At, but after every pool thread that wakes at t has run up to its next sleep.
void AtAfterThreads(std::int64_t t, std::function<void()> fn);

// Lets virtual time run to t: pool threads run, actions fire. Returns with Now() == t,
// before any pool thread that wakes at exactly t (see the order above). Test thread only.
void RunUntil(std::int64_t t);
inline void Advance(std::int64_t ms) { RunUntil(Now() + ms); }
// Lets virtual time run until no pool thread is alive, or until limit (ms, absolute,
// threads waking at limit included), whichever comes first. Returns true when every pool
// thread has ended; Now() is then the time the last one ended.
bool RunUntilThreadsEnded(std::int64_t limit);
// Pool threads alive (announced and not yet ended).
int LiveThreads();

// Real-time limit on one wait of the test thread for its turn.
void SetWatchdogSeconds(int seconds);

// Index of the calling thread in the records: 0 the test thread, 1, 2, ... pool threads
// in the order they were started since the last ResetClock.
int ThreadIndex();

// Back to virtual time 0, no actions, default clock and generator, records cleared.
// Aborts when a pool thread is still alive: the previous test left it running.
void ResetClock();

namespace detail {
// The slot that the last Announce on this thread made.
int TakeStartedSlot();
// First call on a new pool thread: waits for its turn when slot >= 0.
void EnterThread(int slot, int threadIndex);
void Announce();
void Leave();
// What the fake Sys_* calls do. StartThread's threads take turns with the test thread.
void Sleep(unsigned ms);
int StartThread(void (*fn)(void *), void *data);
// Joins the threads started so far; the caller knows they have ended or will.
void JoinThreads();
std::int64_t Time();
void Srand(unsigned seed);
int Rand();
// Runs the actions due at Now() (the fake event processing). Test thread only.
void RunDueActions();
// When the button of the commit being delivered went down (ms), -1: at the commit.
std::int64_t PressDownMs();
void SetPressDownMs(std::int64_t ms);
}  // namespace detail

// ---------------------------------------------------------------- sys (velmora_fake_sys; state in the clock)

// Sys_Time returns secondsAtZero + (Now() + msIntoSecond) / 1000: virtual time 0 lies
// msIntoSecond ms into the second secondsAtZero. Default 1'750'000'000 and 0.
void SetTimeBase(std::int64_t secondsAtZero, int msIntoSecond = 0);

// Values that Sys_Rand returns next, before the generator is asked again.
void QueueRand(std::vector<int> values);

struct RandEvent {
    std::int64_t t;
    int thread;
    bool isSeed;        // Sys_Srand
    unsigned seed;      // when isSeed
    int value;          // when !isSeed: the value returned
    bool scripted;      // when !isSeed: taken from QueueRand
};
std::vector<RandEvent> RandLog();
// The first value the default generator gives after Sys_Srand(seed): what an unscripted
// draw in the second `seed` returns.
int FirstDrawAfterSeed(unsigned seed);

// ---------------------------------------------------------------- audio (velmora_fake_audio)

enum class AudioOp { Init, Create, Free, Stop, SetPosition, SetAttribute, Play, SetMasterVolume };

struct AudioCall {
    std::int64_t t;
    int thread;
    AudioOp op;
    AudioHandle handle;    // 0 for Init, SetMasterVolume; the new handle for Create
    std::uint32_t attrib;  // SetAttribute: AUDIO_ATTRIB_*; SetPosition: mode; Play: restart
    float value;           // SetAttribute, SetMasterVolume
    std::string path;      // Create
    bool live;             // false: a call on handle 0 or on a freed handle, which did nothing
};

struct StreamState {
    std::string path;
    bool freed = false;
    bool playing = false;
    bool atStart = true;  // at the start of the file: new, or rewound since the last play
    float volume = 1.0f;
    float rate = 96000.0f;
};

// Streams open with handles 101, 102, ... in the order of creation, except these paths.
void FailOpen(const std::string &path);
// The stream opened from path is read until virtual time ms (Audio_StreamReady 0, every
// call but free and info does nothing, info has no silent channels and peak 0), then ready,
// or refused for good. Unscripted streams are ready at once.
void ReadAt(const std::string &path, std::int64_t ms, bool refused = false);
// What Audio_ChannelGetInfo says of the stream opened from path (default: 96000 Hz, two
// channels, the other ear's channel silent, the ear taken from the letter after "96000");
// the peak is 1 (full scale), whatever the shape.
void SetShape(const std::string &path, AudioInfo info);
// What Audio_OutputWorking says (default true, also before Audio_Init); each change to
// false counts one loss for Audio_OutputLosses.
void SetOutputWorking(bool working);
// The sound goes to the output named `to` from now on (Audio_OutputRouteChanges counts it),
// which keeps the ears apart or not (Audio_OutputEarsApart). The first output is
// "Headphones", stereo.
void ChangeRoute(const std::string &to, int earsApart = 1);
// A play sounds at its call (Audio_PlaySoundedAt), unless the output does not work then:
// then it never does. Latencies are measured on the real mixer (hearing_test.cpp).

std::vector<AudioCall> AudioCalls();
void ClearAudioCalls();
StreamState Stream(AudioHandle handle);
float MasterVolume();

// Closes every stream, forgets scripted failures and records.
void ResetAudio();

// ---------------------------------------------------------------- ui (velmora_fake_ui)

// Values read by Ui_GetCtrlVal (an int read truncates). Unset controls read 0.
void SetCtrl(int control, double value);
double Ctrl(int control);

struct CtrlRead {
    std::int64_t t;
    int thread;
    int control;
    double value;
};
std::vector<CtrlRead> CtrlReads();

struct AttrCall {
    std::int64_t t;
    int thread;
    int panel;
    int control;
    int attribute;
    int value;         // int attributes
    std::string text;  // ATTR_LABEL_TEXT
};
std::vector<AttrCall> AttrCalls();
// Current label (empty: never set) and dimmed state (-1: never set) of a control.
std::string Label(int control);
int Dimmed(int control);

enum class CanvasOpKind { Clear, Rect, Line, Point, Text };

struct CanvasOp {
    std::int64_t t;
    int thread;
    int panel;
    int control;
    CanvasOpKind kind;
    ::Rect rect;         // Clear, Rect
    ::Point a;           // Line start, Point, Text
    ::Point b;           // Line end
    std::string text;    // Text
    int penColor;        // pen state of that canvas at the time of the call (-1: never set)
    int penWidth;
    int fillColor;
};
std::vector<CanvasOp> CanvasOps();

struct PoolCall {
    std::int64_t t;
    ThreadFunction function;
    void *data;
    int pool;
    int priority;
    int eventMask;
    int callbackThread;
    int threadIndex;  // ThreadIndex() of the thread that runs it
};
std::vector<PoolCall> PoolCalls();
// Pool threads of `function` running now, and the most that ever ran at once.
int Running(ThreadFunction function);
int PeakRunning(ThreadFunction function);

struct UiEvent {
    std::int64_t t;
    std::string what;  // "Init", "LoadPanel", "DisplayPanel", "DiscardPanel", "MessagePopup", "Warning", "Wait"
    std::string text;
};
std::vector<UiEvent> UiEvents();

// What Ui_LoadPanel returns (default 1).
void SetLoadPanelResult(int handle);
// A negative result makes Ui_ScheduleThreadPoolFunction refuse: nothing is started or
// recorded, the result is returned (default 0: every function is started).
void SetScheduleResult(int result);

// A press: calls the control callback on the test thread, now.
inline void Press(CtrlCallback callback, int panel, int control, int event = EVENT_COMMIT)
{
    callback(panel, control, event, nullptr, 0, 0);
}
inline void PressAt(std::int64_t t, CtrlCallback callback, int panel, int control, int event = EVENT_COMMIT)
{
    At(t, [=] { Press(callback, panel, control, event); });
}
// A click whose button went down at `downMs` and is committed at `commitMs`.
inline void ClickAt(std::int64_t downMs, std::int64_t commitMs, CtrlCallback callback, int panel, int control)
{
    At(commitMs, [=] {
        detail::SetPressDownMs(downMs);
        Press(callback, panel, control, EVENT_COMMIT);
        detail::SetPressDownMs(-1);
    });
}

// Joins every pool thread that has ended; aborts when one is still alive.
// Clears control values, attributes, drawing and pool records.
void ResetUi();

// Every piece of the fake; only for tests that link all three.
inline void Reset()
{
    ResetUi();
    ResetAudio();
    ResetClock();
}

}  // namespace fake
