// The offline mixer driven by an arbitrary run of control calls, clock moves and renders
// of arbitrary length. Whatever the order and values (NaN frames, huge gains, rates at
// the limits, seeks past the end, handles freed twice), the mix is made of numbers before
// the final guard; the guard never acts while the streams cannot reach full scale; and
// once every stream is freed the output falls silent, unless a free was dropped.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/audio/engine.h"
#include "platform/audio/resampler.h"

namespace {

using velmora::audio::Engine;

// The most one resampled head can make of samples within ±1: the largest sum of kernel
// magnitudes over every bank and phase. Any kernel interpolates two stored rows, so its sum
// is no larger than theirs.
double kernelGainBound()
{
    static const double bound = [] {
        velmora::audio::SincTables tables;
        for (const double step : velmora::audio::kBankStep) tables.prepare(step);
        double most = 1.0;  // a head read straight
        for (const velmora::audio::SincBank &bank : tables.bank) {
            for (int j = 0; j < velmora::audio::kPhases; ++j) {
                double row = 0.0, next = 0.0;
                for (int k = 0; k < bank.taps; ++k) {
                    const std::size_t i = static_cast<std::size_t>(j) * bank.taps + k;
                    row += std::abs(bank.coef[i]);
                    next += std::abs(bank.coef[i] + bank.delta[i]);
                }
                most = std::max({most, row, next});
            }
        }
        return most;
    }();
    return bound;
}

constexpr int kMaxBlock = 4096;
// Frames rendered per input: enough for many ramps and seeks at a few thousand runs a
// second; longer renders repeat the same paths.
constexpr int kFrameBudget = 8192;
constexpr int kHandles = 4;

float anyFloat(velmora::fuzz::Input &in)
{
    // Mostly ordinary values, sometimes the bits as they come (NaN, inf, denormals).
    switch (in.range(0, 3)) {
    case 0: return in.take<float>();
    case 1: return static_cast<float>(in.range(0, 1000)) / 1000.0f;
    case 2: return static_cast<float>(in.range(0, 200000));
    default: return static_cast<float>(in.range(0, 64)) / 8.0f;
    }
}

// A short sound: a repeated pattern of fuzzer-chosen samples.
AudioHandle load(Engine &engine, velmora::fuzz::Input &in)
{
    const int channels = static_cast<int>(in.range(1, 3));
    const std::int64_t frames = in.range(1, 3000);
    const int rate = static_cast<int>(in.range(1, 200000));
    float pattern[8];
    for (float &p : pattern) p = anyFloat(in) * (in.take<std::uint8_t>() & 1 ? -1.0f : 1.0f);
    std::vector<float> data(static_cast<std::size_t>(frames * channels));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern[i % 8];
    return engine.createFromFrames(data.data(), frames, channels, rate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    velmora::fuzz::Input in(data, size);
    velmora::audio::EngineConfig cfg;
    cfg.offline = true;
    // Low rates and short latencies keep ramps and command landings within a short render.
    const int rates[] = {8000, 44100, 96000};
    cfg.outputRate = rates[in.range(0, 2)];
    cfg.latencySeconds = 0.005 * static_cast<double>(in.range(0, 5));
    cfg.capacity = static_cast<int>(in.range(1, 3));
    cfg.queueCapacity = static_cast<int>(in.range(1, 64));  // small, so that a full queue happens
    Engine engine(cfg);

    AudioHandle handles[kHandles] = {};
    std::int64_t now = 0;
    std::int64_t latest = 0;  // a command never lands before one sent earlier, so a clock set
                              // back does not bring the frees forward
    std::vector<float> out(2 * kMaxBlock);
    int budget = kFrameBudget;
    std::vector<AudioHandle> created;
    std::vector<float> peaks;     // of every stream created
    float loudestVolume = 1.0f;   // every stream starts at 1; the master never exceeds 1
    int droppedFrees = 0;
    const auto freeCounted = [&](AudioHandle h) {
        const std::uint64_t before = engine.counters().droppedCommands;
        engine.free(h, SysStamp{now});
        droppedFrees += engine.counters().droppedCommands > before;
    };
    for (int step = 0; step < 256 && !in.empty(); ++step) {
        AudioHandle &h = handles[in.range(0, kHandles - 1)];
        switch (in.range(0, 10)) {
        case 0:
            h = load(engine, in);  // the slot's old handle lives on, out of the calls' reach
            if (h != 0) {
                created.push_back(h);
                peaks.push_back(engine.peak(h));
            }
            break;
        case 1: freeCounted(h); break;  // sometimes freed already: must be refused, not crash
        case 2: engine.play(h, in.take<std::uint8_t>() & 1, SysStamp{now}); break;
        case 3: engine.stop(h, SysStamp{now}); break;
        case 4: engine.setPositionBytes(h, static_cast<std::uint64_t>(in.range(0, 100000)) * (in.range(0, 8)), SysStamp{now}); break;
        case 5: {
            const float volume = anyFloat(in);
            if (engine.setVolume(h, volume, SysStamp{now})) loudestVolume = std::max(loudestVolume, volume);
            break;
        }
        case 6: engine.setRate(h, anyFloat(in), SysStamp{now}); break;
        case 7: engine.setMaster(anyFloat(in), SysStamp{now}); break;
        case 8:
            // Mostly forward by up to a tenth of a second, sometimes back or far ahead.
            now += in.take<std::uint8_t>() & 0x80 ? in.take<std::int32_t>() : in.range(0, 100'000'000);
            latest = std::max(latest, now);
            break;
        default: {
            const int frames = std::min(static_cast<int>(in.range(1, kMaxBlock)), budget);
            if (frames == 0) break;
            budget -= frames;
            engine.render(out.data(), frames, now, velmora::audio::kPlayoutUnknown);
            if (engine.counters().nonFiniteFrames != 0) std::abort();
            break;
        }
        }
    }

    // Each head at gain g plays at most g x peak x the kernel bound, and a voice has at
    // most three heads (two fading out after seeks); the gain cap holds g x peak under 1.
    double reach = 0.0;
    for (float peak : peaks)
        reach += 3.0 * kernelGainBound() * std::min(1.0, static_cast<double>(loudestVolume) * peak);
    if (reach <= 1.0 && engine.counters().limitedFrames != 0) std::abort();

    // Freed streams fade to true silence: once every free has landed and its ramp has run,
    // the output is exactly zero. A dropped free (full queue) leaves its stream sounding
    // by design, and a clock moved far ahead puts the frees out of reach.
    for (AudioHandle h : created) freeCounted(h);
    if (droppedFrees > 0) return 0;
    const std::int64_t rate = engine.outputRate();
    const std::int64_t landing = (latest / 1'000'000'000) * rate + (latest % 1'000'000'000) * rate / 1'000'000'000 + 1;
    const auto rendered = static_cast<std::int64_t>(engine.counters().framesRendered);
    const std::int64_t quietFrom = std::max(landing + engine.latencyFrames(), rendered) + engine.rampFrames() + 1;
    if (quietFrom + 64 - rendered > 4 * kFrameBudget) return 0;
    for (std::int64_t left = quietFrom - rendered; left > 0;) {
        const int n = static_cast<int>(std::min<std::int64_t>(left, kMaxBlock));
        engine.render(out.data(), n, now, velmora::audio::kPlayoutUnknown);
        left -= n;
    }
    engine.render(out.data(), 64, now, velmora::audio::kPlayoutUnknown);
    for (int i = 0; i < 2 * 64; ++i)
        if (out[static_cast<std::size_t>(i)] != 0.0f) std::abort();
    return 0;
}
