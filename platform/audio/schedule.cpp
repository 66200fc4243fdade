#include "platform/audio/schedule.h"

#include <algorithm>
#include <cmath>

namespace velmora::audio {

namespace {

// How far the scheduled frames may run from the fitted mapping before the line is
// anchored afresh. The fitted mapping wanders by milliseconds over a minute (the server's
// latency reports move; on the null sink the schedule alone was exact to the frame while
// the mapping moved 10 ms in 30 s), so the window is wide; earlier than the mapping eats
// into the latency's margin, so that side is the narrower.
constexpr double kAnchorEarlySeconds = 0.015;
constexpr double kAnchorLateSeconds = 0.040;

}  // namespace

Schedule::Schedule(int outputRate, int latencyFrames, bool offline, int capacity, bool playoutWanders)
    : rate_(outputRate), latencyFrames_(latencyFrames), offline_(offline),
      ring_(static_cast<std::size_t>(std::max(16, capacity))), clock_(outputRate, playoutWanders)
{
}

void Schedule::reset(bool playoutWanders)
{
    clock_.setReportsWander(playoutWanders);
    clock_.reset();
    anchors_ = {};
    sawPlayout_ = false;
}

void Schedule::observe(std::int64_t nowNs, std::int64_t firstFrameNs, std::int64_t blockStart)
{
    if (offline_) return;
    // Play-out times and call times differ by the device's buffer: never mix them in one
    // fit. Once the device has told a play-out time, only those count.
    if (firstFrameNs >= 0 && !sawPlayout_) {
        sawPlayout_ = true;
        clock_.reset();
    }
    if (firstFrameNs >= 0)
        clock_.observe(firstFrameNs, blockStart);
    else if (!sawPlayout_)
        clock_.observe(nowNs, blockStart);
    // A step of the mapping (the server changed its latency) does not move a line's
    // anchor: the frames already written keep their places, so a burst under way keeps
    // its length. A step beyond the drift allowed re-anchors the line.
    clockSteps.store(static_cast<std::uint64_t>(clock_.steps()), std::memory_order_relaxed);
}

std::int64_t Schedule::heardAt(std::int64_t frame, std::int64_t reported) const
{
    if (offline_ || !sawPlayout_ || !clock_.ready() || !(clock_.rate() > 0.0)) return reported;
    // The mapping is a line: invert it about the report, where it is best conditioned.
    const double off = static_cast<double>(frame) - clock_.frameAt(reported);
    return reported + std::llround(off / clock_.rate() * 1e9);
}

void Schedule::take(const Command &c, std::int64_t blockStart)
{
    const std::int64_t target = targetFrame(c, blockStart);
    lastTarget_ = target;
    Command &slot = ring_[(head_ + count_) % ring_.size()];
    slot = c;
    slot.stamp = target;
    ++count_;
}

std::int64_t Schedule::targetFrame(const Command &c, std::int64_t blockStart)
{
    if (c.op == Op::Attach) return std::max(blockStart, lastTarget_);
    std::int64_t f;
    if (offline_) {
        f = framesIn(c.stamp, rate_) + latencyFrames_;
    } else if (clock_.ready()) {
        f = std::llround(clock_.frameAt(c.stamp)) + latencyFrames_;
        if (c.line != 0) f = onLine(c, f);
    } else {
        f = blockStart;  // before the first callback there is no timing to honour
    }
    if (f < blockStart) {
        late.fetch_add(1, std::memory_order_relaxed);
        f = blockStart;
    }
    return std::max(f, lastTarget_);  // queue order is kept: a later call never lands first
}

// The frame of a timeline's command: its epoch's anchor plus the schedule.
std::int64_t Schedule::onLine(const Command &c, std::int64_t fitted)
{
    LineAnchor *a = &anchors_[0];
    for (LineAnchor &x : anchors_) {
        if (x.line == c.line) {
            a = &x;
            break;
        }
        if (x.stamp < a->stamp) a = &x;  // else the least recently anchored slot
    }
    const std::int64_t d = c.stamp - a->stamp;
    std::int64_t f = a->frame + framesIn(d, rate_);
    const auto drift = static_cast<double>(f - fitted);
    const auto rate = static_cast<double>(rate_);
    if (a->line == c.line && a->epoch != c.epoch) lineRestarts.fetch_add(1, std::memory_order_relaxed);
    if (a->line != c.line || a->epoch != c.epoch || d < 0 || drift < -kAnchorEarlySeconds * rate ||
        drift > kAnchorLateSeconds * rate) {
        *a = LineAnchor{c.line, c.epoch, c.stamp, fitted};
        f = fitted;
    }
    return f;
}

}  // namespace velmora::audio
