// Render cost per second of output: 2 and 26 voices, at a shifted rate (the windowed-sinc
// path, the stimulation's case) and at the file's own rate (the pass-through, the
// audiometry's case). One iteration renders one second in 2048-frame device periods.
// The shifted rows are what bench_vs_openal's render-cost rows measure (same voices, same
// rates, thread CPU time), reported the same way: the least of several rounds ("min"),
// since other work on the machine only ever adds.
#include "platform/audio/engine.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

using velmora::audio::Engine;
using velmora::audio::EngineConfig;

constexpr int kRate = 96000;
constexpr int kPeriod = 2048;

void renderSecond(benchmark::State &state)
{
    const int voices = static_cast<int>(state.range(0));
    const bool shifted = state.range(1) != 0;
    EngineConfig cfg;
    cfg.offline = true;
    cfg.latencySeconds = 0.0;
    Engine engine(cfg);
    std::vector<AudioHandle> handles;
    for (int v = 0; v < voices; ++v) {
        // The tone files' shape: 2 s, the tone in one channel, the other exactly zero.
        const double hz = 125.0 * std::pow(2.0, v % 13 * 0.5);
        std::vector<float> frames(2 * 2 * kRate, 0.0f);
        for (int i = 0; i < 2 * kRate; ++i)
            frames[static_cast<std::size_t>(2 * i + v % 2)] =
                static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / kRate));
        handles.push_back(engine.createFromFrames(frames.data(), 2 * kRate, 2, kRate));
        engine.setVolume(handles.back(), 1.0f / voices, SysStamp{});
        engine.setRate(handles.back(), shifted ? 120999.0f - 1000.0f * v : 96000.0f, SysStamp{});
    }
    std::vector<float> out(2 * kPeriod);
    std::int64_t frames = 0;
    for (auto _ : state) {
        for (AudioHandle h : handles) engine.play(h, true, SysStamp{frames * 1'000'000'000 / kRate});
        for (int done = 0; done < kRate; done += kPeriod) {
            const int n = std::min(kPeriod, kRate - done);
            engine.render(out.data(), n, 0, velmora::audio::kPlayoutUnknown);
            frames += n;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["cpu_share_of_one_core"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(renderSecond)
    ->ArgNames({"voices", "shifted"})
    ->Args({2, 1})
    ->Args({26, 1})
    ->Args({2, 0})
    ->Args({26, 0})
    ->Repetitions(5)
    ->ComputeStatistics("min", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
