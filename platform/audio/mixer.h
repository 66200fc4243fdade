#pragma once
// The voices and their mix: one voice per stream slot, each with its read positions,
// envelopes and gain, mixed into stereo through the resampler and a final guard. Audio
// thread only: no lock, no allocation, no I/O after construction.

#include "platform/audio/command_queue.h"
#include "platform/audio/decoder.h"
#include "platform/audio/resampler.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace velmora::audio {

struct Ramp {
    float value = 0.0f;
    float from = 0.0f;
    float to = 0.0f;
    int pos = 0;
    int len = 0;

    void start(float target, int length)
    {
        from = value;
        to = target;
        pos = 0;
        len = target == value ? 0 : length;
    }
    void set(float v)
    {
        value = from = to = v;
        pos = len = 0;
    }
    bool moving() const { return pos < len; }
    float next(const float *table)
    {
        if (pos < len) {
            value = from + (to - from) * table[pos];
            if (++pos == len) value = to;
        }
        return value;
    }
};

// A read position into a sample with its own envelope. The main head is the stream's
// position; tails are old positions fading out after a seek, so a rewind while sounding
// crossfades instead of jumping.
struct Head {
    bool active = false;
    std::int64_t ipos = 0;
    std::uint64_t frac = 0;  // of a frame, in units of 2^-64
    Ramp env;
};

struct Voice {
    AudioHandle handle = 0;
    const Sample *sample = nullptr;
    bool alive = false;
    bool playing = false;
    bool releasing = false;
    double rateHz = 0.0;
    double step = 1.0;
    std::int64_t stepWhole = 1;  // step in fixed point: the frame advances exactly
    std::uint64_t stepFrac = 0;  // as a double step would, with no rounding that adds up
    float volume = 1.0f;
    Ramp gain;
    Head main;
    Head tails[2];

    bool sounding() const { return main.active || tails[0].active || tails[1].active; }
    // At the file's own rate on a whole frame, a head copies its samples: bit for bit.
    bool straight(const Head &h) const { return stepWhole == 1 && stepFrac == 0 && h.frac == 0; }
    void setStep(double s);
};

class Mixer {
public:
    static constexpr int kChunk = 256;  // most frames one mix() takes; scratch buffers are this long

    // Told on the audio thread when a freed voice has faded out: its sample is read no more.
    class Owner {
    public:
        virtual void voiceReleased(int index) = 0;

    protected:
        ~Owner() = default;
    };

    // `sinc`: the engine's, which makes a bank before any command that sets a step it needs.
    Mixer(int voices, int outputRate, int rampFrames, const SincTables &sinc, Owner &owner);

    void setMaster(float volume);
    // Voice `index` plays stream h from now on, stopped, at volume 1 and the file's rate.
    void attach(int index, AudioHandle h, const Sample *s);
    // A stream command (anything but Attach and Master) for the voice at `index`.
    void apply(int index, const Command &c);
    // Every voice as a Stop would leave it: faded out, its position kept.
    void stopAll();
    // The next n (at most kChunk) interleaved stereo frames, overwriting `out`.
    void mix(float *out, int n);

    int soundingVoices() const;
    std::uint64_t gainCapped() const { return capped_.load(std::memory_order_relaxed); }
    std::uint64_t limitedFrames() const { return limited_.load(std::memory_order_relaxed); }
    std::uint64_t nonFiniteFrames() const { return nonFinite_.load(std::memory_order_relaxed); }

private:
    void releaseIfSilent(Voice &v, int index);
    void retargetGain(Voice &v);
    void fadeOut(Head &h) { h.env.start(0.0f, rampFrames_); }
    void seek(Voice &v, std::int64_t frame);
    void limit(float *out, int n);

    Owner &owner_;
    const SincTables &sinc_;
    int outputRate_;
    int rampFrames_;
    std::vector<float> rampTable_;  // raised cosine, rampFrames long, last entry 1
    std::vector<Voice> voices_;
    float master_ = 1.0f;
    float limiterGain_ = 1.0f;
    float limiterRelease_;
    std::vector<float> mix_[2], gainBuf_, envBuf_, read_[2];
    std::atomic<std::uint64_t> capped_{0}, limited_{0}, nonFinite_{0};
};

}  // namespace velmora::audio
