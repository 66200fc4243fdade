#include "platform/audio/output.h"

#include "platform/audio/bounded_call.h"
#include "platform/audio/realtime.h"

#include "platform/sys/steady_clock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace velmora::audio {

namespace {

constexpr std::int64_t kStallNs = 500'000'000;
constexpr std::int64_t kRetryNs = 2'000'000'000;

void renderInto(void *user, float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs)
{
    static_cast<Engine *>(user)->render(out, frames, nowNs, playoutNs);
}

}  // namespace

Output::Output(Engine *engine, std::unique_ptr<AudioDevice> device, Opener opener, std::int64_t nowNs, bool ownThread)
    : engine_(engine), opener_(opener), device_(std::move(device))
{
    lastFrames_ = engine_->counters().framesRendered;
    lastProgressNs_ = lastRenderNs_ = nowNs;
    if (device_) {
        device_->start(&renderInto, engine_);
        working_.store(1);
    } else {
        nextTryNs_ = nowNs + kRetryNs;
    }
    if (ownThread) {
        thread_ = std::thread([this] {
            while (!quit_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                tick(SteadyNs());
            }
            releaseDeviceThreadState();
        });
    }
}

Output::~Output()
{
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
    device_.reset();
}

void Output::tick(std::int64_t now)
{
    if (device_) {
        if (!priorityAsked_) {
            if (const long tid = device_->renderThreadId()) {
                priorityAsked_ = true;
                renderPriority_.store(makeRealtime(tid));
            }
        }
        underruns_.store(pastUnderruns_ + device_->underruns());
        const std::uint64_t frames = engine_->counters().framesRendered;
        if (frames != lastFrames_ || !engine_->soundDue()) {
            lastFrames_ = frames;
            lastProgressNs_ = now;
        }
        if (device_->failed() || now - lastProgressNs_ > kStallNs) {
            std::fprintf(stderr, "audio: the %s output was lost; trying to open it again every 2 s\n", device_->name());
            pastUnderruns_ += device_->underruns();
            device_.reset();  // joins its thread: from here on this thread renders
            priorityAsked_ = false;
            renderPriority_.store(0);
            working_.store(0);
            losses_.fetch_add(1);
            lastRenderNs_ = now;
            nextTryNs_ = now + kRetryNs;
        }
        return;
    }
    // Standing in for the device: the frames that the time since the last render is worth.
    const std::int64_t rate = engine_->outputRate();
    const std::int64_t frames = std::min<std::int64_t>((now - lastRenderNs_) / 1000 * rate / 1'000'000, rate);
    if (frames > 0) {
        scratch_.resize(static_cast<std::size_t>(frames) * 2);
        engine_->render(scratch_.data(), static_cast<int>(frames), now, kPlayoutNowhere);
        lastRenderNs_ = now;
    }
    if (now >= nextTryNs_) {
        reopen();
        nextTryNs_ = now + kRetryNs;
        lastFrames_ = engine_->counters().framesRendered;
        lastProgressNs_ = lastRenderNs_ = now;
    }
}

void Output::reopen()
{
    std::string error;
    auto dev = opener_(engine_->outputRate(), error);
    // The engine's rate is fixed: a device at another rate would shift every pitch. An open
    // that returns after quit has begun is not started.
    if (!dev || dev->rate() != engine_->outputRate() || quit_.load()) return;
    engine_->resetTiming();
    dev->start(&renderInto, engine_);
    device_ = std::move(dev);
    working_.store(1);
    std::fprintf(stderr, "audio: the %s output is back\n", device_->name());
}

bool closeWithin(std::unique_ptr<Output> output, std::chrono::milliseconds limit)
{
    Output *o = output.release();
    return callWithin(limit, [o] { delete o; });
}

}  // namespace velmora::audio
