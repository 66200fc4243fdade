#include "platform/audio/resampler.h"

#include <atomic>
#include <future>
#include <mutex>

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

SincTables::SincTables() { build(bank[0], kToneTaps / 2, kToneTaps / 2, kToneCutoff, kToneBeta); }

namespace {

// The tables live on the heap and are never freed: the audio thread may still read them
// while the process exits, until the atexit handler that closes the output has run, and
// that handler is registered before the tables are whole, so a static object of their own
// would die first. They are made on the heap, not const, so a wide bank may be added later. Published by the building thread once the tables are whole: the audio
// thread only loads this word, where a future's get() could wait for the building thread
// to be joined.
std::atomic<const SincTables *> gReady{nullptr};

std::shared_future<const SincTables *> &tablesFuture()
{
    static std::shared_future<const SincTables *> future = std::async(std::launch::async, [] {
                                                               const SincTables *tables = new SincTables();
                                                               gReady.store(tables, std::memory_order_release);
                                                               return tables;
                                                           }).share();
    return future;
}

}  // namespace

void startSincTables() { (void)tablesFuture(); }

// Once built, the word answers without touching the future, which exit destroys.
const SincTables &sincTables(double step)
{
    const SincTables *ready = gReady.load(std::memory_order_acquire);
    if (!ready) ready = tablesFuture().get();
    const int b = bankIndex(step);
    if (b > 0) {
        // A wide bank is made on its first need only: a 96 kHz output never needs one for
        // the tones (1 MB). The bank is written before any command with its step is queued,
        // and never again: the audio thread reads it only after such a command.
        static std::once_flag once[kBanks];
        std::call_once(once[b], [&] {
            const double span = kWideZeroCrossings * kBankStep[b];
            build(const_cast<SincBank &>(ready->bank[b]), static_cast<int>(std::ceil(span - 1e-9)), span,
                  0.5 / kBankStep[b], kWideBeta);
        });
    }
    return *ready;
}

const SincTables &sincTables()
{
    for (int b = kBanks - 1; b > 0; --b) (void)sincTables(kBankStep[b]);
    return sincTables(1.0);
}

const SincTables *sincTablesIfReady() { return gReady.load(std::memory_order_acquire); }

const SincTables &emptySincTables()
{
    static const SincTables *const empty = new SincTables(SincTables::Empty{});
    return *empty;
}

}  // namespace velmora::audio
