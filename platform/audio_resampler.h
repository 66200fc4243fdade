#pragma once
// Band-limited interpolation for playback at any rate: Kaiser-windowed sinc, 16 zero
// crossings each side at unit step, beta 12 (about 118 dB sidelobes): images of a 12 kHz
// tone land deep in the stop band, and the table interpolation error stays near -120 dB.
// Four banks by step: the wider ones lower the cutoff (and widen the kernel) so that
// faster playback does not alias. The tables are built once and only read after that.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace velmora::audio {

inline constexpr int kPhases = 2048;  // linear interpolation between 2048 phases per input sample
inline constexpr double kBankStep[] = {1.0, 1.3, 2.6, 5.2};
inline constexpr int kBanks = 4;
inline constexpr int kMaxHalf = 84;            // ceil(16 * 5.2)
inline constexpr int kMaxTaps = 2 * kMaxHalf;  // widest kernel
inline constexpr int kPad = kMaxHalf + 8;      // zeros around every decoded channel: no bounds checks
inline constexpr double kMaxStep = 5.2;

struct SincBank {
    int half = 0;
    int taps = 0;
    std::vector<float> coef;   // kPhases rows of taps
    std::vector<float> delta;  // next row minus this row
};

struct SincTables {
    SincBank bank[kBanks];

    SincTables();
    struct Empty {};
    explicit SincTables(Empty) {}  // no kernels: for heads that read their samples straight
};

// The tables take a fifth of a second to build: the first engine starts building them on
// a thread of their own, so that the program's window need not wait. sincTables() waits
// until they are ready (a control thread, before it sends a command that needs them);
// sincTablesIfReady() never waits (the audio thread) and gives null until then.
void startSincTables();
const SincTables &sincTables();
const SincTables *sincTablesIfReady();
const SincTables &emptySincTables();

// The narrowest bank that does not alias at `step` input frames per output frame.
inline const SincBank &bankFor(const SincTables &tables, double step)
{
    int bank = 0;
    while (bank < kBanks - 1 && step > kBankStep[bank]) ++bank;
    return tables.bank[bank];
}

// The kernel at fractional position `frac` (0 to 1) between two input frames, `bank.taps`
// long, into `coefs`; it applies to the input from frame (position - bank.half + 1) on.
inline void kernelAt(const SincBank &bank, double frac, float *coefs)
{
    const double phase = frac * kPhases;
    const int j = std::min(static_cast<int>(phase), kPhases - 1);
    const float w = static_cast<float>(phase - j);
    const float *a = &bank.coef[static_cast<std::size_t>(j) * bank.taps];
    const float *d = &bank.delta[static_cast<std::size_t>(j) * bank.taps];
    for (int k = 0; k < bank.taps; ++k) coefs[k] = a[k] + w * d[k];
}

// Four partial sums: the compiler may not reorder float additions by itself, and one
// running sum makes every tap wait for the previous one. Tap counts are even.
inline float dot(const float *c, const float *x, int taps)
{
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
    int k = 0;
    for (; k + 4 <= taps; k += 4) {
        a0 += c[k] * x[k];
        a1 += c[k + 1] * x[k + 1];
        a2 += c[k + 2] * x[k + 2];
        a3 += c[k + 3] * x[k + 3];
    }
    for (; k < taps; ++k) a0 += c[k] * x[k];
    return (a0 + a1) + (a2 + a3);
}

}  // namespace velmora::audio
