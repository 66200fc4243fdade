// The 26 tone files as the build wrote them, and the generator's refusal of a bad folder.
#include "tools/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace velmora::analysis {
namespace {

struct ToneRow {
    char ear;
    int hz;
};

class ToneFile : public ::testing::TestWithParam<ToneRow> {};

TEST_P(ToneFile, HoldsItsSineInItsEarAtFullScale)
{
    const ToneRow row = GetParam();
    char name[64];
    std::snprintf(name, sizeof name, "/Sinus_96000%c_%05dHz_0dB.wav", row.ear, row.hz);
    Wav wav;
    std::string error;
    ASSERT_TRUE(readWav(std::string(VELMORA_SAMPLES_DIR) + name, wav, error)) << error;
    ASSERT_EQ(wav.rate, 96000);
    ASSERT_EQ(wav.channels.size(), 2u);
    EXPECT_EQ(wav.frames(), 240000);
    // The longest hold and its mute, at the fastest rate the band width slide reaches.
    EXPECT_GE(static_cast<double>(wav.frames()) / 145999.0, 1.410);
    const int ear = row.ear == 'L' ? 0 : 1;
    const auto &tone = wav.channels[static_cast<std::size_t>(ear)];
    EXPECT_TRUE(measureLevel(wav.channels[static_cast<std::size_t>(1 - ear)]).zero);

    const auto steady = std::span<const float>(tone).subspan(96000 / 50, 240000 - 2 * 96000 / 50);
    const ToneFit fit = fitTone(steady, 96000);
    EXPECT_NEAR(fit.frequency, row.hz, row.hz * 1e-7);
    EXPECT_NEAR(fit.amplitude, 1.0, 1e-6);
    EXPECT_LT(fit.thdnDb, -130.0);
    EXPECT_EQ(measureLevel(tone).peak, 1.0) << "0 dBFS: the peak is full scale";
    // The 20 ms raised-cosine fades: silent at both ends, half amplitude 10 ms in and
    // 10 ms before the end.
    EXPECT_EQ(tone.front(), 0.0f);
    EXPECT_LT(std::abs(tone.back()), 1e-3);
    const auto bursts = detectBursts(tone, 96000);
    ASSERT_EQ(bursts.size(), 1u);
    EXPECT_NEAR(bursts[0].onset, 0.010, 20e-6);
    EXPECT_NEAR(bursts[0].length(), 2.480, 40e-6);
    EXPECT_LE(measureLevel(tone).maxStep, 2 * std::numbers::pi * row.hz / 96000 + 1e-6);
}

std::vector<ToneRow> allTones()
{
    std::vector<ToneRow> rows;
    for (const char ear : {'L', 'R'})
        for (const int hz : {125, 250, 500, 750, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 10000, 12000})
            rows.push_back({ear, hz});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Samples, ToneFile, ::testing::ValuesIn(allTones()),
                         [](const auto &info) { return std::string(1, info.param.ear) + std::to_string(info.param.hz); });

TEST(ToneGenerator, FailsClearlyWhenItCannotWrite)
{
    const auto dir = std::filesystem::temp_directory_path() / ("velmora-tonegen-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "plain-file") << "x";
    const std::string cmd = std::string(VELMORA_TONEGEN) + " " + (dir / "plain-file" / "Samples").string() + " 2>/dev/null";
    EXPECT_NE(std::system(cmd.c_str()), 0);
    EXPECT_NE(std::system((std::string(VELMORA_TONEGEN) + " 2>/dev/null").c_str()), 0) << "no folder given";
    EXPECT_EQ(std::system((std::string(VELMORA_TONEGEN) + " " + (dir / "out").string()).c_str()), 0);
    int files = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir / "out")) files += e.path().extension() == ".wav";
    EXPECT_EQ(files, 26);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora::analysis
