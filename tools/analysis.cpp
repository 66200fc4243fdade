#include "tools/analysis.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace velmora::analysis {

namespace {

void fft(std::vector<std::complex<double>> &a)
{
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double ang = -2.0 * std::numbers::pi / static_cast<double>(len);
        for (std::size_t i = 0; i < n; i += len)
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> w = std::polar(1.0, ang * static_cast<double>(k));
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
    }
}

// Solves the small dense system m x = b in place (partial pivoting).
bool solve(double m[4][4], double b[4], int n)
{
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int r = c + 1; r < n; ++r)
            if (std::abs(m[r][c]) > std::abs(m[p][c])) p = r;
        if (m[p][c] == 0.0) return false;
        std::swap(m[p], m[c]);
        std::swap(b[p], b[c]);
        for (int r = c + 1; r < n; ++r) {
            const double f = m[r][c] / m[c][c];
            for (int k = c; k < n; ++k) m[r][k] -= f * m[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int c = n - 1; c >= 0; --c) {
        for (int k = c + 1; k < n; ++k) b[c] -= m[c][k] * b[k];
        b[c] /= m[c][c];
    }
    return true;
}

// The crossing of `threshold` by the burst's amplitude nearest to `approx` (a sample
// position), rising or falling; `approx` when none is near. The amplitude comes from
// quadrature demodulation at the burst's own frequency (`omega`, radians per sample),
// smoothed by two cascaded centred boxes of about whole half-periods: the carrier's
// double-frequency term falls on the boxes' double zeros, and what is left is a linear
// smoothing of the amplitude itself, which does not move the midpoint of a symmetric ramp.
// (|x| or x^2 averaged instead leave biases of several samples: the first from how a
// sampled |sin| averages, the second from the curvature of the squared ramp.)
double refineEdge(std::span<const float> x, double rate, double approx, double omega, double threshold, bool rising)
{
    const auto n = static_cast<std::int64_t>(x.size());
    const double halfPeriod = std::numbers::pi / omega;
    const auto w = static_cast<std::int64_t>(
        std::max(2L, std::lround(std::max(1.0, std::round(0.001 * rate / halfPeriod)) * halfPeriod)));
    const std::int64_t reach = w + 2000;
    const std::int64_t from = std::max<std::int64_t>(0, static_cast<std::int64_t>(approx) - reach - 2 * w);
    const std::int64_t to = std::min<std::int64_t>(n, static_cast<std::int64_t>(approx) + reach + 2 * w);
    const std::int64_t len = to - from;
    if (len < 4 * w) return approx;
    // box(v)[i] = mean of v[i - h .. i - h + w - 1], i.e. centred at i + shift.
    const std::int64_t h = w / 2;
    const double shift = (static_cast<double>(w) - 1.0) / 2.0 - static_cast<double>(h);
    auto box = [&](const std::vector<double> &v) {
        std::vector<double> prefix(v.size() + 1, 0.0), out(v.size(), 0.0);
        for (std::size_t i = 0; i < v.size(); ++i) prefix[i + 1] = prefix[i] + v[i];
        for (std::int64_t i = h; i + w - h <= static_cast<std::int64_t>(v.size()); ++i)
            out[static_cast<std::size_t>(i)] =
                (prefix[static_cast<std::size_t>(i - h + w)] - prefix[static_cast<std::size_t>(i - h)]) /
                static_cast<double>(w);
        return out;
    };
    std::vector<double> in(static_cast<std::size_t>(len)), qu(static_cast<std::size_t>(len));
    for (std::int64_t i = 0; i < len; ++i) {
        const double v = x[static_cast<std::size_t>(from + i)];
        in[static_cast<std::size_t>(i)] = v * std::cos(omega * static_cast<double>(i));
        qu[static_cast<std::size_t>(i)] = v * std::sin(omega * static_cast<double>(i));
    }
    const std::vector<double> bi = box(box(in)), bq = box(box(qu));
    auto env = [&](std::int64_t i) { return 2.0 * std::hypot(bi[static_cast<std::size_t>(i)], bq[static_cast<std::size_t>(i)]); };
    double best = approx, bestDistance = 1e300;
    for (std::int64_t i = 2 * w + 1; i < len - 2 * w; ++i) {
        const double prev = env(i - 1), cur = env(i);
        const bool crosses = rising ? (prev <= threshold && cur > threshold) : (prev > threshold && cur <= threshold);
        if (!crosses) continue;
        const double pos = static_cast<double>(from + i - 1) + (prev - threshold) / (prev - cur) + 2.0 * shift;
        if (std::abs(pos - approx) < bestDistance) {
            bestDistance = std::abs(pos - approx);
            best = pos;
        }
    }
    return best;
}

}  // namespace

std::vector<Stretch> soundStretches(std::span<const float> x, double rate, double minGap)
{
    std::vector<Stretch> out;
    const auto gapFrames = static_cast<std::size_t>(std::ceil(minGap * rate));
    std::size_t i = 0;
    while (i < x.size()) {
        while (i < x.size() && x[i] == 0.0f) ++i;
        if (i == x.size()) break;
        const std::size_t start = i;
        std::size_t lastSound = i;
        for (; i < x.size(); ++i) {
            if (x[i] != 0.0f) {
                lastSound = i;
            } else if (i - lastSound >= gapFrames) {
                break;
            }
        }
        out.push_back({static_cast<double>(start) / rate, static_cast<double>(lastSound + 1) / rate});
    }
    return out;
}

std::vector<Click> findClicks(std::span<const float> x, double rate, const ClickOptions &options)
{
    std::vector<Click> out;
    const std::size_t n = x.size();
    if (n < 3) return out;
    // Prefix sums of the normal equation's two terms and of x^2, so every window is O(1).
    std::vector<double> cross(n + 1, 0.0), prev(n + 1, 0.0), power(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const double p1 = i >= 1 ? x[i - 1] : 0.0, p2 = i >= 2 ? x[i - 2] : 0.0;
        cross[i + 1] = cross[i] + (i >= 2 ? p1 * (v + p2) : 0.0);
        prev[i + 1] = prev[i] + (i >= 2 ? p1 * p1 : 0.0);
        power[i + 1] = power[i] + v * v;
    }
    const auto w = static_cast<std::size_t>(std::max(4L, std::lround(options.window * rate)));
    const auto merge = static_cast<std::size_t>(std::max(1L, std::lround(options.merge * rate)));
    std::size_t last = 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (x[i] == 0.0f && x[i - 1] == 0.0f && x[i - 2] == 0.0f) continue;
        const std::size_t lo = i > w + 2 ? i - w : 2, hi = std::min(n, i + w + 1);
        const double den = prev[hi] - prev[lo];
        const double c = den > 0.0 ? std::clamp((cross[hi] - cross[lo]) / den, -2.0, 2.0) : 0.0;
        const double r = std::abs(x[i] - c * x[i - 1] + x[i - 2]);
        const double amp = std::sqrt(2.0 * std::max(0.0, power[hi] - power[lo]) / static_cast<double>(hi - lo));
        if (r <= options.ratio * amp) continue;
        const double size = amp > 0.0 ? r / amp : 1e300;
        if (!out.empty() && i - last <= merge) {
            out.back().size = std::max(out.back().size, size);
        } else {
            out.push_back({static_cast<double>(i) / rate, size});
        }
        last = i;
    }
    return out;
}

double toDb(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -400.0; }

bool readWav(const std::string &path, Wav &out, std::string &error)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    out.rate = info.samplerate;
    out.channels.assign(static_cast<std::size_t>(info.channels), {});
    std::vector<float> chunk(static_cast<std::size_t>(info.channels) * 8192);
    for (;;) {
        const sf_count_t got = sf_readf_float(f, chunk.data(), 8192);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i)
            for (int c = 0; c < info.channels; ++c)
                out.channels[static_cast<std::size_t>(c)].push_back(chunk[static_cast<std::size_t>(i * info.channels + c)]);
    }
    sf_close(f);
    return true;
}

double peakFrequency(std::span<const float> x, double rate)
{
    if (x.size() < 16) return 0.0;
    std::size_t n = 1;
    while (n < x.size()) n <<= 1;
    std::vector<std::complex<double>> a(n);
    const double len = static_cast<double>(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        a[i] = x[i] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + 0.5) / len));
    fft(a);
    std::size_t best = 0;
    double bestMag = 0.0;
    for (std::size_t k = 2; k < n / 2 - 1; ++k) {
        const double m = std::abs(a[k]);
        if (m > bestMag) {
            bestMag = m;
            best = k;
        }
    }
    if (best == 0) return 0.0;
    const double l = std::log(std::abs(a[best - 1]) + 1e-300);
    const double c = std::log(bestMag);
    const double r = std::log(std::abs(a[best + 1]) + 1e-300);
    const double denom = l - 2.0 * c + r;
    const double delta = denom != 0.0 ? 0.5 * (l - r) / denom : 0.0;
    return (static_cast<double>(best) + std::clamp(delta, -0.5, 0.5)) * rate / static_cast<double>(n);
}

ToneFit fitTone(std::span<const float> x, double rate)
{
    ToneFit fit;
    const std::size_t n = x.size();
    if (n < 16) return fit;
    double w = 2.0 * std::numbers::pi * peakFrequency(x, rate) / rate;  // radians per sample
    if (w <= 0.0) return fit;
    const double mid = 0.5 * static_cast<double>(n - 1);
    double A = 0.0, B = 0.0, C = 0.0;
    auto linearFit = [&](double omega, bool withFreq) {
        double m[4][4] = {}, b[4] = {};
        const int dim = withFreq ? 4 : 3;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) - mid;
            const double cs = std::cos(omega * t), sn = std::sin(omega * t);
            const double col[4] = {cs, sn, 1.0, t * (-A * sn + B * cs)};
            for (int r = 0; r < dim; ++r) {
                b[r] += col[r] * x[i];
                for (int k = r; k < dim; ++k) m[r][k] += col[r] * col[k];
            }
        }
        for (int r = 0; r < dim; ++r)
            for (int k = 0; k < r; ++k) m[r][k] = m[k][r];
        if (!solve(m, b, dim)) return 0.0;
        A = b[0];
        B = b[1];
        C = b[2];
        return withFreq ? b[3] : 0.0;
    };
    linearFit(w, false);
    for (int it = 0; it < 30; ++it) {
        const double dw = linearFit(w, true);
        w += std::clamp(dw, -0.5 * w, 0.5 * w);
        if (std::abs(dw) < 1e-13 * std::max(w, 1e-9)) break;
    }
    linearFit(w, false);
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) - mid;
        const double e = x[i] - (A * std::cos(w * t) + B * std::sin(w * t) + C);
        res += e * e;
    }
    fit.frequency = w * rate / (2.0 * std::numbers::pi);
    fit.amplitude = std::hypot(A, B);
    fit.dc = C;
    fit.residualRms = std::sqrt(res / static_cast<double>(n));
    fit.thdnDb = fit.amplitude > 0.0 ? toDb(fit.residualRms / (fit.amplitude / std::numbers::sqrt2)) : 0.0;
    return fit;
}

Level measureLevel(std::span<const float> x)
{
    Level lv;
    double sum = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        sum += v * v;
        lv.peak = std::max(lv.peak, std::abs(v));
        if (v != 0.0) lv.zero = false;
        if (i > 0) lv.maxStep = std::max(lv.maxStep, std::abs(v - static_cast<double>(x[i - 1])));
    }
    lv.rms = x.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(x.size()));
    lv.rmsDb = toDb(lv.rms);
    lv.peakDb = toDb(lv.peak);
    return lv;
}

namespace {

// The averaging window for the burst envelope, in samples; 0 when the signal is silent.
std::size_t envelopeWindow(std::span<const float> x, double rate)
{
    const std::size_t n = x.size();
    // The dominant tone, measured around the loudest sample, sets the averaging window.
    std::size_t loudest = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::abs(x[i]) > std::abs(x[loudest])) loudest = i;
    if (x[loudest] == 0.0f) return 0;
    const std::size_t span = std::min<std::size_t>(n, 1 << 15);
    const std::size_t from = std::min(loudest > span / 2 ? loudest - span / 2 : 0, n - span);
    const double f0 = peakFrequency(x.subspan(from, span), rate);
    std::size_t window = static_cast<std::size_t>(std::lround(0.001 * rate));
    if (f0 > 0.0) {
        // About 2 ms: whole half-periods of the loudest tone; other tones keep a small
        // ripple that a longer window shrinks. Any length is unbiased at the midpoint of a
        // ramp, as long as the ramp is longer than the window.
        const double halves = std::max(1.0, std::round(0.004 * f0));
        window = std::max<std::size_t>(2, static_cast<std::size_t>(std::lround(halves * rate / (2.0 * f0))));
    }
    return window;
}

// Centred moving average of |x| over whole half-periods: 2/pi of the amplitude with no
// ripple, and linear wherever the amplitude is, so at the midpoint of a raised-cosine
// ramp (its inflection) the average crosses exactly where the amplitude does.
std::vector<double> envelope(std::span<const float> x, std::size_t window)
{
    const std::size_t n = x.size();
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + std::abs(static_cast<double>(x[i]));
    std::vector<double> env(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= window / 2 ? i - window / 2 : 0;
        const std::size_t hi = std::min(n, lo + window);
        env[i] = (prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo);
    }
    return env;
}

// Stretches where the envelope is above the threshold, with crossings interpolated.
std::vector<Burst> aboveThreshold(const std::vector<double> &env, double threshold, double rate)
{
    std::vector<Burst> bursts;
    const std::size_t n = env.size();
    auto crossing = [&](std::size_t i) {  // between i-1 and i, as a fraction of a sample
        const double a = env[i - 1] - threshold, b = env[i] - threshold;
        return static_cast<double>(i - 1) + (a != b ? a / (a - b) : 0.0);
    };
    bool inside = env[0] > threshold;
    double onset = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const bool above = env[i] > threshold;
        if (above && !inside) {
            onset = crossing(i);
            inside = true;
        } else if (!above && inside) {
            bursts.push_back(Burst{onset / rate, crossing(i) / rate});
            inside = false;
        }
    }
    if (inside) bursts.push_back(Burst{onset / rate, static_cast<double>(n) / rate});
    return bursts;
}

// Bridge dips, then drop blips.
std::vector<Burst> bridgeAndDrop(const std::vector<Burst> &raw, const BurstOptions &options)
{
    std::vector<Burst> merged;
    for (const Burst &b : raw) {
        if (!merged.empty() && b.onset - merged.back().offset < options.minGap)
            merged.back().offset = b.offset;
        else
            merged.push_back(b);
    }
    std::vector<Burst> bursts;
    for (const Burst &b : merged)
        if (b.length() >= options.minLength) bursts.push_back(b);
    return bursts;
}

// Pitch and level from the interior, clear of the ramps; then the edges again, against
// this burst's own tone and plateau.
void measureInterior(Burst &b, std::span<const float> x, double rate, const BurstOptions &options)
{
    const double n = static_cast<double>(x.size());
    const double edge = std::min(0.003, 0.2 * b.length());
    const auto lo = static_cast<std::size_t>(std::clamp((b.onset + edge) * rate, 0.0, n));
    const auto hi = static_cast<std::size_t>(std::clamp((b.offset - edge) * rate, 0.0, n));
    if (hi <= lo + 16) return;
    const auto inner = x.subspan(lo, hi - lo);
    const ToneFit fit = fitTone(inner, rate);
    b.frequency = fit.frequency;
    b.levelDb = measureLevel(inner).rmsDb;
    if (fit.frequency > 0.0 && fit.amplitude > 0.0) {
        const double omega = 2.0 * std::numbers::pi * fit.frequency / rate;
        const double thr = fit.amplitude * std::pow(10.0, options.thresholdDb / 20.0);
        b.onset = refineEdge(x, rate, b.onset * rate, omega, thr, true) / rate;
        b.offset = refineEdge(x, rate, b.offset * rate, omega, thr, false) / rate;
    }
}

}  // namespace

std::vector<Burst> detectBursts(std::span<const float> x, double rate, const BurstOptions &options)
{
    if (x.size() < 64) return {};
    const std::size_t window = envelopeWindow(x, rate);
    if (window == 0) return {};
    const std::vector<double> env = envelope(x, window);
    double top = 0.0;
    for (const double v : env) top = std::max(top, v);
    const double threshold = top * std::pow(10.0, options.thresholdDb / 20.0);
    std::vector<Burst> bursts = bridgeAndDrop(aboveThreshold(env, threshold, rate), options);
    for (Burst &b : bursts) measureInterior(b, x, rate, options);
    for (std::size_t k = 0; k < bursts.size(); ++k) bursts[k].gap = k == 0 ? 0.0 : bursts[k].onset - bursts[k - 1].offset;
    return bursts;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const double pos = p * static_cast<double>(v.size() - 1);
    const auto i = static_cast<std::size_t>(pos);
    return i + 1 < v.size() ? v[i] + (pos - static_cast<double>(i)) * (v[i + 1] - v[i]) : v[i];
}

}  // namespace velmora::analysis
