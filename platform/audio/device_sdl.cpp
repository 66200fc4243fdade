#include "platform/audio/bounded_call.h"
#include "platform/audio/device.h"
#include "platform/audio/realtime.h"
#include "platform/sys/steady_clock.h"

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace velmora::audio {

namespace {

// SDL asks PulseAudio for a buffer of a single period. A fresh server starts with a low
// latency and raises it only after underruns, and every underrun is a gap in the tone:
// with 5 or 10 ms periods a new server dropped out several times in its first second,
// with about 20 ms (2048 frames at 96 kHz) it did not.
int periodFor(int rate)
{
    int frames = 256;
    while (frames * 2 <= rate / 40) frames *= 2;  // the largest power of two up to 25 ms
    return frames;
}

// SDL's open and close cannot be timed out from outside: each runs on a thread of its own
// and is given up after this long. SDL then holds its locks inside a call that may never
// end, so from that moment nothing calls SDL again: not to reopen, not to leave its audio
// subsystem, not to free its per-thread state.
constexpr auto kCallLimit = std::chrono::milliseconds(2000);
std::atomic<bool> gAbandoned{false};

// What SDL's audio thread reaches through its userdata. Shared with the thread that closes
// the device, so it lives as long as SDL may still call back, however long that takes.
struct Link {
    enum Gate { kSilent, kOpen, kBusy, kClosed };
    std::atomic<int> gate{kSilent};
    AudioDevice::Render render = nullptr;  // written before the gate opens
    void *user = nullptr;
    std::atomic<long> tid{0};

    static void callback(void *self, Uint8 *stream, int bytes)
    {
        auto *l = static_cast<Link *>(self);
        if (l->tid.load(std::memory_order_relaxed) == 0) l->tid.store(currentThreadId(), std::memory_order_relaxed);
        int open = kOpen;
        if (l->gate.compare_exchange_strong(open, kBusy, std::memory_order_acquire)) {
            const int frames = bytes / static_cast<int>(2 * sizeof(float));
            l->render(l->user, reinterpret_cast<float *>(stream), frames, SteadyNs(), -1);
            l->gate.store(kOpen, std::memory_order_release);
        } else {
            std::memset(stream, 0, static_cast<std::size_t>(bytes));
        }
    }

    // After this no render starts, and none is under way. Waits at most one render.
    void close()
    {
        for (;;) {
            int g = gate.load(std::memory_order_acquire);
            if (g == kBusy)
                std::this_thread::yield();
            else if (gate.compare_exchange_weak(g, kClosed, std::memory_order_acq_rel))
                return;
        }
    }
};

// For tests: the open waits this long before it calls SDL, as a driver that hangs would. A
// hook, because the audio tests run with and without a sound server, and only a hook can
// make the open hang in both.
void stallForTest()
{
    const char *ms = std::getenv("VELMORA_TEST_SDL_STALL_MS");
    if (ms && *ms) std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(ms)));
}

class SdlDevice final : public AudioDevice {
public:
    SDL_AudioDeviceID id = 0;
    SDL_AudioSpec have{};
    std::shared_ptr<Link> link;

    ~SdlDevice() override
    {
        link->close();  // the engine is the watchdog's from here, even if SDL never returns
        if (gAbandoned.load()) return;
        const SDL_AudioDeviceID dev = id;
        if (!callWithin(kCallLimit, [dev, keep = link] {
                SDL_CloseAudioDevice(dev);  // waits for a running callback to return
                SDL_QuitSubSystem(SDL_INIT_AUDIO);
                if (!gAbandoned.load()) SDL_TLSCleanup();
            })) {
            gAbandoned.store(true);
            std::fprintf(stderr, "audio: SDL did not close its device within 2 s; SDL is not asked again\n");
        }
    }

    void start(Render r, RouteChanged, void *u) override
    {
        link->render = r;
        link->user = u;
        link->gate.store(Link::kOpen, std::memory_order_release);
        if (!gAbandoned.load()) SDL_PauseAudioDevice(id, 0);
    }
    int rate() const override { return have.freq; }
    bool failed() const override { return gAbandoned.load() || SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED; }
    double commandLatencySeconds() const override { return 2.0 * have.samples / have.freq + 0.008; }
    // SDL tells no play-out time: the buffer being filled is heard about one buffer later.
    double unreportedDelaySeconds() const override { return static_cast<double>(have.samples) / have.freq; }
    const char *name() const override { return "sdl"; }
    long renderThreadId() const override { return link->tid.load(std::memory_order_relaxed); }
};

}  // namespace

double sdlCommandLatencySeconds(int rate) { return 2.0 * periodFor(rate) / rate + 0.008; }

std::unique_ptr<AudioDevice> openSdlDevice(int rate, std::string &error)
{
    if (gAbandoned.load()) {
        error = "audio: SDL did not return from a call before; it is not asked again";
        return nullptr;
    }
    struct Opening {
        std::shared_ptr<Link> link = std::make_shared<Link>();
        SDL_AudioDeviceID id = 0;
        SDL_AudioSpec have{};
        std::string error;
    };
    auto op = std::make_shared<Opening>();
    const bool returned = callWithin(kCallLimit, [op, rate] {
        stallForTest();
        if (gAbandoned.load()) return;
        // The program handles its own signals; SDL must not install handlers for SIGINT/TERM.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            op->error = std::string("audio: cannot start SDL audio: ") + SDL_GetError();
        } else {
            SDL_AudioSpec want{};
            want.freq = rate;
            want.format = AUDIO_F32SYS;
            want.channels = 2;
            want.samples = static_cast<Uint16>(periodFor(rate));
            want.callback = &Link::callback;
            want.userdata = op->link.get();
            op->id = SDL_OpenAudioDevice(nullptr, 0, &want, &op->have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
            if (op->id == 0) {
                op->error = std::string("audio: no output device opens: ") + SDL_GetError();
                SDL_QuitSubSystem(SDL_INIT_AUDIO);
            }
        }
        if (gAbandoned.load()) {
            // Given up while SDL was inside: a device it opened after all stays paused and
            // its link is kept, since nothing may close it now.
            if (op->id != 0) new std::shared_ptr<Link>(op->link);
            return;
        }
        SDL_TLSCleanup();
    });
    if (!returned) {
        gAbandoned.store(true);
        error = "audio: SDL's audio did not open within 2 s; SDL is not asked again";
        return nullptr;
    }
    if (op->id == 0) {
        error = op->error;
        return nullptr;
    }
    auto d = std::make_unique<SdlDevice>();
    d->id = op->id;
    d->have = op->have;
    d->link = op->link;
    return d;
}

void releaseDeviceThreadState()
{
    if (!gAbandoned.load()) SDL_TLSCleanup();
}

}  // namespace velmora::audio
