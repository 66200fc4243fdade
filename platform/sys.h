#pragma once
// Names in sys/: Sys_Call, Type and Function, variable, kConstant, gGlobal, tThreadLocal, member_.
// The clock, sleeping and the pseudo-random generator. The program reaches them only
// through these calls, so that tests can run it on a virtual clock.

#include <cstdint>

// Holds the calling thread for ms milliseconds after the end of its previous sleep (see
// platform/sys/timeline.h); no other thread is held.
void Sys_Sleep(unsigned ms);

// The one clock, in nanoseconds (steady; virtual time under a test's clock). Presses, sound
// command stamps and the times at which the engine says a play was heard are all on it.
// The audio output's own threads (its watchdog, the devices' render threads) read the same
// steady clock directly (platform/sys/steady_clock.h): they keep the sound card's time,
// which no virtual clock may move; a test on a virtual clock renders offline instead.
std::int64_t Sys_NowNs();

// The time a sound command issued now by the calling thread belongs to: its timeline's time
// when it sleeps through Sys_Sleep, else the present (see platform/sys/timeline.h). `line` names
// the timeline (0 none) and `epoch` its restarts: within one epoch the stamps are exactly the
// schedule.
struct SysStamp {
    std::int64_t ns = 0;
    std::uint32_t line = 0;
    std::uint32_t epoch = 0;
};
SysStamp Sys_Stamp();

// How far behind its timeline a sleeping thread may fall before its timeline starts afresh
// at the present (see platform/sys/timeline.h). A command may therefore be stamped up to
// this far in the past, and the audio engine adds it to its command latency.
inline constexpr std::int64_t SYS_TIMELINE_BUDGET_NS = 100'000'000;

// Calendar time in whole seconds.
std::int64_t Sys_Time();

// One generator shared by every thread, as the C library's. Sys_Rand returns a value
// from 0 to SYS_RAND_MAX, far above the widest band (100000) a draw is taken modulo.
inline constexpr int SYS_RAND_MAX = 0x7FFFFFFF;
void Sys_Srand(unsigned seed);
int Sys_Rand();

// Runs fn(data) once on a new thread and returns at once: 0, or -1 when no thread could be
// started. Nothing joins it. The threads that sleep through Sys_Sleep are started here, so
// that a virtual clock knows every thread that may still sleep before it moves time on;
// each keeps its timeline from its start (see platform/sys/timeline.h).
int Sys_StartThread(void (*fn)(void *), void *data);
