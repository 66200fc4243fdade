#include "platform/sys/timeline.h"

#include "platform/sys/steady_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace velmora::timeline {

namespace {

thread_local Timeline tThread;
thread_local std::uint32_t tLine = 0;
thread_local bool tProcedure = false;  // started through Sys_StartThread
std::atomic<std::uint32_t> gLines{0};

// How late the procedures' sleeps end behind their timelines, what a busy machine costs
// them: with VELMORA_REPORT_COUNTERS=1 the count, p99 (to the millisecond) and max go to
// stderr at exit as "velmora_counter" lines, beside the audio counters. A wake later than
// the budget restarted a timeline. Whole milliseconds; the last bucket holds the rest.
constexpr int kLateBuckets = 1000;
std::atomic<std::uint32_t> gLate[kLateBuckets];
std::atomic<std::int64_t> gLateMaxUs{0};

void NoteLateness(std::int64_t lateNs)
{
    const std::int64_t us = std::max<std::int64_t>(lateNs / 1000, 0);
    gLate[std::min<std::int64_t>(us / 1000, kLateBuckets - 1)].fetch_add(1, std::memory_order_relaxed);
    std::int64_t seen = gLateMaxUs.load(std::memory_order_relaxed);
    while (us > seen && !gLateMaxUs.compare_exchange_weak(seen, us, std::memory_order_relaxed)) {
    }
}

void ReportLateness()
{
    std::uint64_t counts[kLateBuckets], wakes = 0, below = 0;
    for (int i = 0; i < kLateBuckets; ++i) wakes += counts[i] = gLate[i].load(std::memory_order_relaxed);
    const long long maxUs = gLateMaxUs.load();
    long long p99Us = 0;
    for (int i = 0; i < kLateBuckets && wakes > 0; ++i) {
        below += counts[i];
        if (below * 100 >= wakes * 99) {
            p99Us = std::min((i + 1) * 1000LL, maxUs);  // the bucket's top, or the latest wake in it
            break;
        }
    }
    std::fprintf(stderr, "velmora_counter procedure_wakes %llu\nvelmora_counter wake_late_p99_us %lld\n"
                         "velmora_counter wake_late_max_us %lld\n",
                 static_cast<unsigned long long>(wakes), p99Us, maxUs);
}

}  // namespace

void SleepOnThreadTimeline(unsigned ms)
{
    const std::int64_t end = tThread.SleepEnd(SteadyNs(), ms);
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(end)));
    if (tProcedure) NoteLateness(SteadyNs() - end);
}

void BeginThreadTimeline(std::int64_t nowNs)
{
    (void)tThread.SleepEnd(nowNs, 0);
    tProcedure = true;
    static const bool reported = [] {
        const char *want = std::getenv("VELMORA_REPORT_COUNTERS");
        return want != nullptr && std::strcmp(want, "1") == 0 && std::atexit(ReportLateness) == 0;
    }();
    (void)reported;
}

SysStamp ThreadStamp(std::int64_t nowNs)
{
    SysStamp s;
    s.ns = tThread.Stamp(nowNs);
    if (tThread.Active()) {
        if (tLine == 0) tLine = gLines.fetch_add(1) + 1;
        s.line = tLine;
        s.epoch = tThread.Epoch();
    }
    return s;
}

}  // namespace velmora::timeline
