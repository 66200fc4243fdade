#pragma once
// For library calls that may never return (a sound server that accepts a connection and
// then stops answering, a driver stuck in the kernel) and that cannot be timed out from
// outside.

#include <chrono>
#include <functional>

namespace velmora::audio {

// Runs fn on a thread of its own and waits at most `limit` for it. False when fn has not
// returned by then: its thread is left to finish on its own, and whatever fn captured
// lives until it does, so fn must not refer to the caller's stack.
bool callWithin(std::chrono::milliseconds limit, std::function<void()> fn);

}  // namespace velmora::audio
