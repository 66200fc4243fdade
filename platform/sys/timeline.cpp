#include "platform/sys/timeline.h"

#include "platform/sys/steady_clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace velmora::timeline {

namespace {

thread_local Timeline tThread;
thread_local std::uint32_t tLine = 0;
std::atomic<std::uint32_t> gLines{0};

}  // namespace

void SleepOnThreadTimeline(unsigned ms)
{
    const std::int64_t end = tThread.sleepEnd(SteadyNs(), ms);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(end)));
}

void BeginThreadTimeline(std::int64_t nowNs) { (void)tThread.sleepEnd(nowNs, 0); }

SysStamp ThreadStamp(std::int64_t nowNs)
{
    SysStamp s;
    s.ns = tThread.stamp(nowNs);
    if (tThread.active()) {
        if (tLine == 0) tLine = gLines.fetch_add(1) + 1;
        s.line = tLine;
        s.epoch = tThread.epoch();
    }
    return s;
}

}  // namespace velmora::timeline
