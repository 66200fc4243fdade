// Sleeps and command stamps on a thread's timeline: the schedule, not the wake-up,
// decides when sound changes.
#include "platform/sys/timeline.h"
#include "platform/sys/steady_clock.h"
#include "platform/sys.h"
#include "audio/audio_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <thread>

namespace velmora {
namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kBudgetMs = SYS_TIMELINE_BUDGET_NS / kMs;

struct WakeRow {
    const char *name;
    std::vector<std::int64_t> lateMs;  // how late each wake-up comes
    std::vector<std::int64_t> stampMs; // the stamp of the commands after each sleep, from the start
};

class TimelineArithmetic : public ::testing::TestWithParam<WakeRow> {};

// A burst cycle of sleeps 200, 10, 150 ms, woken late by the row's amounts.
TEST_P(TimelineArithmetic, StampsFollowTheScheduleWithinTheBudget)
{
    const WakeRow row = GetParam();
    timeline::Timeline t;
    const std::int64_t start = 5'000 * kMs;
    EXPECT_EQ(t.Stamp(start), start) << "a thread that never slept stamps with the present";
    const unsigned sleeps[] = {200, 10, 150};
    std::int64_t now = start;
    for (std::size_t i = 0; i < row.lateMs.size(); ++i) {
        const std::int64_t end = t.SleepEnd(now, sleeps[i % 3]);
        now = end + row.lateMs[i] * kMs;
        EXPECT_EQ(t.Stamp(now) - start, row.stampMs[i] * kMs) << "after sleep " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TimelineArithmetic,
    ::testing::Values(WakeRow{"OnTime", {0, 0, 0, 0}, {200, 210, 360, 560}},
                      WakeRow{"LateWithinBudget", {3, kBudgetMs - 5, 1, kBudgetMs - 1}, {200, 210, 360, 560}},
                      // 10 ms past the budget: the timeline restarts at the wake.
                      WakeRow{"BeyondBudget", {0, kBudgetMs + 10, 0, 2},
                              {200, 210 + kBudgetMs + 10, 360 + kBudgetMs + 10, 560 + kBudgetMs + 10}}),
    [](const auto &info) { return std::string(info.param.name); });

// The real thing: a thread sleeping through Sys_Sleep drives the engine while the other
// core is busy; a device that renders in 5 ms pieces with exact play-out times captures it.
TEST(TimelineRealClock, EveryBurstAndGapAsLongAsEveryOtherToTheFrame)
{
    audio::EngineConfig cfg;
    // The device's 40 ms ahead, the budget, a late device wake.
    cfg.latencySeconds = 0.040 + static_cast<double>(SYS_TIMELINE_BUDGET_NS) * 1e-9 + 0.010;
    audio::Engine engine(cfg);
    const auto tone = audio::test::sineFrames(1000.0, 1.0);
    const AudioHandle h = engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, audio::test::kRate);

    std::vector<float> out(static_cast<std::size_t>(audio::test::kRate) * 2 * 5);
    std::atomic<bool> quit{false};
    std::atomic<std::int64_t> deviceStart{0};
    std::vector<std::uint64_t> plays;
    std::thread device([&] {
        const std::int64_t t0 = velmora::SteadyNs() + 40 * kMs;
        deviceStart = t0;
        for (std::size_t frame = 0; frame + 480 <= out.size() / 2 && !quit; frame += 480) {
            const std::int64_t playout = t0 + static_cast<std::int64_t>(frame) * 1'000'000'000 / audio::test::kRate;
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(playout - 40 * kMs)));
            engine.render(out.data() + 2 * frame, 480, velmora::SteadyNs(), playout);
        }
    });
    std::thread busy([&] {
        volatile double x = 0;
        while (!quit) x = x + 1.0;
    });
    std::thread player([&] {
        Sys_Sleep(300);  // past the frame clock's start-up quarter second
        for (int burst = 0; burst < 25; ++burst) {
            plays.push_back(engine.play(h, false, Sys_Stamp()));
            Sys_Sleep(50);
            engine.setVolume(h, 0.0f, Sys_Stamp());
            Sys_Sleep(10);
            engine.stop(h, Sys_Stamp());
            engine.setPositionBytes(h, 0, Sys_Stamp());
            engine.setVolume(h, 1.0f, Sys_Stamp());
            Sys_Sleep(70);
        }
    });
    player.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    quit = true;
    device.join();
    busy.join();

    std::vector<float> left;
    for (std::size_t i = 0; i < out.size(); i += 2) left.push_back(out[i]);
    const auto stretches = analysis::soundStretches(left, audio::test::kRate);
    ASSERT_EQ(stretches.size(), 25u);
    // A thread not run for longer than the budget restarts its timeline, which may move
    // an onset on a crowded machine, and is counted; every other burst and onset is exact
    // to the frame.
    const double frame = 1.01 / audio::test::kRate;
    const double length0 = stretches[1].end - stretches[1].start;
    int offLength = 0, offOnset = 0;
    for (std::size_t i = 1; i < stretches.size(); ++i) {
        offLength += std::abs(stretches[i].end - stretches[i].start - length0) > frame;
        offOnset += std::abs(stretches[i].start - stretches[i - 1].start - 0.130) > frame;
    }
    const auto restarts = static_cast<int>(engine.counters().lineRestarts);
    EXPECT_LE(offLength, restarts);
    EXPECT_LE(offOnset, restarts);
    EXPECT_NEAR(length0, 0.055, 3 * frame) << "50 ms hold and the 5 ms fade, whose end frames are 0";
    EXPECT_EQ(engine.counters().lateCommands, 0u);

    // Each play is said to sound when its first frame is played out, on the device's clock:
    // the frame before the burst's first non-zero sample (its ramp and its sine both start at 0).
    ASSERT_EQ(plays.size(), stretches.size());
    for (std::size_t i = 0; i < plays.size(); ++i) {
        auto k = static_cast<std::size_t>(stretches[i].start * audio::test::kRate);
        while (k > 0 && left[k - 1] != 0.0f) --k;
        std::int64_t ns = 0;
        ASSERT_EQ(engine.soundedAt(plays[i], ns), audio::Engine::kSounded) << i;
        const double onset = static_cast<double>(deviceStart.load()) * 1e-9 + static_cast<double>(k - 1) / audio::test::kRate;
        EXPECT_NEAR(static_cast<double>(ns) * 1e-9, onset, 1.5 / audio::test::kRate) << i;
    }
}

// A thread started to sleep on its timeline has it from its first moment: what it plays
// before its first sleep is on the line of what follows the sleep.
TEST(TimelineRealClock, AStartedThreadStampsOnItsLineBeforeItsFirstSleep)
{
    struct Seen {
        SysStamp before, after;
        std::atomic<bool> done{false};
    } seen;
    ASSERT_EQ(Sys_StartThread(
                  [](void *p) {
                      auto &s = *static_cast<Seen *>(p);
                      s.before = Sys_Stamp();
                      Sys_Sleep(20);
                      s.after = Sys_Stamp();
                      s.done = true;
                  },
                  &seen),
              0);
    while (!seen.done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_NE(seen.before.line, 0u);
    EXPECT_EQ(seen.after.line, seen.before.line);
}

}  // namespace
}  // namespace velmora
