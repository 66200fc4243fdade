// The wall-time to frame fit under arbitrary callback timing: jitter, stalls, bursts, a
// clock that steps back, frames that stand still or leap. After every observation the
// mapping must be a number near the reported pace, and the present must not run backwards.
//
// The bound on going back: between fresh starts the present may move against the previous
// line by 1 ms per second, while the line itself advances at 99.8 % of the rate or more,
// so an observation later in time never maps earlier than the previous present. A fresh
// start (after a step) puts the present exactly on the frame the device reported, and a
// device never reports frames it has already played, so the mapping may fall back only to
// that frame: frameAt(t_k) >= min(frameAt_{k-1}(t_{k-1}), f_k), less rounding.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "platform/audio/frame_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    velmora::fuzz::Input in(data, size);
    const double rate = in.take<std::uint8_t>() & 1 ? 96000.0 : 44100.0;
    velmora::audio::FrameClock clock(rate);

    std::int64_t t = in.take<std::uint32_t>();  // any start: the fit works from its own origin
    std::int64_t frame = in.range(0, 1 << 20);
    double present = 0.0;
    std::int64_t lastT = 0;
    bool first = true;
    while (!in.empty()) {
        const std::int64_t block = in.range(1, 4096);
        const double nominalNs = 1e9 * static_cast<double>(block) / rate;
        std::int64_t dt = 0;
        switch (in.range(0, 3)) {
        case 0: dt = static_cast<std::int64_t>(nominalNs); break;                       // on time
        case 1: dt = static_cast<std::int64_t>(nominalNs) + in.range(-5'000'000, 5'000'000); break;  // jitter
        case 2: dt = in.range(0, 2'000'000'000); break;                                  // a stall
        default: dt = -in.range(0, 50'000'000); break;                                   // the clock steps back
        }
        t += dt;
        // Frames never go back; a block may be lost (frames leap) or repeated (stand still).
        const int shape = static_cast<int>(in.range(0, 7));
        frame += shape == 0 ? 0 : shape == 1 ? block * in.range(2, 200) : block;

        clock.observe(t, frame);
        const double now = clock.frameAt(t);
        if (!std::isfinite(now) || !std::isfinite(clock.rate())) std::abort();
        if (clock.rate() < 0.99 * rate || clock.rate() > 1.01 * rate) std::abort();
        const double tolerance = 1e-6 * std::max(1.0, std::abs(now));
        if (!first && t >= lastT && now < std::min(present, static_cast<double>(frame)) - tolerance) std::abort();
        present = now;
        lastT = t;
        first = false;
    }
    return 0;
}
