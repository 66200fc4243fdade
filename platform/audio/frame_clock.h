#pragma once
// Inside the engine, not part of its face: the engine's render, and the tests and fuzz
// targets that drive the fit directly, include it.

#include <array>
#include <cstdint>

namespace velmora::audio {

// Wall time to output frame, fitted by least squares over the last (callback time, frames
// rendered) pairs, so a device clock that drifts against the steady clock is followed.
// Audio thread only; fixed storage.
class FrameClock {
public:
    // `reportsWander`: the times observed stray from the truth by tens of ms for seconds
    // at a time (pipewire-pulse's sawtooth, a loaded PulseAudio's moves). No shift of them
    // is then a real step, and the mapping never moves at once. The slope stays the
    // nominal one, since a fit over teeth that sink for seconds tilts it to the 0.2 %
    // limit (6 ms across a 3 s block break); the present follows the reports at a fifth
    // of the usual pace, which still covers a device clock 200 ppm off.
    explicit FrameClock(double nominalRate, bool reportsWander = false);
    void setReportsWander(bool reportsWander);  // for the next observations, after a reset
    void reset();
    void observe(std::int64_t timeNs, std::int64_t frame);
    bool ready() const { return count_ > 0; }
    double frameAt(std::int64_t timeNs) const;
    double rate() const { return slope_; }  // frames per second now in use
    int steps() const { return steps_; }     // re-anchors on a real step so far

private:
    static constexpr int kWindow = 1024;  // 5.5 s of 512-frame periods: slope noise from callback jitter stays ~ 10 ppm
    double nominal_;
    std::array<double, kWindow> t_{};
    std::array<double, kWindow> f_{};
    int count_ = 0;
    int next_ = 0;
    std::int64_t originNs_ = 0;
    std::int64_t originFrame_ = 0;
    std::int64_t firstNs_ = 0;
    bool settled_ = false;
    double slope_;
    double intercept_ = 0.0;
    double lastT_ = 0.0;                     // time of the previous observation, s from the origin
    double maxSlew_;     // how fast the present's mapping may move: 1 ms per s, or 0.2 if reports wander
    double slopeLimit_;  // how far the slope may stray from the nominal one: 0.2 %, or none
    // A real step (a stall, a resume) shows as every callback off the line by the same
    // milliseconds, in one direction; jitter, even on a loaded machine, does not stay
    // there. Off by more than kStepSeconds, the same way, for kStepHoldSeconds, the fit
    // starts afresh from the present, keeping the slope from before the step. A smaller
    // shift is followed by the slew alone.
    static constexpr double kStepSeconds = 0.004;
    bool detectSteps_;
    static constexpr double kStepHoldSeconds = 0.25;
    std::int64_t offSinceNs_ = 0;
    int offSign_ = 0;
    int steps_ = 0;
    double anchorSlope_;  // slope used until a fresh window spans enough time
    double slopeBeforeStep_ = 0.0;
};

}  // namespace velmora::audio
