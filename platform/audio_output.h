#pragma once
// Owns the output device and watches it from a thread of its own, never the audio thread:
//  - the device fails (its sound server went away, it was removed), or renders nothing for
//    500 ms while sound is due: the output counts as lost and is closed;
//  - while there is no device, the watchdog renders in its place at the wall clock's pace
//    into nothing, so commands are still applied in order, voices end and freed streams
//    are released; every 2 s it tries to open an output again. A device that comes back
//    takes over with fresh frame timing.

#include "platform/audio_device.h"
#include "platform/audio_engine.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace velmora::audio {

class Output {
public:
    // Opens an output at the engine's rate, or returns null with a reason in `error`.
    using Opener = std::unique_ptr<AudioDevice> (*)(int rate, std::string &error);

    // `device` may be null: then the first try to open one comes after 2 s.
    Output(Engine *engine, std::unique_ptr<AudioDevice> device, Opener opener);
    ~Output();  // no render runs after it
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    int working() const { return working_.load(); }
    int losses() const { return losses_.load(); }
    // Underruns of every device this output has had, up to the watchdog's last look (10 ms).
    std::uint64_t underruns() const { return underruns_.load(); }

private:
    using Clock = std::chrono::steady_clock;
    void watch();
    void reopen();

    Engine *engine_;
    Opener opener_;
    std::unique_ptr<AudioDevice> device_;  // the watchdog thread's, after the constructor
    Clock::time_point nextTry_{};
    std::atomic<int> working_{0};
    std::atomic<int> losses_{0};
    std::uint64_t pastUnderruns_ = 0;  // of devices already closed; watchdog thread
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace velmora::audio
