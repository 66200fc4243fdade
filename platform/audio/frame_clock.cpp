#include "platform/audio/frame_clock.h"

#include <algorithm>
#include <cmath>

namespace velmora::audio {

FrameClock::FrameClock(double nominalRate, bool reportsWander)
    : nominal_(nominalRate), slope_(nominalRate), anchorSlope_(nominalRate)
{
    setReportsWander(reportsWander);
}

void FrameClock::setReportsWander(bool reportsWander)
{
    maxSlew_ = reportsWander ? 2e-4 : 1e-3;
    slopeLimit_ = reportsWander ? 0.0 : 2e-3;
    detectSteps_ = !reportsWander;
}

void FrameClock::reset()
{
    count_ = next_ = 0;
    lastT_ = 0.0;
    settled_ = false;
    slope_ = nominal_;
    anchorSlope_ = nominal_;
    intercept_ = 0.0;
    offSign_ = 0;
}

void FrameClock::observe(std::int64_t timeNs, std::int64_t frame)
{
    // A device starts by filling the server's buffer in a quick run of callbacks; those
    // pairs say nothing about the steady pace and would pull the fit for seconds. Start
    // afresh once, after the first quarter second.
    if (count_ == 0 && !settled_) firstNs_ = timeNs;
    if (!settled_ && timeNs - firstNs_ > 250'000'000) {
        settled_ = true;
        count_ = next_ = 0;
    }
    const double off = count_ > 1 && detectSteps_ ? static_cast<double>(frame) - frameAt(timeNs) : 0.0;
    const int sign = off > kStepSeconds * nominal_ ? 1 : off < -kStepSeconds * nominal_ ? -1 : 0;
    if (sign == 0 || sign != offSign_) {
        // The slope from before the step: points off the line tilt the fit from here on.
        slopeBeforeStep_ = slope_;
        offSinceNs_ = timeNs;
    } else if (timeNs - offSinceNs_ >= static_cast<std::int64_t>(kStepHoldSeconds * 1e9)) {
        anchorSlope_ = slopeBeforeStep_;
        ++steps_;
        count_ = next_ = 0;
    }
    offSign_ = count_ == 0 ? 0 : sign;
    if (count_ == 0) {
        originNs_ = timeNs;
        originFrame_ = frame;
    }
    t_[next_] = static_cast<double>(timeNs - originNs_) * 1e-9;
    f_[next_] = static_cast<double>(frame - originFrame_);
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);

    double mt = 0.0, mf = 0.0;
    for (int i = 0; i < count_; ++i) {
        mt += t_[i];
        mf += f_[i];
    }
    mt /= count_;
    mf /= count_;
    double stt = 0.0, stf = 0.0;
    for (int i = 0; i < count_; ++i) {
        stt += (t_[i] - mt) * (t_[i] - mt);
        stf += (t_[i] - mt) * (f_[i] - mf);
    }
    // The slope is trusted only over a window of several seconds: callbacks arrive with
    // milliseconds of jitter, and over half a second that alone tilts a fitted slope by
    // a percent. Then it follows the device clock's drift, within a plausible limit.
    const int newest = (next_ + kWindow - 1) % kWindow;
    const int oldest = count_ < kWindow ? 0 : next_;
    double slope = anchorSlope_;
    if (stt > 0.0 && t_[newest] - t_[oldest] >= 4.0)
        slope = std::clamp(stf / stt, nominal_ * (1.0 - slopeLimit_), nominal_ * (1.0 + slopeLimit_));
    double intercept = mf - slope * mt;

    // The fitted line pivots about the window's mean point, seconds back: a new slope (the
    // switch from the nominal one after 4 s, or jitter) or one late callback moves the
    // mapping of the present by milliseconds at once, and a play and its mute 200 ms apart
    // would land 2 ms too close or too far. So the present may move against the previous
    // line by at most 1 ms per second; a real step (the server lost a buffer) is followed
    // within seconds, while any 200 ms stays exact to 0.2 ms.
    const double tNow = t_[newest];
    if (count_ > 1) {
        const double before = intercept_ + slope_ * tNow;
        const double after = intercept + slope * tNow;
        const double allowed = maxSlew_ * nominal_ * std::max(tNow - lastT_, 0.0);
        const double moved = std::clamp(after - before, -allowed, allowed);
        intercept += before + moved - after;
    }
    lastT_ = tNow;
    slope_ = slope;
    intercept_ = intercept;
}

double FrameClock::frameAt(std::int64_t timeNs) const
{
    const double t = static_cast<double>(timeNs - originNs_) * 1e-9;
    return static_cast<double>(originFrame_) + intercept_ + slope_ * t;
}

}  // namespace velmora::audio
