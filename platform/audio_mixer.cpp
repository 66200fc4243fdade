#include "platform/audio_mixer.h"

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

// One read head of a voice added into the mix, n frames under the voice's gains `g`.
void renderHead(Voice &v, Head &h, int n, bool isMain, const SincTables &sinc, const float *tbl, const float *g,
                float *mixL, float *mixR)
{
    const Sample &s = *v.sample;
    const bool useL = !s.silent[0];
    const bool useR = s.channels == 2 ? !s.silent[1] : useL;
    const float *dL = s.at(0);
    const float *dR = s.at(s.channels == 2 ? 1 : 0);
    const double step = v.step;
    const SincBank &bk = bankFor(sinc, step);
    float coefs[kMaxTaps];

    for (int i = 0; i < n; ++i) {
        if (h.ipos >= s.frames) {
            h.active = false;
            if (isMain) v.playing = false;  // played to its end
            return;
        }
        const float e = h.env.next(tbl) * g[i];
        float l = 0.0f, r = 0.0f;
        if (step == 1.0 && h.frac == 0.0) {
            l = dL[h.ipos];
            r = dR[h.ipos];
            ++h.ipos;
        } else {
            kernelAt(bk, h.frac, coefs);
            const std::int64_t first = h.ipos - bk.half + 1;
            if (useL) l = dot(coefs, dL + first, bk.taps);
            if (useR) r = dot(coefs, dR + first, bk.taps);
            h.frac += step;
            const double whole = std::floor(h.frac);
            h.ipos += static_cast<std::int64_t>(whole);
            h.frac -= whole;
        }
        mixL[i] += l * e;
        mixR[i] += r * e;
        if (!h.env.moving() && h.env.value == 0.0f) {
            // Faded out: a stopped main head keeps its position, a tail is done.
            h.active = false;
            return;
        }
    }
}

}  // namespace

Mixer::Mixer(int voices, int outputRate, int rampFrames, Owner &owner)
    : owner_(owner), sinc_(sincTablesIfReady()), outputRate_(outputRate), rampFrames_(rampFrames)
{
    rampTable_.resize(static_cast<std::size_t>(rampFrames_));
    for (int k = 0; k < rampFrames_; ++k)
        rampTable_[static_cast<std::size_t>(k)] =
            static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * (k + 1) / rampFrames_));
    voices_.resize(static_cast<std::size_t>(voices));
    mixL_.resize(kChunk);
    mixR_.resize(kChunk);
    gainBuf_.resize(kChunk);
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
    if (g * v.sample->peak > 1.0f) {
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
    v.main.frac = 0.0;
    if (v.playing && frame < v.sample->frames) {
        v.main.active = true;
        v.main.env.start(1.0f, rampFrames_);
    } else if (v.playing) {
        v.playing = false;
    }
}

void Mixer::attach(Voice &v, const Command &c)
{
    v = Voice{};
    v.handle = c.handle;
    v.sample = c.sample;
    v.alive = true;
    v.rateHz = c.sample->rate;
    v.step = v.rateHz / outputRate_;
    v.volume = 1.0f;
    retargetGain(v);
}

void Mixer::apply(int index, const Command &c)
{
    Voice &v = voices_[static_cast<std::size_t>(index)];
    if (c.op == Op::Attach) {
        attach(v, c);
        return;
    }
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
        v.step = std::clamp(v.rateHz / outputRate_, 1e-4, kMaxStep);
        break;
    default:
        break;
    }
}

// Final guard: instant attack, 50 ms release. Exactly 1 when idle, so samples at the
// file's own rate and gain 1 pass bit for bit.
inline void Mixer::limit(float *out, int n)
{
    for (int i = 0; i < n; ++i) {
        float l = mixL_[static_cast<std::size_t>(i)];
        float r = mixR_[static_cast<std::size_t>(i)];
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
    std::fill_n(mixL_.begin(), n, 0.0f);
    std::fill_n(mixR_.begin(), n, 0.0f);
    const float *tbl = rampTable_.data();
    if (sinc_ == nullptr) sinc_ = sincTablesIfReady();
    const SincTables &sinc = sinc_ != nullptr ? *sinc_ : emptySincTables();
    // Without the tables only heads that read their samples straight can sound; the
    // engine waits for them before it lets any other kind of head exist.
    const auto ready = [&](const Voice &v, const Head &h) { return sinc_ != nullptr || (v.step == 1.0 && h.frac == 0.0); };
    for (std::size_t vi = 0; vi < voices_.size(); ++vi) {
        Voice &v = voices_[vi];
        if (!v.alive || !v.sounding()) continue;
        for (int i = 0; i < n; ++i) gainBuf_[static_cast<std::size_t>(i)] = v.gain.next(tbl);
        if (v.main.active && ready(v, v.main))
            renderHead(v, v.main, n, true, sinc, tbl, gainBuf_.data(), mixL_.data(), mixR_.data());
        for (Head &t : v.tails)
            if (t.active && ready(v, t)) renderHead(v, t, n, false, sinc, tbl, gainBuf_.data(), mixL_.data(), mixR_.data());
        releaseIfSilent(v, static_cast<int>(vi));
    }
    limit(out, n);
}

}  // namespace velmora::audio
