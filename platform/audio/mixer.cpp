#include "platform/audio/mixer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmora::audio {

namespace {

// A stream whose gain would take its peak past full scale is held at this peak instead:
// 0.009 dB under full scale, room for the resampler's passband ripple so the final guard
// never has to act on a single capped tone. Up to full scale exactly nothing is capped, so
// a 0 dBFS file at volume 1 and its own rate still passes bit for bit.
constexpr float kCeiling = 0.999f;

// Up to n frames of a resampled head's own samples, before any gain, into y0 (and y1);
// stops at the file's end and says how many it made. Taps: the bank's, 0 when known only
// at run time.
template <int Planes, int Taps>
int readResampled(const Voice &v, Head &h, const SincBank &bk, int n, float *y0, float *y1)
{
    const Sample &s = *v.sample;
    const float *x0 = s.at(0) - bk.half + 1;
    const float *x1 = Planes == 2 ? s.at(1) - bk.half + 1 : nullptr;
    const float *coef = bk.coef.data();
    const float *delta = bk.delta.data();
    const int taps = Taps != 0 ? Taps : bk.taps;
    const std::int64_t end = s.frames, whole = v.stepWhole;
    const std::uint64_t stepFrac = v.stepFrac;
    std::int64_t ipos = h.ipos;
    std::uint64_t frac = h.frac;
    int i = 0;
    for (; i < n && ipos < end; ++i) {
        float w;
        const std::size_t row = rowAt(bk, frac, w);
        if constexpr (Planes == 1) {
            if constexpr (Taps != 0)
                y0[i] = interpDot<Taps>(coef + row, delta + row, w, x0 + ipos);
            else
                y0[i] = interpDot(coef + row, delta + row, w, x0 + ipos, taps);
        } else {
            float c[kMaxTaps];
            kernelAt(coef + row, delta + row, w, c, taps);
            y0[i] = dot(c, x0 + ipos, taps);
            y1[i] = dot(c, x1 + ipos, taps);
        }
        const std::uint64_t next = frac + stepFrac;
        ipos += whole + (next < frac ? 1 : 0);
        frac = next;
    }
    h.ipos = ipos;
    h.frac = frac;
    return i;
}

// One read head of a voice added into the mix, n frames under the voice's gains `g`.
void renderHead(Voice &v, Head &h, int n, bool isMain, const SincTables &sinc, const float *tbl, const float *g,
                float *env, float *const read[2], float *const mix[2])
{
    const Sample &s = *v.sample;
    // A fade to zero ends the head: no frame past it is read, so that a stopped main head
    // keeps the position where it fell silent.
    int m = n;
    if (h.env.moving() && h.env.to == 0.0f)
        m = std::min(n, h.env.len - h.env.pos);
    else if (!h.env.moving() && h.env.value == 0.0f)
        m = std::min(n, 1);

    const float *y0 = read[0], *y1 = read[1];
    int k = 0;
    if (v.straight(h)) {
        k = static_cast<int>(std::clamp<std::int64_t>(s.frames - h.ipos, 0, m));
        y0 = s.at(0) + h.ipos;
        if (s.planes() == 2) y1 = s.at(1) + h.ipos;
        h.ipos += k;
    } else {
        const SincBank &bk = bankFor(sinc, v.step);
        if (s.planes() == 2)
            k = readResampled<2, 0>(v, h, bk, m, read[0], read[1]);
        else if (bk.taps == kToneTaps)
            k = readResampled<1, kToneTaps>(v, h, bk, m, read[0], nullptr);
        else
            k = readResampled<1, 0>(v, h, bk, m, read[0], nullptr);
    }
    for (int i = 0; i < k; ++i) env[i] = h.env.next(tbl) * g[i];

    switch (s.layout) {
    case Layout::Left:
    case Layout::Right: {
        float *out = mix[s.layout == Layout::Right ? 1 : 0];
        for (int i = 0; i < k; ++i) out[i] += y0[i] * env[i];
        break;
    }
    case Layout::Both:
        for (int i = 0; i < k; ++i) {
            mix[0][i] += y0[i] * env[i];
            mix[1][i] += y0[i] * env[i];
        }
        break;
    case Layout::Stereo:
        for (int i = 0; i < k; ++i) {
            mix[0][i] += y0[i] * env[i];
            mix[1][i] += y1[i] * env[i];
        }
        break;
    }

    if (k < m) {
        h.active = false;
        if (isMain) v.playing = false;  // played to its end
    } else if (!h.env.moving() && h.env.value == 0.0f) {
        h.active = false;  // faded out: a stopped main head keeps its position, a tail is done
    }
}

}  // namespace

void Voice::setStep(double s)
{
    step = s;
    const double w = std::floor(s);
    stepWhole = static_cast<std::int64_t>(w);
    stepFrac = static_cast<std::uint64_t>(std::ldexp(s - w, 64));
}

Mixer::Mixer(int voices, int outputRate, int rampFrames, const SincTables &sinc, Owner &owner)
    : owner_(owner), sinc_(sinc), outputRate_(outputRate), rampFrames_(rampFrames)
{
    rampTable_.resize(static_cast<std::size_t>(rampFrames_));
    for (int k = 0; k < rampFrames_; ++k)
        rampTable_[static_cast<std::size_t>(k)] =
            static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * (k + 1) / rampFrames_));
    voices_.resize(static_cast<std::size_t>(voices));
    for (auto *buf : {&mix_[0], &mix_[1], &gainBuf_, &envBuf_, &read_[0], &read_[1]}) buf->resize(kChunk);
    limiterRelease_ = static_cast<float>(1.0 - std::exp(-1.0 / (0.05 * outputRate_)));
}

void Mixer::setMaster(float volume)
{
    master_ = volume;
    for (Voice &v : voices_)
        if (v.alive && !v.releasing) retargetGain(v);
}

int Mixer::soundingVoices() const
{
    int count = 0;
    for (const Voice &v : voices_) count += v.alive && v.sounding();
    return count;
}

void Mixer::releaseIfSilent(Voice &v, int index)
{
    if (!v.releasing || v.sounding()) return;
    v.alive = false;
    v.releasing = false;
    v.sample = nullptr;
    owner_.voiceReleased(index);
}

void Mixer::retargetGain(Voice &v)
{
    float g = v.volume * master_;
    if (!Audio_GainFits(v.volume, master_, v.sample->peak)) {
        g = kCeiling / v.sample->peak;
        capped_.fetch_add(1, std::memory_order_relaxed);
    }
    if (!v.playing && v.gain.value == 0.0f && !v.gain.moving()) {
        // Muted and stopped: what is still fading out is silent. Raising the gain under
        // it would bring a fading tail back for a few milliseconds (a blip after every
        // "mute, stop, rewind, volume up").
        v.main.active = v.tails[0].active = v.tails[1].active = false;
    }
    if (v.sounding())
        v.gain.start(g, rampFrames_);
    else
        v.gain.set(g);  // nothing sounds: no ramp needed, and none left over for the next play
}

void Mixer::seek(Voice &v, std::int64_t frame)
{
    if (v.main.active) {
        // Hand the sounding position to a tail and fade it out; prefer an idle tail,
        // else the quietest one.
        Head *tail = &v.tails[0];
        if (v.tails[0].active) {
            tail = &v.tails[1];
            if (v.tails[1].active && v.tails[1].env.value > v.tails[0].env.value) tail = &v.tails[0];
        }
        *tail = v.main;
        fadeOut(*tail);
        v.main.env.set(0.0f);
        v.main.active = false;
    }
    v.main.ipos = frame;
    v.main.frac = 0;
    if (v.playing && frame < v.sample->frames) {
        v.main.active = true;
        v.main.env.start(1.0f, rampFrames_);
    } else if (v.playing) {
        v.playing = false;
    }
}

void Mixer::attach(int index, AudioHandle h, const Sample *s)
{
    Voice &v = voices_[static_cast<std::size_t>(index)];
    v = Voice{};
    v.handle = h;
    v.sample = s;
    v.alive = true;
    v.rateHz = s->rate;
    v.setStep(v.rateHz / outputRate_);
    v.volume = 1.0f;
    retargetGain(v);
}

void Mixer::apply(int index, const Command &c)
{
    Voice &v = voices_[static_cast<std::size_t>(index)];
    if (!v.alive || v.releasing || v.handle != c.handle) return;
    switch (c.op) {
    case Op::Free:
        v.releasing = true;
        v.playing = false;
        for (Head *h : {&v.main, &v.tails[0], &v.tails[1]})
            if (h->active) fadeOut(*h);
        releaseIfSilent(v, index);
        break;
    case Op::Play:
        if (c.restart) {
            v.playing = true;
            seek(v, 0);
        } else if (!v.playing) {
            if (v.main.ipos < v.sample->frames) {
                v.playing = true;
                v.main.active = true;
                v.main.env.start(1.0f, rampFrames_);
            }
        }
        break;
    case Op::Stop:
        if (v.playing) {
            v.playing = false;
            fadeOut(v.main);
        }
        break;
    case Op::Seek:
        seek(v, c.frame);
        break;
    case Op::Volume:
        v.volume = static_cast<float>(c.value);
        retargetGain(v);
        break;
    case Op::Rate:
        v.rateHz = c.value > 0.0 ? c.value : v.sample->rate;
        v.setStep(std::clamp(v.rateHz / outputRate_, 1e-4, kMaxStep));
        break;
    default:
        break;
    }
}

void Mixer::stopAll()
{
    for (Voice &v : voices_) {
        if (v.alive && !v.releasing && v.playing) {
            v.playing = false;
            fadeOut(v.main);
        }
    }
}

// Final guard: instant attack, 50 ms release. Exactly 1 when idle, so samples at the
// file's own rate and gain 1 pass bit for bit.
inline void Mixer::limit(float *out, int n)
{
    for (int i = 0; i < n; ++i) {
        float l = mix_[0][static_cast<std::size_t>(i)];
        float r = mix_[1][static_cast<std::size_t>(i)];
        // The guard below zeroes what is not a number: count it here, where a test can
        // still see that the mix itself went wrong.
        if (!std::isfinite(l) || !std::isfinite(r)) nonFinite_.fetch_add(1, std::memory_order_relaxed);
        const float peak = std::max(std::abs(l), std::abs(r));
        if (peak * limiterGain_ > 1.0f) {
            limiterGain_ = 1.0f / peak;
            limited_.fetch_add(1, std::memory_order_relaxed);
        }
        l *= limiterGain_;
        r *= limiterGain_;
        if (limiterGain_ < 1.0f) {
            limiterGain_ += (1.0f - limiterGain_) * limiterRelease_;
            if (limiterGain_ > 0.99999f) limiterGain_ = 1.0f;
        }
        out[2 * i] = std::isfinite(l) ? std::clamp(l, -1.0f, 1.0f) : 0.0f;
        out[2 * i + 1] = std::isfinite(r) ? std::clamp(r, -1.0f, 1.0f) : 0.0f;
    }
}

void Mixer::mix(float *out, int n)
{
    std::fill_n(mix_[0].begin(), n, 0.0f);
    std::fill_n(mix_[1].begin(), n, 0.0f);
    const float *tbl = rampTable_.data();
    float *const read[2] = {read_[0].data(), read_[1].data()};
    float *const mix[2] = {mix_[0].data(), mix_[1].data()};
    for (std::size_t vi = 0; vi < voices_.size(); ++vi) {
        Voice &v = voices_[vi];
        if (!v.alive || !v.sounding()) continue;
        for (int i = 0; i < n; ++i) gainBuf_[static_cast<std::size_t>(i)] = v.gain.next(tbl);
        if (v.main.active) renderHead(v, v.main, n, true, sinc_, tbl, gainBuf_.data(), envBuf_.data(), read, mix);
        for (Head &t : v.tails)
            if (t.active) renderHead(v, t, n, false, sinc_, tbl, gainBuf_.data(), envBuf_.data(), read, mix);
        releaseIfSilent(v, static_cast<int>(vi));
    }
    limit(out, n);
}

}  // namespace velmora::audio
