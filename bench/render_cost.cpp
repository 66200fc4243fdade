// Render cost per second of output, ours and OpenAL Soft's, offline for both: our Engine in
// offline mode, OpenAL Soft through its loopback device (ALC_SOFT_loopback), one second in
// 2048-frame blocks, thread CPU time.
#include "bench/render_cost.h"

#include "platform/audio/engine.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

namespace velmora::bench {

using GetStringi = const ALchar *(AL_APIENTRY *)(ALenum, ALsizei);

ALint bestResampler(std::string &name)
{
    if (!alIsExtensionPresent("AL_SOFT_source_resampler")) return -1;
    const ALint n = alGetInteger(AL_NUM_RESAMPLERS_SOFT);
    auto getStringi = reinterpret_cast<GetStringi>(alGetProcAddress("alGetStringiSOFT"));
    if (n <= 0 || !getStringi) return -1;
    name = getStringi(AL_RESAMPLER_NAME_SOFT, n - 1);
    return n - 1;
}

ALuint alSourceFor(const std::vector<float> &frames, ALint resampler)
{
    ALuint buf = 0, src = 0;
    alGenBuffers(1, &buf);
    alBufferData(buf, AL_FORMAT_STEREO_FLOAT32, frames.data(), static_cast<ALsizei>(frames.size() * sizeof(float)), kRate);
    alGenSources(1, &src);
    alSourcei(src, AL_BUFFER, static_cast<ALint>(buf));
    alSourcei(src, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
    alSourcef(src, AL_MAX_GAIN, 1000.0f);
    if (resampler >= 0) alSourcei(src, AL_SOURCE_RESAMPLER_SOFT, resampler);
    return src;
}

namespace {
double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

constexpr int kBlock = 2048;
constexpr int kCostSeconds = 5;

double ourCostMs(int voices)
{
    velmora::audio::EngineConfig cfg;
    cfg.offline = true;
    cfg.latencySeconds = 0.0;
    velmora::audio::Engine engine(cfg);
    std::vector<AudioHandle> hs;
    for (int v = 0; v < voices; ++v) {
        const auto f = voiceFrames(v);
        hs.push_back(engine.createFromFrames(f.data(), 2 * kRate, 2, kRate));
        engine.setVolume(hs.back(), 1.0f / static_cast<float>(voices), SysStamp{});
        engine.setRate(hs.back(), voiceRate(v), SysStamp{});
    }
    std::vector<float> out(2 * kBlock);
    std::int64_t frames = 0;
    const double t0 = threadCpuSeconds();
    for (int s = 0; s < kCostSeconds; ++s) {
        for (AudioHandle h : hs) engine.play(h, true, SysStamp{frames * 1'000'000'000 / kRate});  // files are 2 s: start each second afresh
        for (int done = 0; done < kRate; done += kBlock) {
            const int n = std::min(kBlock, kRate - done);
            engine.render(out.data(), n, 0, velmora::audio::kPlayoutUnknown);
            frames += n;
        }
    }
    return (threadCpuSeconds() - t0) * 1e3 / kCostSeconds;
}

double theirCostMs(int voices)
{
    auto openLoopback = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    auto renderSamples = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
    if (!openLoopback || !renderSamples) return NAN;
    ALCdevice *dev = openLoopback(nullptr);
    const ALCint attrs[] = {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                            ALC_FREQUENCY, kRate, ALC_OUTPUT_LIMITER_SOFT, ALC_FALSE, 0};
    ALCcontext *ctx = dev ? alcCreateContext(dev, attrs) : nullptr;
    if (!ctx) return NAN;
    ALCcontext *was = alcGetCurrentContext();
    alcMakeContextCurrent(ctx);
    std::string resamplerName;
    const ALint resampler = bestResampler(resamplerName);
    std::vector<ALuint> srcs;
    for (int v = 0; v < voices; ++v) {
        srcs.push_back(alSourceFor(voiceFrames(v), resampler));
        alSourcef(srcs.back(), AL_GAIN, 1.0f / static_cast<float>(voices));
        alSourcef(srcs.back(), AL_PITCH, voiceRate(v) / static_cast<float>(kRate));
    }
    std::vector<float> out(2 * kBlock);
    const double t0 = threadCpuSeconds();
    for (int s = 0; s < kCostSeconds; ++s) {
        for (ALuint src : srcs) {
            alSourceRewind(src);
            alSourcePlay(src);
        }
        for (int done = 0; done < kRate; done += kBlock) renderSamples(dev, out.data(), std::min(kBlock, kRate - done));
    }
    const double ms = (threadCpuSeconds() - t0) * 1e3 / kCostSeconds;
    for (ALuint src : srcs) {
        ALint buf = 0;
        alGetSourcei(src, AL_BUFFER, &buf);
        alDeleteSources(1, &src);
        const auto b = static_cast<ALuint>(buf);
        alDeleteBuffers(1, &b);
    }
    alcMakeContextCurrent(was);
    alcDestroyContext(ctx);
    alcCloseDevice(dev);
    return ms;
}

}  // namespace

// Alternating rounds, the least of each: other work on the machine only ever adds.
RenderCosts renderCosts(int rounds)
{
    RenderCosts c;
    for (int round = 0; round < rounds; ++round) {
        c.our2 = std::min(c.our2, ourCostMs(2));
        c.al2 = std::min(c.al2, theirCostMs(2));
        c.our26 = std::min(c.our26, ourCostMs(26));
        c.al26 = std::min(c.al26, theirCostMs(26));
    }
    return c;
}


}  // namespace velmora::bench
