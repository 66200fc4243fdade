#include "platform/audio/engine_impl.h"

namespace velmora::audio {

void Engine::Impl::apply(const Command &c, std::int64_t soundNs, std::int64_t fitNs)
{
    applied.fetch_add(1, std::memory_order_relaxed);
    if (c.op == Op::Play && c.play != 0) publishPlay(c.play, soundNs, fitNs);
    if (c.op == Op::Master) {
        mixer.setMaster(static_cast<float>(c.value));
        return;
    }
    const int index = indexOf(c.handle);
    if (index < 0) return;
    if (c.op == Op::Attach)
        mixer.attach(index, c.handle, ctrl[index].sample.load(std::memory_order_acquire));
    else
        mixer.apply(index, c);
}

void Engine::Impl::drain(std::int64_t blockStart)
{
    Command c;
    while (!schedule.full() && queue.pop(c)) {
        if (c.op == Op::Play) taken.fetch_add(1, std::memory_order_relaxed);
        if (c.op == Op::Play && c.stamp < fadeAtNs.load(std::memory_order_relaxed)) {
            // Meant for the device the sound has left.
            if (c.play != 0) publishPlay(c.play, kNeverNs);
            continue;
        }
        schedule.take(c, blockStart);
    }
}

void Engine::Impl::render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs)
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
            heardNs = nowNs + delayNs;
    }
    // Frames that go nowhere are timed as heard at the call, as a device would play them.
    const std::int64_t firstFrameNs = playoutNs == kPlayoutNowhere ? nowNs : playoutNs;
    if (timingReset.exchange(false, std::memory_order_acquire)) {
        delayNs = nextDelayNs.load(std::memory_order_relaxed);
        holding = nextHold.load(std::memory_order_relaxed);
        schedule.reset(nextWanders.load(std::memory_order_relaxed));
    }
    if (playoutNs >= 0) holding = false;
    if (fadePending.exchange(false, std::memory_order_acquire)) {
        mixer.stopAll();
        // Plays already placed were meant for the device the sound has left, as are those
        // still queued with an earlier stamp (drain).
        schedule.forEachWaiting([&](Command &c) {
            if (c.op != Op::Play) return;
            if (c.play != 0) publishPlay(c.play, kNeverNs);
            c.op = Op::Stop;
        });
    }
    schedule.observe(nowNs, firstFrameNs, blockStart);
    if (!holding) drain(blockStart);
    // A full ring leaves commands in the queue. Taken in only at the next block, they
    // would land late by up to a block; so they come in as soon as room frees.
    bool ringFull = !holding && schedule.full();
    int pos = 0;
    while (pos < frames) {
        const std::int64_t here = blockStart + pos;
        while (schedule.nextFrame() <= here) {
            const std::int64_t reported = heardNs == kNeverNs ? kNeverNs : heardNs + nsOf(pos, rate);
            apply(schedule.next(), reported, reported == kNeverNs ? kNeverNs : schedule.heardAt(here, reported));
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

Engine::Engine(const EngineConfig &config) : impl_(std::make_unique<Impl>(config)) {}
Engine::~Engine() = default;

std::uint64_t Engine::play(AudioHandle h, bool restart, SysStamp at)
{
    const int i = impl_->indexOf(h);
    if (!impl_->readySlot(h)) return 0;
    const std::uint64_t n = impl_->plays.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!impl_->send({.op = Op::Play, .restart = restart, .handle = h, .play = n}, at)) return 0;
    impl_->ctrl[i].lastPlay.store(n, std::memory_order_relaxed);
    return n;
}

bool Engine::stop(AudioHandle h, SysStamp at)
{
    if (!impl_->readySlot(h)) return false;
    return impl_->send({.op = Op::Stop, .handle = h}, at);
}

bool Engine::setPositionBytes(AudioHandle h, std::uint64_t bytes, SysStamp at)
{
    std::uint64_t frame = 0;
    {
        // Under the lock: a free racing with this call may release the sample.
        std::lock_guard lock(impl_->ctrlMutex);
        const Sample *s = impl_->readySample(h);
        if (!s) return false;
        frame = bytes / (static_cast<std::uint64_t>(s->fileChannels) * sizeof(float));
        if (frame > static_cast<std::uint64_t>(s->frames)) return false;
    }
    return impl_->send({.op = Op::Seek, .handle = h, .frame = static_cast<std::int64_t>(frame)}, at);
}

bool Engine::setVolume(AudioHandle h, float volume, SysStamp at)
{
    if (!std::isfinite(volume) || volume < 0.0f || !impl_->readySlot(h)) return false;
    return impl_->send({.op = Op::Volume, .handle = h, .value = volume}, at);
}

bool Engine::setRate(AudioHandle h, float hz, SysStamp at)
{
    if (!std::isfinite(hz) || hz < 0.0f || !impl_->readySlot(h)) return false;
    // A shifted rate is resampled: its kernel must exist first (the mixer's step, as it
    // holds it; 0 goes back to the file's own rate, whose kernel the stream's making built).
    if (hz > 0.0f) impl_->sinc.prepare(std::clamp(static_cast<double>(hz) / impl_->cfg.outputRate, 1e-4, kMaxStep));
    return impl_->send({.op = Op::Rate, .handle = h, .value = hz}, at);
}

bool Engine::setMaster(float volume, SysStamp at)
{
    if (!(volume >= 0.0f && volume <= 1.0f)) return false;
    return impl_->send({.op = Op::Master, .value = volume}, at);
}

// The fitted time, not the report: a loaded pulse server's reports wander by tens of ms
// for seconds while the sound keeps the schedule's grid, which the fit follows (README,
// bench/heard_time.sh).
Engine::PlayState Engine::soundedAt(std::uint64_t play, std::int64_t &ns) const
{
    std::int64_t report = 0;
    return soundedAt(play, report, ns);
}

Engine::PlayState Engine::soundedAt(std::uint64_t play, std::int64_t &reportNs, std::int64_t &fitNs) const
{
    if (play == 0 || play > impl_->plays.load(std::memory_order_relaxed)) return kNeverSounded;
    const PlayRecord &r = impl_->played[play % impl_->played.size()];
    const std::uint64_t before = r.play.load();
    const std::int64_t t = r.ns.load();
    const std::int64_t f = r.fitNs.load();
    const std::uint64_t after = r.play.load();
    if (before != play || after != play) {
        // Not yet written, or being written, or already written over by a newer play.
        return before > play || after > play ? kNeverSounded : kNotYet;
    }
    if (t == kNeverNs) return kNeverSounded;
    reportNs = t;
    fitNs = f;
    return kSounded;
}

bool Engine::soundDue() const
{
    const Impl &m = *impl_;
    // A command that a render took in but holds for a later frame is due too: a device
    // that stalls right after a play would otherwise look idle, and its loss go unseen.
    return m.sounding.load(std::memory_order_relaxed) > 0 || m.waiting.load(std::memory_order_relaxed) > 0 ||
           m.queued.load(std::memory_order_relaxed) != m.taken.load(std::memory_order_relaxed);
}

void Engine::resetTiming(const DeviceTiming &timing, bool holdUntilReport)
{
    impl_->nextDelayNs.store(std::llround(timing.unreportedDelaySeconds * 1e9), std::memory_order_relaxed);
    impl_->nextWanders.store(timing.playoutWanders, std::memory_order_relaxed);
    impl_->nextHold.store(holdUntilReport, std::memory_order_relaxed);
    impl_->timingReset.store(true, std::memory_order_release);
}

void Engine::fadeAll(std::int64_t atNs)
{
    impl_->fadeAtNs.store(atNs, std::memory_order_relaxed);
    impl_->fadePending.store(true, std::memory_order_release);
}


void Engine::render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs)
{
    if (out && frames > 0) impl_->render(out, frames, nowNs, playoutNs);
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
    c.lineRestarts = m.schedule.lineRestarts.load(std::memory_order_relaxed);
    return c;
}

}  // namespace velmora::audio
