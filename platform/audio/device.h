#pragma once
// The output device. Each backend lives in one file and is the only place that knows its
// library: device_pulse.cpp (libpulse, which tells when each frame will be heard and where
// the sound goes) and device_sdl.cpp (SDL2: PipeWire, PulseAudio or ALSA, neither).

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::audio {

class AudioDevice {
public:
    // Called on the device's own thread for every period: fill `frames` interleaved
    // stereo float frames. `nowNs` is the call's time and `playoutNs` the time at which the
    // first of them will be heard, or -1 when the backend cannot tell, both on the steady
    // clock. Must not block, allocate or log.
    using Render = void (*)(void *user, float *out, int frames, std::int64_t nowNs, std::int64_t playoutNs);
    // Called on the device's own thread the moment the sound starts to go elsewhere (the
    // server moved the stream, the sink switched its port), with the time on the steady
    // clock; before any later render. Must not block, allocate or log.
    using RouteChanged = void (*)(void *user, std::int64_t nowNs);

    virtual ~AudioDevice() = default;  // stops the callback and closes the device

    // The device is silent until start(). Main thread.
    virtual void start(Render render, RouteChanged changed, void *user) = 0;
    virtual int rate() const = 0;
    // The server went away or the device was removed: no render will come any more.
    // Any thread.
    virtual bool failed() const = 0;
    // The engine's command latency for this device: the least delay after which a
    // command made just after one render call still lands in a later one, with margin for
    // a late wake-up. With play-out times it also covers the buffer in the server.
    virtual double commandLatencySeconds() const = 0;
    // Where no play-out time is told: how long after a render call its first frame is
    // heard, as well as the backend can guess.
    virtual double unreportedDelaySeconds() const { return 0.0; }
    // Whether the play-out times told stray from when the frames are really heard by tens
    // of ms, for seconds at a time, while the sound keeps its pace (pipewire-pulse, and
    // PulseAudio on a loaded machine). Only a device whose underruns lose no time may say
    // so: the schedule then never steps.
    virtual bool playoutWanders() const { return false; }
    virtual const char *name() const = 0;
    // How often the server ran out of frames to play since the device opened (each one a
    // gap in the sound); 0 where the backend cannot tell. Any thread.
    virtual std::uint64_t underruns() const { return 0; }
    // Lets the device rest while nothing is to sound, so the server can suspend the sound
    // card (true), or wakes it (false): renders stop meanwhile, and the first after waking
    // starts a new stretch of play-out times. False where the backend cannot (then it
    // keeps rendering). Not from the render thread.
    virtual bool setIdle(bool) { return false; }
    // How often the sound went elsewhere since the device opened (RouteChanged), counted
    // once the device knows where it goes now; 0 where the backend cannot tell. Any thread.
    virtual std::uint64_t routeChanges() const { return 0; }
    // Where the sound goes, for people: the sink's description, with its port's where it
    // has ports; empty where the backend cannot tell. Any thread.
    virtual std::string routeName() const { return {}; }
    // 1 when the sink has a left and a right channel, 0 when it has not (mono, centre or
    // one side only: both ears would hear the same), -1 where the backend cannot tell.
    // Any thread.
    virtual int earsApart() const { return -1; }
    // The kernel id of the thread that renders, 0 until its first render (or where the
    // backend cannot tell), for asking real-time scheduling for it. Any thread.
    virtual long renderThreadId() const { return 0; }
};

// The PulseAudio device's command latency: its 100 ms of buffer, two 10 ms pieces and a
// margin for a late wake-up (see device_pulse.cpp).
inline constexpr double kPulseCommandLatencySeconds = 0.100 + 2 * 0.010 + 0.008;
// The SDL device's, for the buffer it asks for at `rate` (a device may be given another).
double sdlCommandLatencySeconds(int rate);

// Each opens the default output as float stereo, asking for `rate`; a device that refuses
// it is taken at its own rate (rate() says which) and the mixer resamples to it. Returns
// null and fills `error` when no output opens. Main thread; may block while the sound
// server answers, never much longer than 2 s: SDL's open runs on a thread of its own and
// is given up after 2 s, and then SDL is never called again (openSdlDevice fails at once).
std::unique_ptr<AudioDevice> openPulseDevice(int rate, std::string &error);
std::unique_ptr<AudioDevice> openSdlDevice(int rate, std::string &error);

// The program is quitting and will play nothing more: an open under way gives up at its
// next wait for the server, and every later one fails at once, so that closing the output
// does not wait for a server that answers slowly. Any thread; never undone.
void abandonDeviceOpens();
bool deviceOpensAbandoned();

// SDL keeps per-thread state (its error text) that it frees by itself only for threads it
// started: a thread of ours that opened or failed to open a device calls this before it
// ends, or that memory is lost with the thread.
void releaseDeviceThreadState();

}  // namespace velmora::audio
