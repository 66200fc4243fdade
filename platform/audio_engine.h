#pragma once
// The mixer behind the Audio_* calls. It never opens a device: whoever owns the output
// (the SDL device, an offline test, a benchmark) calls render() for the next frames.
//
// Two sides:
//  - control side (any thread): create, free and the stream commands. They may allocate
//    and take the control mutex (shared only among control threads), never wait for the
//    audio thread. Every command is stamped with the engine's clock and queued.
//  - audio side (one thread at a time): render(). No lock, no allocation, no I/O, no
//    logging. It applies each command at the output frame of its stamp plus the fixed
//    latency, splitting the block there, and ramps every change.
//
// Offline mode runs on a virtual clock that the caller sets; frame n of the output is
// exactly time n / outputRate, so a command stamped at t lands on frame
// round(t * rate) + latencyFrames() whatever block sizes render() is called with.

#include "platform/audio.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::audio {

struct EngineConfig {
    int outputRate = 96000;
    int capacity = 256;             // stream slots; all allocated up front
    double latencySeconds = 0.025;  // L: a few device periods, so commands are rarely late
    double rampSeconds = 0.005;     // raised-cosine length of every start/stop/seek/gain change
    int queueCapacity = 4096;       // commands in flight; a full queue drops and counts
    bool offline = false;           // virtual clock set by setVirtualTime()
};

// Counters for tests and benchmarks. Written by the audio thread (render) or the control
// side as noted, read from anywhere; a snapshot is not atomic as a whole.
struct EngineCounters {
    std::uint64_t framesRendered = 0;  // audio
    std::uint64_t commandsApplied = 0; // audio
    std::uint64_t lateCommands = 0;    // audio: target frame already rendered, applied at once
    std::uint64_t droppedCommands = 0; // control: queue full
    std::uint64_t gainCapped = 0;      // audio: a gain change that would have passed full scale
    std::uint64_t limitedFrames = 0;   // audio: frames the final guard had to pull down
    std::uint64_t nonFiniteFrames = 0; // audio: frames of the mix, before that guard, not all numbers
    std::uint64_t streamsLive = 0;     // control
    std::uint64_t clockSteps = 0;      // audio: the frame clock re-anchored on a real step
};

class Engine {
public:
    explicit Engine(const EngineConfig &config = {});
    ~Engine();  // render() must no longer run
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Control side. Decodes the whole file on the calling thread (libsndfile); returns 0
    // when it cannot be read, holds no frames, or every slot is taken.
    AudioHandle createFromFile(const char *path);
    // The same from a whole file's bytes already in memory; the buffer is not kept.
    AudioHandle createFromMemory(const void *data, std::size_t size);
    // The same from interleaved frames already in memory (tests, benchmarks).
    AudioHandle createFromFrames(const float *interleaved, std::int64_t frames, int channels,
                                 int sampleRate);

    // Each returns false for 0, a freed handle or a bad value, and does nothing then.
    bool free(AudioHandle h);
    bool play(AudioHandle h, bool restart);
    bool stop(AudioHandle h);
    bool setPositionBytes(AudioHandle h, std::uint64_t bytes);  // bytes of decoded 32-bit float frames
    bool setVolume(AudioHandle h, float volume);                // linear, 0 or more
    bool setRate(AudioHandle h, float hz);                      // 0 restores the file's own rate;
                                                                // held within 5.2 x the output rate
    bool setMaster(float volume);                               // 0 to 1
    bool isLive(AudioHandle h) const;
    // Largest sample magnitude of the stream's file, 0 for 0 or a freed handle. A channel
    // volume times the master above 1 / peak cannot be played: the gain is capped there.
    float peak(AudioHandle h) const;
    // The file's rate, channel count and silent channels; false for 0 or a freed handle.
    bool info(AudioHandle h, AudioInfo &out) const;

    // For a watchdog on the output: true while a voice sounds or a command is waiting for
    // the next render, i.e. while a render that does not come keeps sound from the user.
    bool soundDue() const;
    // The next render starts its wall-time to frame mapping afresh: a new device's
    // play-out times have nothing to do with the old one's.
    void resetTiming();

    // Without a consumer (no device) commands are checked and then dropped, and freed
    // streams are released at once: nothing would ever drain the queue.
    void setConsumerless(bool consumerless);

    // Audio side: the next `frames` interleaved stereo frames, overwriting `out`.
    // `firstFrameNs` is when the first of them will be heard (steady clock), when the
    // device knows; else the call's own time stands in for it, which is as good as the
    // device's callbacks are regular.
    void render(float *out, int frames, std::int64_t firstFrameNs = -1);

    // Offline clock; in real mode the steady clock is used and setVirtualTime is ignored.
    void setVirtualTime(std::int64_t ns);
    std::int64_t now() const;

    int outputRate() const;
    int latencyFrames() const;
    int rampFrames() const;
    EngineCounters counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The one engine behind the Audio_* calls, or null before Audio_Init. For tests and
// benchmarks that want its counters.
Engine *processEngine();

}  // namespace velmora::audio
