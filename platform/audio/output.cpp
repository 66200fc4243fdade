#include "platform/audio/output.h"

#include "platform/audio/bounded_call.h"
#include "platform/audio/realtime.h"

#include "platform/sys/steady_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace velmora::audio {

namespace {

constexpr std::int64_t kStallNs = 500'000'000;
constexpr std::int64_t kRetryNs = 2'000'000'000;
// Nothing sounding this long: no procedure runs (the longest silence of one, a block break
// with the longest pause, is shorter), so the stream may let the device sleep.
constexpr std::int64_t kIdleNs = 5'000'000'000;
// A woken stream whose server has not asked for sound by then is lost: a sink resuming
// from suspend takes a moment, a server that stopped answering never does.
constexpr std::int64_t kResumeNs = 3'000'000'000;
constexpr std::chrono::milliseconds kIdleLook{500};

std::atomic<bool> gOpensAbandoned{false};

void renderInto(void *user, float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs)
{
    static_cast<Engine *>(user)->render(out, frames, nowNs, playoutNs);
}

// The device that now hears the sound would hear a tone meant for the one before.
void fadeInto(void *user, std::int64_t nowNs) { static_cast<Engine *>(user)->fadeAll(nowNs); }

}  // namespace

void abandonDeviceOpens() { gOpensAbandoned.store(true); }
bool deviceOpensAbandoned() { return gOpensAbandoned.load(); }

Output::Output(Engine *engine, std::unique_ptr<AudioDevice> device, Opener opener, std::int64_t nowNs, bool ownThread)
    : engine_(engine), opener_(opener), device_(std::move(device))
{
    lastFrames_ = engine_->counters().framesRendered;
    lastProgressNs_ = lastRenderNs_ = lastDueNs_ = nowNs;
    if (device_) {
        started(*device_);
        working_.store(1);
    } else {
        nextTryNs_ = nowNs + kRetryNs;
    }
    if (ownThread) {
        thread_ = std::thread([this] {
            while (!quit_.load()) {
                if (idle_.load()) {
                    // Idle, only a play can wake the stream, and it says so (wake()); the
                    // slow look still finds a lost server or a new route. Each look is a
                    // wake-up the idle program would otherwise not pay for.
                    std::unique_lock lock(wakeMutex_);
                    wakeCv_.wait_for(lock, kIdleLook, [&] { return quit_.load() || engine_->soundDue(); });
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                tick(SteadyNs());
            }
            releaseDeviceThreadState();
        });
    }
}

void Output::wake()
{
    // Taken and let go even when the watchdog is busy: its look at soundDue() is made under
    // this lock, so it either comes after, and sees the play, or is already waiting, and
    // this wakes it. A fence and a look at idle_ would save a lock per play, but the
    // thread sanitizer cannot follow fences.
    { std::lock_guard lock(wakeMutex_); }
    wakeCv_.notify_one();
}

Output::~Output()
{
    {
        std::lock_guard lock(wakeMutex_);
        quit_.store(true);
    }
    wakeCv_.notify_one();
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
        earsApart_.store(device_->earsApart());
        if (const std::uint64_t c = device_->routeChanges(); c != seenChanges_) {
            seenChanges_ = c;
            const std::string name = device_->routeName();
            noteRoute(std::string(device_->name()) + ":" + name, name, true);
        }
        const std::uint64_t frames = engine_->counters().framesRendered;
        const bool due = engine_->soundDue();
        if (due) lastDueNs_ = now;
        if (idle_.load() && due) {
            // Awake again: the frames stood still while time went on, so the frame timing
            // starts afresh, and no command is placed before the server tells it again.
            engine_->resetTiming({device_->unreportedDelaySeconds(), device_->playoutWanders()}, true);
            device_->setIdle(false);
            idle_.store(false);
            resumeFrom_ = frames;
            lastProgressNs_ = now;
        } else if (!idle_.load() && !due && resumeFrom_ == kNotResuming && now - lastDueNs_ > kIdleNs &&
                   device_->setIdle(true)) {
            idle_.store(true);
        }
        if (resumeFrom_ != kNotResuming) {
            // The stall limit counts from the first render after the wake.
            if (frames != resumeFrom_) {
                resumeFrom_ = kNotResuming;
                lastFrames_ = frames;
                lastProgressNs_ = now;
            }
        } else if (frames != lastFrames_ || !due) {
            lastFrames_ = frames;
            lastProgressNs_ = now;
        }
        const std::int64_t limit = resumeFrom_ != kNotResuming ? kResumeNs : kStallNs;
        if (device_->failed() || now - lastProgressNs_ > limit) {
            std::fprintf(stderr, "audio: the %s output was lost; trying to open it again every 2 s\n", device_->name());
            pastUnderruns_ += device_->underruns();
            device_.reset();  // joins its thread: from here on this thread renders
            priorityAsked_ = false;
            renderPriority_.store(0);
            earsApart_.store(-1);
            idle_.store(false);
            resumeFrom_ = kNotResuming;
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
    if (opener_ && now >= nextTryNs_) {
        reopen();
        nextTryNs_ = now + kRetryNs;
        lastFrames_ = engine_->counters().framesRendered;
        lastProgressNs_ = lastRenderNs_ = lastDueNs_ = now;
    }
}

void Output::reopen()
{
    std::string error;
    auto dev = opener_(engine_->outputRate(), error);
    // The engine's rate is fixed: a device at another rate would shift every pitch. An open
    // that returns after quit has begun is not started.
    if (!dev || dev->rate() != engine_->outputRate() || quit_.load()) return;
    engine_->resetTiming({dev->unreportedDelaySeconds(), dev->playoutWanders()});
    device_ = std::move(dev);
    started(*device_);
    working_.store(1);
    std::fprintf(stderr, "audio: the %s output is back\n", device_->name());
}

void Output::started(AudioDevice &device)
{
    device.start(&renderInto, &fadeInto, engine_);
    seenChanges_ = device.routeChanges();
    earsApart_.store(device.earsApart());
    std::string name = device.routeName();
    if (name.empty()) {
        name = std::string("the ") + device.name() + " output";
        if (!unwatchedTold_) {
            unwatchedTold_ = true;
            std::fprintf(stderr, "audio: the %s output does not tell where its sound goes; a change of device is not noticed\n",
                         device.name());
        }
    }
    noteRoute(std::string(device.name()) + ":" + device.routeName(), name, false);
}

// The first device that plays sets the route; a device that says its sound went elsewhere
// changes it, and so does a later device that is another backend or sink.
void Output::noteRoute(const std::string &key, const std::string &name, bool changed)
{
    std::lock_guard lock(routeMutex_);
    if (changed || (!routeKey_.empty() && key != routeKey_)) {
        changeFrom_ = routeName_;
        changeTo_ = name;
        std::fprintf(stderr, "audio: the sound output changed from %s to %s\n", changeFrom_.c_str(), changeTo_.c_str());
        routeChanges_.fetch_add(1);
    }
    routeKey_ = key;
    routeName_ = name;
}

std::string Output::routeName() const
{
    std::lock_guard lock(routeMutex_);
    return routeName_;
}

void Output::lastChange(std::string &from, std::string &to) const
{
    std::lock_guard lock(routeMutex_);
    from = changeFrom_;
    to = changeTo_;
}

bool closeWithin(std::unique_ptr<Output> output, std::chrono::milliseconds limit)
{
    Output *o = output.release();
    return callWithin(limit, [o] { delete o; });
}

}  // namespace velmora::audio
