// bench_burst_timing [BURSTS]
//
// The stimulation's cycle through the real Audio_* calls and the real device, BURSTS times
// (200 by default): set volume, play, sleep 200 ms, mute, sleep 10 ms, stop, rewind,
// sleep 150 ms, sleeping through Sys_Sleep as the program does. The null sink's monitor is recorded and every burst measured at half
// amplitude. Prints "key value" lines: the burst-length error against 200 ms as p50, p99
// and max of its magnitude, the same against the time that actually passed between the
// play and mute calls (which removes the sleep's own overshoot), and the engine's late
// command count.
//
// Runs under a private sound server:  scripts/sound-server.sh run bench_burst_timing
// The tone has no fade of its own, so the burst's edges are the engine's ramps alone.

#include "bench/tone_frames.h"
#include "platform/audio.h"
#include "platform/audio/engine.h"
#include "platform/sys.h"
#include "tools/analysis.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace an = velmora::analysis;

void report(const char *name, const std::vector<double> &errorsMs)
{
    std::vector<double> mag;
    double mean = 0.0;
    for (double e : errorsMs) {
        mag.push_back(std::abs(e));
        mean += e;
    }
    std::printf("%s_mean_ms %.4f\n%s_p50_ms %.4f\n%s_p99_ms %.4f\n%s_max_ms %.4f\n", name, mean / errorsMs.size(), name,
                an::percentile(mag, 0.5), name, an::percentile(mag, 0.99), name, *std::max_element(mag.begin(), mag.end()));
}

}  // namespace

int main(int argc, char **argv)
{
    const int bursts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const char *dirEnv = std::getenv("VELMORA_SOUND_DIR");
    if (!dirEnv) {
        std::fprintf(stderr, "bench_burst_timing: run under scripts/sound-server.sh run\n");
        return 1;
    }
    const std::string dir = dirEnv;
    const std::string tone = dir + "/flat-1000Hz.wav", capture = dir + "/bursts.wav";
    const std::string helper = VELMORA_SOUND_SERVER;
    if (!velmora::bench::writeFrames(tone, velmora::bench::flatTone(1.0))) return 1;
    if (Audio_Init(-1, 96000, 0, nullptr, nullptr) != 1) return 1;
    const AudioHandle h = Audio_StreamCreateFile(0, tone.c_str(), 0, 0, AUDIO_ASYNCFILE);
    if (h == 0 || std::system((helper + " record " + dir + " " + capture).c_str()) != 0) return 1;
    std::this_thread::sleep_for(1s);

    std::vector<double> called;  // s between the play and the mute call
    std::vector<double> playAt;  // s from the first play call
    const auto first = Clock::now();
    for (int i = 0; i < bursts; ++i) {
        Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_VOL, 1.0f);
        const auto on = Clock::now();
        playAt.push_back(std::chrono::duration<double>(on - first).count());
        Audio_ChannelPlay(h, 0);
        Sys_Sleep(200);
        const auto off = Clock::now();
        Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_VOL, 0.0f);
        Sys_Sleep(10);
        Audio_ChannelStop(h);
        Audio_ChannelSetPosition(h, 0, AUDIO_POS_BYTE);
        Sys_Sleep(150);
        called.push_back(std::chrono::duration<double>(off - on).count());
    }
    std::this_thread::sleep_for(300ms);
    if (std::system((helper + " record-stop " + dir).c_str()) != 0) return 1;

    velmora::analysis::Wav wav;
    std::string error;
    if (!velmora::analysis::readWav(capture, wav, error) || wav.channels.size() != 2) {
        std::fprintf(stderr, "bench_burst_timing: %s\n", error.c_str());
        return 1;
    }
    const auto found = velmora::analysis::detectBursts(wav.channels[1], wav.rate);
    // Each burst is matched to its play call by time since the first one. A dropout in the
    // device splits a burst into pieces: such bursts are counted and left out.
    std::vector<double> nominal, sincall;
    int broken = 0;
    for (const auto &b : found) {
        const double t = b.onset - found.front().onset;
        std::size_t i = 0;
        while (i + 1 < playAt.size() && std::abs(playAt[i + 1] - t) < std::abs(playAt[i] - t)) ++i;
        if (std::abs(playAt[i] - t) > 0.030 || std::abs(b.length() - 0.200) > 0.020) {
            ++broken;
            continue;
        }
        nominal.push_back((b.length() - 0.200) * 1e3);
        sincall.push_back((b.length() - called[i]) * 1e3);
    }
    std::printf("bursts_played %d\nbursts_found %zu\nbursts_whole %zu\npieces_of_broken_bursts %d\n", bursts,
                found.size(), nominal.size(), broken);
    if (nominal.empty()) return 1;
    report("error_vs_200ms", nominal);
    report("error_vs_calls", sincall);
    std::vector<double> overshoot;
    for (double c : called) overshoot.push_back((c - 0.200) * 1e3);
    report("sleep_overshoot", overshoot);
    const auto c = velmora::audio::processEngine()->counters();
    std::printf("late_commands %llu\ndropped_commands %llu\n", static_cast<unsigned long long>(c.lateCommands),
                static_cast<unsigned long long>(c.droppedCommands));
    Audio_StreamFree(h);
    return 0;
}
