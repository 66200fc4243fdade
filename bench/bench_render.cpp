// Render cost per second of output: 2 and 26 voices, at a shifted rate (the windowed-sinc
// path, the stimulation's case) and at the file's own rate (the pass-through, the
// audiometry's case). One iteration renders one second in 2048-frame device periods.
// The shifted rows are what bench_vs_openal's render-cost rows measure (same voices, same
// rates, thread CPU time), reported the same way: the least of several rounds ("min"),
// since other work on the machine only ever adds.
#include "bench/render_cost.h"
#include "platform/audio/engine.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

using velmora::audio::Engine;
using velmora::audio::EngineConfig;

using velmora::bench::kRate;
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
        const std::vector<float> frames = velmora::bench::voiceFrames(v);
        handles.push_back(engine.createFromFrames(frames.data(), 2 * kRate, 2, kRate));
        engine.setVolume(handles.back(), 1.0f / voices, SysStamp{});
        engine.setRate(handles.back(), shifted ? velmora::bench::voiceRate(v) : 96000.0f, SysStamp{});
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
