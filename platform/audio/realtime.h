#pragma once
// What keeps the thread that renders on time on a busy machine: real-time scheduling, as
// desktop audio clients get it, and its code kept in memory. Each is asked for where the
// system allows it; where it does not, the thread runs as any other, and nothing is said.

namespace velmora::audio {

// The priority asked for: below PulseAudio's own I/O thread (5), so that the server that
// plays our frames is never held off by the thread that makes them.
inline constexpr int kRenderPriority = 4;

// The calling thread's kernel id. Cheap enough for the first render of a device.
long currentThreadId();

// Puts thread `tid` of this process under SCHED_FIFO at kRenderPriority: itself where
// privilege or RLIMIT_RTPRIO allows (at most RLIMIT_RTPRIO), else through RTKit on the
// system bus (which grants SCHED_RR), which needs RLIMIT_RTTIME set and is given it.
// Returns the real-time priority got, 0 when the thread keeps its scheduling. May wait up
// to a second for the bus: never on the thread that renders.
int makeRealtime(long tid);

// Locks into memory the code that renders (this program's and the sound libraries'), so
// that the first tone of a run does not wait for its code to be read back from disk after
// a busy machine has dropped it from the page cache. Within RLIMIT_MEMLOCK; returns the
// bytes locked. Once per process; later calls do nothing and return 0.
long lockRenderCode();

}  // namespace velmora::audio
