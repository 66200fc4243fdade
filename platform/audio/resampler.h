#pragma once
// Band-limited interpolation for playback at any rate: Kaiser-windowed sinc kernels in
// polyphase tables, a row of taps per phase, the kernel between two rows interpolated
// linearly. Three banks by step (input frames per output frame):
//  - up to 1.6, the tone band: the tones reach 12 kHz (0.125 of the input rate), and what
//    a step up to 1.6 folds back onto 0 to 12 kHz starts at 0.5 of the input rate. So the
//    kernel passes 0 to 0.125 (within 0.0004 dB), stops from 0.5 on (143 dB down) and
//    leaves the images of the tones (from 0.875 on) 150 dB down: 24 taps, cutoff 0.3,
//    beta 15. The images of the phase interpolation fall with (f / kPhases)^2: for
//    0.125 and 512 phases, 144 dB down. Content between 0.125 and 0.5 is not guarded:
//    above 12 kHz at the file's rate a file is not resampled as honestly.
//  - up to 2.6 and up to 5.2 (a 48 kHz output, or rates past 153.6 kHz at 96 kHz): the
//    cutoff at the output's Nyquist frequency, 16 zero crossings each side at that
//    cutoff, beta 12 (about 118 dB sidelobes): 84 and 168 taps.
// Each bank is built once, on its first need, and only read after that.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velmora::audio {

inline constexpr int kPhaseBits = 9;
inline constexpr int kPhases = 1 << kPhaseBits;
inline constexpr double kBankStep[] = {1.6, 2.6, 5.2};
inline constexpr int kBanks = 3;
inline constexpr int kToneTaps = 24;
inline constexpr int kLanes = 8;               // every row is a whole number of these (zeros after the kernel)
inline constexpr int kMaxHalf = 84;            // ceil(16 * 5.2)
inline constexpr int kMaxTaps = 2 * kMaxHalf;  // widest kernel
inline constexpr int kPad = kMaxHalf + kLanes; // zeros around every decoded channel: no bounds checks
inline constexpr double kMaxStep = 5.2;

struct SincBank {
    int half = 0;
    int taps = 0;              // a multiple of kLanes
    std::vector<float> coef;   // kPhases rows of taps
    std::vector<float> delta;  // next row minus this row
};

// One engine's banks. A bank is made by a control thread before it queues the first command
// that needs it (prepare), and never written again: the audio thread reads a bank only
// after such a command. None is made before a stream needs it, so an engine made before the
// window keeps the window waiting for none, and none is shared with code that may outlive
// its engine.
struct SincTables {
    SincBank bank[kBanks];

    // Makes the bank for `step` if it is not made yet; the wider the bank, the longer it takes.
    void prepare(double step);

private:
    std::once_flag made_[kBanks];
};

inline int bankIndex(double step)
{
    int bank = 0;
    while (bank < kBanks - 1 && step > kBankStep[bank]) ++bank;
    return bank;
}

// The narrowest bank that does not alias at `step` input frames per output frame.
inline const SincBank &bankFor(const SincTables &tables, double step) { return tables.bank[bankIndex(step)]; }

// A read position's fraction of a frame, in 64 bits: its top kPhaseBits pick the row (the
// offset of its first tap in coef and delta), the next 24 weigh the step to the next row.
inline std::size_t rowAt(const SincBank &bank, std::uint64_t frac, float &weight)
{
    const auto j = static_cast<std::size_t>(frac >> (64 - kPhaseBits));
    weight = static_cast<float>((frac >> (40 - kPhaseBits)) & 0xFFFFFF) * 0x1p-24f;
    return j * static_cast<std::size_t>(bank.taps);
}

// The kernel between a row `a` and the next (a + delta) applied to x[0 .. Taps): kLanes
// running sums side by side, added in a fixed order at the end. Lane by lane, the sums
// need no reordering of float additions, so the compiler makes vector code of them
// without -ffast-math (and the result does not depend on the instruction set).
inline float interpDot(const float *a, const float *d, float w, const float *x, int taps)
{
    float acc[kLanes];
    for (int l = 0; l < kLanes; ++l) acc[l] = (a[l] + w * d[l]) * x[l];
    for (int k = kLanes; k < taps; k += kLanes)
        for (int l = 0; l < kLanes; ++l) acc[l] += (a[k + l] + w * d[k + l]) * x[k + l];
    for (int l = 0; l < kLanes / 2; ++l) acc[l] += acc[l + kLanes / 2];
    return (acc[0] + acc[2]) + (acc[1] + acc[3]);
}

// The tone-band kernel's: its tap count known when compiled, so the loop is unrolled.
template <int Taps>
inline float interpDot(const float *a, const float *d, float w, const float *x)
{
    static_assert(Taps % kLanes == 0);
    return interpDot(a, d, w, x, Taps);
}

// The interpolated kernel itself, for two channels that share it.
inline void kernelAt(const float *a, const float *d, float w, float *coefs, int taps)
{
    for (int k = 0; k < taps; ++k) coefs[k] = a[k] + w * d[k];
}

inline float dot(const float *c, const float *x, int taps)
{
    float acc[kLanes];
    for (int l = 0; l < kLanes; ++l) acc[l] = c[l] * x[l];
    for (int k = kLanes; k < taps; k += kLanes)
        for (int l = 0; l < kLanes; ++l) acc[l] += c[k + l] * x[k + l];
    for (int l = 0; l < kLanes / 2; ++l) acc[l] += acc[l + kLanes / 2];
    return (acc[0] + acc[2]) + (acc[1] + acc[3]);
}

}  // namespace velmora::audio
