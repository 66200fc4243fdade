#include "platform/timeline.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace velmora::timeline {

namespace {

thread_local Timeline tThread;
thread_local std::uint32_t tLine = 0;
std::atomic<std::uint32_t> gLines{0};

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

Stamp ThreadStamp(std::int64_t nowNs)
{
    Stamp s;
    s.ns = tThread.stamp(nowNs);
    if (tThread.active()) {
        if (tLine == 0) tLine = gLines.fetch_add(1) + 1;
        s.line = tLine;
        s.epoch = tThread.epoch();
    }
    return s;
}

}  // namespace velmora::timeline
