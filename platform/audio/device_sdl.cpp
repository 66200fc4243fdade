#include "platform/audio/device.h"
#include "platform/sys/steady_clock.h"

#include <SDL.h>

#include <cstring>

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

class SdlDevice final : public AudioDevice {
public:
    SDL_AudioDeviceID id = 0;
    SDL_AudioSpec have{};
    Render render = nullptr;
    void *user = nullptr;

    static void callback(void *self, Uint8 *stream, int bytes)
    {
        auto *d = static_cast<SdlDevice *>(self);
        const int frames = bytes / static_cast<int>(2 * sizeof(float));
        if (d->render)
            d->render(d->user, reinterpret_cast<float *>(stream), frames, SteadyNs(), -1, false);
        else
            std::memset(stream, 0, static_cast<std::size_t>(bytes));
    }

    ~SdlDevice() override
    {
        if (id != 0) SDL_CloseAudioDevice(id);  // waits for a running callback to return
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    void start(Render r, void *u) override
    {
        SDL_LockAudioDevice(id);
        render = r;
        user = u;
        SDL_UnlockAudioDevice(id);
        SDL_PauseAudioDevice(id, 0);
    }
    int rate() const override { return have.freq; }
    bool failed() const override { return SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED; }
    double commandLatencySeconds() const override { return 2.0 * have.samples / have.freq + 0.008; }
    // SDL tells no play-out time: the buffer being filled is heard about one buffer later.
    double unreportedDelaySeconds() const override { return static_cast<double>(have.samples) / have.freq; }
    const char *name() const override { return "sdl"; }
};

}  // namespace

std::unique_ptr<AudioDevice> openSdlDevice(int rate, std::string &error)
{
    // The program handles its own signals; SDL must not install handlers for SIGINT/TERM.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        error = std::string("audio: cannot start SDL audio: ") + SDL_GetError();
        return nullptr;
    }
    auto d = std::make_unique<SdlDevice>();
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(periodFor(rate));
    want.callback = &SdlDevice::callback;
    want.userdata = d.get();
    d->id = SDL_OpenAudioDevice(nullptr, 0, &want, &d->have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (d->id == 0) {
        error = std::string("audio: no output device opens: ") + SDL_GetError();
        return nullptr;  // the destructor leaves the subsystem again
    }
    return d;
}

void releaseDeviceThreadState() { SDL_TLSCleanup(); }

}  // namespace velmora::audio
