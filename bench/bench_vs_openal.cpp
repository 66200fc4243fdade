// bench_vs_openal [BURSTS]
// bench_vs_openal --cost [ROUNDS]   only the render cost (offline, no sound server needed)
//
// Our engine and OpenAL Soft side by side: the same sleep-based schedules (slept through
// Sys_Sleep, as the program sleeps, for both), the same tone
// data, the same null sink, the same analyzer. Runs under a private sound server:
//   scripts/sound-server.sh run build/bench/bench_vs_openal
//
// Schedules, each played by one engine and then the other, each into its own capture of
// the sink's monitor:
//  - stimulation: BURSTS (200) cycles of "set volume, set rate, play, sleep hold, mute,
//    sleep 10 ms, stop, rewind, sleep pause" at hold/pause 200/150 ms and then 100/50 ms,
//    the rate drawn in 96000 +- 25000 from one seeded sequence for both engines. The tone
//    is made here: 1 kHz, peak 0.5, right channel, no fade of its own, so a burst's edges
//    are the engine's alone;
//  - audiometry: the 25 rising steps of one frequency ("stop, rewind, set volume, set rate
//    96000, play, sleep 1400") on the build's 1 kHz right-ear tone file, master 0.02, so the
//    loudest step (40.96) peaks at 0.82 and no cap or limiter is in play.
// Before them, the render cost of 2 and 26 voices at shifted rates, offline for both: our
// Engine in offline mode, OpenAL Soft through its loopback device (ALC_SOFT_loopback), one
// second in 2048-frame blocks, thread CPU time, the least of 3 rounds of 5 s. bench_render's
// shifted rows ("min") measure the same of ours.
//
// OpenAL Soft gets the same stereo 32-bit float frames (AL_EXT_float32,
// AL_FORMAT_STEREO_FLOAT32) on a source with AL_DIRECT_CHANNELS_SOFT, so each file channel
// goes to its own output channel as in our mixer; its best resampler (the last that
// AL_SOFT_source_resampler lists); its output limiter off, since no setting here comes near
// full scale; its device at 96000 Hz through the PulseAudio backend.
// stop -> alSourcePause, rewind -> AL_SAMPLE_OFFSET 0, volume -> AL_GAIN (AL_MAX_GAIN
// raised), rate -> AL_PITCH = rate / 96000, master -> the listener's AL_GAIN.

#include "platform/audio.h"
#include "platform/sys.h"
#include "platform/audio/engine.h"
#include "tools/analysis.h"
#include "bench/render_cost.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace an = velmora::analysis;

using velmora::bench::kRate;
using velmora::bench::flatTone;
using velmora::bench::readFrames;
using velmora::bench::writeFrames;
using velmora::bench::alSourceFor;
using velmora::bench::bestResampler;
std::string gHelper = VELMORA_SOUND_SERVER;
std::string gDir;

// The calls both procedures make, on one stream of either engine.
struct Voice {
    virtual ~Voice() = default;
    virtual void volume(float v) = 0;
    virtual void rate(float hz) = 0;
    virtual void play() = 0;
    virtual void stop() = 0;
    virtual void rewind() = 0;
    virtual void master(float v) = 0;
};

struct OurVoice final : Voice {
    AudioHandle h;
    explicit OurVoice(AudioHandle handle) : h(handle) {}
    void volume(float v) override { Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_VOL, v); }
    void rate(float hz) override { Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_FREQ, hz); }
    void play() override { Audio_ChannelPlay(h, 0); }
    void stop() override { Audio_ChannelStop(h); }
    void rewind() override { Audio_ChannelSetPosition(h, 0, AUDIO_POS_BYTE); }
    void master(float v) override { Audio_SetVolume(v); }
};

struct AlVoice final : Voice {
    ALuint src;
    explicit AlVoice(ALuint s) : src(s) {}
    void volume(float v) override { alSourcef(src, AL_GAIN, v); }
    void rate(float hz) override { alSourcef(src, AL_PITCH, hz / static_cast<float>(kRate)); }
    void play() override { alSourcePlay(src); }
    void stop() override { alSourcePause(src); }
    void rewind() override { alSourcei(src, AL_SAMPLE_OFFSET, 0); }
    void master(float v) override { alListenerf(AL_GAIN, v); }
};

struct Spread {
    double p50 = NAN, p99 = NAN, max = NAN;
};
Spread spreadOfMagnitude(const std::vector<double> &v)
{
    std::vector<double> m;
    for (double e : v) m.push_back(std::abs(e));
    if (m.empty()) return {};
    return {an::percentile(m, 0.5), an::percentile(m, 0.99), *std::max_element(m.begin(), m.end())};
}

// Records the sink's monitor around `body` and returns the capture.
bool capture(const std::string &name, const std::function<void()> &body, an::Wav &wav)
{
    const std::string file = gDir + "/" + name + ".wav";
    if (std::system((gHelper + " record " + gDir + " " + file).c_str()) != 0) return false;
    std::this_thread::sleep_for(500ms);
    body();
    std::this_thread::sleep_for(400ms);  // our fixed latency and theirs, played out
    if (std::system((gHelper + " record-stop " + gDir).c_str()) != 0) return false;
    std::string error;
    if (!an::readWav(file, wav, error) || wav.channels.size() != 2) {
        std::fprintf(stderr, "bench_vs_openal: %s\n", error.c_str());
        return false;
    }
    return true;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// ---- stimulation ----

struct StimResult {
    int played = 0, whole = 0, broken = 0;
    std::vector<double> lengthErr, lengthVsCalls, onsetErr, onsetVsCalls;  // ms
    std::vector<double> thdn;                                              // dB
    std::vector<an::Click> clicks;
    bool otherEarSilent = true;
};

StimResult stimulation(Voice &v, const char *name, int bursts, int hold, int pause)
{
    StimResult r;
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> offset(-25000, 24999);
    std::vector<double> playAt, muteAt;
    an::Wav wav;
    const bool ok = capture(name, [&] {
        v.master(0.5f);
        const auto first = Clock::now();
        for (int i = 0; i < bursts; ++i) {
            v.volume(1.0f);
            v.rate(static_cast<float>(96000 + offset(rng)));
            const auto on = Clock::now();
            v.play();
            Sys_Sleep(static_cast<unsigned>(hold));
            const auto off = Clock::now();
            v.volume(0.0f);
            Sys_Sleep(10);
            v.stop();
            v.rewind();
            Sys_Sleep(static_cast<unsigned>(pause));
            playAt.push_back(seconds(first, on));
            muteAt.push_back(seconds(first, off));
        }
    }, wav);
    if (!ok) return r;
    r.played = bursts;
    const auto &x = wav.channels[1];
    r.otherEarSilent = an::measureLevel(wav.channels[0]).zero;
    r.clicks = an::findClicks(x, wav.rate);
    const auto found = an::detectBursts(x, wav.rate);
    if (found.empty()) return r;
    // Each burst is matched to its play call by time since the first burst.
    std::vector<int> callOf;
    std::vector<an::Burst> kept;
    for (const auto &b : found) {
        const double t = b.onset - found.front().onset;
        std::size_t i = 0;
        while (i + 1 < playAt.size() && std::abs(playAt[i + 1] - t) < std::abs(playAt[i] - t)) ++i;
        if (std::abs(playAt[i] - t) > 0.5 * (hold + pause) * 1e-3 || std::abs(b.length() - hold * 1e-3) > 0.05) {
            ++r.broken;
            continue;
        }
        kept.push_back(b);
        callOf.push_back(static_cast<int>(i));
    }
    r.whole = static_cast<int>(kept.size());
    const double cycle = (hold + 10 + pause) * 1e-3;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const auto &b = kept[k];
        const int i = callOf[k];
        r.lengthErr.push_back((b.length() - hold * 1e-3) * 1e3);
        r.lengthVsCalls.push_back((b.length() - (muteAt[i] - playAt[i])) * 1e3);
        if (k > 0 && callOf[k - 1] == i - 1) {
            const double interval = b.onset - kept[k - 1].onset;
            r.onsetErr.push_back((interval - cycle) * 1e3);
            r.onsetVsCalls.push_back((interval - (playAt[i] - playAt[i - 1])) * 1e3);
        }
        const auto lo = static_cast<std::size_t>((b.onset + 0.02) * wav.rate);
        const auto hi = static_cast<std::size_t>((b.offset - 0.02) * wav.rate);
        if (hi > lo + 1000 && hi <= x.size()) r.thdn.push_back(an::fitTone(std::span(x).subspan(lo, hi - lo), wav.rate).thdnDb);
    }
    return r;
}

// ---- audiometry ----

struct AudioResult {
    std::vector<double> stepErr;  // dB, each step against 3.0103
    double loudThdn = NAN;        // dB, the loudest step
    std::vector<an::Click> clicks;
    bool otherEarSilent = true;
};

AudioResult audiometry(Voice &v, const char *name)
{
    AudioResult r;
    std::vector<double> playAt;
    an::Wav wav;
    const bool ok = capture(name, [&] {
        v.master(0.02f);
        double level = 0.01;
        const auto first = Clock::now();
        for (int s = 0; s < 25; ++s) {
            v.stop();
            v.rewind();
            v.volume(static_cast<float>(level));
            v.rate(96000.0f);
            level *= 1.41421356;
            playAt.push_back(seconds(first, Clock::now()));
            v.play();
            Sys_Sleep(1400);
        }
        std::this_thread::sleep_for(600ms);  // the last tone plays to the end of its file
    }, wav);
    if (!ok) return r;
    const auto &x = wav.channels[1];
    r.otherEarSilent = an::measureLevel(wav.channels[0]).zero;
    r.clicks = an::findClicks(x, wav.rate);
    std::size_t start = 0;
    while (start < x.size() && std::abs(x[start]) < 1e-6f) ++start;
    double previous = 0.0;
    for (int s = 0; s < 25; ++s) {
        const double t = static_cast<double>(start) / wav.rate + playAt[static_cast<std::size_t>(s)];
        const auto lo = static_cast<std::size_t>((t + 0.1) * wav.rate), hi = static_cast<std::size_t>((t + 1.2) * wav.rate);
        if (hi > x.size()) break;
        const auto part = std::span(x).subspan(lo, hi - lo);
        const double db = an::measureLevel(part).rmsDb;
        if (s > 0) r.stepErr.push_back(db - previous - 3.0103);
        previous = db;
        if (s == 24) r.loudThdn = an::fitTone(part.subspan(0, 48000), wav.rate).thdnDb;
    }
    return r;
}

// ---- the table ----

// THD+N rows compare by difference in dB, the rest by ratio.
void row(const char *what, double ours, double theirs, const char *unit, int digits, bool byDifference = false)
{
    char cmp[32] = "-";
    if (byDifference) {
        if (std::isfinite(ours - theirs)) std::snprintf(cmp, sizeof cmp, "%+.1f dB", ours - theirs);
    } else if (theirs != 0.0 && std::isfinite(ours / theirs)) {
        std::snprintf(cmp, sizeof cmp, "%.3g", ours / theirs);
    }
    if (digits < 0)  // errors that may be anywhere down to float rounding
        std::printf("| %s | %.1e %s | %.1e %s | %s |\n", what, ours, unit, theirs, unit, cmp);
    else
        std::printf("| %s | %.*f %s | %.*f %s | %s |\n", what, digits, ours, unit, digits, theirs, unit, cmp);
}

void spreadRows(const char *what, const std::vector<double> &ours, const std::vector<double> &theirs)
{
    const Spread o = spreadOfMagnitude(ours), t = spreadOfMagnitude(theirs);
    char label[160];
    std::snprintf(label, sizeof label, "%s p50", what);
    row(label, o.p50, t.p50, "ms", 3);
    std::snprintf(label, sizeof label, "%s p99", what);
    row(label, o.p99, t.p99, "ms", 3);
    std::snprintf(label, sizeof label, "%s max", what);
    row(label, o.max, t.max, "ms", 3);
}

int costOnly(int rounds)
{
    const velmora::bench::RenderCosts c = velmora::bench::renderCosts(rounds);
    std::printf("| measure | ours | OpenAL Soft | ours / theirs |\n|---|---|---|---|\n");
    row("CPU per second of output, 2 voices", c.our2, c.al2, "ms", 2);
    row("CPU per second of output, 26 voices", c.our26, c.al26, "ms", 2);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--cost") return costOnly(argc > 2 ? std::max(1, std::atoi(argv[2])) : 3);
    const int bursts = argc > 1 ? std::max(2, std::atoi(argv[1])) : 200;
    const char *dirEnv = std::getenv("VELMORA_SOUND_DIR");
    if (!dirEnv) {
        std::fprintf(stderr, "bench_vs_openal: run under scripts/sound-server.sh run\n");
        return 1;
    }
    gDir = dirEnv;
    const std::string flatPath = gDir + "/flat-1000Hz.wav";
    const std::string filePath = std::string(VELMORA_SAMPLES_DIR) + "/Sinus_96000R_01000Hz_0dB.wav";
    const auto flat = flatTone(2.0);
    const auto file = readFrames(filePath);
    if (file.empty() || !writeFrames(flatPath, flat)) {
        std::fprintf(stderr, "bench_vs_openal: cannot read %s or write %s\n", filePath.c_str(), flatPath.c_str());
        return 1;
    }

    // First, while nothing of ours or theirs plays: an output thread rendering beside it
    // (ours is never closed) and the sound server serving it doubled the thread CPU time
    // of both engines on the 2-core machine.
    std::fprintf(stderr, "render cost...\n");
    const auto [our2, our26, al2, al26] = velmora::bench::renderCosts(3);

    // Ours, through the Audio_* calls that the program makes, on libpulse.
    if (Audio_Init(-1, kRate, 0, nullptr, nullptr) != 1) return 1;
    OurVoice ourFlat(Audio_StreamCreateFile(0, flatPath.c_str(), 0, 0, AUDIO_ASYNCFILE));
    OurVoice ourFile(Audio_StreamCreateFile(0, filePath.c_str(), 0, 0, AUDIO_ASYNCFILE));
    std::this_thread::sleep_for(1s);
    std::fprintf(stderr, "ours: stimulation...\n");
    const StimResult ourSlow = stimulation(ourFlat, "ours-200-150", bursts, 200, 150);
    const StimResult ourFast = stimulation(ourFlat, "ours-100-50", bursts, 100, 50);
    std::fprintf(stderr, "ours: audiometry...\n");
    const AudioResult ourSteps = audiometry(ourFile, "ours-audiometry");
    const auto counters = velmora::audio::processEngine()->counters();

    // Theirs, through OpenAL Soft's PulseAudio backend into the same sink.
    setenv("ALSOFT_DRIVERS", "pulse", 1);
    ALCdevice *dev = alcOpenDevice(nullptr);
    const ALCint attrs[] = {ALC_FREQUENCY, kRate, ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE, 0};
    ALCcontext *ctx = dev ? alcCreateContext(dev, attrs) : nullptr;
    if (!ctx || !alcMakeContextCurrent(ctx) || !alIsExtensionPresent("AL_EXT_float32")) {
        std::fprintf(stderr, "bench_vs_openal: OpenAL Soft did not open a device with float buffers\n");
        return 1;
    }
    ALCint devRate = 0, refresh = 0;
    alcGetIntegerv(dev, ALC_FREQUENCY, 1, &devRate);
    alcGetIntegerv(dev, ALC_REFRESH, 1, &refresh);
    std::string resamplerName = "default";
    const ALint resampler = bestResampler(resamplerName);
    AlVoice alFlat(alSourceFor(flat, resampler));
    AlVoice alFile(alSourceFor(file, resampler));
    std::this_thread::sleep_for(1s);
    std::fprintf(stderr, "OpenAL Soft: stimulation...\n");
    const StimResult alSlow = stimulation(alFlat, "openal-200-150", bursts, 200, 150);
    const StimResult alFast = stimulation(alFlat, "openal-100-50", bursts, 100, 50);
    std::fprintf(stderr, "OpenAL Soft: audiometry...\n");
    const AudioResult alSteps = audiometry(alFile, "openal-audiometry");
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(ctx);
    alcCloseDevice(dev);


    std::printf("OpenAL Soft: PulseAudio backend, device %d Hz, %d updates/s, resampler \"%s\"; our engine: %llu late commands\n",
                devRate, refresh, resamplerName.c_str(),
                static_cast<unsigned long long>(counters.lateCommands));
    std::printf("bursts whole / played: ours %d/%d and %d/%d, OpenAL Soft %d/%d and %d/%d\n\n", ourSlow.whole, ourSlow.played,
                ourFast.whole, ourFast.played, alSlow.whole, alSlow.played, alFast.whole, alFast.played);
    std::printf("| measure | ours | OpenAL Soft | ours / theirs |\n|---|---|---|---|\n");
    spreadRows("burst length error, 200/150", ourSlow.lengthErr, alSlow.lengthErr);
    spreadRows("burst length error, 100/50", ourFast.lengthErr, alFast.lengthErr);
    spreadRows("onset interval error, 200/150", ourSlow.onsetErr, alSlow.onsetErr);
    spreadRows("onset interval error, 100/50", ourFast.onsetErr, alFast.onsetErr);
    {
        const Spread o = spreadOfMagnitude(ourSlow.lengthVsCalls), t = spreadOfMagnitude(alSlow.lengthVsCalls);
        row("burst length vs the time between the calls, 200/150 p99", o.p99, t.p99, "ms", 3);
        const Spread o3 = spreadOfMagnitude(ourFast.lengthVsCalls), t3 = spreadOfMagnitude(alFast.lengthVsCalls);
        row("burst length vs the time between the calls, 100/50 p99", o3.p99, t3.p99, "ms", 3);
        const Spread o2 = spreadOfMagnitude(ourSlow.onsetVsCalls), t2 = spreadOfMagnitude(alSlow.onsetVsCalls);
        row("onset interval vs the time between the calls, 200/150 p99", o2.p99, t2.p99, "ms", 3);
    }
    row("clicks, stimulation 200/150", static_cast<double>(ourSlow.clicks.size()), static_cast<double>(alSlow.clicks.size()), "", 0);
    row("clicks, stimulation 100/50", static_cast<double>(ourFast.clicks.size()), static_cast<double>(alFast.clicks.size()), "", 0);
    row("clicks, audiometry (25 steps)", static_cast<double>(ourSteps.clicks.size()), static_cast<double>(alSteps.clicks.size()), "", 0);
    {
        std::vector<double> o, t;
        for (double e : ourSteps.stepErr) o.push_back(std::abs(e));
        for (double e : alSteps.stepErr) t.push_back(std::abs(e));
        const Spread so = spreadOfMagnitude(o), st = spreadOfMagnitude(t);
        row("level step error (24 steps of 3.0103 dB) p50", so.p50, st.p50, "dB", -1);
        row("level step error max", so.max, st.max, "dB", -1);
    }
    {
        const auto worst = [](const std::vector<double> &v) { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); };
        std::vector<double> o = ourSlow.thdn, t = alSlow.thdn;
        o.insert(o.end(), ourFast.thdn.begin(), ourFast.thdn.end());
        t.insert(t.end(), alFast.thdn.begin(), alFast.thdn.end());
        row("THD+N of the bursts (shifted rates), median", an::percentile(o, 0.5), an::percentile(t, 0.5), "dB", 1, true);
        row("THD+N of the bursts, worst", worst(o), worst(t), "dB", 1, true);
        row("THD+N of the loudest audiometry step (own rate)", ourSteps.loudThdn, alSteps.loudThdn, "dB", 1, true);
    }
    row("CPU per second of output, 2 voices", our2, al2, "ms", 2);
    row("CPU per second of output, 26 voices", our26, al26, "ms", 2);
    const bool silent = ourSlow.otherEarSilent && ourFast.otherEarSilent && ourSteps.otherEarSilent;
    const bool alSilent = alSlow.otherEarSilent && alFast.otherEarSilent && alSteps.otherEarSilent;
    std::printf("| other channel exactly zero | %s | %s | |\n", silent ? "yes" : "no", alSilent ? "yes" : "no");

    // Where the clicks are, to tell a dropout of the sound server from one of the mixer's.
    const auto where = [](const char *who, const char *what, const std::vector<an::Click> &cs) {
        if (cs.empty()) return;
        std::printf("%s clicks, %s (s into the capture / size against the tone):", who, what);
        for (std::size_t i = 0; i < cs.size() && i < 12; ++i) std::printf(" %.3f/%.2f", cs[i].time, cs[i].size);
        std::printf("%s\n", cs.size() > 12 ? " ..." : "");
    };
    std::printf("\n");
    where("our", "stimulation 200/150", ourSlow.clicks);
    where("our", "stimulation 100/50", ourFast.clicks);
    where("our", "audiometry", ourSteps.clicks);
    where("OpenAL Soft's", "stimulation 200/150", alSlow.clicks);
    where("OpenAL Soft's", "audiometry", alSteps.clicks);
    const double ourP99 = std::max(spreadOfMagnitude(ourSlow.lengthErr).p99, spreadOfMagnitude(ourFast.lengthErr).p99);
    const double alP99 = std::max(spreadOfMagnitude(alSlow.lengthErr).p99, spreadOfMagnitude(alFast.lengthErr).p99);
    const std::size_t ourClicks = ourSlow.clicks.size() + ourFast.clicks.size() + ourSteps.clicks.size();
    std::printf("goals: p99 burst length error %.1fx smaller than OpenAL Soft's (goal 50x): %s; clicks of ours %zu (goal 0): %s; "
                "CPU %.2f of OpenAL Soft's with 26 voices (goal <= 1): %s\n",
                alP99 / ourP99, alP99 / ourP99 >= 50 ? "met" : "NOT met", ourClicks, ourClicks == 0 ? "met" : "NOT met",
                our26 / al26, our26 <= al26 ? "met" : "NOT met");
    return 0;
}
