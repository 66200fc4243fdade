#include "platform/audio_engine.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

namespace velmora::audio {

namespace {

// ---- band-limited interpolation -------------------------------------------------------
// Kaiser-windowed sinc, 16 zero crossings each side at unit step, beta 12 (about 118 dB
// sidelobes): images of a 12 kHz tone land deep in the stop band, and the table
// interpolation error stays near -120 dB. Four banks by step: the wider ones lower the
// cutoff (and widen the kernel) so that faster playback does not alias.
constexpr int kHalfWidth = 16;
constexpr double kBeta = 12.0;
constexpr int kPhases = 2048;  // linear interpolation between 2048 phases per input sample
constexpr double kBankStep[] = {1.0, 1.3, 2.6, 5.2};
constexpr int kBanks = 4;
constexpr int kMaxHalf = 84;            // ceil(16 * 5.2)
constexpr int kMaxTaps = 2 * kMaxHalf;  // widest kernel
constexpr int kPad = kMaxHalf + 8;      // zeros around every decoded channel: no bounds checks
constexpr double kMaxStep = 5.2;

// A stream whose gain would take its peak past full scale is held at this peak instead:
// 0.009 dB under full scale, room for the resampler's passband ripple so the final guard
// never has to act on a single capped tone. Up to full scale exactly nothing is capped, so
// a 0 dBFS file at volume 1 and its own rate still passes bit for bit.
constexpr float kCeiling = 0.999f;
constexpr int kChunk = 256;  // frames mixed at a time; scratch buffers are this long
constexpr std::int64_t kMaxDecodedSamples = std::int64_t{1} << 27;  // 512 MB of floats

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

struct SincBank {
    int half = 0;
    int taps = 0;
    std::vector<float> coef;   // kPhases rows of taps
    std::vector<float> delta;  // next row minus this row
};

struct SincTables {
    SincBank bank[kBanks];

    SincTables()
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
};

const SincTables &sincTables()
{
    static const SincTables tables;  // built once, on the first engine's constructing thread
    return tables;
}

// ---- decoded sound ---------------------------------------------------------------------
struct Sample {
    int fileChannels = 0;
    int channels = 0;  // 1 or 2 kept; a mono file feeds both outputs
    int rate = 0;
    std::int64_t frames = 0;
    std::vector<float> data[2];  // planar, kPad zeros on both sides
    bool silent[2] = {true, true};
    float peak = 0.0f;

    const float *at(int c) const { return data[c].data() + kPad; }
};

std::unique_ptr<Sample> makeSample(const float *interleaved, std::int64_t frames, int channels, int rate)
{
    auto s = std::make_unique<Sample>();
    s->fileChannels = channels;
    s->channels = std::min(channels, 2);
    s->rate = rate;
    s->frames = frames;
    for (int c = 0; c < s->channels; ++c) {
        auto &v = s->data[c];
        v.assign(static_cast<std::size_t>(frames + 2 * kPad), 0.0f);
        for (std::int64_t i = 0; i < frames; ++i) {
            float x = interleaved[i * channels + c];
            if (!std::isfinite(x)) x = 0.0f;
            v[static_cast<std::size_t>(i + kPad)] = x;
            if (x != 0.0f) s->silent[c] = false;
            s->peak = std::max(s->peak, std::abs(x));
        }
    }
    return s;
}

// Reads every frame of an open file and closes it.
std::unique_ptr<Sample> decodeOpened(SNDFILE *f, const SF_INFO &info)
{
    if (!f) return nullptr;
    std::unique_ptr<Sample> result;
    if (info.channels >= 1 && info.channels <= 64 && info.samplerate > 0 && info.samplerate <= 1'000'000) {
        // The declared length is not trusted: a header can claim gigabytes. Read in
        // chunks until the data ends, up to a hard cap.
        sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        std::vector<float> frames;
        const std::int64_t ch = info.channels;
        const std::int64_t declared = std::clamp<std::int64_t>(info.frames, 0, std::int64_t{1} << 22);
        frames.reserve(static_cast<std::size_t>(declared * ch));
        std::vector<float> chunk(static_cast<std::size_t>(4096 * ch));
        for (;;) {
            const sf_count_t got = sf_readf_float(f, chunk.data(), 4096);
            if (got <= 0) break;
            if (static_cast<std::int64_t>(frames.size()) + got * ch > kMaxDecodedSamples) break;
            frames.insert(frames.end(), chunk.begin(), chunk.begin() + got * ch);
        }
        const std::int64_t n = static_cast<std::int64_t>(frames.size()) / ch;
        if (n > 0) result = makeSample(frames.data(), n, info.channels, info.samplerate);
    }
    sf_close(f);
    return result;
}

std::unique_ptr<Sample> decodeFile(const char *path)
{
    SF_INFO info{};
    return decodeOpened(sf_open(path, SFM_READ, &info), info);
}

// A read-only file over a caller's buffer, for libsndfile's virtual I/O.
struct MemoryFile {
    const unsigned char *data;
    sf_count_t size;
    sf_count_t pos = 0;
};

sf_count_t memLength(void *user) { return static_cast<MemoryFile *>(user)->size; }

sf_count_t memSeek(sf_count_t offset, int whence, void *user)
{
    auto *m = static_cast<MemoryFile *>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = m->pos;
    else if (whence == SEEK_END) base = m->size;
    else if (whence != SEEK_SET) return -1;
    // Offsets come from the file's own headers: keep the sum from overflowing.
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    m->pos = base + offset;
    return m->pos;
}

sf_count_t memRead(void *ptr, sf_count_t count, void *user)
{
    auto *m = static_cast<MemoryFile *>(user);
    if (count <= 0 || m->pos >= m->size) return 0;
    const sf_count_t n = std::min(count, m->size - m->pos);
    std::memcpy(ptr, m->data + m->pos, static_cast<std::size_t>(n));
    m->pos += n;
    return n;
}

sf_count_t memWrite(const void *, sf_count_t, void *) { return 0; }
sf_count_t memTell(void *user) { return static_cast<MemoryFile *>(user)->pos; }

std::unique_ptr<Sample> decodeMemory(const void *data, std::size_t size)
{
    MemoryFile file{static_cast<const unsigned char *>(data), static_cast<sf_count_t>(size)};
    SF_VIRTUAL_IO io{memLength, memSeek, memRead, memWrite, memTell};
    SF_INFO info{};
    return decodeOpened(sf_open_virtual(&io, SFM_READ, &info, &file), info);
}

// ---- command queue ---------------------------------------------------------------------
enum class Op : std::uint8_t { Attach, Free, Play, Stop, Seek, Volume, Rate, Master };

struct Command {
    Op op = Op::Play;
    bool restart = false;
    AudioHandle handle = 0;
    std::int64_t stamp = 0;
    std::int64_t frame = 0;  // seek target; on the audio side, the output frame to apply at
    double value = 0.0;
    Sample *sample = nullptr;
};

// Bounded multi-producer queue (Vyukov): a push never blocks, a full queue refuses.
class CommandQueue {
public:
    explicit CommandQueue(int capacity)
    {
        std::size_t n = 1;
        while (n < static_cast<std::size_t>(capacity)) n <<= 1;
        cells_ = std::make_unique<Cell[]>(n);
        mask_ = n - 1;
        for (std::size_t i = 0; i < n; ++i) cells_[i].seq.store(i, std::memory_order_relaxed);
    }

    bool push(const Command &c)
    {
        std::size_t pos = tail_.load(std::memory_order_relaxed);
        for (;;) {
            Cell &cell = cells_[pos & mask_];
            const std::size_t seq = cell.seq.load(std::memory_order_acquire);
            const auto diff = static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(pos);
            if (diff == 0) {
                if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    cell.cmd = c;
                    cell.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;
            } else {
                pos = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    // Single consumer: the audio thread.
    bool pop(Command &out)
    {
        Cell &cell = cells_[head_ & mask_];
        const std::size_t seq = cell.seq.load(std::memory_order_acquire);
        if (static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(head_ + 1) < 0) return false;
        out = cell.cmd;
        cell.seq.store(head_ + mask_ + 1, std::memory_order_release);
        ++head_;
        return true;
    }

private:
    struct Cell {
        std::atomic<std::size_t> seq{0};
        Command cmd;
    };
    std::unique_ptr<Cell[]> cells_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::size_t head_ = 0;
};

// ---- audio-side state ------------------------------------------------------------------
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
    double frac = 0.0;
    Ramp env;
};

struct Voice {
    AudioHandle handle = 0;
    Sample *sample = nullptr;
    bool alive = false;
    bool playing = false;
    bool releasing = false;
    double rateHz = 0.0;
    double step = 1.0;
    float volume = 1.0f;
    Ramp gain;
    Head main;
    Head tails[2];
};

struct CtrlSlot {
    std::atomic<AudioHandle> handle{0};  // live handle, 0 when free or freed
    std::atomic<bool> released{false};   // audio side is done with the sample
    std::atomic<int> fileChannels{1};      // set before the handle is published
    std::atomic<std::int64_t> frames{0};
    std::atomic<float> peak{0.0f};
    std::uint32_t generation = 0;
    bool used = false;
    Sample *sample = nullptr;
};

constexpr int kIndexBits = 12;
constexpr AudioHandle kIndexMask = (1u << kIndexBits) - 1;

}  // namespace

// ---- FrameClock --------------------------------------------------------------------------
FrameClock::FrameClock(double nominalRate) : nominal_(nominalRate), slope_(nominalRate), anchorSlope_(nominalRate) {}

void FrameClock::reset()
{
    count_ = next_ = 0;
    lastT_ = 0.0;
    settled_ = false;
    slope_ = nominal_;
    anchorSlope_ = nominal_;
    intercept_ = 0.0;
    offLine_ = 0;
}

void FrameClock::observe(std::int64_t timeNs, std::int64_t frame)
{
    // A device starts by filling the server's buffer in a quick run of callbacks; those
    // pairs say nothing about the steady pace and would pull the fit for seconds. Start
    // afresh once, after the first quarter second.
    if (count_ == 0 && !settled_) firstNs_ = timeNs;
    if (!settled_ && timeNs - firstNs_ > 250'000'000) {
        settled_ = true;
        count_ = next_ = 0;
    }
    if (count_ > 1 && std::abs(static_cast<double>(frame) - frameAt(timeNs)) > kStepSeconds * nominal_) {
        // The slope from before the step: the points off the line have tilted the fit since.
        if (offLine_ == 0) slopeBeforeStep_ = slope_;
        if (++offLine_ >= kStepCallbacks) {
            anchorSlope_ = slopeBeforeStep_;
            count_ = next_ = 0;
            offLine_ = 0;
        }
    } else {
        offLine_ = 0;
    }
    if (count_ == 0) {
        originNs_ = timeNs;
        originFrame_ = frame;
    }
    t_[next_] = static_cast<double>(timeNs - originNs_) * 1e-9;
    f_[next_] = static_cast<double>(frame - originFrame_);
    next_ = (next_ + 1) % kWindow;
    count_ = std::min(count_ + 1, kWindow);

    double mt = 0.0, mf = 0.0;
    for (int i = 0; i < count_; ++i) {
        mt += t_[i];
        mf += f_[i];
    }
    mt /= count_;
    mf /= count_;
    double stt = 0.0, stf = 0.0;
    for (int i = 0; i < count_; ++i) {
        stt += (t_[i] - mt) * (t_[i] - mt);
        stf += (t_[i] - mt) * (f_[i] - mf);
    }
    // The slope is trusted only over a window of several seconds: callbacks arrive with
    // milliseconds of jitter, and over half a second that alone tilts a fitted slope by
    // a percent. Then it follows the device clock's drift, within a plausible 0.2 %.
    const int newest = (next_ + kWindow - 1) % kWindow;
    const int oldest = count_ < kWindow ? 0 : next_;
    double slope = anchorSlope_;
    if (stt > 0.0 && t_[newest] - t_[oldest] >= 4.0)
        slope = std::clamp(stf / stt, nominal_ * 0.998, nominal_ * 1.002);
    double intercept = mf - slope * mt;

    // The fitted line pivots about the window's mean point, seconds back: a new slope (the
    // switch from the nominal one after 4 s, or jitter) or one late callback moves the
    // mapping of the present by milliseconds at once, and a play and its mute 200 ms apart
    // would land 2 ms too close or too far. So the present may move against the previous
    // line by at most 1 ms per second; a real step (the server lost a buffer) is followed
    // within seconds, while any 200 ms stays exact to 0.2 ms.
    const double tNow = t_[newest];
    if (count_ > 1) {
        const double before = intercept_ + slope_ * tNow;
        const double after = intercept + slope * tNow;
        const double allowed = kMaxSlew * nominal_ * std::max(tNow - lastT_, 0.0);
        const double moved = std::clamp(after - before, -allowed, allowed);
        intercept += before + moved - after;
    }
    lastT_ = tNow;
    slope_ = slope;
    intercept_ = intercept;
}

double FrameClock::frameAt(std::int64_t timeNs) const
{
    const double t = static_cast<double>(timeNs - originNs_) * 1e-9;
    return static_cast<double>(originFrame_) + intercept_ + slope_ * t;
}

// ---- Engine ------------------------------------------------------------------------------
struct Engine::Impl {
    EngineConfig cfg;
    int latencyFrames = 0;
    int rampFrames = 0;
    std::vector<float> rampTable;  // raised cosine, rampFrames long, last entry 1
    const SincTables &sinc = sincTables();

    // control side
    std::mutex ctrlMutex;
    std::unique_ptr<CtrlSlot[]> ctrl;
    std::vector<int> freeSlots;  // guarded by ctrlMutex
    std::atomic<bool> consumerless{false};
    std::atomic<std::int64_t> virtualNs{0};
    CommandQueue queue;

    // audio side
    std::vector<Voice> voices;
    std::vector<Command> pending;  // FIFO ring, target frames non-decreasing
    std::size_t pendHead = 0, pendCount = 0;
    std::int64_t lastTarget = 0;
    FrameClock clock;
    bool sawPlayout = false;
    float master = 1.0f;
    float limiterGain = 1.0f;
    float limiterRelease = 0.0f;
    std::vector<float> mixL, mixR, gainBuf;

    std::atomic<std::uint64_t> framesRendered{0}, applied{0}, late{0}, dropped{0}, capped{0}, limited{0}, live{0};
    // For the output's watchdog: whether a stalled device is keeping sound from the user.
    std::atomic<int> sounding{0};                // voices with a head still running after the last render
    std::atomic<std::int64_t> lastSendNs{-1};    // stamp of the newest command
    std::atomic<std::int64_t> lastRenderNs{-1};  // when the last render ended
    std::atomic<bool> timingReset{false};        // a new device: forget the old one's frame timing

    explicit Impl(const EngineConfig &c)
        : cfg(c), queue(c.queueCapacity), clock(c.outputRate)
    {
        cfg.capacity = std::clamp(cfg.capacity, 1, static_cast<int>(kIndexMask));
        latencyFrames = static_cast<int>(std::lround(cfg.latencySeconds * cfg.outputRate));
        rampFrames = std::max(1, static_cast<int>(std::lround(cfg.rampSeconds * cfg.outputRate)));
        rampTable.resize(static_cast<std::size_t>(rampFrames));
        for (int k = 0; k < rampFrames; ++k)
            rampTable[static_cast<std::size_t>(k)] =
                static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * (k + 1) / rampFrames));
        ctrl = std::make_unique<CtrlSlot[]>(static_cast<std::size_t>(cfg.capacity));
        for (int i = cfg.capacity - 1; i >= 0; --i) freeSlots.push_back(i);
        voices.resize(static_cast<std::size_t>(cfg.capacity));
        pending.resize(static_cast<std::size_t>(std::max(16, cfg.queueCapacity)));
        mixL.resize(kChunk);
        mixR.resize(kChunk);
        gainBuf.resize(kChunk);
        limiterRelease = static_cast<float>(1.0 - std::exp(-1.0 / (0.05 * cfg.outputRate)));
    }

    ~Impl()
    {
        for (int i = 0; i < cfg.capacity; ++i) delete ctrl[i].sample;
    }

    // -- control side --
    int indexOf(AudioHandle h) const
    {
        const int i = static_cast<int>(h & kIndexMask) - 1;
        return (h != 0 && i >= 0 && i < cfg.capacity) ? i : -1;
    }

    const CtrlSlot *live_slot(AudioHandle h) const
    {
        const int i = indexOf(h);
        if (i < 0 || ctrl[i].handle.load(std::memory_order_acquire) != h) return nullptr;
        return &ctrl[i];
    }

    std::int64_t nowNs() const
    {
        if (cfg.offline) return virtualNs.load(std::memory_order_acquire);
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool send(Command c)
    {
        if (consumerless.load(std::memory_order_relaxed)) return true;
        c.stamp = nowNs();
        lastSendNs.store(c.stamp, std::memory_order_relaxed);
        if (queue.push(c)) return true;
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    // Caller holds ctrlMutex.
    void reclaim()
    {
        for (int i = 0; i < cfg.capacity; ++i) {
            CtrlSlot &s = ctrl[i];
            if (s.used && s.released.load(std::memory_order_acquire)) {
                delete s.sample;
                s.sample = nullptr;
                s.used = false;
                s.released.store(false, std::memory_order_relaxed);
                freeSlots.push_back(i);
            }
        }
    }

    AudioHandle attach(std::unique_ptr<Sample> sample)
    {
        if (!sample) return 0;
        std::lock_guard lock(ctrlMutex);
        reclaim();
        if (freeSlots.empty()) return 0;
        const int i = freeSlots.back();
        CtrlSlot &s = ctrl[i];
        s.generation = (s.generation + 1) & ((1u << (32 - kIndexBits)) - 1);
        if (s.generation == 0) s.generation = 1;
        const AudioHandle h = (s.generation << kIndexBits) | static_cast<AudioHandle>(i + 1);
        Command c;
        c.op = Op::Attach;
        c.handle = h;
        c.sample = sample.get();
        if (!consumerless.load(std::memory_order_relaxed) && !queue.push(c)) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return 0;
        }
        freeSlots.pop_back();
        s.used = true;
        s.sample = sample.release();
        s.released.store(false, std::memory_order_relaxed);
        s.fileChannels.store(s.sample->fileChannels, std::memory_order_relaxed);
        s.frames.store(s.sample->frames, std::memory_order_relaxed);
        s.peak.store(s.sample->peak, std::memory_order_relaxed);
        s.handle.store(h, std::memory_order_release);
        live.fetch_add(1, std::memory_order_relaxed);
        return h;
    }

    bool free(AudioHandle h)
    {
        std::lock_guard lock(ctrlMutex);
        const int i = indexOf(h);
        if (i < 0) return false;
        CtrlSlot &s = ctrl[i];
        AudioHandle expected = h;
        if (!s.handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
        live.fetch_sub(1, std::memory_order_relaxed);
        Command c;
        c.op = Op::Free;
        c.handle = h;
        if (consumerless.load(std::memory_order_relaxed)) {
            s.released.store(true, std::memory_order_release);
        } else if (!send(c)) {
            // The audio thread never hears of it: the slot stays taken (and may go on
            // sounding) rather than free memory the mixer could still read.
            return true;
        }
        reclaim();
        return true;
    }

    // -- audio side --
    void releaseIfSilent(Voice &v, int index)
    {
        if (!v.releasing || v.main.active || v.tails[0].active || v.tails[1].active) return;
        v.alive = false;
        v.releasing = false;
        v.sample = nullptr;
        ctrl[index].released.store(true, std::memory_order_release);
    }

    void retargetGain(Voice &v)
    {
        float g = v.volume * master;
        if (g * v.sample->peak > 1.0f) {
            g = kCeiling / v.sample->peak;
            capped.fetch_add(1, std::memory_order_relaxed);
        }
        if (v.main.active || v.tails[0].active || v.tails[1].active)
            v.gain.start(g, rampFrames);
        else
            v.gain.set(g);  // nothing sounds: no ramp needed, and none left over for the next play
    }

    void fadeOut(Head &h) { h.env.start(0.0f, rampFrames); }

    void seek(Voice &v, std::int64_t frame)
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
            v.main.env.start(1.0f, rampFrames);
        } else if (v.playing) {
            v.playing = false;
        }
    }

    void apply(const Command &c)
    {
        applied.fetch_add(1, std::memory_order_relaxed);
        if (c.op == Op::Master) {
            master = static_cast<float>(c.value);
            for (Voice &v : voices)
                if (v.alive && !v.releasing) retargetGain(v);
            return;
        }
        const int index = indexOf(c.handle);
        if (index < 0) return;
        Voice &v = voices[static_cast<std::size_t>(index)];
        if (c.op == Op::Attach) {
            v = Voice{};
            v.handle = c.handle;
            v.sample = c.sample;
            v.alive = true;
            v.rateHz = c.sample->rate;
            v.step = v.rateHz / cfg.outputRate;
            v.volume = 1.0f;
            retargetGain(v);
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
                    v.main.env.start(1.0f, rampFrames);
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
            v.step = std::clamp(v.rateHz / cfg.outputRate, 1e-4, kMaxStep);
            break;
        default:
            break;
        }
    }

    std::int64_t targetFrame(const Command &c, std::int64_t blockStart)
    {
        if (c.op == Op::Attach) return std::max(blockStart, lastTarget);
        std::int64_t f;
        if (cfg.offline) {
            const std::int64_t r = cfg.outputRate;
            f = (c.stamp / 1'000'000'000) * r + ((c.stamp % 1'000'000'000) * r + 500'000'000) / 1'000'000'000;
            f += latencyFrames;
        } else if (clock.ready()) {
            f = std::llround(clock.frameAt(c.stamp)) + latencyFrames;
        } else {
            f = blockStart;  // before the first callback there is no timing to honour
        }
        if (f < blockStart) {
            late.fetch_add(1, std::memory_order_relaxed);
            f = blockStart;
        }
        return std::max(f, lastTarget);  // queue order is kept: a later call never lands first
    }

    void drain(std::int64_t blockStart)
    {
        Command c;
        while (pendCount < pending.size() && queue.pop(c)) {
            const std::int64_t target = targetFrame(c, blockStart);
            lastTarget = target;
            Command &slot = pending[(pendHead + pendCount) % pending.size()];
            slot = c;
            slot.stamp = target;  // the audio side keeps the target frame in the stamp field
            ++pendCount;
        }
    }

    void renderHead(Voice &v, Head &h, int n, bool isMain)
    {
        const Sample &s = *v.sample;
        const float *tbl = rampTable.data();
        const float *g = gainBuf.data();
        const bool useL = !s.silent[0];
        const bool useR = s.channels == 2 ? !s.silent[1] : useL;
        const float *dL = s.at(0);
        const float *dR = s.at(s.channels == 2 ? 1 : 0);
        const double step = v.step;
        int bank = 0;
        while (bank < kBanks - 1 && step > kBankStep[bank]) ++bank;
        const SincBank &bk = sinc.bank[bank];
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
                const double phase = h.frac * kPhases;
                const int j = std::min(static_cast<int>(phase), kPhases - 1);
                const float w = static_cast<float>(phase - j);
                const float *a = &bk.coef[static_cast<std::size_t>(j) * bk.taps];
                const float *d = &bk.delta[static_cast<std::size_t>(j) * bk.taps];
                for (int k = 0; k < bk.taps; ++k) coefs[k] = a[k] + w * d[k];
                const std::int64_t first = h.ipos - bk.half + 1;
                if (useL) l = dot(coefs, dL + first, bk.taps);
                if (useR) r = dot(coefs, dR + first, bk.taps);
                h.frac += step;
                const double whole = std::floor(h.frac);
                h.ipos += static_cast<std::int64_t>(whole);
                h.frac -= whole;
            }
            mixL[static_cast<std::size_t>(i)] += l * e;
            mixR[static_cast<std::size_t>(i)] += r * e;
            if (!h.env.moving() && h.env.value == 0.0f) {
                // Faded out: a stopped main head keeps its position, a tail is done.
                h.active = false;
                return;
            }
        }
    }

    void mix(float *out, int n)
    {
        std::fill_n(mixL.begin(), n, 0.0f);
        std::fill_n(mixR.begin(), n, 0.0f);
        const float *tbl = rampTable.data();
        for (std::size_t vi = 0; vi < voices.size(); ++vi) {
            Voice &v = voices[vi];
            if (!v.alive) continue;
            if (!v.main.active && !v.tails[0].active && !v.tails[1].active) continue;
            for (int i = 0; i < n; ++i) gainBuf[static_cast<std::size_t>(i)] = v.gain.next(tbl);
            if (v.main.active) renderHead(v, v.main, n, true);
            for (Head &t : v.tails)
                if (t.active) renderHead(v, t, n, false);
            releaseIfSilent(v, static_cast<int>(vi));
        }
        // Final guard: instant attack, 50 ms release. Exactly 1 when idle, so samples at
        // the file's own rate and gain 1 pass bit for bit.
        for (int i = 0; i < n; ++i) {
            float l = mixL[static_cast<std::size_t>(i)];
            float r = mixR[static_cast<std::size_t>(i)];
            const float peak = std::max(std::abs(l), std::abs(r));
            if (peak * limiterGain > 1.0f) {
                limiterGain = 1.0f / peak;
                limited.fetch_add(1, std::memory_order_relaxed);
            }
            l *= limiterGain;
            r *= limiterGain;
            if (limiterGain < 1.0f) {
                limiterGain += (1.0f - limiterGain) * limiterRelease;
                if (limiterGain > 0.99999f) limiterGain = 1.0f;
            }
            out[2 * i] = std::isfinite(l) ? std::clamp(l, -1.0f, 1.0f) : 0.0f;
            out[2 * i + 1] = std::isfinite(r) ? std::clamp(r, -1.0f, 1.0f) : 0.0f;
        }
    }

    void render(float *out, int frames, std::int64_t firstFrameNs)
    {
        const std::int64_t blockStart = static_cast<std::int64_t>(framesRendered.load(std::memory_order_relaxed));
        if (timingReset.exchange(false, std::memory_order_acquire)) {
            clock.reset();
            sawPlayout = false;
        }
        if (!cfg.offline) {
            // Play-out times and call times differ by the device's buffer: never mix them
            // in one fit. Once the device has told a play-out time, only those count.
            if (firstFrameNs >= 0 && !sawPlayout) {
                sawPlayout = true;
                clock.reset();
            }
            if (firstFrameNs >= 0)
                clock.observe(firstFrameNs, blockStart);
            else if (!sawPlayout)
                clock.observe(nowNs(), blockStart);
        }
        drain(blockStart);
        // A full ring leaves commands in the queue. Taken in only at the next block, they
        // would land late by up to a block; so they come in as soon as room frees.
        bool ringFull = pendCount == pending.size();
        int pos = 0;
        while (pos < frames) {
            const std::int64_t here = blockStart + pos;
            while (pendCount > 0 && pending[pendHead].stamp <= here) {
                apply(pending[pendHead]);
                pendHead = (pendHead + 1) % pending.size();
                --pendCount;
            }
            if (ringFull && pendCount < pending.size()) {
                drain(here);
                ringFull = pendCount == pending.size();
                continue;  // some may be due here already
            }
            std::int64_t n = std::min(frames - pos, kChunk);
            if (pendCount > 0) n = std::min<std::int64_t>(n, pending[pendHead].stamp - here);
            mix(out + 2 * pos, static_cast<int>(n));
            pos += static_cast<int>(n);
        }
        framesRendered.store(static_cast<std::uint64_t>(blockStart + frames), std::memory_order_relaxed);
        int count = 0;
        for (const Voice &v : voices)
            count += v.alive && (v.main.active || v.tails[0].active || v.tails[1].active);
        sounding.store(count, std::memory_order_relaxed);
        lastRenderNs.store(nowNs(), std::memory_order_relaxed);
    }
};

Engine::Engine(const EngineConfig &config) : impl_(std::make_unique<Impl>(config)) {}
Engine::~Engine() = default;

AudioHandle Engine::createFromFile(const char *path)
{
    if (!path) return 0;
    return impl_->attach(decodeFile(path));
}

AudioHandle Engine::createFromMemory(const void *data, std::size_t size)
{
    if (!data || size == 0 || size > static_cast<std::size_t>(INT64_MAX)) return 0;
    return impl_->attach(decodeMemory(data, size));
}

AudioHandle Engine::createFromFrames(const float *interleaved, std::int64_t frames, int channels, int sampleRate)
{
    if (!interleaved || frames <= 0 || channels < 1 || sampleRate <= 0 || frames * channels > kMaxDecodedSamples)
        return 0;
    return impl_->attach(makeSample(interleaved, frames, channels, sampleRate));
}

bool Engine::free(AudioHandle h) { return impl_->free(h); }

bool Engine::play(AudioHandle h, bool restart)
{
    if (!impl_->live_slot(h)) return false;
    return impl_->send({.op = Op::Play, .restart = restart, .handle = h});
}

bool Engine::stop(AudioHandle h)
{
    if (!impl_->live_slot(h)) return false;
    return impl_->send({.op = Op::Stop, .handle = h});
}

bool Engine::setPositionBytes(AudioHandle h, std::uint64_t bytes)
{
    const CtrlSlot *s = impl_->live_slot(h);
    if (!s) return false;
    // The shape is copied into the slot: a free racing with this call may already have
    // released the sample itself.
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(s->fileChannels.load(std::memory_order_relaxed)) * sizeof(float);
    const std::uint64_t frame = bytes / frameBytes;
    if (frame > static_cast<std::uint64_t>(s->frames.load(std::memory_order_relaxed))) return false;
    return impl_->send({.op = Op::Seek, .handle = h, .frame = static_cast<std::int64_t>(frame)});
}

bool Engine::setVolume(AudioHandle h, float volume)
{
    if (!std::isfinite(volume) || volume < 0.0f || !impl_->live_slot(h)) return false;
    return impl_->send({.op = Op::Volume, .handle = h, .value = volume});
}

bool Engine::setRate(AudioHandle h, float hz)
{
    if (!std::isfinite(hz) || hz < 0.0f || !impl_->live_slot(h)) return false;
    return impl_->send({.op = Op::Rate, .handle = h, .value = hz});
}

bool Engine::setMaster(float volume)
{
    if (!(volume >= 0.0f && volume <= 1.0f)) return false;
    return impl_->send({.op = Op::Master, .value = volume});
}

bool Engine::isLive(AudioHandle h) const { return impl_->live_slot(h) != nullptr; }

float Engine::peak(AudioHandle h) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    return s ? s->peak.load(std::memory_order_relaxed) : 0.0f;
}

bool Engine::soundDue() const
{
    const Impl &m = *impl_;
    return m.sounding.load(std::memory_order_relaxed) > 0 ||
           m.lastSendNs.load(std::memory_order_relaxed) > m.lastRenderNs.load(std::memory_order_relaxed);
}

void Engine::resetTiming() { impl_->timingReset.store(true, std::memory_order_release); }

void Engine::setConsumerless(bool consumerless) { impl_->consumerless.store(consumerless); }

void Engine::render(float *out, int frames, std::int64_t firstFrameNs)
{
    if (out && frames > 0) impl_->render(out, frames, firstFrameNs);
}

void Engine::setVirtualTime(std::int64_t ns) { impl_->virtualNs.store(ns, std::memory_order_release); }
std::int64_t Engine::now() const { return impl_->nowNs(); }
int Engine::outputRate() const { return impl_->cfg.outputRate; }
int Engine::latencyFrames() const { return impl_->latencyFrames; }
int Engine::rampFrames() const { return impl_->rampFrames; }

EngineCounters Engine::counters() const
{
    EngineCounters c;
    const Impl &m = *impl_;
    c.framesRendered = m.framesRendered.load(std::memory_order_relaxed);
    c.commandsApplied = m.applied.load(std::memory_order_relaxed);
    c.lateCommands = m.late.load(std::memory_order_relaxed);
    c.droppedCommands = m.dropped.load(std::memory_order_relaxed);
    c.gainCapped = m.capped.load(std::memory_order_relaxed);
    c.limitedFrames = m.limited.load(std::memory_order_relaxed);
    c.streamsLive = m.live.load(std::memory_order_relaxed);
    return c;
}

}  // namespace velmora::audio
