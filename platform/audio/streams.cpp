#include "platform/audio/engine_impl.h"

namespace velmora::audio {

void Engine::Impl::reclaim()
{
    for (int i = 0; i < cfg.capacity; ++i) {
        CtrlSlot &s = ctrl[i];
        if (s.used && s.released.load(std::memory_order_acquire)) {
            delete s.sample.exchange(nullptr, std::memory_order_relaxed);
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
        if (const Sample *held = ctrl[k].sample.load(std::memory_order_relaxed); ctrl[k].used && held)
            shareIdenticalPlanes(*sample, *held);
    // Held by the slot from here, also when the Attach does not fit (freed with the slot).
    ctrl[i].sample.store(sample.release(), std::memory_order_release);
    if (!queue.push({.op = Op::Attach, .handle = h})) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    ctrl[i].state.store(Engine::kReady, std::memory_order_release);
    return true;
}

void Engine::Impl::prepareKernels(const Sample *sample)
{
    // A file at another rate is resampled from its first frame: its kernels must exist.
    if (sample && sample->rate != cfg.outputRate)
        sinc.prepare(static_cast<double>(sample->rate) / cfg.outputRate);
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
    s.released.store(false, std::memory_order_relaxed);
    s.fileChannels = fileChannels;
    s.rate = rate;
    s.state.store(Engine::kPending, std::memory_order_relaxed);
    s.handle.store(h, std::memory_order_release);
    live.fetch_add(1, std::memory_order_relaxed);
    return h;
}

void Engine::Impl::complete(AudioHandle h, std::unique_ptr<Sample> sample)
{
    prepareKernels(sample.get());
    std::lock_guard lock(ctrlMutex);
    const int i = indexOf(h);
    if (i < 0 || !ctrl[i].used || handleOf(i) != h || ctrl[i].state.load(std::memory_order_relaxed) != Engine::kPending)
        return;
    CtrlSlot &s = ctrl[i];
    if (s.handle.load(std::memory_order_relaxed) != h) {
        // Freed while it was read: the audio side never knew it.
        s.state.store(Engine::kRefused, std::memory_order_relaxed);
        s.released.store(true, std::memory_order_release);
        reclaim();
        return;
    }
    if (!sample || !give(i, h, sample)) s.state.store(Engine::kRefused, std::memory_order_release);
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
    const Engine::StreamState state = s.state.load(std::memory_order_relaxed);
    if (state == Engine::kPending) return true;  // complete() lets the slot go
    if (state == Engine::kRefused) {
        s.released.store(true, std::memory_order_release);
        reclaim();
        return true;
    }
    Command c;
    c.op = Op::Free;
    c.handle = h;
    if (!send(c, at)) {
        // The audio thread never hears of it: the slot stays taken (and may go on
        // sounding) rather than free memory the mixer could still read.
        return true;
    }
    reclaim();
    return true;
}

// A sample already built, taken as a file read behind its handle is: reserved, completed.
AudioHandle Engine::attach(std::unique_ptr<Sample> sample)
{
    const AudioHandle h = sample ? reserve(sample->fileChannels, sample->rate) : 0;
    if (h == 0) return 0;
    complete(h, std::move(sample));
    if (state(h) == kReady) return h;
    free(h, SysStamp{});  // refused: no command is sent, the slot goes back at once
    return 0;
}

AudioHandle Engine::createFromFile(const char *path) { return path ? attach(decodeFile(path)) : 0; }

AudioHandle Engine::reserve(int fileChannels, int sampleRate) { return impl_->reserve(fileChannels, sampleRate); }

void Engine::complete(AudioHandle h, std::unique_ptr<Sample> sample) { impl_->complete(h, std::move(sample)); }

Engine::StreamState Engine::state(AudioHandle h) const
{
    const CtrlSlot *s = impl_->liveSlot(h);
    return s ? s->state.load(std::memory_order_acquire) : kRefused;
}

AudioHandle Engine::createFromFrames(const float *interleaved, std::int64_t frames, int channels, int sampleRate)
{
    if (!interleaved || frames <= 0 || channels < 1 || sampleRate <= 0 || frames * channels > kMaxDecodedSamples)
        return 0;
    return attach(makeSample(interleaved, frames, channels, sampleRate));
}

bool Engine::free(AudioHandle h, SysStamp at) { return impl_->free(h, at); }

std::uint64_t Engine::lastPlay(AudioHandle h) const
{
    const CtrlSlot *s = impl_->liveSlot(h);
    return s ? s->lastPlay.load(std::memory_order_relaxed) : 0;
}

float Engine::peak(AudioHandle h) const
{
    std::lock_guard lock(impl_->ctrlMutex);
    const Sample *s = impl_->readySample(h);
    return s ? s->peak : 0.0f;
}

bool Engine::info(AudioHandle h, AudioInfo &out) const
{
    std::lock_guard lock(impl_->ctrlMutex);
    const CtrlSlot *slot = impl_->liveSlot(h);
    if (!slot) return false;
    const Sample *s = impl_->readySample(h);
    out.freq = static_cast<std::uint32_t>(slot->rate);
    out.chans = static_cast<std::uint32_t>(slot->fileChannels);
    out.silent = s ? (s->silent[0] ? 1u : 0u) | (s->fileChannels >= 2 && s->silent[1] ? 2u : 0u) : 0u;
    return true;
}

}  // namespace velmora::audio
