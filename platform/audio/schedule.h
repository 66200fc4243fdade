#pragma once
// Inside the engine: where each command lands on the output. Audio thread only, fixed
// storage. A command stamped at time t lands on the frame that t maps to, plus the fixed
// latency: offline by exact arithmetic; on a device by the fitted frame clock, and for a
// sleeping thread's timeline by its epoch's anchor plus the schedule, so that 1400 ms on
// the timeline is exactly 1400 ms of output. Commands keep the order they were issued in.

#include "platform/audio/command_queue.h"
#include "platform/audio/frame_clock.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace velmora::audio {

inline constexpr std::int64_t kNsPerSecond = 1'000'000'000;

// The nearest frame of a time span, and the time of a frame count, at `rate`; split at
// whole seconds so that hours of nanoseconds times the rate cannot overflow.
inline std::int64_t framesIn(std::int64_t ns, std::int64_t rate)
{
    return (ns / kNsPerSecond) * rate + ((ns % kNsPerSecond) * rate + kNsPerSecond / 2) / kNsPerSecond;
}
inline std::int64_t nsOf(std::int64_t frames, std::int64_t rate)
{
    return (frames / rate) * kNsPerSecond + (frames % rate) * kNsPerSecond / rate;
}

class Schedule {
public:
    Schedule(int outputRate, int latencyFrames, bool offline, int capacity, bool playoutWanders);

    // A new device, whose play-out reports may wander or not: forget the old one's timing.
    void reset(bool playoutWanders);
    // Once per render, before commands are taken in: when the block's first frame is heard
    // (or -1 where the device cannot tell) and the call's time.
    void observe(std::int64_t nowNs, std::int64_t firstFrameNs, std::int64_t blockStart);

    // When output frame `frame` is heard by the fitted play-out mapping; `reported` where
    // there is none (no play-out time told yet, offline).
    std::int64_t heardAt(std::int64_t frame, std::int64_t reported) const;

    bool full() const { return count_ == ring_.size(); }
    std::size_t waiting() const { return count_; }
    // Places a command taken from the queue; none lands before `blockStart`.
    void take(const Command &c, std::int64_t blockStart);
    // The first waiting command and its frame, INT64_MAX when none waits.
    const Command &next() const { return ring_[head_]; }
    std::int64_t nextFrame() const { return count_ > 0 ? ring_[head_].stamp : INT64_MAX; }
    // Every waiting command, in order, to be changed in place (its frame kept).
    template <typename F>
    void forEachWaiting(F f)
    {
        for (std::size_t i = 0; i < count_; ++i) f(ring_[(head_ + i) % ring_.size()]);
    }
    void pop()
    {
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }

    // Read from any thread.
    std::atomic<std::uint64_t> late{0};        // commands whose frame had gone when placed
    std::atomic<std::uint64_t> clockSteps{0};  // the frame clock re-anchored on a real step
    // A timeline's commands came on a new epoch: its thread fell behind it (woken that much
    // late, on a starved machine) and began afresh, so its later sounds moved by as much.
    std::atomic<std::uint64_t> lineRestarts{0};

private:
    // Where a timeline's epoch began on the output: its later commands are placed from
    // here by their schedule alone, at the nominal rate, whatever the fitted mapping does.
    struct LineAnchor {
        std::uint32_t line = 0;
        std::uint32_t epoch = 0;
        std::int64_t stamp = 0;
        std::int64_t frame = 0;
    };

    std::int64_t targetFrame(const Command &c, std::int64_t blockStart);
    std::int64_t onLine(const Command &c, std::int64_t fitted);

    const std::int64_t rate_;
    const int latencyFrames_;
    const bool offline_;
    std::vector<Command> ring_;  // FIFO, target frames (in `stamp`) non-decreasing
    std::size_t head_ = 0, count_ = 0;
    std::int64_t lastTarget_ = 0;
    FrameClock clock_;
    std::array<LineAnchor, 16> anchors_{};
    bool sawPlayout_ = false;
};

}  // namespace velmora::audio
