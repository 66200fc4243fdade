// The analyzer against signals whose answers are known by construction.
#include "tools/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace velmora::analysis {
namespace {

constexpr double kRate = 96000.0;

std::vector<float> sine(double hz, double amp, std::size_t n, double phase = 0.3)
{
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amp * std::sin(2 * std::numbers::pi * hz * i / kRate + phase));
    return x;
}

TEST(Analysis, FitFindsFrequencyAndAmplitude)
{
    for (const double hz : {125.0, 1000.0, 3141.59, 12000.0, 15120.0}) {
        const auto x = sine(hz, 0.3, 48000);
        const ToneFit fit = fitTone(x, kRate);
        EXPECT_NEAR(fit.frequency / hz, 1.0, 1e-7) << hz;
        EXPECT_NEAR(fit.amplitude, 0.3, 1e-6) << hz;
        EXPECT_LT(fit.thdnDb, -130.0) << hz;
        EXPECT_NEAR(peakFrequency(x, kRate) / hz, 1.0, 0.02 * kRate / 65536 / hz + 1e-9) << hz;
    }
}

TEST(Analysis, ThdnSeesHarmonicsAndNoise)
{
    struct Row {
        double harmonic;  // amplitude of the third harmonic against the fundamental
        double noise;     // RMS of white noise against the fundamental's RMS
        double want;      // dB
    };
    for (const Row row : {Row{1e-3, 0.0, -60.0}, Row{1e-5, 0.0, -100.0}, Row{0.0, 1e-4, -80.0}}) {
        auto x = sine(1000.0, 0.5, 96000);
        const auto h = sine(3000.0, 0.5 * row.harmonic, 96000, 1.0);
        std::mt19937 rng(3);
        std::normal_distribution<double> gauss(0.0, row.noise * 0.5 / std::sqrt(2.0));
        for (std::size_t i = 0; i < x.size(); ++i) x[i] += h[i] + static_cast<float>(gauss(rng));
        EXPECT_NEAR(fitTone(x, kRate).thdnDb, row.want, 0.3) << row.harmonic << " " << row.noise;
    }
}

TEST(Analysis, LevelAndSteps)
{
    const auto x = sine(1000.0, 0.5, 9600, 0.0);
    const Level lv = measureLevel(x);
    EXPECT_NEAR(lv.rmsDb, 20 * std::log10(0.5 / std::sqrt(2.0)), 1e-3);
    EXPECT_NEAR(lv.peak, 0.5, 1e-3);
    EXPECT_NEAR(lv.maxStep, 0.5 * 2 * std::numbers::pi * 1000 / kRate, 1e-3);
    EXPECT_FALSE(lv.zero);
    EXPECT_TRUE(measureLevel(std::vector<float>(100, 0.0f)).zero);
    auto clicked = x;
    clicked[5000] = 0.0f;
    EXPECT_GT(measureLevel(clicked).maxStep, 0.1);
}

TEST(Analysis, StretchesAreExactToTheSampleAndBridgeZeroCrossings)
{
    // 1 kHz at a phase that hits exact zeros inside the bursts; bursts at known frames.
    std::vector<float> x(96000, 0.0f);
    const std::size_t starts[] = {1000, 30000, 30000 + 480 + 96};  // the last one 1 ms after the second ends
    const std::size_t lengths[] = {19200, 480, 2000};
    for (int b = 0; b < 3; ++b) {
        for (std::size_t k = 0; k < lengths[b]; ++k) {
            x[starts[b] + k] = static_cast<float>(std::sin(2 * std::numbers::pi * 1000.0 * k / kRate + 0.5));
        }
        x[starts[b] + 10] = 0.0f;  // a zero inside is no edge
    }
    const auto s = soundStretches(x, kRate, 0.0005);
    ASSERT_EQ(s.size(), 3u);
    for (int b = 0; b < 3; ++b) {
        EXPECT_DOUBLE_EQ(s[b].start, starts[b] / kRate) << b;
        EXPECT_DOUBLE_EQ(s[b].end, (starts[b] + lengths[b]) / kRate) << b;
    }
    EXPECT_EQ(soundStretches(x, kRate, 0.002).size(), 2u) << "a 1 ms silence is bridged when shorter than the gap";
    EXPECT_TRUE(soundStretches(std::vector<float>(100, 0.0f), kRate).empty());
}

TEST(Analysis, BurstsWithRampsAtKnownTimes)
{
    struct Expected {
        double onset, length, hz;
    };
    const Expected expected[] = {{0.050, 0.200, 1000.0}, {0.410, 0.2003, 1000.0}, {0.7701, 0.150, 1259.9}, {1.0, 0.020, 800.0}};
    const int ramp = 480;
    std::vector<float> x(static_cast<std::size_t>(1.2 * kRate), 0.0f);
    for (const Expected &s : expected) {
        // Raised-cosine ramps centred on the burst edges: half amplitude exactly there.
        const double a = s.onset * kRate - ramp / 2.0, b = (s.onset + s.length) * kRate - ramp / 2.0;
        for (std::size_t i = static_cast<std::size_t>(a); i < static_cast<std::size_t>(b + ramp + 2); ++i) {
            const double t = static_cast<double>(i);
            double env = 1.0;
            if (t < a + ramp) env = 0.5 - 0.5 * std::cos(std::numbers::pi * std::max(0.0, t - a) / ramp);
            if (t > b) env = 0.5 + 0.5 * std::cos(std::numbers::pi * std::min(1.0, (t - b) / ramp));
            x[i] = static_cast<float>(0.4 * env * std::sin(2 * std::numbers::pi * s.hz * t / kRate));
        }
    }
    const auto bursts = detectBursts(x, kRate);
    ASSERT_EQ(bursts.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(bursts[k].onset, expected[k].onset, 10e-6) << k;
        EXPECT_NEAR(bursts[k].length(), expected[k].length, 10e-6) << k;
        EXPECT_NEAR(bursts[k].frequency, expected[k].hz, 0.5) << k;
        EXPECT_NEAR(bursts[k].levelDb, 20 * std::log10(0.4 / std::sqrt(2.0)), 0.5) << k;
    }
    EXPECT_NEAR(bursts[1].gap, expected[1].onset - expected[0].onset - expected[0].length, 10e-6);
}

TEST(Analysis, ClicksAreFoundWhereTheToneBreaksAndNowhereElse)
{
    enum Fault { None, Jump, Dropout, HardEdges };
    struct Row {
        double hz, amp;
        Fault fault;
        std::size_t clicks;  // a jump and a dropout at 0.15 s, hard edges at 0.05 s and 0.25 s
    };
    const Row rows[] = {
        {1000.0, 0.5, None, 0},     {12000.0, 0.9, None, 0},    {125.0, 1e-4, None, 0},
        {1259.9, 0.5, None, 0},     {1000.0, 0.5, Jump, 1},     {12000.0, 0.9, Dropout, 1},
        {125.0, 1e-4, Dropout, 1},  {1000.0, 0.5, HardEdges, 2}, {4000.0, 0.01, HardEdges, 2},
    };
    const int ramp = 480;  // 5 ms raised-cosine edges, as the engine makes them
    for (const Row &row : rows) {
        std::vector<float> x(static_cast<std::size_t>(0.3 * kRate), 0.0f);
        const std::size_t a = static_cast<std::size_t>(0.05 * kRate), b = static_cast<std::size_t>(0.25 * kRate);
        for (std::size_t i = a; i < b; ++i) {
            const double edge = static_cast<double>(std::min(i - a, b - 1 - i));
            const double env = row.fault == HardEdges || edge >= ramp ? 1.0 : 0.5 - 0.5 * std::cos(std::numbers::pi * edge / ramp);
            // A quarter period off zero, so a hard edge cuts at a peak.
            x[i] = static_cast<float>(row.amp * env * std::cos(2 * std::numbers::pi * row.hz * static_cast<double>(i - a) / kRate));
        }
        const std::size_t mid = static_cast<std::size_t>(0.15 * kRate);
        if (row.fault == Jump)  // the level up by 20 % at once, at a peak
            for (std::size_t i = mid; i < b; ++i) x[i] *= 1.2f;
        if (row.fault == Dropout) x[mid] = 0.0f;
        const auto clicks = findClicks(x, kRate);
        EXPECT_EQ(clicks.size(), row.clicks) << row.hz << " Hz, fault " << row.fault;
        for (const Click &c : clicks) {
            const double want = row.fault == HardEdges ? (c.time < 0.15 ? 0.05 : 0.25) : 0.15;
            EXPECT_NEAR(c.time, want, 0.0002) << row.hz << " Hz, fault " << row.fault;
            EXPECT_GT(c.size, 0.05);
        }
    }
}

}  // namespace
}  // namespace velmora::analysis
