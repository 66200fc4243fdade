// velmora-analyze: measurements on a WAV file (a capture, a rendered buffer, a tone file)
// for shell scripts. Prints one "key value" line per result; exits 1 with a message on
// stderr when the file cannot be read or the arguments are wrong.
//
//   velmora-analyze info FILE
//       rate, channels, frames, seconds
//   velmora-analyze level FILE [--from S] [--to S]
//       per channel N: chN_rms_dbfs, chN_peak_dbfs, chN_max_step, chN_zero (1 when every
//       sample is exactly 0)
//   velmora-analyze tone FILE [--channel N] [--from S] [--to S]
//       the tone in one channel (default: the loudest): channel, frequency_hz,
//       amplitude, level_dbfs (RMS), peak_dbfs, thdn_db, other_rms_dbfs (the other
//       channels together), other_zero
//   velmora-analyze bursts FILE [--channel N] [--threshold-db D] [--from S] [--to S]
//       burst_count, then for burst i from 0: burst_i_onset_s, burst_i_length_ms,
//       burst_i_gap_ms, burst_i_frequency_hz, burst_i_level_dbfs; and length_ms_min,
//       length_ms_max, length_ms_mean when there is a burst
//   velmora-analyze onsets FILE --ref REF [--ref-channel M] --spacing MS --count K [--channel N]
//       tones of the file REF played one after another MS apart (a hearing test's rising
//       steps): each tone's first frame, found where the capture matches REF scaled, to the
//       frame: onset_i_s, interval_i_frames (from the previous onset), then
//       interval_error_frames_max against MS
//   velmora-analyze stretches FILE [--channel N] [--from S] [--to S]
//       runs of non-zero samples (digital silence between them), exact to the sample:
//       stretch_count, then stretch_i_start_s, stretch_i_length_ms, stretch_i_gap_ms (from
//       the previous stretch's end; 0 for the first)
//
// --from/--to cut the file to a time range in seconds before measuring; times printed are
// still from the start of the file.

#include "tools/analysis.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <string>

using namespace velmora::analysis;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: velmora-analyze info|level|tone|bursts|stretches|onsets|reach FILE [--channel N] [--from S] "
                 "[--to S] [--threshold-db D] [--ref REF --ref-channel M --spacing MS --count K]\n");
    return 1;
}

using Cut = std::span<const float>;

// The channel with the highest RMS (the first of equals).
int loudestChannel(const Wav &wav, const auto &cut)
{
    int channel = 0;
    double best = -1.0;
    for (int c = 0; c < static_cast<int>(wav.channels.size()); ++c) {
        const double r = measureLevel(cut(c)).rms;
        if (r > best) {
            best = r;
            channel = c;
        }
    }
    return channel;
}

void printTone(const Wav &wav, int channel, const auto &cut)
{
    const ToneFit fit = fitTone(cut(channel), wav.rate);
    const Level lv = measureLevel(cut(channel));
    double other = 0.0;
    bool otherZero = true;
    for (int c = 0; c < static_cast<int>(wav.channels.size()); ++c) {
        if (c == channel) continue;
        const Level o = measureLevel(cut(c));
        other += o.rms * o.rms;
        otherZero = otherZero && o.zero;
    }
    std::printf("channel %d\nfrequency_hz %.6f\namplitude %.6f\nlevel_dbfs %.4f\npeak_dbfs %.4f\nthdn_db %.2f\n"
                "other_rms_dbfs %.2f\nother_zero %d\n",
                channel, fit.frequency, fit.amplitude, lv.rmsDb, lv.peakDb, fit.thdnDb, toDb(std::sqrt(other)),
                otherZero ? 1 : 0);
}

void printBursts(Cut samples, int rate, double offset, const BurstOptions &opts)
{
    const auto bursts = detectBursts(samples, rate, opts);
    std::printf("burst_count %zu\n", bursts.size());
    double lo = 1e300, hi = 0.0, sum = 0.0;
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        const Burst &b = bursts[i];
        std::printf("burst_%zu_onset_s %.6f\nburst_%zu_length_ms %.4f\nburst_%zu_gap_ms %.4f\n"
                    "burst_%zu_frequency_hz %.3f\nburst_%zu_level_dbfs %.3f\n",
                    i, b.onset + offset, i, b.length() * 1e3, i, b.gap * 1e3, i, b.frequency, i, b.levelDb);
        lo = std::min(lo, b.length());
        hi = std::max(hi, b.length());
        sum += b.length();
    }
    if (!bursts.empty())
        std::printf("length_ms_min %.4f\nlength_ms_max %.4f\nlength_ms_mean %.4f\n", lo * 1e3, hi * 1e3,
                    sum / static_cast<double>(bursts.size()) * 1e3);
}

void printStretches(Cut samples, int rate, double offset)
{
    const auto stretches = soundStretches(samples, rate);
    std::printf("stretch_count %zu\n", stretches.size());
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const Stretch &s = stretches[i];
        const double gap = i == 0 ? 0.0 : s.start - stretches[i - 1].end;
        std::printf("stretch_%zu_start_s %.6f\nstretch_%zu_length_ms %.4f\nstretch_%zu_gap_ms %.4f\n", i,
                    s.start + offset, i, (s.end - s.start) * 1e3, i, gap * 1e3);
    }
}

// The frame where `ref` starts inside `x`, searched within `radius` frames of `guess`: the
// one where x, from 10 ms after it for 100 ms, is ref scaled with the least residual.
std::int64_t alignAt(Cut x, Cut ref, std::int64_t guess, int radius, int rate)
{
    const std::int64_t skip = rate / 100, len = rate / 10;
    std::int64_t best = -1;
    double bestResidual = 1e300;
    for (std::int64_t n = std::max<std::int64_t>(0, guess - radius); n <= guess + radius; ++n) {
        if (n + skip + len > static_cast<std::int64_t>(x.size()) || skip + len > static_cast<std::int64_t>(ref.size()))
            break;
        double xr = 0.0, rr = 0.0, xx = 0.0;
        for (std::int64_t i = skip; i < skip + len; ++i) {
            const double a = x[static_cast<std::size_t>(n + i)], b = ref[static_cast<std::size_t>(i)];
            xr += a * b;
            rr += b * b;
            xx += a * a;
        }
        const double residual = rr > 0.0 ? (xx - xr * xr / rr) / std::max(xx, 1e-300) : 1e300;
        if (residual < bestResidual) {
            bestResidual = residual;
            best = n;
        }
    }
    return best;
}

struct OnsetOptions {
    std::string ref;
    int refChannel = 0;
    double spacingMs = 0.0;
    int count = 0;
};

int printOnsets(Cut x, int rate, std::int64_t first, const OnsetOptions &o)
{
    Wav ref;
    std::string error;
    if (o.ref.empty() || o.spacingMs <= 0.0 || o.count < 1 || !readWav(o.ref, ref, error) ||
        o.refChannel >= static_cast<int>(ref.channels.size())) {
        std::fprintf(stderr, "velmora-analyze: onsets needs --ref, --spacing and --count %s\n", error.c_str());
        return 1;
    }
    const auto r = Cut(ref.channels[static_cast<std::size_t>(o.refChannel)]);
    const auto spacing = static_cast<std::int64_t>(std::llround(o.spacingMs * 1e-3 * rate));
    std::int64_t guess = 0;
    while (guess < static_cast<std::int64_t>(x.size()) && x[static_cast<std::size_t>(guess)] == 0.0f) ++guess;
    std::int64_t previous = -1, worst = 0;
    for (int k = 0; k < o.count; ++k) {
        const std::int64_t onset = alignAt(x, r, guess, rate / 100, rate);
        if (onset < 0) break;
        std::printf("onset_%d_s %.6f\n", k, static_cast<double>(onset + first) / rate);
        if (previous >= 0) {
            std::printf("interval_%d_frames %lld\n", k, static_cast<long long>(onset - previous));
            worst = std::max<std::int64_t>(worst, std::llabs(onset - previous - spacing));
        }
        previous = onset;
        guess = onset + spacing;
    }
    std::printf("interval_error_frames_max %lld\n", static_cast<long long>(worst));
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) return usage();
    const std::string cmd = argv[1];
    const std::string path = argv[2];
    int channel = -1;
    double from = 0.0, to = -1.0;
    BurstOptions opts;
    OnsetOptions onsets;
    for (int i = 3; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--channel") && hasValue)
            channel = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--from") && hasValue)
            from = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--to") && hasValue)
            to = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--threshold-db") && hasValue)
            opts.thresholdDb = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--ref") && hasValue)
            onsets.ref = argv[++i];
        else if (!std::strcmp(argv[i], "--ref-channel") && hasValue)
            onsets.refChannel = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--spacing") && hasValue)
            onsets.spacingMs = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--count") && hasValue)
            onsets.count = std::atoi(argv[++i]);
        else
            return usage();
    }

    Wav wav;
    std::string error;
    if (!readWav(path, wav, error)) {
        std::fprintf(stderr, "velmora-analyze: %s\n", error.c_str());
        return 1;
    }
    const auto channels = static_cast<int>(wav.channels.size());
    const std::int64_t total = wav.frames();
    const auto first = std::clamp<std::int64_t>(static_cast<std::int64_t>(from * wav.rate), 0, total);
    const auto last = to < 0 ? total : std::clamp<std::int64_t>(static_cast<std::int64_t>(to * wav.rate), first, total);
    auto cut = [&](int c) {
        return std::span<const float>(wav.channels[static_cast<std::size_t>(c)]).subspan(
            static_cast<std::size_t>(first), static_cast<std::size_t>(last - first));
    };

    if (cmd == "info") {
        std::printf("rate %d\nchannels %d\nframes %lld\nseconds %.6f\n", wav.rate, channels,
                    static_cast<long long>(total), wav.rate > 0 ? static_cast<double>(total) / wav.rate : 0.0);
        return 0;
    }
    if (channels == 0 || channel >= channels) {
        std::fprintf(stderr, "velmora-analyze: no channel %d in %s\n", channel, path.c_str());
        return 1;
    }
    if (cmd == "level") {
        for (int c = 0; c < channels; ++c) {
            const Level lv = measureLevel(cut(c));
            std::printf("ch%d_rms_dbfs %.4f\nch%d_peak_dbfs %.4f\nch%d_max_step %.6f\nch%d_zero %d\n", c, lv.rmsDb, c,
                        lv.peakDb, c, lv.maxStep, c, lv.zero ? 1 : 0);
        }
        return 0;
    }
    if (channel < 0) channel = loudestChannel(wav, cut);
    const double offset = static_cast<double>(first) / wav.rate;
    if (cmd == "tone") {
        printTone(wav, channel, cut);
        return 0;
    }
    if (cmd == "bursts") {
        printBursts(cut(channel), wav.rate, offset, opts);
        return 0;
    }
    if (cmd == "onsets") return printOnsets(cut(channel), wav.rate, first, onsets);
    if (cmd == "reach") {
        // When the channel first reaches the level: where a listener with that threshold hears it.
        const std::span<const float> x = cut(channel);
        const double at = std::pow(10.0, opts.thresholdDb / 20.0);
        std::size_t i = 0;
        while (i < x.size() && std::abs(x[i]) < at) ++i;
        std::printf("reach_s %.6f\n", i < x.size() ? offset + static_cast<double>(i) / wav.rate : -1.0);
        return 0;
    }
    if (cmd == "stretches") {
        printStretches(cut(channel), wav.rate, offset);
        return 0;
    }
    return usage();
}
