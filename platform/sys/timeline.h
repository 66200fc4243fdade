#pragma once
// Each thread that sleeps through Sys_Sleep keeps a timeline: its sleeps end at the end of
// the previous sleep plus the time asked for, slept to that absolute deadline, and the
// sound commands it issues between two sleeps are stamped with the timeline's time, not
// with the moment of the call. So a thread that the system wakes late still plays its
// tones exactly as far apart as it asked, and one late wake does not push every later one.
//
// A thread that is more than SYS_TIMELINE_BUDGET_NS behind its timeline (it did something
// long, or was not run for a while) restarts the timeline at the present rather than being
// caught up by a burst of commands. The budget is added to the engine's command latency,
// so that a command stamped that far back still lands in a frame not yet given to the
// device. It is wide enough for the late wakes of a normal-priority thread on a busy
// desktop (a compile on every core of a small machine wakes it tens of milliseconds late),
// so that they move no sound; the hearing test judges answers by when a tone was heard, so
// the latency costs it nothing.
// A thread started through Sys_StartThread keeps its timeline from its first moment, so
// the sounds it makes before its first sleep (the first burst's play, the first tone of a
// hearing test) are placed on one anchor with the sleeps that follow them; else a step of
// the play-out reports between a play and its mute changed that burst's length by as much.
// Any other thread that has never slept stamps with the present.

#include "platform/sys.h"

#include <cstdint>

namespace velmora::timeline {

// The arithmetic, on times given by the caller (steady-clock nanoseconds).
class Timeline {
public:
    // Where a sleep of `ms` milliseconds asked for at `now` ends.
    std::int64_t SleepEnd(std::int64_t now, unsigned ms)
    {
        CatchUp(now);
        at_ += static_cast<std::int64_t>(ms) * 1'000'000;
        return at_;
    }
    // The stamp of a command issued at `now`.
    std::int64_t Stamp(std::int64_t now)
    {
        if (!active_) return now;
        CatchUp(now);
        return at_;
    }
    bool Active() const { return active_; }
    std::uint32_t Epoch() const { return epoch_; }

private:
    void CatchUp(std::int64_t now)
    {
        if (!active_ || now - at_ > SYS_TIMELINE_BUDGET_NS) {
            at_ = now;
            ++epoch_;
        }
        active_ = true;
    }
    bool active_ = false;
    std::int64_t at_ = 0;
    std::uint32_t epoch_ = 0;
};

// The calling thread's timeline, on the steady clock: what the real Sys_Sleep and Sys_Stamp do.
void SleepOnThreadTimeline(unsigned ms);

void BeginThreadTimeline(std::int64_t nowNs);
SysStamp ThreadStamp(std::int64_t nowNs);

}  // namespace velmora::timeline
