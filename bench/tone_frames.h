#pragma once
// Tones the benches make and the float WAV files they pass to the engines under test.

#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <numbers>
#include <string>
#include <vector>

namespace velmora::bench {

inline constexpr int kRate = 96000;

// The render-cost voices: 2 s tones shaped like the tone files (the tone in one channel,
// the other exactly zero), each at its own shifted rate.
inline std::vector<float> voiceFrames(int v)
{
    const double hz = 125.0 * std::pow(2.0, v % 13 * 0.5);
    std::vector<float> frames(2 * 2 * kRate, 0.0f);
    for (int i = 0; i < 2 * kRate; ++i)
        frames[static_cast<std::size_t>(2 * i + v % 2)] = static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / kRate));
    return frames;
}

inline float voiceRate(int v) { return 120999.0f - 1000.0f * static_cast<float>(v); }

// 1 kHz, peak 0.5, right channel, starting at phase 0 with no fade: a burst's edges are
// the engine's alone.
inline std::vector<float> flatTone(double seconds)
{
    std::vector<float> x(static_cast<std::size_t>(seconds * kRate) * 2, 0.0f);
    for (std::size_t i = 0; i < x.size() / 2; ++i)
        x[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / kRate));
    return x;
}

// Stereo float frames at kRate; none for a file of another shape.
inline std::vector<float> readFrames(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f || info.channels != 2 || info.samplerate != kRate) {
        if (f) sf_close(f);
        return {};
    }
    std::vector<float> x(static_cast<std::size_t>(info.frames) * 2);
    sf_readf_float(f, x.data(), info.frames);
    sf_close(f);
    return x;
}

inline bool writeFrames(const std::string &path, const std::vector<float> &x)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_writef_float(f, x.data(), static_cast<sf_count_t>(x.size() / 2));
    sf_close(f);
    return true;
}

}  // namespace velmora::bench
