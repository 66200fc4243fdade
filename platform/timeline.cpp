#include "platform/timeline.h"

#include <chrono>
#include <thread>

namespace velmora::timeline {

namespace {

thread_local Timeline tThread;

std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void SleepOnThreadTimeline(unsigned ms)
{
    const std::int64_t end = tThread.sleepEnd(steadyNs(), ms);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(end)));
}

std::int64_t ThreadStamp(std::int64_t nowNs) { return tThread.stamp(nowNs); }

}  // namespace velmora::timeline
