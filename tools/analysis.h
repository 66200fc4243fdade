#pragma once
// Measurements on recorded or rendered sound, for tests, benchmarks and velmora-analyze.
// Plain functions of sample arrays; nothing here is real-time safe (they allocate).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::analysis {

struct Wav {
    int rate = 0;
    std::vector<std::vector<float>> channels;  // planar
    std::int64_t frames() const { return channels.empty() ? 0 : static_cast<std::int64_t>(channels[0].size()); }
};

// Any file libsndfile reads, as float. False with a message in `error` when it cannot.
bool readWav(const std::string &path, Wav &out, std::string &error);

// Strongest frequency in Hz: Hann-windowed FFT peak, refined by Gaussian interpolation
// over the three top bins (about 1 % of a bin). 0 for silence.
double peakFrequency(std::span<const float> x, double rate);

struct ToneFit {
    double frequency = 0.0;  // Hz
    double amplitude = 0.0;  // peak of the fitted sine
    double dc = 0.0;
    double residualRms = 0.0;  // what the sine and DC leave: harmonics, noise, clicks
    double thdnDb = 0.0;       // residual against the sine, both as RMS, in dB
};

// Four-parameter least-squares sine fit (frequency, two quadratures, DC) started from
// peakFrequency. Precise to parts per million in frequency on a clean tone.
ToneFit fitTone(std::span<const float> x, double rate);

struct Level {
    double rms = 0.0;
    double peak = 0.0;
    double rmsDb = -400.0;   // dBFS, 0 dB for a full-scale square; a full-scale sine is -3.01
    double peakDb = -400.0;  // dBFS
    double maxStep = 0.0;    // largest |x[n] - x[n-1]|: a click shows here
    bool zero = true;        // every sample exactly 0
};
Level measureLevel(std::span<const float> x);

struct Burst {
    double onset = 0.0;   // s, where the envelope rises through the threshold
    double offset = 0.0;  // s, where it falls through it
    double length() const { return offset - onset; }
    double gap = 0.0;     // s from the previous burst's offset; 0 for the first
    double frequency = 0.0;
    double levelDb = -400.0;  // RMS of the burst's interior, dBFS
};

struct BurstOptions {
    double thresholdDb = -6.0206;  // amplitude against the loudest burst: half amplitude,
                                   // so symmetric rise and fall ramps cancel out in the length
    double minLength = 0.0005;     // s; shorter blips are dropped
    double minGap = 0.0005;        // s; shorter dips are bridged
};

// Tone bursts in one channel. The envelope is |x| averaged over a whole number of
// half-periods of the dominant tone, centred, so it carries no ripple and no delay;
// crossings are interpolated to a fraction of a sample.
std::vector<Burst> detectBursts(std::span<const float> x, double rate, const BurstOptions &options = {});

// Stretches of sound in a recording whose silence is digital zero (a float capture of a
// null sink): runs of non-zero samples, joined across zero runs shorter than minGap
// seconds (a sine crosses zero now and then). Exact to the sample, whatever the ramps:
// start is the first non-zero sample, end one past the last.
struct Stretch {
    double start = 0.0;  // s
    double end = 0.0;    // s
};
std::vector<Stretch> soundStretches(std::span<const float> x, double rate, double minGap = 0.001);

// Clicks: places where the sound leaves the tone that it is. A sine of any amplitude and
// phase obeys x[n] = c x[n-1] - x[n-2] with c = 2 cos(omega); c is fitted by least squares
// over a window either side of each sample, so the tone's own pitch, also a shifted one,
// leaves no residual. A cut, a jump or a dropout leaves one of about its own size, while a
// millisecond ramp leaves below 1 % of the amplitude. A click is a residual above `ratio`
// times the local amplitude (the window's RMS times sqrt 2).
struct Click {
    double time = 0.0;  // s, the first sample of it
    double size = 0.0;  // largest residual in it, against the local amplitude
};
struct ClickOptions {
    double ratio = 0.05;    // -26 dB against the tone: 8 x what a 5 ms raised-cosine ramp gives
    double window = 0.005;  // s either side, for the fitted c and the local amplitude
    double merge = 0.001;   // s: residuals closer than this are one click
};
std::vector<Click> findClicks(std::span<const float> x, double rate, const ClickOptions &options = {});

double toDb(double amplitude);

// The p-quantile (0..1) of v, linear between ranks; NAN for none.
double percentile(std::vector<double> v, double p);

}  // namespace velmora::analysis
