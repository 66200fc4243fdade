// The wall-time to frame mapping follows a drifting device clock through jittery callbacks.
#include "platform/audio/frame_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace velmora::audio {
namespace {

struct ClockRow {
    double ppm;       // device clock against the steady clock
    double jitterMs;  // callback lateness, uniform 0..jitter
};

class FrameClockFit : public ::testing::TestWithParam<ClockRow> {};

TEST_P(FrameClockFit, PredictsFramesWithinAFractionOfAMillisecond)
{
    const ClockRow row = GetParam();
    const double rate = 96000.0 * (1.0 + row.ppm * 1e-6);
    FrameClock clock(96000.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> late(0.0, row.jitterMs * 1e-3);
    const std::int64_t t0 = 5'000'000'000;  // an arbitrary steady-clock origin
    std::int64_t frames = 0;
    for (int k = 0; k < 3000; ++k) {  // 512-frame periods: 16 s
        const double ideal = static_cast<double>(frames) / rate;
        clock.observe(t0 + static_cast<std::int64_t>((ideal + late(rng)) * 1e9), frames);
        frames += 512;
    }
    // Two commands 200 ms apart map to frames 200 ms of device time apart.
    const std::int64_t a = t0 + 14'000'000'000, b = a + 200'000'000;
    const double span = clock.frameAt(b) - clock.frameAt(a);
    EXPECT_NEAR(span, 0.2 * rate, 2.0) << "frames between two commands 200 ms apart";
    EXPECT_NEAR(clock.rate(), rate, rate * 50e-6);
    // And the absolute mapping is off by no more than the mean lateness plus a little.
    const double ideal = 14.0 * rate;
    EXPECT_NEAR(clock.frameAt(a), ideal - row.jitterMs * 1e-3 / 2 * rate, 0.0002 * rate);
}

// What a burst sees: its play is mapped at one time, its mute 200 ms later, after twenty
// more device callbacks have moved the fit. From the very start, through the switch
// from the nominal slope to the fitted one, the two stay 200 ms of device time apart.
TEST_P(FrameClockFit, KeepsTwoHundredMillisecondsWhileTheFitMoves)
{
    const ClockRow row = GetParam();
    const double rate = 96000.0 * (1.0 + row.ppm * 1e-6);
    FrameClock clock(96000.0);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> late(0.0, row.jitterMs * 1e-3);
    const std::int64_t t0 = 7'000'000'000;
    const int period = 960;  // 10 ms pieces
    const int apart = 20;    // 200 ms
    std::vector<double> playFrame;  // the play of a burst that starts at observation k
    double worst = 0.0;
    std::int64_t frames = 0;
    for (int k = 0; k < 1200; ++k) {  // 12 s
        const double ideal = static_cast<double>(frames) / rate;
        clock.observe(t0 + static_cast<std::int64_t>((ideal + late(rng)) * 1e9), frames);
        frames += period;
        // A call made right after this callback, at an exact time on the steady clock.
        const std::int64_t call = t0 + static_cast<std::int64_t>(ideal * 1e9) + 1'000'000;
        playFrame.push_back(clock.frameAt(call));
        if (k >= 30 + apart) {  // the first quarter second belongs to the start-up
            const double muteFrame = clock.frameAt(call);
            // Calls 20 periods apart are 20 periods of device frames apart.
            const double played = muteFrame - playFrame[playFrame.size() - 1 - apart];
            worst = std::max(worst, std::abs(played - apart * period) / rate);
        }
    }
    EXPECT_LT(worst * 1e3, 0.25) << "ms of error on a 200 ms burst, worst case";
}

// The device stalls for 300 ms (an underrun, a suspend) and then goes on from the frame
// where it stopped: every later frame is heard 300 ms later than before. Within a second
// the mapping follows, instead of creeping 1 ms a second for five minutes.
TEST_P(FrameClockFit, FollowsAStallWithinASecond)
{
    const ClockRow row = GetParam();
    const double rate = 96000.0 * (1.0 + row.ppm * 1e-6);
    FrameClock clock(96000.0);
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> late(0.0, row.jitterMs * 1e-3);
    const std::int64_t t0 = 9'000'000'000;
    const int period = 960;
    double shift = 0.0;  // s the output runs behind its first mapping
    double worstAfter = 0.0;
    std::int64_t frames = 0;
    for (int k = 0; k < 1000; ++k) {  // 10 s, the stall at 6 s
        if (k == 600) shift = 0.300;
        const double heard = static_cast<double>(frames) / rate + shift;
        clock.observe(t0 + static_cast<std::int64_t>((heard + late(rng)) * 1e9), frames);
        frames += period;
        if (k >= 700) {  // a second after the stall
            const double at = heard + 0.005;
            const double wanted = (at - shift) * rate;
            const double got = clock.frameAt(t0 + static_cast<std::int64_t>(at * 1e9));
            worstAfter = std::max(worstAfter, std::abs(got - wanted) / rate);
        }
    }
    EXPECT_LT(worstAfter * 1e3, 1.0 + row.jitterMs / 2) << "ms off target, from 1 s after the stall";
}

// PipeWire's pulse server (0.3.65), as logged at every write of a stream on a 96 kHz
// null sink: the latency it reports rises in teeth that fall back at each timing update,
// steeply at first, while the sound keeps its grid. Each row is a tooth: its start (s into
// the stream), how far above the first report it starts (ms), and its rise (ms per s).
struct Tooth {
    double start, baseMs, riseMsPerS;
};
constexpr Tooth kMeasuredTeeth[] = {{0.0, 0.0, 12.6}, {2.75, 26.0, 9.7}, {4.16, 28.1, 6.9}, {5.69, 24.6, 5.0},
                                    {7.23, 15.2, 3.0}, {8.64, 11.8, 1.6}, {11.71, 8.9, 1.0}};

// PulseAudio beside a two-job compile, a stream's first 7 s: its reports moved by these ms
// every 0.45 s or so (as a clock that took each for a step logged them), while the sink's
// monitor showed the sound on its grid.
constexpr double kLoadedPulseMovesMs[] = {-14.7, -10.6, -20.0, -13.1, -13.1, -11.2, -11.1,
                                          -11.4, 11.6,  -9.7,  -9.7,  39.5,  -8.0,  -8.0};

double toldSeconds(bool pipewire, double t)
{
    double told = 0.0;
    if (pipewire) {
        for (const Tooth &tooth : kMeasuredTeeth)
            if (t >= tooth.start) told = (tooth.baseMs + tooth.riseMsPerS * std::fmod(t - tooth.start, 1.45)) * 1e-3;
    } else {
        for (std::size_t i = 0; i < std::size(kLoadedPulseMovesMs) && t >= 0.3 + 0.45 * static_cast<double>(i); ++i)
            told += kLoadedPulseMovesMs[i] * 1e-3;
    }
    return told;
}

// Reports like those never step the mapping, and whatever slow pace it takes from them
// keeps a burst's 200 ms and a block break's 3.16 s, on a device clock within a crystal's
// tolerance (PipeWire's graph runs on its driver's clock).
TEST(FrameClockWander, TakesWanderingReportsForNoise)
{
    for (const bool pipewire : {true, false}) {
        for (const ClockRow row : {ClockRow{0.0, 0.0}, ClockRow{50.0, 1.0}, ClockRow{-50.0, 3.0}}) {
            SCOPED_TRACE(pipewire ? "pipewire-pulse" : "loaded PulseAudio");
            SCOPED_TRACE(row.ppm);
            const double rate = 96000.0 * (1.0 + row.ppm * 1e-6);
            FrameClock clock(96000.0, /*reportsWander=*/true);
            std::mt19937 rng(17);
            std::uniform_real_distribution<double> late(0.0, row.jitterMs * 1e-3);
            const std::int64_t t0 = 3'000'000'000;
            const int period = 2048;  // the server's quantum: 21 ms
            const int burst = 9, blockBreak = 148;  // 200 ms and 3.16 s in quanta
            std::vector<double> off;  // s the mapping of each call is off
            double worstBurst = 0.0, worstBreak = 0.0;
            std::int64_t frames = 0;
            for (int k = 0; k < 1400; ++k) {  // 30 s
                const double ideal = static_cast<double>(frames) / rate;
                const double told = toldSeconds(pipewire, ideal);
                clock.observe(t0 + static_cast<std::int64_t>((ideal + told + late(rng)) * 1e9), frames);
                frames += period;
                off.push_back(clock.frameAt(t0 + static_cast<std::int64_t>(ideal * 1e9)) / rate - ideal);
                if (k >= 12 + burst) worstBurst = std::max(worstBurst, std::abs(off[k] - off[k - burst]));
                if (k >= 12 + blockBreak) worstBreak = std::max(worstBreak, std::abs(off[k] - off[k - blockBreak]));
            }
            EXPECT_EQ(clock.steps(), 0) << "wander taken for steps";
            EXPECT_LT(worstBurst * 1e3, 0.25) << "ms a 200 ms burst was off";
            EXPECT_LT(worstBreak * 1e3, 1.0) << "ms a 3.16 s block break was off";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, FrameClockFit,
                         ::testing::Values(ClockRow{0.0, 0.0}, ClockRow{100.0, 1.0}, ClockRow{-300.0, 3.0},
                                           ClockRow{1500.0, 0.5}));

}  // namespace
}  // namespace velmora::audio
