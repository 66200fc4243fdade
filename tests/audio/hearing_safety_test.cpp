// Hearing safety as a property of the real engine, offline, with the build's tone files:
// for random settings of every slide and ring, any audiometry step and any stimulation
// burst sounds at the level asked for, held under full scale where that is louder, in its
// own ear only, and never clips.
//
// "Clips" here: an output sample at |x| >= 1 (where the engine's last clamp holds it), or
// any frame that the final guard had to pull down. The per-stream cap (0.999 of full scale)
// is documented to leave the guard idle for a single tone, and the program plays one tone
// at a time, so the guard must never act in these runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "audio_test_helpers.h"
#include "audiometry/audiometry.h"
#include "samples/samples.h"
#include "stimulation/stimulation.h"

namespace velmora::audio::test {
namespace {

constexpr float kCeiling = 0.999f;  // the engine's cap for one stream
constexpr double kToneSeconds = 0.05;

TEST(HearingSafety, RandomSettingsNeverPassFullScaleNorReachTheOtherEar)
{
    Rig rig(480);
    AudioHandle bank[FREQUENCY_COUNT][EAR_COUNT];
    char path[64];
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            Sample_Path(f, ear, path, sizeof path);
            bank[f][ear] = rig.engine.createFromFile((std::string(VELMORA_SAMPLES_DIR) + (path + 7)).c_str());
            ASSERT_NE(bank[f][ear], 0u) << path;
        }
    }

    std::mt19937 rng(20260514);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    double t = 0.1;
    int capped = 0, shifted = 0;
    for (int n = 0; n < 400; ++n) {
        const int f = pick(FREQUENCY_COUNT);
        const int ear = pick(EAR_COUNT);
        const AudioHandle h = bank[f][ear];
        float master, volume, rate;
        std::string what;
        if (n % 2 == 0) {
            // An audiometry step: the pass's ladder under the calibration slide.
            const int step = pick(AUDIOMETRY_STEP_LIMIT);
            double level = AUDIOMETRY_FIRST_LEVEL;
            for (int k = 0; k < step; ++k) level *= AUDIOMETRY_STEP_FACTOR;
            master = static_cast<float>(pick(201) * 0.005);
            volume = static_cast<float>(level);
            rate = 96000.0f;
            what = "audiometry step " + std::to_string(step);
        } else {
            // A stimulation burst: volume slide, band-width slide, the generator's draw.
            const int bandWidth = 1000 + 100 * pick(991);
            const int offset = (pick(32768) % bandWidth) - bandWidth / 2;
            master = STIMULATION_MASTER_VOLUME;
            volume = static_cast<float>(pick(11) * 0.1);
            rate = static_cast<float>(STIMULATION_NOMINAL_RATE + offset);
            shifted += offset != 0;
            what = "stimulation at " + std::to_string(static_cast<int>(rate)) + " Hz";
        }
        const float peak = rig.engine.peak(h);
        const bool over = volume * master * peak > 1.0f;
        capped += over;
        const double expected = over ? kCeiling : static_cast<double>(volume) * master * peak;

        rig.at(t);
        rig.engine.setMaster(master, rig.now);
        rig.engine.stop(h, rig.now);
        rig.engine.setPositionBytes(h, 0, rig.now);
        rig.engine.setVolume(h, volume, rig.now);
        rig.engine.setRate(h, rate, rig.now);
        rig.engine.play(h, false, rig.now);
        rig.renderTo(rig.frameOf(t + kToneSeconds));
        const std::int64_t from = rig.frameOf(t) + rig.engine.rampFrames();
        const std::int64_t to = rig.frameOf(t + kToneSeconds);
        // Muted, then stopped, as a burst ends.
        rig.at(t + kToneSeconds);
        rig.engine.setVolume(h, 0.0f, rig.now);
        rig.at(t + kToneSeconds + 0.01);
        rig.engine.stop(h, rig.now);
        t += kToneSeconds + 0.02;
        rig.renderTo(rig.frameOf(t));

        const auto own = rig.channel(ear, from, to);
        const auto other = rig.channel(1 - ear, from, to);
        float ownPeak = 0.0f, otherPeak = 0.0f;
        for (float x : own) ownPeak = std::max(ownPeak, std::abs(x));
        for (float x : other) otherPeak = std::max(otherPeak, std::abs(x));
        SCOPED_TRACE("case " + std::to_string(n) + ": " + what + ", " + std::to_string(kFrequencyHz[f]) +
                     " Hz, ear " + std::to_string(ear) + ", volume " + std::to_string(volume) + ", master " +
                     std::to_string(master));
        EXPECT_LT(ownPeak, 1.0f);
        EXPECT_LE(ownPeak, expected * 1.002 + 1e-6);
        // A resampled crest can fall between samples: at 12 kHz and 8 samples a period the
        // highest sample may be cos(pi / 8) = 0.92 of the crest.
        EXPECT_GE(ownPeak, expected * 0.9 - 1e-6);
        EXPECT_EQ(otherPeak, 0.0f) << "the other ear heard the tone";
        if (HasFailure()) return;
    }
    for (float x : rig.out) ASSERT_LT(std::abs(x), 1.0f);
    const EngineCounters c = rig.engine.counters();
    EXPECT_EQ(c.limitedFrames, 0u) << "the final guard had to act";
    EXPECT_EQ(c.lateCommands, 0u);
    // Not vacuous: the cases reached the cap and shifted rates.
    EXPECT_GT(capped, 20);
    EXPECT_GT(shifted, 150);
}

}  // namespace
}  // namespace velmora::audio::test
