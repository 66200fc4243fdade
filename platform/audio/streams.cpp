#include "platform/audio/engine_impl.h"

namespace velmora::audio {

void Engine::Impl::reclaim()
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

int Engine::Impl::takeSlot()
{
    reclaim();
    if (freeSlots.empty()) return -1;
    const int i = freeSlots.back();
    CtrlSlot &s = ctrl[i];
    s.generation = (s.generation + 1) & ((1u << (32 - kIndexBits)) - 1);
    if (s.generation == 0) s.generation = 1;
    return i;
}

bool Engine::Impl::give(int i, AudioHandle h, std::unique_ptr<Sample> &sample)
{
    // Also against the files read behind their handles: the right-ear tone keeps the left's.
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

void Engine::Impl::prepareKernels(const Sample *sample)
{
    // A file at another rate is resampled from its first frame: its kernels must exist.
    if (sample && sample->rate != cfg.outputRate)
        (void)sincTables(static_cast<double>(sample->rate) / cfg.outputRate);
}

AudioHandle Engine::Impl::attach(std::unique_ptr<Sample> sample)
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

AudioHandle Engine::Impl::reserve(int fileChannels, int rate)
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

void Engine::Impl::complete(AudioHandle h, std::unique_ptr<Sample> sample)
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

bool Engine::Impl::free(AudioHandle h, SysStamp at)
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

AudioHandle Engine::createFromFile(const char *path)
{
    if (!path) return 0;
    return impl_->attach(decodeFile(path));
}

AudioHandle Engine::reserve(int fileChannels, int sampleRate) { return impl_->reserve(fileChannels, sampleRate); }

void Engine::complete(AudioHandle h, std::unique_ptr<Sample> sample) { impl_->complete(h, std::move(sample)); }

Engine::StreamState Engine::state(AudioHandle h) const
{
    const CtrlSlot *s = impl_->live_slot(h);
    return s ? static_cast<StreamState>(s->state.load(std::memory_order_acquire)) : kRefused;
}

AudioHandle Engine::createFromFrames(const float *interleaved, std::int64_t frames, int channels, int sampleRate)
{
    if (!interleaved || frames <= 0 || channels < 1 || sampleRate <= 0 || frames * channels > kMaxDecodedSamples)
        return 0;
    return impl_->attach(makeSample(interleaved, frames, channels, sampleRate));
}

bool Engine::free(AudioHandle h, SysStamp at) { return impl_->free(h, at); }

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

}  // namespace velmora::audio
