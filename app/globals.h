#pragma once
// The words that the main thread and the two background procedures share.
//
// Each is one whole word. Most only carry a value, read and written with relaxed atomics
// (Get and Set below): a reader relies only on seeing the last value written, never on
// ordering against other memory. The stimulation's state word below is the exception.
//   ucQuitFlag          main loop runs while non-zero; written 0 by the quit callbacks (main thread only)
//   iAudiometrieRunning 1 while a hearing test runs; set by its start press, cleared by the test itself last
//   iStimulationRunning 1 while a stimulation is wanted; written only by the stimulation button
//   iKey                the listener's answer: 0 none, 1 heard, -1 stop; written by the audiometry
//                       buttons (1, -1) and by the test (0 before each frequency's first tone)
//   iLeftRight          ear, 0 left, 1 right; written by start-up, the audiometry start press and
//                       the stimulation before every tone
//   iPanelHandle        the main panel; written once by main before any thread starts

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern std::atomic<std::uint8_t> ucQuitFlag;
extern std::atomic<int> iAudiometrieRunning;
extern std::atomic<int> iStimulationRunning;
extern std::atomic<int> iKey;
extern std::atomic<int> iLeftRight;
extern std::atomic<int> iPanelHandle;

// Relaxed access, spelled short: the words carry values, not synchronisation.
template <typename T>
inline T Get(const std::atomic<T> &word)
{
    return word.load(std::memory_order_relaxed);
}

template <typename T, typename V>
inline void Set(std::atomic<T> &word, V value)
{
    word.store(static_cast<T>(value), std::memory_order_relaxed);
}

// The stimulation's lockout, one word that only compare-and-exchange changes: the phase
// of its procedure in the low two bits, the count of start presses above them.
//   idle      no procedure; a start press schedules one
//   running   a run is wanted and its procedure is scheduled or playing
//   stopping  stopped, but the procedure is still in its last cycle (up to about 5.6 s);
//             a start press now lets that procedure carry on, and the count it sees
//             change makes it begin a fresh run; a hearing test waits for idle
// So at most one procedure plays. The button mirrors the phase into iStimulationRunning
// (1 in running), which is what the quit rule reads.
inline constexpr std::uint32_t STIMULATION_IDLE = 0;
inline constexpr std::uint32_t STIMULATION_RUNNING = 1;
inline constexpr std::uint32_t STIMULATION_STOPPING = 2;
inline constexpr std::uint32_t STIMULATION_PHASE = 3;
inline constexpr std::uint32_t STIMULATION_START = 4;
extern std::atomic<std::uint32_t> uStimulationState;

inline std::uint32_t Stimulation_Phase()
{
    return uStimulationState.load(std::memory_order_acquire) & STIMULATION_PHASE;
}

// The hearing test's presses, in order: each answer (1) or stop (-1) with the time its
// button went down (Sys_NowNs). Only the audiometry buttons write it, on the main thread:
// the kind and time of entry n % PRESS_LOG_SIZE, then iPressCount = n + 1 with release
// order, so a pass that reads iPressCount with acquire sees whole entries up to it. A pass
// takes the presses from a count it remembers (iPassPressesFrom, set when the pass is
// started; its own count after each pause), which is how presses are wiped.
inline constexpr int PRESS_LOG_SIZE = 64;
extern std::atomic<int> iAryPressKind[PRESS_LOG_SIZE];
extern std::atomic<std::int64_t> llAryPressTime[PRESS_LOG_SIZE];
extern std::atomic<int> iPressCount;
extern std::atomic<int> iPassPressesFrom;

// Appends printf-style text to a fixed buffer, cutting it short rather than overflowing:
// the warnings are built without dynamic memory.
inline void Append_Text(char *buffer, int bufferSize, const char *format, ...)
{
    const std::size_t used = std::strlen(buffer);
    if (used + 1 >= static_cast<std::size_t>(bufferSize)) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + used, static_cast<std::size_t>(bufferSize) - used, format, args);
    va_end(args);
}
