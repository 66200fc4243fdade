#include "platform/audio/schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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

void Schedule::reset()
{
    clock_.reset();
    anchors_ = {};
    sawPlayout_ = false;
    underrunOpen_ = false;
}

void Schedule::observe(std::int64_t nowNs, std::int64_t firstFrameNs, std::int64_t blockStart, bool underran)
{
    if (offline_) return;
    // Play-out times and call times differ by the device's buffer: never mix them in one
    // fit. Once the device has told a play-out time, only those count.
    if (firstFrameNs >= 0 && !sawPlayout_) {
        sawPlayout_ = true;
        clock_.reset();
    }
    // Only with play-out times can the loss be measured; an underrun before the mapping
    // exists (the stream's first fill) moves nothing.
    if (underran && sawPlayout_ && clock_.ready()) {
        underrunOpen_ = true;
        underrunUntilNs_ = nowNs + kNsPerSecond;
        lossSeen_ = std::nan("");
    }
    const bool settled = settleUnderrun(nowNs, firstFrameNs, blockStart);
    if (settled && firstFrameNs >= 0)
        clock_.observe(firstFrameNs, blockStart);
    else if (settled && !sawPlayout_)
        clock_.observe(nowNs, blockStart);
    // Any other step of the mapping (the server changed its latency) does not move a
    // line's anchor: the frames already written keep their places, so a burst under way
    // keeps its length. A step beyond the drift allowed re-anchors the line.
    clockSteps.store(static_cast<std::uint64_t>(clock_.steps()), std::memory_order_relaxed);
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

// After an underrun, the first play-out times can be stale (the server's timing from
// before it) or missing. The loss is taken once two renders in a row measure it within a
// millisecond; until then the old mapping stays the reference, and after a second without
// that the frame clock is left to follow the step on its own.
// True when this render's times may be observed.
bool Schedule::settleUnderrun(std::int64_t nowNs, std::int64_t firstFrameNs, std::int64_t blockStart)
{
    if (!underrunOpen_) return true;
    if (nowNs > underrunUntilNs_) {
        underrunOpen_ = false;
        return true;
    }
    if (firstFrameNs < 0) return false;
    const double loss = clock_.frameAt(firstFrameNs) - static_cast<double>(blockStart);
    const double agree = 0.001 * static_cast<double>(rate_);
    if (!(std::abs(loss - lossSeen_) <= agree)) {
        lossSeen_ = loss;
        return false;
    }
    underrunOpen_ = false;
    const std::int64_t lost = std::llround(0.5 * (loss + lossSeen_));
    if (std::abs(static_cast<double>(lost)) > agree) shift(lost, blockStart);
    return true;
}

// The server lost `lost` frames of play-out time: every frame from here on is heard that
// much later than the mapping says. The schedule keeps its times instead of its frames:
// anchors, waiting targets and the queue's order move that many frames earlier, so a burst
// under way is cut short, and a command whose frame is gone applies at once (ramped as
// every change). A negative loss (the server dropped frames instead) moves them later.
void Schedule::shift(std::int64_t lost, std::int64_t blockStart)
{
    clock_.shift(lost);
    for (LineAnchor &a : anchors_)
        if (a.line != 0) a.frame -= lost;
    for (std::size_t i = 0; i < count_; ++i) {
        Command &c = ring_[(head_ + i) % ring_.size()];
        if (c.stamp - lost < blockStart) late.fetch_add(1, std::memory_order_relaxed);
        c.stamp = std::max(c.stamp - lost, blockStart);
    }
    lastTarget_ = count_ > 0 ? ring_[(head_ + count_ - 1) % ring_.size()].stamp : std::max(lastTarget_ - lost, blockStart);
    framesLost.fetch_add(static_cast<std::uint64_t>(std::llabs(lost)), std::memory_order_relaxed);
}

}  // namespace velmora::audio
