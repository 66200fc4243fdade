#include "platform/audio/engine.h"

#include "platform/audio/command_queue.h"
#include "platform/audio/decoder.h"
#include "platform/audio/mixer.h"
#include "platform/audio/resampler.h"
#include "platform/audio/schedule.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora::audio {

namespace {

struct CtrlSlot {
    std::atomic<AudioHandle> handle{0};  // live handle, 0 when free or freed
    std::atomic<bool> released{false};   // audio side is done with the sample
    std::atomic<int> fileChannels{1};      // set before the handle is published
    std::atomic<std::int64_t> frames{0};
    std::atomic<float> peak{0.0f};
    std::atomic<int> rate{0};
    std::atomic<std::uint32_t> silentMask{0};
    std::atomic<std::uint64_t> lastPlay{0};
    std::atomic<int> state{1};  // kSlot*: only a ready slot takes commands
    std::uint32_t generation = 0;
    bool used = false;
    Sample *sample = nullptr;
};

// A slot's samples: the audio side holds them only once ready (Engine::StreamState).
constexpr int kSlotRefused = -1;
constexpr int kSlotPending = 0;
constexpr int kSlotReady = 1;

constexpr int kIndexBits = 12;
constexpr AudioHandle kIndexMask = (1u << kIndexBits) - 1;

EngineConfig checked(EngineConfig c)
{
    c.capacity = std::clamp(c.capacity, 1, static_cast<int>(kIndexMask));
    return c;
}

// When one play began to sound. A seqlock of one writer (the audio thread): `play` is 0
// while the entry is being written, so a reader that sees the same number before and
// after reading `ns` has a whole entry.
struct PlayRecord {
    std::atomic<std::uint64_t> play{0};
    std::atomic<std::int64_t> ns{0};
};
constexpr std::int64_t kNeverNs = INT64_MIN;

}  // namespace

// The stream slots and the control side; on the audio side, the commands in the order and
// at the frames the schedule gives them, and when each play is heard. The voices
// themselves are the mixer's.
struct Engine::Impl final : Mixer::Owner {
    EngineConfig cfg;
    int latencyFrames = 0;
    int rampFrames = 0;

    // control side
    std::mutex ctrlMutex;
    std::unique_ptr<CtrlSlot[]> ctrl;
    std::vector<int> freeSlots;  // guarded by ctrlMutex
    std::atomic<bool> consumerless{false};
    std::atomic<std::uint64_t> plays{0};  // numbers given so far
    CommandQueue queue;

    // audio side
    Schedule schedule;
    Mixer mixer;

    std::array<PlayRecord, Engine::kPlaysKept> played{};

    std::atomic<std::uint64_t> framesRendered{0}, applied{0}, dropped{0}, live{0};
    // For the output's watchdog: whether a stalled device is keeping sound from the user.
    std::atomic<int> sounding{0};              // voices with a head still running after the last render
    std::atomic<std::uint64_t> queued{0};      // commands pushed (control side)
    std::atomic<std::uint64_t> taken{0};       // commands popped (audio side)
    std::atomic<int> waiting{0};               // commands taken in but due in a later render
    std::atomic<bool> timingReset{false};        // a new device: forget the old one's frame timing

    explicit Impl(const EngineConfig &c)
        : cfg(checked(c)),
          latencyFrames(static_cast<int>(std::lround(cfg.latencySeconds * cfg.outputRate))),
          rampFrames(std::max(1, static_cast<int>(std::lround(cfg.rampSeconds * cfg.outputRate)))),
          queue(c.queueCapacity),
          schedule(cfg.outputRate, latencyFrames, cfg.offline, c.queueCapacity),
          mixer(cfg.capacity, cfg.outputRate, rampFrames, *this)
    {
        ctrl = std::make_unique<CtrlSlot[]>(static_cast<std::size_t>(cfg.capacity));
        for (int i = cfg.capacity - 1; i >= 0; --i) freeSlots.push_back(i);
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

    // A live slot whose samples the audio side has: the only kind that takes commands.
    const CtrlSlot *ready_slot(AudioHandle h) const
    {
        const CtrlSlot *s = live_slot(h);
        return s && s->state.load(std::memory_order_acquire) == kSlotReady ? s : nullptr;
    }

    bool send(Command c, SysStamp at)
    {
        if (consumerless.load(std::memory_order_relaxed)) return true;
        c.stamp = at.ns;
        c.line = at.line;
        c.epoch = at.epoch;
        if (queue.push(c)) {
            queued.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    void publishPlay(std::uint64_t play, std::int64_t ns)
    {
        // Sequentially consistent, so that no reader can pair this time with another number.
        PlayRecord &r = played[play % played.size()];
        r.play.store(0);
        r.ns.store(ns);
        r.play.store(play);
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

    // A free slot with a handle of a new generation; caller holds ctrlMutex. -1 when every
    // slot is taken.
    int takeSlot()
    {
        reclaim();
        if (freeSlots.empty()) return -1;
        const int i = freeSlots.back();
        CtrlSlot &s = ctrl[i];
        s.generation = (s.generation + 1) & ((1u << (32 - kIndexBits)) - 1);
        if (s.generation == 0) s.generation = 1;
        return i;
    }
    AudioHandle handleOf(int i) const { return (ctrl[i].generation << kIndexBits) | static_cast<AudioHandle>(i + 1); }

    // Hands slot i, under handle h, its samples: the audio side attaches them before any
    // command that a caller can make on h once `state` says ready. Caller holds ctrlMutex.
    bool give(int i, AudioHandle h, std::unique_ptr<Sample> &sample)
    {
        for (int k = 0; k < cfg.capacity; ++k)
            if (ctrl[k].used && ctrl[k].sample) shareIdenticalPlanes(*sample, *ctrl[k].sample);
        Command c;
        c.op = Op::Attach;
        c.handle = h;
        c.sample = sample.get();
        if (!consumerless.load(std::memory_order_relaxed)) {
            if (!queue.push(c)) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
            queued.fetch_add(1, std::memory_order_relaxed);
        }
        CtrlSlot &s = ctrl[i];
        s.sample = sample.release();
        s.fileChannels.store(s.sample->fileChannels, std::memory_order_relaxed);
        s.frames.store(s.sample->frames, std::memory_order_relaxed);
        s.peak.store(s.sample->peak, std::memory_order_relaxed);
        s.rate.store(s.sample->rate, std::memory_order_relaxed);
        s.silentMask.store((s.sample->silent[0] ? 1u : 0u) |
                               (s.sample->fileChannels >= 2 && s.sample->silent[1] ? 2u : 0u),
                           std::memory_order_relaxed);
        s.state.store(kSlotReady, std::memory_order_release);
        return true;
    }

    void prepareKernels(const Sample *sample)
    {
        // A file at another rate is resampled from its first frame: its kernels must exist.
        if (sample && sample->rate != cfg.outputRate)
            (void)sincTables(static_cast<double>(sample->rate) / cfg.outputRate);
    }

    AudioHandle attach(std::unique_ptr<Sample> sample)
    {
        prepareKernels(sample.get());
        if (!sample) return 0;
        std::lock_guard lock(ctrlMutex);
        const int i = takeSlot();
        if (i < 0) return 0;
        const AudioHandle h = handleOf(i);
        if (!give(i, h, sample)) return 0;
        freeSlots.pop_back();
        CtrlSlot &s = ctrl[i];
        s.used = true;
        s.released.store(false, std::memory_order_relaxed);
        s.handle.store(h, std::memory_order_release);
        live.fetch_add(1, std::memory_order_relaxed);
        return h;
    }

    AudioHandle reserve(int fileChannels, int rate)
    {
        std::lock_guard lock(ctrlMutex);
        const int i = takeSlot();
        if (i < 0) return 0;
        freeSlots.pop_back();
        CtrlSlot &s = ctrl[i];
        const AudioHandle h = handleOf(i);
        s.used = true;
        s.sample = nullptr;
        s.released.store(false, std::memory_order_relaxed);
        s.fileChannels.store(fileChannels, std::memory_order_relaxed);
        s.frames.store(0, std::memory_order_relaxed);
        s.peak.store(0.0f, std::memory_order_relaxed);
        s.rate.store(rate, std::memory_order_relaxed);
        s.silentMask.store(0, std::memory_order_relaxed);
        s.state.store(kSlotPending, std::memory_order_relaxed);
        s.handle.store(h, std::memory_order_release);
        live.fetch_add(1, std::memory_order_relaxed);
        return h;
    }

    void complete(AudioHandle h, std::unique_ptr<Sample> sample)
    {
        prepareKernels(sample.get());
        std::lock_guard lock(ctrlMutex);
        const int i = indexOf(h);
        if (i < 0 || !ctrl[i].used || handleOf(i) != h || ctrl[i].state.load(std::memory_order_relaxed) != kSlotPending)
            return;
        CtrlSlot &s = ctrl[i];
        if (s.handle.load(std::memory_order_relaxed) != h) {
            // Freed while it was read: the audio side never knew it.
            s.state.store(kSlotRefused, std::memory_order_relaxed);
            s.released.store(true, std::memory_order_release);
            reclaim();
            return;
        }
        if (!sample || !give(i, h, sample)) s.state.store(kSlotRefused, std::memory_order_release);
    }

    bool free(AudioHandle h, SysStamp at)
    {
        std::lock_guard lock(ctrlMutex);
        const int i = indexOf(h);
        if (i < 0) return false;
        CtrlSlot &s = ctrl[i];
        AudioHandle expected = h;
        if (!s.handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
        live.fetch_sub(1, std::memory_order_relaxed);
        const int state = s.state.load(std::memory_order_relaxed);
        if (state == kSlotPending) return true;  // complete() lets the slot go
        if (state == kSlotRefused) {
            s.released.store(true, std::memory_order_release);
            reclaim();
            return true;
        }
        Command c;
        c.op = Op::Free;
        c.handle = h;
        if (consumerless.load(std::memory_order_relaxed)) {
            s.released.store(true, std::memory_order_release);
        } else if (!send(c, at)) {
            // The audio thread never hears of it: the slot stays taken (and may go on
            // sounding) rather than free memory the mixer could still read.
            return true;
        }
        reclaim();
        return true;
    }

    // -- audio side --
    void voiceReleased(int index) override { ctrl[index].released.store(true, std::memory_order_release); }

    // `soundNs`: when the frame it applies at is heard, kNeverNs when it is not.
    void apply(const Command &c, std::int64_t soundNs)
    {
        applied.fetch_add(1, std::memory_order_relaxed);
        if (c.op == Op::Play && c.play != 0) publishPlay(c.play, soundNs);
        if (c.op == Op::Master) {
            mixer.setMaster(static_cast<float>(c.value));
            return;
        }
        const int index = indexOf(c.handle);
        if (index < 0) return;
        mixer.apply(index, c);
    }

    void drain(std::int64_t blockStart)
    {
        Command c;
        while (!schedule.full() && queue.pop(c)) {
            taken.fetch_add(1, std::memory_order_relaxed);
            schedule.take(c, blockStart);
        }
    }

    void render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs, bool underran)
    {
        const std::int64_t blockStart = static_cast<std::int64_t>(framesRendered.load(std::memory_order_relaxed));
        const std::int64_t rate = cfg.outputRate;
        // When the block's first frame is heard, for the plays it starts.
        std::int64_t heardNs = kNeverNs;
        if (playoutNs != kPlayoutNowhere) {
            if (cfg.offline)
                heardNs = nsOf(blockStart, rate);
            else if (playoutNs >= 0)
                heardNs = playoutNs;
            else
                heardNs = nowNs + static_cast<std::int64_t>(std::llround(cfg.unreportedDelaySeconds * 1e9));
        }
        // Frames that go nowhere are timed as heard at the call, as a device would play them.
        const std::int64_t firstFrameNs = playoutNs == kPlayoutNowhere ? nowNs : playoutNs;
        if (timingReset.exchange(false, std::memory_order_acquire)) schedule.reset();
        schedule.observe(nowNs, firstFrameNs, blockStart, underran);
        drain(blockStart);
        // A full ring leaves commands in the queue. Taken in only at the next block, they
        // would land late by up to a block; so they come in as soon as room frees.
        bool ringFull = schedule.full();
        int pos = 0;
        while (pos < frames) {
            const std::int64_t here = blockStart + pos;
            while (schedule.nextFrame() <= here) {
                apply(schedule.next(), heardNs == kNeverNs ? kNeverNs : heardNs + nsOf(pos, rate));
                schedule.pop();
            }
            if (ringFull && !schedule.full()) {
                drain(here);
                ringFull = schedule.full();
                continue;  // some may be due here already
            }
            const std::int64_t n = std::min<std::int64_t>({frames - pos, Mixer::kChunk, schedule.nextFrame() - here});
            mixer.mix(out + 2 * pos, static_cast<int>(n));
            pos += static_cast<int>(n);
        }
        framesRendered.store(static_cast<std::uint64_t>(blockStart + frames), std::memory_order_relaxed);
        sounding.store(mixer.soundingVoices(), std::memory_order_relaxed);
        waiting.store(static_cast<int>(schedule.waiting()), std::memory_order_relaxed);
    }
};

Engine::Engine(const EngineConfig &config) : impl_(std::make_unique<Impl>(config)) { startSincTables(); }
Engine::~Engine() = default;

std::vector<Plane> Engine::heldPlanes() const
{
    std::vector<Plane> held;
    std::lock_guard lock(impl_->ctrlMutex);
    for (int i = 0; i < impl_->cfg.capacity; ++i)
        if (impl_->ctrl[i].used && impl_->ctrl[i].sample)
            for (int p = 0; p < impl_->ctrl[i].sample->planes(); ++p) held.push_back(impl_->ctrl[i].sample->data[p]);
    return held;
}

AudioHandle Engine::createFromFile(const char *path)
{
    if (!path) return 0;
    return impl_->attach(decodeFile(path, heldPlanes()));
}

AudioHandle Engine::reserve(int fileChannels, int sampleRate) { return impl_->reserve(fileChannels, sampleRate); }

void Engine::complete(AudioHandle h, std::unique_ptr<Sample> sample) { impl_->complete(h, std::move(sample)); }

Engine::StreamState Engine::state(AudioHandle h) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    return s ? static_cast<StreamState>(s->state.load(std::memory_order_acquire)) : kRefused;
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

bool Engine::free(AudioHandle h, SysStamp at) { return impl_->free(h, at); }

std::uint64_t Engine::play(AudioHandle h, bool restart, SysStamp at)
{
    const int i = impl_->indexOf(h);
    if (!impl_->ready_slot(h)) return 0;
    const std::uint64_t n = impl_->plays.fetch_add(1, std::memory_order_relaxed) + 1;
    if (impl_->consumerless.load(std::memory_order_relaxed)) impl_->publishPlay(n, kNeverNs);  // nothing will play it
    if (!impl_->send({.op = Op::Play, .restart = restart, .handle = h, .play = n}, at)) return 0;
    impl_->ctrl[i].lastPlay.store(n, std::memory_order_relaxed);
    return n;
}

bool Engine::stop(AudioHandle h, SysStamp at)
{
    if (!impl_->ready_slot(h)) return false;
    return impl_->send({.op = Op::Stop, .handle = h}, at);
}

bool Engine::setPositionBytes(AudioHandle h, std::uint64_t bytes, SysStamp at)
{
    const CtrlSlot *s = impl_->ready_slot(h);
    if (!s) return false;
    // The shape is copied into the slot: a free racing with this call may already have
    // released the sample itself.
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(s->fileChannels.load(std::memory_order_relaxed)) * sizeof(float);
    const std::uint64_t frame = bytes / frameBytes;
    if (frame > static_cast<std::uint64_t>(s->frames.load(std::memory_order_relaxed))) return false;
    return impl_->send({.op = Op::Seek, .handle = h, .frame = static_cast<std::int64_t>(frame)}, at);
}

bool Engine::setVolume(AudioHandle h, float volume, SysStamp at)
{
    if (!std::isfinite(volume) || volume < 0.0f || !impl_->ready_slot(h)) return false;
    return impl_->send({.op = Op::Volume, .handle = h, .value = volume}, at);
}

bool Engine::setRate(AudioHandle h, float hz, SysStamp at)
{
    if (!std::isfinite(hz) || hz < 0.0f || !impl_->ready_slot(h)) return false;
    // A shifted rate is resampled: its kernel must exist first (the mixer's step, as it
    // holds it; 0 goes back to the file's own rate, whose kernel the stream's making built).
    if (hz > 0.0f) (void)sincTables(std::clamp(static_cast<double>(hz) / impl_->cfg.outputRate, 1e-4, kMaxStep));
    return impl_->send({.op = Op::Rate, .handle = h, .value = hz}, at);
}

bool Engine::setMaster(float volume, SysStamp at)
{
    if (!(volume >= 0.0f && volume <= 1.0f)) return false;
    return impl_->send({.op = Op::Master, .value = volume}, at);
}

Engine::PlayState Engine::soundedAt(std::uint64_t play, std::int64_t &ns) const
{
    if (play == 0 || play > impl_->plays.load(std::memory_order_relaxed)) return kNeverSounded;
    const PlayRecord &r = impl_->played[play % impl_->played.size()];
    const std::uint64_t before = r.play.load();
    const std::int64_t t = r.ns.load();
    const std::uint64_t after = r.play.load();
    if (before != play || after != play) {
        // Not yet written, or being written, or already written over by a newer play.
        return before > play || after > play ? kNeverSounded : kNotYet;
    }
    if (t == kNeverNs) return kNeverSounded;
    ns = t;
    return kSounded;
}

std::uint64_t Engine::lastPlay(AudioHandle h) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    return s ? s->lastPlay.load(std::memory_order_relaxed) : 0;
}


float Engine::peak(AudioHandle h) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    return s ? s->peak.load(std::memory_order_relaxed) : 0.0f;
}

bool Engine::info(AudioHandle h, AudioInfo &out) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    if (!s) return false;
    out.freq = static_cast<std::uint32_t>(s->rate.load(std::memory_order_relaxed));
    out.chans = static_cast<std::uint32_t>(s->fileChannels.load(std::memory_order_relaxed));
    out.silent = s->silentMask.load(std::memory_order_relaxed);
    return true;
}

bool Engine::soundDue() const
{
    const Impl &m = *impl_;
    // A command that a render took in but holds for a later frame is due too: a device
    // that stalls right after a play would otherwise look idle, and its loss go unseen.
    return m.sounding.load(std::memory_order_relaxed) > 0 || m.waiting.load(std::memory_order_relaxed) > 0 ||
           m.queued.load(std::memory_order_relaxed) != m.taken.load(std::memory_order_relaxed);
}

void Engine::resetTiming() { impl_->timingReset.store(true, std::memory_order_release); }

void Engine::setConsumerless(bool consumerless) { impl_->consumerless.store(consumerless); }

void Engine::render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs, bool underran)
{
    if (out && frames > 0) impl_->render(out, frames, nowNs, playoutNs, underran);
}
int Engine::outputRate() const { return impl_->cfg.outputRate; }
int Engine::latencyFrames() const { return impl_->latencyFrames; }
int Engine::rampFrames() const { return impl_->rampFrames; }

EngineCounters Engine::counters() const
{
    EngineCounters c;
    const Impl &m = *impl_;
    c.framesRendered = m.framesRendered.load(std::memory_order_relaxed);
    c.commandsApplied = m.applied.load(std::memory_order_relaxed);
    c.lateCommands = m.schedule.late.load(std::memory_order_relaxed);
    c.droppedCommands = m.dropped.load(std::memory_order_relaxed);
    c.gainCapped = m.mixer.gainCapped();
    c.limitedFrames = m.mixer.limitedFrames();
    c.nonFiniteFrames = m.mixer.nonFiniteFrames();
    c.streamsLive = m.live.load(std::memory_order_relaxed);
    c.clockSteps = m.schedule.clockSteps.load(std::memory_order_relaxed);
    c.framesLost = m.schedule.framesLost.load(std::memory_order_relaxed);
    return c;
}

}  // namespace velmora::audio
