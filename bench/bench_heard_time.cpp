// bench_heard_time [PLAYS]
//
// How far the time the engine says a play sounded lies from when its first frame reached
// the sink, for both times it knows: the device's play-out report of the frame and the
// frame clock's fitted time of it (Engine::soundedAt). PLAYS (20) tones of 200 ms, one
// every 1400 ms as the hearing test plays them, through the real Audio_* calls and
// libpulse, sleeping through Sys_Sleep.
//
// The reference: the sink's monitor, recorded here through libpulse, with the steady time
// at which each piece of it arrived. The sink plays its frames at its nominal rate on the
// steady clock (a null sink is driven by a timer on it) and takes each block in no later
// than the time of its first frame, so the earliest arrival of a read in the 0.7 s after a
// tone's onset, less its frame's place in the capture, places the capture there on the
// steady clock (late by the quickest delivery, a fraction of a millisecond; on a quiet
// PulseAudio its reports agree with it as closely). The tone's first non-zero sample is
// then its time.
// Prints "key value" lines: per play both errors (published minus reference, ms), then
// p50, p99 and max of their magnitudes and the mean; and the anchor's check, the same from
// each second of reads against the whole capture's (steps of a graph cycle are cycles the
// capture left out).
//
// Runs under a private sound server:  scripts/sound-server.sh run bench_heard_time

#include "bench/tone_frames.h"
#include "platform/audio.h"
#include "platform/audio/engine.h"
#include "platform/sys.h"
#include "tools/analysis.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace an = velmora::analysis;
using namespace std::chrono_literals;

constexpr int kRate = velmora::bench::kRate;

// The monitor's frames and, for every read callback, when it ran and the frame its data
// began at. Written by the mainloop thread only, read once it has stopped.
struct Recorder {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    std::vector<float> frames;
    std::vector<std::int64_t> arrivalNs, arrivalFrame;
    std::atomic<int> holes{0}, overflows{0};
    std::atomic<bool> ready{false}, failed{false};

    static void onRead(pa_stream *s, size_t, void *self)
    {
        auto *r = static_cast<Recorder *>(self);
        const std::int64_t now = Sys_NowNs();
        r->arrivalNs.push_back(now);
        r->arrivalFrame.push_back(static_cast<std::int64_t>(r->frames.size() / 2));
        const void *data = nullptr;
        size_t n = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &n) == 0 && n > 0) {
            if (data) {
                const auto *f = static_cast<const float *>(data);
                r->frames.insert(r->frames.end(), f, f + n / sizeof(float));
            } else {
                r->holes.fetch_add(1);
            }
            pa_stream_drop(s);
        }
    }
    static void onOverflow(pa_stream *, void *self) { static_cast<Recorder *>(self)->overflows.fetch_add(1); }
    static void onContext(pa_context *c, void *self)
    {
        auto *r = static_cast<Recorder *>(self);
        const pa_context_state_t st = pa_context_get_state(c);
        if (st == PA_CONTEXT_READY) r->ready.store(true);
        if (!PA_CONTEXT_IS_GOOD(st)) r->failed.store(true);
    }

    bool start(const std::string &source)
    {
        frames.reserve(static_cast<std::size_t>(kRate) * 2 * 120);
        arrivalNs.reserve(200000);
        arrivalFrame.reserve(200000);
        loop = pa_threaded_mainloop_new();
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "heard-time recorder");
        pa_context_set_state_callback(context, &Recorder::onContext, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop) < 0)
            return false;
        for (int i = 0; i < 400 && !ready.load() && !failed.load(); ++i) std::this_thread::sleep_for(5ms);
        if (!ready.load()) return false;
        pa_threaded_mainloop_lock(loop);
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, 2};
        stream = pa_stream_new(context, "monitor", &format, nullptr);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(kRate / 500 * 2 * sizeof(float));  // 2 ms
        pa_stream_set_read_callback(stream, &Recorder::onRead, this);
        pa_stream_set_overflow_callback(stream, &Recorder::onOverflow, this);
        const bool ok = pa_stream_connect_record(stream, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) == 0;
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }
    void stop()
    {
        pa_threaded_mainloop_stop(loop);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
    }
};

// Time of capture frame 0: the earliest arrival, less its frame's place, over reads
// [from, to). A read that follows the one before within 1 ms is a block's tail split off
// (its first frame was taken in with the block's start), so it does not count.
double anchorNs(const Recorder &r, std::size_t from, std::size_t to)
{
    double best = INFINITY;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        if (r.arrivalNs[i] - r.arrivalNs[i - 1] < 1'000'000 || r.arrivalFrame[i] == r.arrivalFrame[i - 1]) continue;
        best = std::min(best, static_cast<double>(r.arrivalNs[i]) - static_cast<double>(r.arrivalFrame[i]) * 1e9 / kRate);
    }
    return best;
}

// The same from the reads of the 0.7 s that begin at capture frame `frame`. A loaded
// PipeWire now and then leaves a graph cycle out of the capture, and every later frame
// then arrives a cycle later for its place: the anchor from the reads that follow a
// tone's onset is the one of the stretch of capture it lies in.
double anchorAtNs(const Recorder &r, std::int64_t frame)
{
    std::size_t from = 0;
    while (from < r.arrivalFrame.size() && r.arrivalFrame[from] < frame) ++from;
    std::size_t to = from;
    while (to < r.arrivalFrame.size() && r.arrivalFrame[to] < frame + kRate * 7 / 10) ++to;
    return anchorNs(r, from, to);
}

void report(const char *name, const std::vector<double> &errorsMs)
{
    std::vector<double> mag;
    double mean = 0.0;
    for (double e : errorsMs) {
        mag.push_back(std::abs(e));
        mean += e;
    }
    std::printf("%s_p50_ms %.3f\n%s_p99_ms %.3f\n%s_max_ms %.3f\n%s_mean_ms %+.3f\n", name, an::percentile(mag, 0.5), name,
                an::percentile(mag, 0.99), name, *std::max_element(mag.begin(), mag.end()), name,
                mean / static_cast<double>(errorsMs.size()));
}

}  // namespace

int main(int argc, char **argv)
{
    const int plays = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
    const char *dirEnv = std::getenv("VELMORA_SOUND_DIR");
    const char *sinkEnv = std::getenv("VELMORA_SINK");
    if (!dirEnv || !sinkEnv) {
        std::fprintf(stderr, "bench_heard_time: run under scripts/sound-server.sh run\n");
        return 1;
    }
    const std::string tone = std::string(dirEnv) + "/flat-1000Hz.wav";
    if (!velmora::bench::writeFrames(tone, velmora::bench::flatTone(0.3))) return 1;
    // The output first, as the program opens it at start-up: the recorder then finds the
    // sink running and its capture is one unbroken run of the sink's frames.
    if (Audio_Init(-1, 96000, 0, nullptr, nullptr) != 1) return 1;
    const AudioHandle h = Audio_StreamCreateFile(0, tone.c_str(), 0, 0, 0);
    Recorder rec;
    if (h == 0 || !rec.start(std::string(sinkEnv) + ".monitor")) {
        std::fprintf(stderr, "bench_heard_time: no stream or no recording\n");
        return 1;
    }
    std::this_thread::sleep_for(1s);

    std::vector<std::uint64_t> numbers;
    for (int i = 0; i < plays; ++i) {
        Audio_ChannelPlay(h, 0);
        numbers.push_back(Audio_ChannelLastPlay(h));
        Sys_Sleep(200);
        Audio_ChannelStop(h);
        Audio_ChannelSetPosition(h, 0, AUDIO_POS_BYTE);
        Sys_Sleep(1200);
    }
    std::this_thread::sleep_for(500ms);
    rec.stop();

    const velmora::audio::Engine *engine = velmora::audio::processEngine();
    std::vector<double> reportNs, fitNs;
    for (std::uint64_t n : numbers) {
        std::int64_t r = 0, f = 0;
        if (engine->soundedAt(n, r, f) != velmora::audio::Engine::kSounded) {
            std::fprintf(stderr, "bench_heard_time: play %llu never sounded\n", static_cast<unsigned long long>(n));
            return 1;
        }
        reportNs.push_back(static_cast<double>(r));
        fitNs.push_back(static_cast<double>(f));
    }

    const std::size_t reads = rec.arrivalNs.size();
    const double t0 = anchorNs(rec, 0, reads);
    const double firstHalf = anchorNs(rec, 0, reads / 2), secondHalf = anchorNs(rec, reads / 2, reads);
    std::vector<float> right(rec.frames.size() / 2);
    for (std::size_t i = 0; i < right.size(); ++i) right[i] = rec.frames[2 * i + 1];
    const auto stretches = an::soundStretches(right, kRate);

    std::printf("plays %d\ncapture_s %.3f\nreads %zu\nholes %d\noverflows %d\nstretches %zu\n", plays,
                static_cast<double>(right.size()) / kRate, reads, rec.holes.load(), rec.overflows.load(), stretches.size());
    std::printf("anchor_halves_ms %.3f\nanchor_by_second_ms", (secondHalf - firstHalf) * 1e-6);
    for (std::size_t from = 0, to = 0; from < reads; from = to) {
        while (to < reads && rec.arrivalNs[to] - rec.arrivalNs[from] < 1'000'000'000) ++to;
        std::printf(" %.2f", (anchorNs(rec, from, to) - t0) * 1e-6);
    }
    std::printf("\n");
    std::vector<double> errReport, errFit;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        // The tone whose onset lies nearest to where the report says (tones are 1.4 s
        // apart); none within 500 ms, or one of another length, did not reach the sink whole.
        const double expected = (reportNs[i] - t0) * 1e-9;
        const an::Stretch *near = nullptr;
        for (const auto &s : stretches)
            if (!near || std::abs(s.start - expected) < std::abs(near->start - expected)) near = &s;
        if (!near || std::abs(near->start - expected) > 0.5 || std::abs(near->end - near->start - 0.2) > 0.02) {
            std::printf("play_%zu missing\n", i + 1);
            continue;
        }
        const double truthNs = anchorAtNs(rec, std::llround(near->start * kRate)) + near->start * 1e9;
        errReport.push_back((reportNs[i] - truthNs) * 1e-6);
        errFit.push_back((fitNs[i] - truthNs) * 1e-6);
        std::printf("play_%zu_ms report %+.3f fit %+.3f onset_frame %lld\n", i + 1, errReport.back(), errFit.back(),
                    static_cast<long long>(std::llround(near->start * kRate)));
    }
    if (errReport.empty()) return 1;
    report("report", errReport);
    report("fit", errFit);
    const auto c = engine->counters();
    std::printf("late_commands %llu\nclock_steps %llu\ntimeline_restarts %llu\n",
                static_cast<unsigned long long>(c.lateCommands), static_cast<unsigned long long>(c.clockSteps),
                static_cast<unsigned long long>(c.lineRestarts));
    Audio_StreamFree(h);
    return errReport.size() == numbers.size() ? 0 : 1;
}
