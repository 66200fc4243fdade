// The Audio_* calls over one process-wide engine.
//
// Before Audio_Init every call returns 0 and does nothing. When Audio_Init finds no output
// device it reports on stderr and returns 0, but the engine still exists: files are still
// decoded and get handles, and every call on them is checked and accepted, so the program
// runs on in silence exactly as with a device, while the output is looked for again
// every 2 s. Audio_OutputWorking tells the program whether anything can be heard.
//
// The engine is never destroyed (the program never shuts the engine down); the output is
// closed at exit, so no render can run while the process tears down.

#include "platform/audio.h"
#include "platform/audio/device.h"
#include "platform/audio/engine.h"
#include "platform/audio/output.h"
#include "platform/audio/reader.h"
#include "platform/audio/realtime.h"
#include "platform/sys/steady_clock.h"
#include "platform/sys.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using velmora::audio::AudioDevice;
using velmora::audio::Engine;
using velmora::audio::Output;

namespace {

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
        if (only == "pulse" || velmora::audio::deviceOpensAbandoned()) {
            error = pulseError;
            return nullptr;
        }
    }
    auto dev = velmora::audio::openSdlDevice(rate, error);
    if (!dev && !pulseError.empty()) error = pulseError + "; " + error;
    return dev;
}

std::mutex gInitMutex;            // Audio_Init only
std::atomic<Engine *> gEngine{};  // written once by Audio_Init, read by every call
std::atomic<Output *> gOutput{};  // written once by Audio_Init; null when no output was asked for
std::unique_ptr<Engine> gOffline;  // useOfflineEngine's

Engine *engine() { return gEngine.load(std::memory_order_acquire); }

// VELMORA_REPORT_COUNTERS=1: the engine's and the output's counters on stderr at exit,
// one "velmora_counter NAME VALUE" line each, for soak runs of the real program.
void reportCounters(const Output *o)
{
    const char *want = std::getenv("VELMORA_REPORT_COUNTERS");
    if (!want || std::string(want) != "1" || !engine()) return;
    const velmora::audio::EngineCounters c = engine()->counters();
    const std::pair<const char *, unsigned long long> rows[] = {
        {"frames_rendered", c.framesRendered},
        {"commands_applied", c.commandsApplied},
        {"late_commands", c.lateCommands},
        {"dropped_commands", c.droppedCommands},
        {"gain_capped", c.gainCapped},
        {"limited_frames", c.limitedFrames},
        {"underruns", o ? o->underruns() : 0},
        {"clock_steps", c.clockSteps},
        {"timeline_restarts", c.lineRestarts},
        {"output_losses", static_cast<unsigned long long>(o ? o->losses() : 0)},
        {"render_priority", static_cast<unsigned long long>(o ? o->renderPriority() : 0)},
    };
    for (const auto &[name, value] : rows) std::fprintf(stderr, "velmora_counter %s %llu\n", name, value);
}

// Quit waits at most this long on the output: a device that does not close in time (SDL
// stuck inside the driver) is left to the end of the process. A reopen under way is not
// waited for: it gives up at its next look at the server. The bound leaves a quit time for
// the steps before it within the 3 s that a user waits for a window to go.
constexpr auto kCloseLimit = std::chrono::milliseconds(2000);

void closeOutput()
{
    std::lock_guard lock(gInitMutex);
    reportCounters(gOutput.load());
    velmora::audio::abandonDeviceOpens();
    if (!velmora::audio::closeWithin(std::unique_ptr<Output>(gOutput.exchange(nullptr)), kCloseLimit))
        std::fprintf(stderr, "audio: the output did not close within 2 s; left to the end of the process\n");
}

}  // namespace

namespace velmora::audio {
Engine *processEngine() { return engine(); }

Engine *useOfflineEngine(const EngineConfig &config)
{
    std::lock_guard lock(gInitMutex);
    EngineConfig cfg = config;
    cfg.offline = true;
    auto next = std::make_unique<Engine>(cfg);
    gEngine.store(next.get(), std::memory_order_release);
    gOffline = std::move(next);
    return gOffline.get();
}
}  // namespace velmora::audio

// device -1 (or any other number) is the default output; 0 asks for no output at all
// and succeeds. freq 0 means 96000. flags, win and clsid are not used.
int Audio_Init(int device, std::uint32_t freq, std::uint32_t /*flags*/, void * /*win*/, const void * /*clsid*/)
{
    std::lock_guard lock(gInitMutex);
    if (engine()) return 0;  // already initialised
    velmora::audio::EngineConfig cfg;
    cfg.outputRate = freq == 0 ? 96000 : static_cast<int>(std::clamp<std::uint32_t>(freq, 8000, 384000));
    if (device == 0) {
        // An output that never opens a device: it takes every command in as a lost
        // device's output does, and tells every play as never heard.
        auto *e = new Engine(cfg);
        gEngine.store(e, std::memory_order_release);
        gOutput.store(new Output(e, nullptr, nullptr, velmora::SteadyNs()), std::memory_order_release);
        std::atexit(closeOutput);
        return 1;
    }
    // Before the first tone, not at it: a busy machine may have dropped the mixer's code
    // from memory meanwhile, and reading it back would hold the render thread.
    velmora::audio::lockRenderCode();
    std::string error;
    std::unique_ptr<AudioDevice> dev = openDevice(cfg.outputRate, error);
    if (dev) {
        cfg.outputRate = dev->rate();
        cfg.latencySeconds = std::max(cfg.latencySeconds, dev->commandLatencySeconds());
        cfg.unreportedDelaySeconds = dev->unreportedDelaySeconds();
        cfg.playoutWanders = dev->playoutWanders();
    } else {
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    // The latency is the engine's for good, and a later device may be of either backend
    // (a server that starts after the program, a fall back to SDL or back): plan for the
    // largest of those that may open.
    const char *forced = std::getenv("VELMORA_AUDIO_BACKEND");
    const std::string only = forced ? forced : "";
    if (only != "sdl") cfg.latencySeconds = std::max(cfg.latencySeconds, velmora::audio::kPulseCommandLatencySeconds);
    if (only != "pulse")
        cfg.latencySeconds = std::max(cfg.latencySeconds, velmora::audio::sdlCommandLatencySeconds(cfg.outputRate));
    // Commands may be stamped up to a timeline's budget in the past.
    cfg.latencySeconds += static_cast<double>(SYS_TIMELINE_BUDGET_NS) * 1e-9;
    const bool opened = dev != nullptr;
    auto *e = new Engine(cfg);
    gEngine.store(e, std::memory_order_release);
    gOutput.store(new Output(e, std::move(dev), &openDevice, velmora::SteadyNs()), std::memory_order_release);
    std::atexit(closeOutput);
    return opened ? 1 : 0;
}

int Audio_OutputWorking()
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    if (!o) return gOffline && engine() == gOffline.get() ? 1 : 0;
    return o->working();
}

int Audio_OutputLosses()
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    return o ? o->losses() : 0;
}

int Audio_OutputRouteChanges()
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    return o ? o->routeChanges() : 0;
}

int Audio_OutputEarsApart()
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    return o && o->working() ? o->earsApart() : -1;
}

namespace {
void copyCut(const std::string &from, char *to, std::size_t size)
{
    if (!to || size == 0) return;
    const std::size_t n = std::min(from.size(), size - 1);
    from.copy(to, n);
    to[n] = '\0';
}
}  // namespace

void Audio_OutputName(char *name, std::size_t size)
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    copyCut(o && o->working() ? o->routeName() : std::string(), name, size);
}

void Audio_OutputLastChange(char *from, char *to, std::size_t size)
{
    const Output *o = gOutput.load(std::memory_order_acquire);
    std::string f, t;
    if (o) o->lastChange(f, t);
    copyCut(f, from, size);
    copyCut(t, to, size);
}

int Audio_ChannelGetInfo(AudioHandle handle, AudioInfo *info)
{
    Engine *e = engine();
    if (!e || !info || !e->info(handle, *info)) return 0;
    info->peak = e->peak(handle);
    return 1;
}

// Only files (mem 0) taken whole (offset 0, length 0) are supported; anything else gives
// 0. Without AUDIO_ASYNCFILE the whole file is decoded here, on the calling thread.
AudioHandle Audio_StreamCreateFile(int mem, const void *file, std::uint64_t offset, std::uint64_t length,
                                   std::uint32_t flags)
{
    Engine *e = engine();
    if (!e || mem != 0 || !file || offset != 0 || length != 0) return 0;
    const char *path = static_cast<const char *>(file);
    if ((flags & AUDIO_ASYNCFILE) == 0) return e->createFromFile(path);
    int channels = 0;
    int rate = 0;
    velmora::audio::OpenedFilePtr opened = velmora::audio::openFile(path, channels, rate);
    if (!opened) return 0;
    const AudioHandle h = e->reserve(channels, rate);
    if (h != 0) velmora::audio::readBehind(*e, h, std::move(opened));
    return h;
}

int Audio_StreamReady(AudioHandle handle)
{
    Engine *e = engine();
    return e ? static_cast<int>(e->state(handle)) : -1;
}

// Every command carries the calling thread's stamp: a thread that sleeps through Sys_Sleep
// has its tones placed by its schedule, not by when the system woke it.
int Audio_StreamFree(AudioHandle handle)
{
    Engine *e = engine();
    return e && e->free(handle, Sys_Stamp()) ? 1 : 0;
}

int Audio_ChannelStop(AudioHandle handle)
{
    Engine *e = engine();
    return e && e->stop(handle, Sys_Stamp()) ? 1 : 0;
}

int Audio_ChannelSetPosition(AudioHandle handle, std::uint64_t pos, std::uint32_t mode)
{
    Engine *e = engine();
    return e && mode == AUDIO_POS_BYTE && e->setPositionBytes(handle, pos, Sys_Stamp()) ? 1 : 0;
}

int Audio_ChannelSetAttribute(AudioHandle handle, std::uint32_t attrib, float value)
{
    Engine *e = engine();
    if (!e) return 0;
    if (attrib == AUDIO_ATTRIB_VOL) return e->setVolume(handle, value, Sys_Stamp()) ? 1 : 0;
    if (attrib == AUDIO_ATTRIB_FREQ) return e->setRate(handle, value, Sys_Stamp()) ? 1 : 0;
    return 0;
}

int Audio_ChannelPlay(AudioHandle handle, int restart)
{
    Engine *e = engine();
    if (!e || e->play(handle, restart != 0, Sys_Stamp()) == 0) return 0;
    if (Output *o = gOutput.load(std::memory_order_acquire)) o->wake();
    return 1;
}

std::uint64_t Audio_ChannelLastPlay(AudioHandle handle)
{
    Engine *e = engine();
    return e ? e->lastPlay(handle) : 0;
}

int Audio_PlaySoundedAt(std::uint64_t play, std::int64_t *ns)
{
    Engine *e = engine();
    std::int64_t t = 0;
    const Engine::PlayState state = e ? e->soundedAt(play, t) : Engine::kNeverSounded;
    if (state == Engine::kSounded && ns) *ns = t;
    return static_cast<int>(state);
}

int Audio_SetVolume(float volume)
{
    Engine *e = engine();
    return e && e->setMaster(volume, Sys_Stamp()) ? 1 : 0;
}
