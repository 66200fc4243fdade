// Levels, pitch and the ceiling, measured on offline renders.
#include "audio_test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace velmora::audio::test {
namespace {

using analysis::fitTone;
using analysis::measureLevel;
using analysis::toDb;

// Steady-state RMS of channel c after a volume has settled: 50 ms in, 100 ms long.
double steadyDb(Rig &rig, int c, std::int64_t from)
{
    return measureLevel(rig.channel(c, from, from + kRate / 10)).rmsDb;
}

struct StepRow {
    double fileAmp;  // peak of the file
    int steps;       // how many 1.41421356 steps from volume 0.01
};

class VolumeSteps : public ::testing::TestWithParam<StepRow> {};

TEST_P(VolumeSteps, EachStepIs3Point0103Db)
{
    const StepRow row = GetParam();
    Rig rig;
    const AudioHandle h = rig.load(sineFrames(1000.0, 2.0, kRate, 0, row.fileAmp));
    double volume = 0.01;
    rig.at(0.0);
    ASSERT_TRUE(rig.engine.setVolume(h, static_cast<float>(volume), rig.now));
    ASSERT_TRUE(rig.engine.play(h, false, rig.now));
    double previous = 0.0;
    for (int k = 0; k <= row.steps; ++k) {
        const double t = 0.05 * (k + 1);
        rig.renderTo(rig.frameOf(t) + kRate / 100);  // past the ramp
        const std::int64_t from = rig.rendered();
        rig.renderTo(from + kRate / 100);
        const double db = measureLevel(rig.channel(0, from, rig.rendered())).rmsDb;
        if (k > 0) {
            EXPECT_NEAR(db - previous, 3.0103, 0.001) << "step " << k << " to volume " << volume;
        }
        previous = db;
        volume *= 1.41421356;
        rig.at(t + 0.05 - 0.001);
        if (k < row.steps) rig.engine.setVolume(h, static_cast<float>(volume), rig.now);
    }
    EXPECT_EQ(rig.engine.counters().gainCapped, 0u);
    EXPECT_TRUE(measureLevel(rig.channel(1)).zero) << "the other ear must stay exactly silent";
}

INSTANTIATE_TEST_SUITE_P(Engine, VolumeSteps,
                         ::testing::Values(StepRow{1.0, 13},     // 0.01 .. 0.905 on a 0 dBFS tone
                                           StepRow{0.01, 24}));  // the audiometry's whole range, 0.01 .. 40.96

TEST(EngineLevels, MasterScalesEveryStream)
{
    struct Row {
        float master;
        float volume;
    };
    for (const Row row : {Row{1.0f, 0.5f}, Row{0.5f, 0.5f}, Row{0.25f, 1.0f}, Row{0.1f, 2.0f}}) {
        Rig rig;
        const AudioHandle left = rig.load(sineFrames(500.0, 1.0, kRate, 0, 0.5));
        const AudioHandle right = rig.load(sineFrames(750.0, 1.0, kRate, 1, 0.5));
        rig.engine.setMaster(row.master, rig.now);
        for (AudioHandle h : {left, right}) {
            rig.engine.setVolume(h, row.volume, rig.now);
            rig.engine.play(h, false, rig.now);
        }
        rig.renderTo(rig.frameOf(0.0) + kRate / 5);
        const double want = toDb(0.5 * row.volume * row.master / std::sqrt(2.0));
        EXPECT_NEAR(steadyDb(rig, 0, kRate / 20 + rig.frameOf(0.0)), want, 0.01) << row.master;
        EXPECT_NEAR(steadyDb(rig, 1, kRate / 20 + rig.frameOf(0.0)), want, 0.01) << row.master;
    }
}

TEST(EngineLevels, MasterChangeWhilePlayingIsRampedAndApplied)
{
    Rig rig;
    const AudioHandle h = rig.load(sineFrames(1000.0, 1.0, kRate, 1, 0.5));
    rig.engine.play(h, false, rig.now);
    rig.at(0.2);
    rig.engine.setMaster(0.25f, rig.now);
    rig.renderTo(rig.frameOf(0.5));
    EXPECT_NEAR(steadyDb(rig, 1, rig.frameOf(0.05)), toDb(0.5 / std::sqrt(2.0)), 0.01);
    EXPECT_NEAR(steadyDb(rig, 1, rig.frameOf(0.3)), toDb(0.125 / std::sqrt(2.0)), 0.01);
    EXPECT_LE(maxStep(rig.channel(1)), 0.5 * 2 * std::numbers::pi * 1000 / kRate + 0.002);
    EXPECT_TRUE(measureLevel(rig.channel(0)).zero);
}

struct PitchRow {
    double hz;
    double ratio;  // playback rate / file rate
};

class Pitch : public ::testing::TestWithParam<PitchRow> {};

TEST_P(Pitch, ShiftedToneIsCleanAndExact)
{
    const PitchRow row = GetParam();
    Rig rig(4096);
    const AudioHandle h = rig.load(sineFrames(row.hz, 1.5 * std::max(1.0, row.ratio)));  // sounding for 1 s
    rig.engine.setRate(h, static_cast<float>(kRate * row.ratio), rig.now);
    rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(0.0) + kRate);
    const auto x = rig.channel(0, rig.frameOf(0.05), rig.rendered());
    const auto fit = fitTone(x, kRate);
    const double want = row.hz * static_cast<float>(kRate * row.ratio) / kRate;
    EXPECT_NEAR(fit.frequency / want, 1.0, 1e-4);
    EXPECT_LE(fit.thdnDb, -120.0) << row.hz << " Hz at ratio " << row.ratio;
    EXPECT_NEAR(fit.amplitude, 1.0, 0.001);
    EXPECT_TRUE(measureLevel(rig.channel(1)).zero);
    RecordProperty("thdn_db", std::to_string(fit.thdnDb));
    std::printf("THD+N %7.1f Hz at ratio %.2f: %.2f dB\n", row.hz, row.ratio, fit.thdnDb);
}

INSTANTIATE_TEST_SUITE_P(Engine, Pitch,
                         ::testing::Values(PitchRow{125.0, 0.74}, PitchRow{125.0, 1.26}, PitchRow{12000.0, 0.74},
                                           PitchRow{12000.0, 1.26}, PitchRow{1000.0, 1.0003},
                                           PitchRow{4000.0, 120999.0 / 96000.0}, PitchRow{3000.0, 2.0},
                                           PitchRow{1000.0, 4.0}));

// What a file's channels hold decides what is kept of them; each output must still carry
// its own channel, cleanly, and a channel that was exactly zero must stay exactly zero.
struct LayoutRow {
    const char *name;
    int fileChannels;
    double leftHz, rightHz;  // 0: the channel is exactly zero (a mono file: leftHz only)
};

class Layouts : public ::testing::TestWithParam<LayoutRow> {};

TEST_P(Layouts, EachOutputCarriesItsOwnChannel)
{
    const LayoutRow row = GetParam();
    for (const double ratio : {1.0, 0.74, 1.26}) {
        Rig rig(1000);
        const auto n = static_cast<std::size_t>(kRate);  // 1 s: still sounding 0.5 s in at any ratio here
        std::vector<float> frames(n * static_cast<std::size_t>(row.fileChannels), 0.0f);
        for (std::size_t i = 0; i < n; ++i)
            for (int c = 0; c < row.fileChannels; ++c) {
                const double hz = c == 0 ? row.leftHz : row.rightHz;
                frames[i * static_cast<std::size_t>(row.fileChannels) + static_cast<std::size_t>(c)] =
                    static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate));
            }
        const AudioHandle h = rig.engine.createFromFrames(frames.data(), static_cast<std::int64_t>(n), row.fileChannels, kRate);
        AudioInfo info;
        ASSERT_TRUE(rig.engine.info(h, info));
        EXPECT_EQ(info.chans, static_cast<std::uint32_t>(row.fileChannels));
        rig.engine.setRate(h, static_cast<float>(kRate * ratio), rig.now);
        rig.engine.play(h, false, rig.now);
        rig.renderTo(rig.frameOf(0.0) + kRate / 2);
        const std::int64_t from = rig.frameOf(0.05);
        const double want[2] = {row.leftHz, row.fileChannels == 1 ? row.leftHz : row.rightHz};
        for (int c = 0; c < 2; ++c) {
            const auto x = rig.channel(c, from, rig.rendered());
            if (want[c] == 0.0) {
                EXPECT_TRUE(measureLevel(rig.channel(c)).zero) << row.name << " output " << c << " ratio " << ratio;
                EXPECT_NE(info.silent & (1u << c), 0u) << row.name;
                continue;
            }
            const auto fit = fitTone(x, kRate);
            EXPECT_NEAR(fit.frequency / (want[c] * static_cast<float>(kRate * ratio) / kRate), 1.0, 1e-6)
                << row.name << " output " << c << " ratio " << ratio;
            EXPECT_NEAR(fit.amplitude, 0.5, 0.0005) << row.name << " output " << c << " ratio " << ratio;
            EXPECT_LE(fit.thdnDb, -120.0) << row.name << " output " << c << " ratio " << ratio;
        }
        if (row.fileChannels == 1) {
            EXPECT_EQ(rig.channel(0), rig.channel(1)) << "a mono file sounds the same in both outputs";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, Layouts,
                         ::testing::Values(LayoutRow{"left", 2, 1000.0, 0.0}, LayoutRow{"right", 2, 0.0, 3000.0},
                                           LayoutRow{"stereo", 2, 1000.0, 3000.0}, LayoutRow{"mono", 1, 2000.0, 0.0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(EnginePitch, OwnRatePassesSamplesUnchanged)
{
    Rig rig(333);
    const auto frames = sineFrames(1000.0, 0.5, kRate, -1, 0.8);
    const AudioHandle h = rig.load(frames);
    rig.engine.setRate(h, 96000.0f, rig.now);
    rig.engine.play(h, false, rig.now);
    const std::int64_t start = rig.frameOf(0.0);
    rig.renderTo(start + kRate / 4);
    for (std::int64_t i = rig.engine.rampFrames(); i < kRate / 4; ++i) {
        ASSERT_EQ(rig.sample(0, start + i), frames[static_cast<std::size_t>(2 * i)]) << i;
        ASSERT_EQ(rig.sample(1, start + i), frames[static_cast<std::size_t>(2 * i + 1)]) << i;
    }
}

TEST(EngineCeiling, LoudestVolumeStaysACleanSineAtFullScale)
{
    for (const double ratio : {1.0, 1.26}) {
        Rig rig(4096);
        const AudioHandle h = rig.load(sineFrames(1000.0, 1.0, kRate, 1, 1.0));
        rig.engine.setMaster(1.0f, rig.now);
        rig.engine.setVolume(h, 40.96f, rig.now);
        rig.engine.setRate(h, static_cast<float>(kRate * ratio), rig.now);
        rig.engine.play(h, false, rig.now);
        rig.renderTo(rig.frameOf(0.0) + kRate / 2);
        EXPECT_EQ(rig.engine.counters().nonFiniteFrames, 0u) << "the mix was not all numbers at ratio " << ratio;
        const auto fit = fitTone(rig.channel(1, rig.frameOf(0.02), rig.rendered()), kRate);
        EXPECT_GE(fit.amplitude, 0.998) << ratio;
        EXPECT_LE(fit.thdnDb, -100.0) << ratio;
        EXPECT_GE(rig.engine.counters().gainCapped, 1u);
        EXPECT_EQ(rig.engine.counters().limitedFrames, 0u) << "a capped tone must not need the guard";
    }
}

TEST(EngineCeiling, GuardHoldsTheSumOfLoudStreams)
{
    Rig rig;
    const AudioHandle a = rig.load(sineFrames(1000.0, 1.0, kRate, -1, 1.0));
    const AudioHandle b = rig.load(sineFrames(1000.0, 1.0, kRate, -1, 1.0));
    for (AudioHandle h : {a, b}) {
        rig.engine.setVolume(h, 40.96f, rig.now);
        rig.engine.play(h, false, rig.now);
    }
    rig.renderTo(rig.frameOf(0.0) + kRate / 4);
    // The guard's gain, not the final clamp, brings the sum to one tone's -3.01 dB (clamped: -1.07).
    for (int c = 0; c < 2; ++c) EXPECT_NEAR(steadyDb(rig, c, rig.frameOf(0.05)), -3.01, 0.2) << "output " << c;
    EXPECT_GT(rig.engine.counters().limitedFrames, 0u);
}

}  // namespace
}  // namespace velmora::audio::test
