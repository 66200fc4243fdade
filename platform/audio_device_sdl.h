#pragma once
// The output device, and the only file that knows SDL. Another backend (libpulse, for
// its exact play-out time) replaces audio_device_sdl.cpp behind this same class.

#include <memory>
#include <string>

namespace velmora::audio {

class AudioDevice {
public:
    // Called on the device's own thread for every period: fill `frames` interleaved
    // stereo float frames. Must not block, allocate or log.
    using Render = void (*)(void *user, float *out, int frames);

    // Opens the default output as float stereo, asking for `rate`; if the device refuses
    // it, its own rate is taken (rate() says which) and the mixer resamples to it. The
    // device stays silent until start(). Returns null and fills `error` when no output
    // opens. Main thread; may block while the sound server answers.
    static std::unique_ptr<AudioDevice> open(int rate, std::string &error);

    ~AudioDevice();  // stops the callback and closes the device before returning

    void start(Render render, void *user);
    int rate() const;
    int periodFrames() const;
    const char *driver() const;

    AudioDevice(const AudioDevice &) = delete;
    AudioDevice &operator=(const AudioDevice &) = delete;

private:
    struct Data;
    explicit AudioDevice(std::unique_ptr<Data> d);
    std::unique_ptr<Data> d_;
};

}  // namespace velmora::audio
