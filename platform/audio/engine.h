#pragma once
// The mixer behind the Audio_* calls. It never opens a device and reads no clock: whoever
// owns the output (a device's callback, the output's watchdog, an offline test, a
// benchmark) calls render() for the next frames and says when they will be heard, and every
// command comes with the time it was issued (its stamp, on the same clock).
//
// Two sides:
//  - control side (any thread): create, free and the stream commands. They may allocate
//    and take the control mutex (shared only among control threads), never wait for the
//    audio thread. Every command is queued with its stamp.
//  - audio side (one thread at a time): render(). No lock, no allocation, no I/O, no
//    logging. It applies each command at the output frame of its stamp plus the fixed
//    latency, splitting the block there, ramps every change, and publishes when each play
//    began to sound.
//
// Offline mode: frame n of the output is exactly time n / outputRate, so a command stamped
// at t lands on frame round(t * rate) + latencyFrames() whatever block sizes render() is
// called with, and sounds at that frame's time.

#include "platform/audio.h"
#include "platform/audio/decoder.h"
#include "platform/sys.h"

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
    bool offline = false;           // frames are placed by their time alone, see above
    // Where the device tells no play-out time: how long after a render call its first
    // frame is heard (the device's buffer). Used only to say when a play sounded.
    double unreportedDelaySeconds = 0.0;
    // The device's play-out times wander (AudioDevice::playoutWanders): the reports tune
    // the schedule slowly and never step it.
    bool playoutWanders = false;
};

// render()'s play-out time when the device cannot tell: estimated from the call's time.
inline constexpr std::int64_t kPlayoutUnknown = -1;
// render()'s play-out time when the frames go nowhere (no device): no play sounds.
inline constexpr std::int64_t kPlayoutNowhere = -2;

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
    std::uint64_t lineRestarts = 0;    // audio: a sleeping thread's timeline began afresh (it fell behind it)
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
    // A stream whose samples come later, by complete(), for a file whose header has been
    // read: its rate and channel count are known at once (info), its peak and silent
    // channels once complete. Until then every command on it but free is refused, so
    // nothing of it sounds before its peak is known. 0 when every slot is taken.
    AudioHandle reserve(int fileChannels, int sampleRate);
    // Gives a reserved stream its samples, or refuses it for good (null): a refused stream
    // stays live until freed and refuses every command. A stream freed meanwhile lets its
    // slot go here. Any control thread; takes the control mutex.
    void complete(AudioHandle h, std::unique_ptr<Sample> sample);
    enum StreamState { kRefused = -1, kPending = 0, kReady = 1 };
    // kRefused also for 0 and freed handles. Any thread; no lock.
    StreamState state(AudioHandle h) const;
    // The same from interleaved frames already in memory (tests, benchmarks).
    AudioHandle createFromFrames(const float *interleaved, std::int64_t frames, int channels,
                                 int sampleRate);

    // Each takes the time it was issued (`at`, see Sys_Stamp), returns false for 0, a freed
    // handle, a stream not ready (reserve) or a bad value, and does nothing then.
    bool free(AudioHandle h, SysStamp at);
    // The play's number (1, 2, ... across the engine), or 0 when refused.
    std::uint64_t play(AudioHandle h, bool restart, SysStamp at);
    bool stop(AudioHandle h, SysStamp at);
    bool setPositionBytes(AudioHandle h, std::uint64_t bytes, SysStamp at);  // bytes of decoded 32-bit float frames
    bool setVolume(AudioHandle h, float volume, SysStamp at);                // linear, 0 or more
    bool setRate(AudioHandle h, float hz, SysStamp at);  // 0 restores the file's own rate;
                                                          // held within 5.2 x the output rate
    bool setMaster(float volume, SysStamp at);            // 0 to 1

    // When play number `play` began to sound, on the stamps' clock: kSounded and `ns` once
    // the audio thread has applied it, kNotYet before, kNeverSounded when it was applied
    // while no device played, or is too old to be remembered (the last kPlaysKept plays are)
    // or was never made. Any thread; no lock.
    enum PlayState { kNotYet = 0, kSounded = 1, kNeverSounded = -1 };
    static constexpr int kPlaysKept = 1024;
    PlayState soundedAt(std::uint64_t play, std::int64_t &ns) const;
    // The time is the frame clock's fitted time of the play's first frame: the mapping
    // that placed it (the device's own report where there is no fit: offline, no play-out
    // time told). Both, the device's play-out report for that frame and the fitted time,
    // for measuring one against the other:
    PlayState soundedAt(std::uint64_t play, std::int64_t &reportNs, std::int64_t &fitNs) const;
    // The number of the last play made on stream h, 0 when none.
    std::uint64_t lastPlay(AudioHandle h) const;
    // Largest sample magnitude of the stream's file, 0 for 0 or a freed handle. A channel
    // volume times the master above 1 / peak cannot be played: the gain is capped there.
    float peak(AudioHandle h) const;
    // The file's rate, channel count and silent channels; false for 0 or a freed handle.
    bool info(AudioHandle h, AudioInfo &out) const;

    // For a watchdog on the output: true while a voice sounds, a play waits for the next
    // render or a command waits for its frame, i.e. while a render that does not come
    // keeps sound from the user.
    bool soundDue() const;
    // The next render starts its wall-time to frame mapping afresh, with the timing traits
    // of the device that renders from then on: a new device's play-out times have nothing
    // to do with the old one's.
    struct DeviceTiming {
        double unreportedDelaySeconds = 0.0;  // EngineConfig's
        bool playoutWanders = false;          // EngineConfig's
    };
    // `holdUntilReport`: no command is placed until a render tells a play-out time (a
    // device woken from idle, whose first renders may come before it knows one).
    void resetTiming(const DeviceTiming &timing, bool holdUntilReport = false);
    // The sound went to another device at `atNs`: the next render fades every voice, and a
    // play stamped before then never sounds there. Any thread; no lock, no waiting.
    void fadeAll(std::int64_t atNs);

    // Audio side: the next `frames` interleaved stereo frames, overwriting `out`. `nowNs`
    // is the call's time; `playoutNs` when the first frame will be heard, as the device
    // tells it, or kPlayoutUnknown (the call's time then stands in for the frame timing,
    // which is as good as the device's callbacks are regular), or kPlayoutNowhere.
    void render(float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs);

    int outputRate() const;
    int latencyFrames() const;
    int rampFrames() const;
    EngineCounters counters() const;

private:
    AudioHandle attach(std::unique_ptr<Sample> sample);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The one engine behind the Audio_* calls, or null before Audio_Init. For tests and
// benchmarks that want its counters.
Engine *processEngine();

// In place of Audio_Init, for tests that run the program's procedures against the real
// mixer: the Audio_* calls go to a new offline engine with this configuration (stamped
// through Sys_Stamp, as always), which the caller renders. No output is opened;
// Audio_OutputWorking says 1. Replaces the engine of an earlier call; no thread may be
// using that one.
Engine *useOfflineEngine(const EngineConfig &config);

}  // namespace velmora::audio
