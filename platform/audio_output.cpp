#include "platform/audio_output.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace velmora::audio {

namespace {

constexpr auto kTick = std::chrono::milliseconds(10);
constexpr auto kStall = std::chrono::milliseconds(500);
constexpr auto kRetry = std::chrono::seconds(2);

void renderInto(void *user, float *out, int frames, std::int64_t playoutNs)
{
    static_cast<Engine *>(user)->render(out, frames, playoutNs);
}

}  // namespace

Output::Output(Engine *engine, std::unique_ptr<AudioDevice> device, Opener opener)
    : engine_(engine), opener_(opener), device_(std::move(device))
{
    if (device_) {
        device_->start(&renderInto, engine_);
        working_.store(1);
    } else {
        nextTry_ = Clock::now() + kRetry;
    }
    thread_ = std::thread([this] { watch(); });
}

Output::~Output()
{
    quit_.store(true);
    thread_.join();
    device_.reset();
}

void Output::watch()
{
    std::uint64_t lastFrames = engine_->counters().framesRendered;
    auto lastProgress = Clock::now();
    auto lastRender = Clock::now();
    std::vector<float> scratch;
    while (!quit_.load()) {
        std::this_thread::sleep_for(kTick);
        const auto now = Clock::now();
        if (device_) {
            underruns_.store(pastUnderruns_ + device_->underruns());
            const std::uint64_t frames = engine_->counters().framesRendered;
            if (frames != lastFrames || !engine_->soundDue()) {
                lastFrames = frames;
                lastProgress = now;
            }
            if (device_->failed() || now - lastProgress > kStall) {
                std::fprintf(stderr, "audio: the %s output was lost; trying to open it again every 2 s\n",
                             device_->name());
                pastUnderruns_ += device_->underruns();
                device_.reset();  // joins its thread: from here on this thread renders
                working_.store(0);
                losses_.fetch_add(1);
                lastRender = now;
                nextTry_ = now + kRetry;
            }
            continue;
        }
        // Standing in for the device: the frames that the time since the last render is worth.
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - lastRender).count();
        const auto frames = std::min<std::int64_t>(micros * engine_->outputRate() / 1'000'000, engine_->outputRate());
        if (frames > 0) {
            scratch.resize(static_cast<std::size_t>(frames) * 2);
            engine_->render(scratch.data(), static_cast<int>(frames), engine_->now());
            lastRender = now;
        }
        if (now >= nextTry_) {
            reopen();
            nextTry_ = Clock::now() + kRetry;
            lastFrames = engine_->counters().framesRendered;
            lastProgress = lastRender = Clock::now();
        }
    }
    releaseDeviceThreadState();
}

void Output::reopen()
{
    std::string error;
    auto dev = opener_(engine_->outputRate(), error);
    // The engine's rate is fixed: a device at another rate would shift every pitch.
    if (!dev || dev->rate() != engine_->outputRate()) return;
    engine_->resetTiming();
    dev->start(&renderInto, engine_);
    device_ = std::move(dev);
    working_.store(1);
    std::fprintf(stderr, "audio: the %s output is back\n", device_->name());
}

}  // namespace velmora::audio
