#pragma once
// Offline rig for the engine: a virtual clock, a render loop with a chosen block size, and
// signals to load as streams. Everything is rendered into memory and then measured.

#include "platform/audio/engine.h"
#include "tools/analysis.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace velmora::audio::test {

inline constexpr int kRate = 96000;

inline EngineConfig offlineConfig()
{
    EngineConfig c;
    c.offline = true;
    c.outputRate = kRate;
    return c;
}

// Interleaved stereo frames: a sine in `channel` (0 left, 1 right, -1 both), peak `amp`.
inline std::vector<float> sineFrames(double hz, double seconds, int rate = kRate, int channel = 0, double amp = 1.0)
{
    const auto n = static_cast<std::size_t>(seconds * rate);
    std::vector<float> f(n * 2, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = static_cast<float>(amp * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate));
        if (channel != 1) f[2 * i] = v;
        if (channel != 0) f[2 * i + 1] = v;
    }
    return f;
}

inline std::vector<float> constantFrames(float value, std::size_t n)
{
    return std::vector<float>(n * 2, value);
}

struct Rig {
    Engine engine;
    std::vector<float> out;  // every frame rendered so far, interleaved stereo
    int block;
    SysStamp now{};  // the stamp of the next commands

    explicit Rig(int blockFrames = 512, EngineConfig cfg = offlineConfig()) : engine(cfg), block(blockFrames) {}

    AudioHandle load(const std::vector<float> &frames, int rate = kRate)
    {
        return engine.createFromFrames(frames.data(), static_cast<std::int64_t>(frames.size() / 2), 2, rate);
    }

    std::int64_t rendered() const { return static_cast<std::int64_t>(out.size() / 2); }

    void at(double seconds) { now.ns = static_cast<std::int64_t>(std::llround(seconds * 1e9)); }

    // Renders up to (not including) output frame `frame`, in blocks of `block`.
    void renderTo(std::int64_t frame)
    {
        while (rendered() < frame) {
            const int n = static_cast<int>(std::min<std::int64_t>(block, frame - rendered()));
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(n) * 2);
            engine.render(out.data() + at, n, 0, kPlayoutUnknown);
        }
    }
    void renderSeconds(double s) { renderTo(rendered() + static_cast<std::int64_t>(std::llround(s * kRate))); }

    // The output frame where a command stamped at `seconds` takes effect.
    std::int64_t frameOf(double seconds) const { return std::llround(seconds * kRate) + engine.latencyFrames(); }

    std::vector<float> channel(int c, std::int64_t from = 0, std::int64_t to = -1) const
    {
        if (to < 0) to = rendered();
        std::vector<float> x;
        for (std::int64_t i = from; i < to; ++i) x.push_back(out[static_cast<std::size_t>(2 * i + c)]);
        return x;
    }
    float sample(int c, std::int64_t frame) const { return out[static_cast<std::size_t>(2 * frame + c)]; }
};

inline double maxStep(std::span<const float> x) { return analysis::measureLevel(x).maxStep; }

}  // namespace velmora::audio::test
