// The Audio_* calls over one process-wide engine.
//
// Before Audio_Init every call returns 0 and does nothing. When Audio_Init finds no output
// device it reports on stderr and returns 0, but the engine still exists: files are still
// decoded and get handles, and every call on them is checked and accepted, so the program
// runs on in silence exactly as with a device. Nothing plays anywhere.
//
// The engine is never destroyed (the program never shuts the engine down); the device is
// closed at exit, so its callback cannot run while the process tears down.

#include "platform/audio.h"
#include "platform/audio_device.h"
#include "platform/audio_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

using velmora::audio::AudioDevice;
using velmora::audio::Engine;

namespace {

std::mutex g_initMutex;            // Audio_Init only
std::atomic<Engine *> g_engine{};  // written once by Audio_Init, read by every call
AudioDevice *g_device = nullptr;   // guarded by g_initMutex

void renderInto(void *user, float *out, int frames, std::int64_t playoutNs)
{
    static_cast<Engine *>(user)->render(out, frames, playoutNs);
}

// PulseAudio first: it says when each frame will be heard, so commands keep their timing
// to a fraction of a millisecond (SDL's callbacks wander by milliseconds). SDL then
// reaches PipeWire or ALSA where no PulseAudio server answers. VELMORA_AUDIO_BACKEND=sdl
// or =pulse forces one, for measuring them side by side.
std::unique_ptr<AudioDevice> openDevice(int rate, std::string &error)
{
    const char *forced = std::getenv("VELMORA_AUDIO_BACKEND");
    const std::string only = forced ? forced : "";
    std::string pulseError;
    if (only != "sdl") {
        if (auto dev = velmora::audio::openPulseDevice(rate, pulseError)) return dev;
        if (only == "pulse") {
            error = pulseError;
            return nullptr;
        }
    }
    auto dev = velmora::audio::openSdlDevice(rate, error);
    if (!dev && !pulseError.empty()) error = pulseError + "; " + error;
    return dev;
}

void closeDevice()
{
    std::lock_guard lock(g_initMutex);
    delete g_device;
    g_device = nullptr;
}

Engine *engine() { return g_engine.load(std::memory_order_acquire); }

}  // namespace

namespace velmora::audio {
Engine *processEngine() { return engine(); }
}  // namespace velmora::audio

// device -1 (or any other number) is the default output; 0 asks for no output at all
// and succeeds. freq 0 means 96000. flags, win and clsid are not used.
int Audio_Init(int device, std::uint32_t freq, std::uint32_t /*flags*/, void * /*win*/, const void * /*clsid*/)
{
    std::lock_guard lock(g_initMutex);
    if (engine()) return 0;  // already initialised
    velmora::audio::EngineConfig cfg;
    cfg.outputRate = freq == 0 ? 96000 : static_cast<int>(std::clamp<std::uint32_t>(freq, 8000, 384000));
    std::unique_ptr<AudioDevice> dev;
    std::string error;
    if (device != 0) {
        dev = openDevice(cfg.outputRate, error);
        if (dev) {
            cfg.outputRate = dev->rate();
            cfg.latencySeconds = std::max(cfg.latencySeconds, dev->commandLatencySeconds());
        }
    }
    auto *e = new Engine(cfg);
    if (!dev) {
        e->setConsumerless(true);
        g_engine.store(e, std::memory_order_release);
        if (device != 0) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 0;
        }
        return 1;
    }
    dev->start(&renderInto, e);
    g_device = dev.release();
    g_engine.store(e, std::memory_order_release);
    std::atexit(closeDevice);
    return 1;
}

// Only files (mem 0) taken whole (offset 0, length 0) are supported; anything else gives
// 0. flags are ignored: the whole file is decoded into memory here, on the calling thread.
AudioHandle Audio_StreamCreateFile(int mem, const void *file, std::uint64_t offset, std::uint64_t length,
                                   std::uint32_t /*flags*/)
{
    Engine *e = engine();
    if (!e || mem != 0 || !file || offset != 0 || length != 0) return 0;
    return e->createFromFile(static_cast<const char *>(file));
}

int Audio_StreamFree(AudioHandle handle)
{
    Engine *e = engine();
    return e && e->free(handle) ? 1 : 0;
}

int Audio_ChannelStop(AudioHandle handle)
{
    Engine *e = engine();
    return e && e->stop(handle) ? 1 : 0;
}

int Audio_ChannelSetPosition(AudioHandle handle, std::uint64_t pos, std::uint32_t mode)
{
    Engine *e = engine();
    return e && mode == AUDIO_POS_BYTE && e->setPositionBytes(handle, pos) ? 1 : 0;
}

int Audio_ChannelSetAttribute(AudioHandle handle, std::uint32_t attrib, float value)
{
    Engine *e = engine();
    if (!e) return 0;
    if (attrib == AUDIO_ATTRIB_VOL) return e->setVolume(handle, value) ? 1 : 0;
    if (attrib == AUDIO_ATTRIB_FREQ) return e->setRate(handle, value) ? 1 : 0;
    return 0;
}

int Audio_ChannelPlay(AudioHandle handle, int restart)
{
    Engine *e = engine();
    return e && e->play(handle, restart != 0) ? 1 : 0;
}

int Audio_SetVolume(float volume)
{
    Engine *e = engine();
    return e && e->setMaster(volume) ? 1 : 0;
}
