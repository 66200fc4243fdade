// Transport, timing and clicks: what the procedures rely on when they stop, rewind and
// play a stream, and that every change lands on its frame without a step in the output.
#include "audio_test_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmora::audio::test {
namespace {

using analysis::measureLevel;

constexpr std::int64_t kLen = 48000;

// A file whose sample n is (n + 1) / kLen: the output tells the position it came from.
std::vector<float> positionFrames()
{
    std::vector<float> f(kLen * 2);
    for (std::int64_t i = 0; i < kLen; ++i) f[2 * i] = f[2 * i + 1] = static_cast<float>(i + 1) / kLen;
    return f;
}

// A blend of two rising ramps 0.2 apart: one ramp's steepest step on that gap, plus the
// file's own slope.
double old_step_bound(int ramp) { return 0.2 * std::numbers::pi / (2.0 * ramp) + 2.0 / kLen; }

// The file position that produced output frame `frame`, once ramps have settled.
std::int64_t positionAt(const Rig &rig, std::int64_t frame)
{
    return std::llround(rig.sample(0, frame) * kLen) - 1;
}

TEST(EngineTransport, StopKeepsPositionAndPlayGoesOn)
{
    Rig rig(100);
    const AudioHandle h = rig.load(positionFrames());
    const int ramp = rig.engine.rampFrames();
    rig.engine.play(h, false, rig.now);
    rig.at(0.1);
    rig.engine.stop(h, rig.now);
    rig.at(0.2);
    rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(0.3));

    const std::int64_t start = rig.frameOf(0.0), stop = rig.frameOf(0.1), resume = rig.frameOf(0.2);
    EXPECT_EQ(positionAt(rig, stop - 1), stop - 1 - start);
    EXPECT_TRUE(measureLevel(rig.channel(0, stop + ramp, resume)).zero) << "silent while stopped";
    // The fade-out moved the position on by one ramp; play continues from there.
    const std::int64_t resumedAt = stop - start + ramp;
    EXPECT_EQ(positionAt(rig, resume + ramp), resumedAt + ramp);
    EXPECT_EQ(positionAt(rig, resume + 2 * ramp), resumedAt + 2 * ramp);
}

TEST(EngineTransport, RestartWhileSoundingCrossfadesToTheStart)
{
    Rig rig;
    const AudioHandle h = rig.load(positionFrames());
    const int ramp = rig.engine.rampFrames();
    rig.engine.play(h, false, rig.now);
    rig.at(0.1);
    rig.engine.play(h, true, rig.now);
    rig.renderTo(rig.frameOf(0.2));
    const std::int64_t at = rig.frameOf(0.1);
    EXPECT_EQ(positionAt(rig, at + ramp + 10), ramp + 10);
    // During the crossfade the output stays between the old position's value and the new
    // one's: a blend, never a jump to either or to silence.
    const std::int64_t start = rig.frameOf(0.0);
    for (std::int64_t i = at; i < at + ramp; ++i) {
        const double fresh = static_cast<double>(i - at + 1) / kLen, old = static_cast<double>(i - start + 1) / kLen;
        EXPECT_GE(rig.sample(0, i), fresh - 1e-6) << i - at;
        EXPECT_LE(rig.sample(0, i), old + 1e-6) << i - at;
    }
    EXPECT_LE(maxStep(rig.channel(0)), old_step_bound(ramp));
}

TEST(EngineTransport, PlaysOnceToItsEndAndNeedsARewind)
{
    Rig rig;
    const AudioHandle h = rig.load(positionFrames());
    rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(0.0) + kLen + 1000);
    EXPECT_EQ(positionAt(rig, rig.frameOf(0.0) + kLen - 1), kLen - 1);
    EXPECT_TRUE(measureLevel(rig.channel(0, rig.frameOf(0.0) + kLen, rig.rendered())).zero);

    rig.at(1.0);
    rig.engine.play(h, false, rig.now);  // at the end: nothing left to play
    rig.renderTo(rig.frameOf(1.1));
    EXPECT_TRUE(measureLevel(rig.channel(0, rig.frameOf(1.0), rig.rendered())).zero);

    rig.at(1.2);
    rig.engine.setPositionBytes(h, 0, rig.now);
    rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(1.3));
    EXPECT_EQ(positionAt(rig, rig.frameOf(1.2) + 1000), 1000);
}

TEST(EngineTransport, PositionIsInBytesOfFloatFramesAndBoundedByTheFile)
{
    Rig rig;
    const AudioHandle h = rig.load(positionFrames());
    EXPECT_TRUE(rig.engine.setPositionBytes(h, 8 * 1000, rig.now));  // frame 1000 of a stereo float file
    EXPECT_TRUE(rig.engine.setPositionBytes(h, 8 * kLen, rig.now));
    EXPECT_FALSE(rig.engine.setPositionBytes(h, 8 * (kLen + 1), rig.now));
    rig.engine.setPositionBytes(h, 8 * 1000, rig.now);
    rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(0.1));
    EXPECT_EQ(positionAt(rig, rig.frameOf(0.0) + 600), 1600);
}

// The output watchdog counts a device as lost only while sound is due: from the play, even
// while the command waits for its frame, until the tone has played out.
TEST(EngineTransport, SoundIsDueFromThePlayUntilTheToneEnds)
{
    Rig rig(64);
    const AudioHandle h = rig.load(constantFrames(0.5f, kRate / 10));
    rig.at(0.0);
    rig.renderTo(100);
    EXPECT_FALSE(rig.engine.soundDue()) << "nothing played yet";
    rig.engine.play(h, false, rig.now);
    const std::int64_t on = rig.frameOf(0.0);
    const struct {
        std::int64_t renderTo;
        bool due;
        const char *what;
    } rows[] = {{200, true, "the play waits for its frame"},
                {on + 10, true, "the tone sounds"},
                {on + kRate / 10 + 2 * rig.engine.rampFrames(), false, "the tone has ended"}};
    for (const auto &row : rows) {
        rig.renderTo(row.renderTo);
        EXPECT_EQ(rig.engine.soundDue(), row.due) << row.what;
    }
}

// -- timing -----------------------------------------------------------------------------

struct TimingRow {
    double playAt;  // s, virtual stamp
    double stopAt;
    int block;      // render block size: must not matter
};

class CommandTiming : public ::testing::TestWithParam<TimingRow> {};

TEST_P(CommandTiming, LandsOnTheExactFrame)
{
    const TimingRow row = GetParam();
    Rig rig(row.block);
    const AudioHandle h = rig.load(constantFrames(0.5f, kRate));
    rig.at(row.playAt);
    rig.engine.play(h, false, rig.now);
    rig.at(row.stopAt);
    rig.engine.stop(h, rig.now);
    rig.renderTo(rig.frameOf(row.stopAt) + kRate / 10);

    const std::int64_t on = rig.frameOf(row.playAt), off = rig.frameOf(row.stopAt);
    EXPECT_EQ(rig.sample(0, on - 1), 0.0f);
    EXPECT_GT(rig.sample(0, on), 0.0f);
    EXPECT_EQ(rig.sample(0, off - 1), 0.5f);
    EXPECT_LT(rig.sample(0, off), 0.5f);
    EXPECT_EQ(rig.sample(0, off + rig.engine.rampFrames() - 1), 0.0f);
    EXPECT_EQ(rig.engine.counters().lateCommands, 0u);
}

INSTANTIATE_TEST_SUITE_P(Engine, CommandTiming,
                         ::testing::Values(TimingRow{0.0, 0.2, 512}, TimingRow{0.1, 0.3, 1},
                                           TimingRow{0.123456789, 0.323456789, 17}, TimingRow{0.01, 0.21, 4096},
                                           TimingRow{0.5, 0.5105, 1000}));

TEST(EngineTiming, OutputDoesNotDependOnBlockSize)
{
    std::vector<float> reference;
    for (const int block : {4096, 1, 7, 256, 999}) {
        Rig rig(block);
        const AudioHandle h = rig.load(sineFrames(440.0, 1.0, kRate, 0, 0.7));
        rig.engine.setRate(h, 101000.0f, rig.now);
        rig.engine.play(h, false, rig.now);
        rig.at(0.1003);
        rig.engine.setVolume(h, 0.3f, rig.now);
        rig.at(0.2);
        rig.engine.play(h, true, rig.now);
        rig.at(0.25);
        rig.engine.setMaster(0.5f, rig.now);
        rig.at(0.3);
        rig.engine.stop(h, rig.now);
        rig.renderTo(rig.frameOf(0.4));
        if (reference.empty())
            reference = rig.out;
        else
            EXPECT_EQ(rig.out, reference) << "block " << block;
    }
}

TEST(EngineTiming, LateCommandsApplyAtOnceAndAreCounted)
{
    Rig rig(480);
    const AudioHandle h = rig.load(constantFrames(0.5f, kRate));
    rig.renderTo(kRate / 2);
    rig.at(0.1);  // its frame was rendered long ago
    rig.engine.play(h, false, rig.now);
    rig.renderTo(kRate);
    EXPECT_EQ(rig.engine.counters().lateCommands, 1u);
    EXPECT_EQ(rig.sample(0, kRate / 2 - 1), 0.0f);
    EXPECT_GT(rig.sample(0, kRate / 2), 0.0f);
}

// -- clicks -----------------------------------------------------------------------------
// The bound on |x[n] - x[n-1]|: the tone's own slope plus twice the steepest part of a
// raised-cosine ramp (two ramps meet in a crossfade), at the louder gain. A cut at any
// phase that is not ramped goes far beyond it at 125 Hz.

double slopeBound(double hz, double gain, int ramp)
{
    return gain * (2.0 * std::numbers::pi * hz / kRate + 2.0 * std::numbers::pi / (2.0 * ramp)) + 1e-6;
}

struct ClickRow {
    const char *name;
    double hz;
};

class Clicks : public ::testing::TestWithParam<ClickRow> {};

TEST_P(Clicks, NoStepBeyondToneAndRampSlope)
{
    const double hz = GetParam().hz;
    Rig rig(512);
    const AudioHandle h = rig.load(sineFrames(hz, 3.0));
    const int ramp = rig.engine.rampFrames();
    double t = 0.0;
    auto next = [&](double dt) { rig.at(t += dt); };
    rig.engine.play(h, false, rig.now);
    // Stops at many phases of the tone, each resumed.
    for (int k = 0; k < 12; ++k) {
        next(0.0301 + k * 0.000137);
        rig.engine.stop(h, rig.now);
        next(0.011);
        rig.engine.play(h, false, rig.now);
    }
    // Mute and stop inside one block and inside the mute's ramp, then rewind and play.
    next(0.05);
    rig.engine.setVolume(h, 0.0f, rig.now);
    next(0.001);
    rig.engine.stop(h, rig.now);
    rig.engine.setPositionBytes(h, 0, rig.now);
    next(0.02);
    rig.engine.setVolume(h, 1.0f, rig.now);
    rig.engine.play(h, false, rig.now);
    // A restart while sounding, twice within one ramp.
    next(0.05);
    rig.engine.play(h, true, rig.now);
    next(0.002);
    rig.engine.play(h, true, rig.now);
    // Volume and master jumps.
    next(0.05);
    rig.engine.setVolume(h, 0.01f, rig.now);
    next(0.05);
    rig.engine.setVolume(h, 1.0f, rig.now);
    next(0.05);
    rig.engine.setMaster(0.1f, rig.now);
    next(0.05);
    rig.engine.setMaster(1.0f, rig.now);
    next(0.05);
    rig.engine.stop(h, rig.now);
    rig.renderTo(rig.frameOf(t) + kRate / 10);

    EXPECT_LE(maxStep(rig.channel(0)), slopeBound(hz, 1.0, ramp));
    EXPECT_EQ(rig.engine.counters().lateCommands, 0u);
}

INSTANTIATE_TEST_SUITE_P(Engine, Clicks, ::testing::Values(ClickRow{"low", 125.0}, ClickRow{"mid", 1000.0}),
                         [](const auto &info) { return std::string(info.param.name); });

// -- a timeline's restart ---------------------------------------------------------------
// A device 40 ms ahead in 5 ms blocks, with exact play-out times, under a timeline of bursts
// (play, stop 200 ms later, every 360 ms). Before the fifth burst the thread falls 45 ms
// behind its timeline: from there its stamps come on a new epoch, that much later, and are
// kept as they come. The restart is counted, so that a run's counters tell why its later
// bursts moved.
TEST(EngineTransport, ATimelineThatBeganAfreshKeepsItsNewStamps)
{
    EngineConfig cfg;
    cfg.latencySeconds = 0.080;
    Engine engine(cfg);
    const auto tone = sineFrames(1000.0, 1.0);
    const AudioHandle h = engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, kRate);
    const std::int64_t ms = 1'000'000, t0 = 10'000 * ms, block = 480;
    const auto heardNs = [&](std::int64_t frame) { return t0 + frame * 1'000'000'000 / kRate; };

    struct Burst { std::int64_t play, stop; };
    std::vector<Burst> bursts;
    for (int k = 0; k < 8; ++k) {
        const std::int64_t from = t0 + (k >= 4 ? 45 * ms : 0);
        bursts.push_back({from + (300 + 360 * k) * ms, from + (500 + 360 * k) * ms});
    }
    std::vector<float> out(static_cast<std::size_t>(kRate) * 2 * 4);
    std::size_t issued = 0;  // commands are issued on time, so the engine hears of each only then
    for (std::int64_t frame = 0; frame + block <= static_cast<std::int64_t>(out.size() / 2); frame += block) {
        const std::int64_t playout = heardNs(frame), now = playout - 40 * ms;
        for (; issued < 2 * bursts.size(); ++issued) {
            const Burst &b = bursts[issued / 2];
            const SysStamp stamp{issued % 2 ? b.stop : b.play, 1, issued / 2 >= 4 ? 2u : 1u};
            if (stamp.ns > now) break;
            if (issued % 2) {
                engine.stop(h, stamp);
                engine.setPositionBytes(h, 0, stamp);
            } else {
                engine.play(h, false, stamp);
            }
        }
        engine.render(out.data() + 2 * frame, static_cast<int>(block), now, playout);
    }

    std::vector<float> left(out.size() / 2);
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = out[2 * i];
    const auto stretches = analysis::soundStretches(left, kRate);
    ASSERT_EQ(stretches.size(), bursts.size());
    const std::int64_t latency = static_cast<std::int64_t>(engine.latencyFrames()) * 1'000'000'000 / kRate;
    const std::int64_t ramp = static_cast<std::int64_t>(engine.rampFrames()) * 1'000'000'000 / kRate;
    const std::int64_t frameNs = 1'000'000'000 / kRate + 1;
    for (std::size_t k = 0; k < bursts.size(); ++k) {
        const auto first = std::llround(stretches[k].start * kRate), end = std::llround(stretches[k].end * kRate);
        // The first non-zero frame is the one after the play's: a ramp starts from 0.
        EXPECT_NEAR(heardNs(first - 1), bursts[k].play + latency, 2 * frameNs) << "burst " << k << " starts";
        EXPECT_NEAR(heardNs(end), bursts[k].stop + latency + ramp, 2 * frameNs) << "burst " << k << " ends";
    }
    EXPECT_LE(maxStep(left), slopeBound(1000.0, 1.0, engine.rampFrames()));
    EXPECT_EQ(engine.counters().lineRestarts, 1u);
}

TEST(EngineClicks, MuteThenStopIsSilentBeforeTheStop)
{
    // The stimulation's ending: mute, 10 ms later stop. The stop itself must find silence.
    Rig rig;
    const AudioHandle h = rig.load(sineFrames(1000.0, 1.0));
    rig.engine.play(h, false, rig.now);
    rig.at(0.2);
    rig.engine.setVolume(h, 0.0f, rig.now);
    rig.at(0.21);
    rig.engine.stop(h, rig.now);
    rig.renderTo(rig.frameOf(0.3));
    EXPECT_TRUE(measureLevel(rig.channel(0, rig.frameOf(0.2) + rig.engine.rampFrames(), rig.rendered())).zero);
    EXPECT_GT(measureLevel(rig.channel(0, rig.frameOf(0.1), rig.frameOf(0.2))).rms, 0.7);
}

}  // namespace
}  // namespace velmora::audio::test
