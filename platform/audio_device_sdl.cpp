#include "platform/audio_device_sdl.h"

#include <SDL.h>

#include <cstring>

namespace velmora::audio {

// 512 frames is 5.3 ms at 96 kHz: short enough that the fixed command latency (25 ms)
// covers several periods plus the server's buffer, long enough for few wake-ups.
static constexpr int kPeriodFrames = 512;

struct AudioDevice::Data {
    SDL_AudioDeviceID id = 0;
    SDL_AudioSpec have{};
    Render render = nullptr;
    void *user = nullptr;
    const char *driver = "";

    static void callback(void *self, Uint8 *stream, int bytes)
    {
        auto *d = static_cast<Data *>(self);
        const int frames = bytes / static_cast<int>(2 * sizeof(float));
        if (d->render) {
            d->render(d->user, reinterpret_cast<float *>(stream), frames);
        } else {
            std::memset(stream, 0, static_cast<std::size_t>(bytes));
        }
    }
};

AudioDevice::AudioDevice(std::unique_ptr<Data> d) : d_(std::move(d)) {}

std::unique_ptr<AudioDevice> AudioDevice::open(int rate, std::string &error)
{
    // The program handles its own signals; SDL must not install handlers for SIGINT/TERM.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        error = std::string("audio: cannot start SDL audio: ") + SDL_GetError();
        return nullptr;
    }
    auto d = std::make_unique<Data>();
    SDL_AudioSpec want{};
    want.freq = rate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = kPeriodFrames;
    if (const char *p = SDL_getenv("VELMORA_AUDIO_PERIOD")) want.samples = static_cast<Uint16>(SDL_atoi(p));
    want.callback = &Data::callback;
    want.userdata = d.get();
    d->id = SDL_OpenAudioDevice(nullptr, 0, &want, &d->have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
    if (d->id == 0) {
        error = std::string("audio: no output device opens: ") + SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return nullptr;
    }
    const char *drv = SDL_GetCurrentAudioDriver();
    d->driver = drv ? drv : "";
    return std::unique_ptr<AudioDevice>(new AudioDevice(std::move(d)));
}

AudioDevice::~AudioDevice()
{
    SDL_CloseAudioDevice(d_->id);  // waits for a running callback to return
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void AudioDevice::start(Render render, void *user)
{
    SDL_LockAudioDevice(d_->id);
    d_->render = render;
    d_->user = user;
    SDL_UnlockAudioDevice(d_->id);
    SDL_PauseAudioDevice(d_->id, 0);
}

int AudioDevice::rate() const { return d_->have.freq; }
int AudioDevice::periodFrames() const { return d_->have.samples; }
const char *AudioDevice::driver() const { return d_->driver; }

}  // namespace velmora::audio
