#include "platform/audio/resampler.h"

#include <cmath>
#include <numbers>

namespace velmora::audio {

namespace {

// The wide banks: zero crossings each side of the centre at their cutoff, and the window.
constexpr int kWideZeroCrossings = 16;
constexpr double kWideBeta = 12.0;
// The tone band's kernel (see the header).
constexpr double kToneCutoff = 0.3;  // of the input rate
constexpr double kToneBeta = 15.0;
static_assert(kMaxHalf >= kWideZeroCrossings * kMaxStep && kBankStep[kBanks - 1] == kMaxStep,
              "the widest bank's kernel must fit the padding around every sample");
static_assert(kToneTaps / 2 <= kMaxHalf);

double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 300; ++k) {
        const double h = x / (2.0 * k);
        term *= h * h;
        sum += term;
        if (term < 1e-18 * sum) break;
    }
    return sum;
}

// `half` taps each side of the read position; the sinc of `cutoff` (of the input rate)
// under a Kaiser window `beta` that reaches zero `span` frames each side.
void build(SincBank &bk, int half, double span, double cutoff, double beta)
{
    const double i0beta = besselI0(beta);
    bk.half = half;
    bk.taps = (2 * half + kLanes - 1) / kLanes * kLanes;
    std::vector<double> rows(static_cast<std::size_t>(kPhases + 1) * bk.taps, 0.0);
    for (int j = 0; j <= kPhases; ++j) {
        const double x = static_cast<double>(j) / kPhases;
        double sum = 0.0;
        double *row = &rows[static_cast<std::size_t>(j) * bk.taps];
        for (int k = 0; k < 2 * half; ++k) {
            const double t = k - half + 1 - x;
            const double u = t / span;
            double h = 0.0;
            if (std::abs(u) < 1.0) {
                const double a = 2.0 * cutoff * t;
                const double sinc = a == 0.0 ? 1.0 : std::sin(std::numbers::pi * a) / (std::numbers::pi * a);
                h = sinc * besselI0(beta * std::sqrt(1.0 - u * u)) / i0beta;
            }
            row[k] = h;
            sum += h;
        }
        for (int k = 0; k < 2 * half; ++k) row[k] /= sum;  // unity gain at DC on every phase
    }
    bk.coef.resize(static_cast<std::size_t>(kPhases) * bk.taps);
    bk.delta.resize(bk.coef.size());
    for (int j = 0; j < kPhases; ++j)
        for (int k = 0; k < bk.taps; ++k) {
            const std::size_t i = static_cast<std::size_t>(j) * bk.taps + k;
            bk.coef[i] = static_cast<float>(rows[i]);
            bk.delta[i] = static_cast<float>(rows[i + bk.taps] - rows[i]);
        }
}

}  // namespace

void SincTables::prepare(double step)
{
    const int b = bankIndex(step);
    std::call_once(made_[b], [&] {
        if (b == 0) {
            build(bank[0], kToneTaps / 2, kToneTaps / 2, kToneCutoff, kToneBeta);
            return;
        }
        const double span = kWideZeroCrossings * kBankStep[b];
        build(bank[b], static_cast<int>(std::ceil(span - 1e-9)), span, 0.5 / kBankStep[b], kWideBeta);
    });
}

}  // namespace velmora::audio
