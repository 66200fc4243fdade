#pragma once
// Inside the engine: its state, shared by its two halves. streams.cpp holds the stream
// slots (making, reading behind the handle, freeing); engine.cpp the commands and the
// render. Nothing outside platform/audio includes this.

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

struct CtrlSlot {
    std::atomic<AudioHandle> handle{0};  // live handle, 0 when free or freed
    std::atomic<bool> released{false};   // audio side is done with the sample
    // The built sample, stored once (release) before its Attach is queued: the audio thread
    // reads it only through its acquire load, and never owns it. The control side frees it
    // (reclaim) and reads it under ctrlMutex only.
    std::atomic<const Sample *> sample{nullptr};
    std::atomic<Engine::StreamState> state{Engine::kPending};  // only a ready slot takes commands
    std::atomic<std::uint64_t> lastPlay{0};
    int fileChannels = 1;  // the header's (reserve), under ctrlMutex
    int rate = 0;
    std::uint32_t generation = 0;
    bool used = false;
};

inline constexpr int kIndexBits = 12;
inline constexpr AudioHandle kIndexMask = (1u << kIndexBits) - 1;

inline EngineConfig checked(EngineConfig c)
{
    c.capacity = std::clamp(c.capacity, 1, static_cast<int>(kIndexMask));
    return c;
}

// When one play began to sound. A seqlock of one writer (the audio thread): `play` is 0
// while the entry is being written, so a reader that sees the same number before and
// after reading `ns` has a whole entry.
struct PlayRecord {
    std::atomic<std::uint64_t> play{0};
    std::atomic<std::int64_t> ns{0};     // the device's play-out report for its frame
    std::atomic<std::int64_t> fitNs{0};  // the frame clock's fitted time of that frame
};
inline constexpr std::int64_t kNeverNs = INT64_MIN;

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
    std::atomic<std::uint64_t> plays{0};  // numbers given so far
    CommandQueue queue;

    // audio side
    Schedule schedule;
    SincTables sinc;  // made by the control side (prepareKernels, setRate), read by the mixer
    Mixer mixer;

    std::array<PlayRecord, Engine::kPlaysKept> played{};

    std::atomic<std::uint64_t> framesRendered{0}, applied{0}, dropped{0}, live{0};
    // For the output's watchdog: whether a stalled device is keeping sound from the user.
    std::atomic<int> sounding{0};              // voices with a head still running after the last render
    // Plays, the only commands that make sound where there was none: pushed (control
    // side) and popped (audio side). A stream made ready or a volume set sounds nothing,
    // and a server that is slow to ask for its first frames must not make it look lost.
    std::atomic<std::uint64_t> queued{0};
    std::atomic<std::uint64_t> taken{0};
    std::atomic<int> waiting{0};               // commands taken in but due in a later render
    std::atomic<bool> timingReset{false};        // a new device: forget the old one's frame timing
    std::atomic<std::int64_t> nextDelayNs{0};     // its traits, read with timingReset
    std::atomic<bool> nextWanders{false};
    std::atomic<bool> nextHold{false};
    std::atomic<std::int64_t> fadeAtNs{INT64_MIN};  // the last route change, and whether
    std::atomic<bool> fadePending{false};           // the render has faded for it yet

    // audio side: the present device's unreported delay, and whether commands wait for
    // its first play-out time
    std::int64_t delayNs = 0;
    bool holding = false;

    explicit Impl(const EngineConfig &c)
        : cfg(checked(c)),
          latencyFrames(static_cast<int>(std::lround(cfg.latencySeconds * cfg.outputRate))),
          rampFrames(std::max(1, static_cast<int>(std::lround(cfg.rampSeconds * cfg.outputRate)))),
          queue(c.queueCapacity),
          schedule(cfg.outputRate, latencyFrames, cfg.offline, c.queueCapacity, cfg.playoutWanders),
          mixer(cfg.capacity, cfg.outputRate, rampFrames, sinc, *this)
    {
        delayNs = std::llround(cfg.unreportedDelaySeconds * 1e9);
        ctrl = std::make_unique<CtrlSlot[]>(static_cast<std::size_t>(cfg.capacity));
        for (int i = cfg.capacity - 1; i >= 0; --i) freeSlots.push_back(i);
    }

    ~Impl()
    {
        for (int i = 0; i < cfg.capacity; ++i) delete ctrl[i].sample.load(std::memory_order_relaxed);
    }

    // -- control side --
    int indexOf(AudioHandle h) const
    {
        const int i = static_cast<int>(h & kIndexMask) - 1;
        return (h != 0 && i >= 0 && i < cfg.capacity) ? i : -1;
    }

    const CtrlSlot *liveSlot(AudioHandle h) const
    {
        const int i = indexOf(h);
        if (i < 0 || ctrl[i].handle.load(std::memory_order_acquire) != h) return nullptr;
        return &ctrl[i];
    }

    // A live slot whose samples the audio side has: the only kind that takes commands.
    const CtrlSlot *readySlot(AudioHandle h) const
    {
        const CtrlSlot *s = liveSlot(h);
        return s && s->state.load(std::memory_order_acquire) == Engine::kReady ? s : nullptr;
    }

    // The sample of a ready stream; caller holds ctrlMutex.
    const Sample *readySample(AudioHandle h) const
    {
        const CtrlSlot *s = readySlot(h);
        return s ? s->sample.load(std::memory_order_relaxed) : nullptr;
    }

    bool send(Command c, SysStamp at)
    {
        c.stamp = at.ns;
        c.line = at.line;
        c.epoch = at.epoch;
        if (queue.push(c)) {
            if (c.op == Op::Play) queued.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    void publishPlay(std::uint64_t play, std::int64_t ns, std::int64_t fitNs = kNeverNs)
    {
        // Sequentially consistent, so that no reader can pair this time with another number.
        PlayRecord &r = played[play % played.size()];
        r.play.store(0);
        r.ns.store(ns);
        r.fitNs.store(ns == kNeverNs ? kNeverNs : fitNs);
        r.play.store(play);
    }

    // Caller holds ctrlMutex.
    void reclaim();

    // A free slot with a handle of a new generation; caller holds ctrlMutex. -1 when every
    // slot is taken.
    int takeSlot();
    AudioHandle handleOf(int i) const { return (ctrl[i].generation << kIndexBits) | static_cast<AudioHandle>(i + 1); }

    // Hands slot i, under handle h, its samples: the audio side attaches them before any
    // command that a caller can make on h once `state` says ready. Caller holds ctrlMutex.
    bool give(int i, AudioHandle h, std::unique_ptr<Sample> &sample);

    void prepareKernels(const Sample *sample);

    AudioHandle reserve(int fileChannels, int rate);

    void complete(AudioHandle h, std::unique_ptr<Sample> sample);

    bool free(AudioHandle h, SysStamp at);

    // -- audio side --
    void voiceReleased(int index) override { ctrl[index].released.store(true, std::memory_order_release); }

    // `soundNs`: when the frame it applies at is heard, kNeverNs when it is not; `fitNs`
    // the same by the frame clock's fit.
    void apply(const Command &c, std::int64_t soundNs, std::int64_t fitNs);

    void drain(std::int64_t blockStart);

    void render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs);
};

}  // namespace velmora::audio
