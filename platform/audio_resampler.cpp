#include "platform/audio_resampler.h"

#include <atomic>
#include <future>

#include <cmath>
#include <numbers>

namespace velmora::audio {

namespace {

constexpr int kHalfWidth = 16;
constexpr double kBeta = 12.0;
static_assert(kMaxHalf >= kHalfWidth * kMaxStep && kBankStep[kBanks - 1] == kMaxStep,
              "the widest bank's kernel must fit the padding around every sample");

double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 200; ++k) {
        const double h = x / (2.0 * k);
        term *= h * h;
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

}  // namespace

SincTables::SincTables()
{
    const double i0beta = besselI0(kBeta);
    for (int b = 0; b < kBanks; ++b) {
        SincBank &bk = bank[b];
        const double c = 1.0 / kBankStep[b];
        bk.half = static_cast<int>(std::ceil(kHalfWidth / c - 1e-9));
        bk.taps = 2 * bk.half;
        std::vector<double> rows(static_cast<std::size_t>(kPhases + 1) * bk.taps);
        for (int j = 0; j <= kPhases; ++j) {
            const double x = static_cast<double>(j) / kPhases;
            double sum = 0.0;
            double *row = &rows[static_cast<std::size_t>(j) * bk.taps];
            for (int k = 0; k < bk.taps; ++k) {
                const double t = (k - bk.half + 1 - x) * c;
                const double u = t / kHalfWidth;
                double h = 0.0;
                if (std::abs(u) < 1.0) {
                    const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
                    h = sinc * besselI0(kBeta * std::sqrt(1.0 - u * u)) / i0beta;
                }
                row[k] = h;
                sum += h;
            }
            for (int k = 0; k < bk.taps; ++k) row[k] /= sum;  // unity gain at DC on every phase
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
}

namespace {

// The tables live on the heap and are never freed: the audio thread may still read them
// while the process exits, until the atexit handler that closes the output has run, and
// that handler is registered before the tables are whole, so a static object of their own
// would die first. Published by the building thread once the tables are whole: the audio
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
const SincTables &sincTables()
{
    if (const SincTables *ready = gReady.load(std::memory_order_acquire)) return *ready;
    return *tablesFuture().get();
}

const SincTables *sincTablesIfReady() { return gReady.load(std::memory_order_acquire); }

const SincTables &emptySincTables()
{
    static const SincTables *const empty = new SincTables(SincTables::Empty{});
    return *empty;
}

}  // namespace velmora::audio
