#pragma once
// Owns the output device and watches it, never from the audio thread:
//  - the device fails (its sound server went away, it was removed), or renders nothing for
//    500 ms while sound is due: the output counts as lost and is closed;
//  - the sound goes elsewhere (the device says so, or a reopen lands on another device or
//    backend): the route counts as changed, and one line on stderr names both devices;
//  - nothing has sounded for 5 s: a device that can (libpulse) is told to go idle, so the
//    server may suspend the sound card; the first command after wakes it;
//  - while there is no device, the watchdog renders in its place at the pace of the time it
//    is given, into nothing, so commands are still applied in order, voices end and freed
//    streams are released; every 2 s it tries to open an output again. A device that comes
//    back takes over with fresh frame timing.
// The watchdog is stepped with the time (tick). In the program a thread of the output's own
// does that every 10 ms on the steady clock, and while idle when a play comes (wake) or
// every 500 ms; a test steps it by hand. Once a device has
// rendered, the watchdog asks real-time scheduling for the thread that renders.

#include "platform/audio/device.h"
#include "platform/audio/engine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora::audio {

class Output {
public:
    // Opens an output at the engine's rate, or returns null with a reason in `error`.
    using Opener = std::unique_ptr<AudioDevice> (*)(int rate, std::string &error);

    // `device` may be null: then the first try to open one comes 2 s after `nowNs`, or
    // none with a null `opener`, and the output renders into nothing for good. With
    // `ownThread` false nothing watches until the owner calls tick().
    Output(Engine *engine, std::unique_ptr<AudioDevice> device, Opener opener, std::int64_t nowNs,
           bool ownThread = true);
    ~Output();  // no render runs after it
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // One look at the device at `nowNs` (steady clock). Only one thread may tick.
    void tick(std::int64_t nowNs);
    // A play was just given to the engine: an idle output's thread looks at once. Any thread.
    void wake();

    int working() const { return working_.load(); }
    int losses() const { return losses_.load(); }
    // Underruns of every device this output has had, up to the watchdog's last look.
    std::uint64_t underruns() const { return underruns_.load(); }
    // The real-time priority that the present device's render thread got, 0 for none.
    int renderPriority() const { return renderPriority_.load(); }
    // How often the sound went elsewhere, up to the watchdog's last look.
    int routeChanges() const { return routeChanges_.load(); }
    // The device's earsApart() at the watchdog's last look; -1 without a device.
    int earsApart() const { return earsApart_.load(); }
    // Where the sound goes now, and went before and after the last change, for people.
    std::string routeName() const;
    void lastChange(std::string &from, std::string &to) const;

private:
    void reopen();
    void started(AudioDevice &device);
    void noteRoute(const std::string &key, const std::string &name, bool changed);

    Engine *engine_;
    Opener opener_;
    std::unique_ptr<AudioDevice> device_;  // the ticking thread's, after the constructor
    // The ticking thread's:
    std::int64_t nextTryNs_ = 0;
    std::uint64_t lastFrames_ = 0;
    std::int64_t lastProgressNs_ = 0;
    std::int64_t lastRenderNs_ = 0;
    std::vector<float> scratch_;
    std::uint64_t pastUnderruns_ = 0;  // of devices already closed
    bool priorityAsked_ = false;       // for the present device
    std::uint64_t seenChanges_ = 0;    // the present device's routeChanges() last looked at
    std::int64_t lastDueNs_ = 0;       // when sound was last due
    static constexpr std::uint64_t kNotResuming = ~std::uint64_t{0};
    std::uint64_t resumeFrom_ = kNotResuming;  // frames rendered when the device was woken
    std::atomic<bool> idle_{false};
    std::string routeKey_;             // backend and sink of the last device that played
    bool unwatchedTold_ = false;
    mutable std::mutex routeMutex_;    // the names, for other threads
    std::string routeName_, changeFrom_, changeTo_;
    std::atomic<int> routeChanges_{0};
    std::atomic<int> earsApart_{-1};
    std::atomic<int> renderPriority_{0};
    std::atomic<int> working_{0};
    std::atomic<int> losses_{0};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<bool> quit_{false};
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    std::thread thread_;
};

// Closes `output` on a thread of its own and waits at most `limit` for that: a device whose
// close hangs, or an open under way that hangs, is left behind with the output (never
// freed) rather than hold the caller, who is quitting. True when it closed in time.
bool closeWithin(std::unique_ptr<Output> output, std::chrono::milliseconds limit);

}  // namespace velmora::audio
