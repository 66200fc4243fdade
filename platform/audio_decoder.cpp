#include "platform/audio_decoder.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace velmora::audio {

std::unique_ptr<Sample> makeSample(const float *interleaved, std::int64_t frames, int channels, int rate)
{
    auto s = std::make_unique<Sample>();
    s->fileChannels = channels;
    s->channels = std::min(channels, 2);
    s->rate = rate;
    s->frames = frames;
    for (int c = 0; c < s->channels; ++c) {
        auto &v = s->data[c];
        v.assign(static_cast<std::size_t>(frames + 2 * kPad), 0.0f);
        for (std::int64_t i = 0; i < frames; ++i) {
            float x = interleaved[i * channels + c];
            if (!std::isfinite(x)) x = 0.0f;
            v[static_cast<std::size_t>(i + kPad)] = x;
            if (x != 0.0f) s->silent[c] = false;
            s->peak = std::max(s->peak, std::abs(x));
        }
    }
    return s;
}

std::unique_ptr<Sample> decodeFile(const char *path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path, SFM_READ, &info);
    if (!f) return nullptr;
    std::unique_ptr<Sample> result;
    if (info.channels >= 1 && info.channels <= 64 && info.samplerate > 0 && info.samplerate <= 1'000'000) {
        // The declared length is not trusted: a header can claim gigabytes. Read in
        // chunks until the data ends, up to a hard cap.
        sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        std::vector<float> frames;
        const std::int64_t ch = info.channels;
        const std::int64_t declared = std::clamp<std::int64_t>(info.frames, 0, std::int64_t{1} << 22);
        // What the header declares (within reason) in one read, the rest in chunks: at
        // start-up 26 files are read before the window shows.
        frames.resize(static_cast<std::size_t>(declared * ch));
        const sf_count_t first = declared > 0 ? sf_readf_float(f, frames.data(), declared) : 0;
        frames.resize(static_cast<std::size_t>(std::max<sf_count_t>(first, 0) * ch));
        std::vector<float> chunk(static_cast<std::size_t>(4096 * ch));
        for (;;) {
            const sf_count_t got = sf_readf_float(f, chunk.data(), 4096);
            if (got <= 0) break;
            if (static_cast<std::int64_t>(frames.size()) + got * ch > kMaxDecodedSamples) break;
            frames.insert(frames.end(), chunk.begin(), chunk.begin() + got * ch);
        }
        const std::int64_t n = static_cast<std::int64_t>(frames.size()) / ch;
        if (n > 0) result = makeSample(frames.data(), n, info.channels, info.samplerate);
    }
    sf_close(f);
    return result;
}

}  // namespace velmora::audio
