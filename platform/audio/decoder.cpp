#include "platform/audio/decoder.h"
#include "platform/sys/regular_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace velmora::audio {

SampleBuilder::SampleBuilder(int channels, int rate, std::int64_t expectedFrames)
    : s_(std::make_unique<Sample>()), channels_(channels), expected_(std::max<std::int64_t>(expectedFrames, 0))
{
    s_->fileChannels = channels;
    s_->rate = rate;
}

// Samples x[0 .. n) from frame `at` of a channel: a run of +0 from its start is not kept.
void SampleBuilder::feed(std::vector<float> &own, std::int64_t at, const float *x, std::int64_t n)
{
    std::int64_t k = 0;
    if (own.empty()) {
        const auto kept = [](float y) { return std::signbit(y) || y != 0.0f; };  // all but +0
        k = std::find_if(x, x + n, kept) - x;
        if (k == n) return;
        own.reserve(static_cast<std::size_t>(std::max(expected_, at + n) + 2 * kPad));
        own.assign(static_cast<std::size_t>(at + k + kPad), 0.0f);
    }
    own.insert(own.end(), x + k, x + n);
}

void SampleBuilder::append(const float *interleaved, std::int64_t frames)
{
    const int planes = std::min(channels_, 2);
    float peak = s_->peak;
    scratch_.resize(static_cast<std::size_t>(frames));
    for (int c = 0; c < planes; ++c) {
        const float *src = interleaved + c;
        float *x = scratch_.data();
        bool sounds = false;
        for (std::int64_t i = 0; i < frames; ++i) {
            float v = src[i * channels_];
            v = std::isfinite(v) ? std::clamp(v, -kMaxSampleMagnitude, kMaxSampleMagnitude) : 0.0f;
            x[i] = v;
            sounds |= v != 0.0f;
            peak = std::max(peak, std::abs(v));
        }
        if (sounds) s_->silent[c] = false;
        feed(own_[c], frames_, x, frames);
    }
    s_->peak = peak;
    frames_ += frames;
}

// The channel's plane as it ends: kPad zeros, the frames, kPad zeros.
Plane SampleBuilder::plane(std::vector<float> &own)
{
    own.resize(static_cast<std::size_t>(frames_ + 2 * kPad), 0.0f);
    own.shrink_to_fit();  // a header may have promised more frames than came
    return std::make_shared<const std::vector<float>>(std::move(own));
}

std::unique_ptr<Sample> SampleBuilder::finish()
{
    Sample &s = *s_;
    s.frames = frames_;
    if (channels_ == 1) {
        s.layout = Layout::Both;
    } else if (!s.silent[0] && !s.silent[1]) {
        s.layout = Layout::Stereo;
    } else {
        // Keep the channel that sounds (the left when neither does).
        s.layout = s.silent[0] && !s.silent[1] ? Layout::Right : Layout::Left;
    }
    const int first = s.layout == Layout::Right ? 1 : 0;
    for (int c = 0; c < s.planes(); ++c) s.data[c] = plane(own_[first + c]);
    return std::move(s_);
}

std::unique_ptr<Sample> makeSample(const float *interleaved, std::int64_t frames, int channels, int rate)
{
    SampleBuilder b(channels, rate, frames);
    b.append(interleaved, frames);
    return b.finish();
}

void shareIdenticalPlanes(Sample &s, const Sample &other)
{
    for (int c = 0; c < s.planes(); ++c)
        for (int o = 0; o < other.planes(); ++o)
            // Planes of other tones differ within their first samples: the full compare is
            // paid for the same tone only.
            if (s.data[c] != other.data[o] && s.peak == other.peak && s.data[c]->size() == other.data[o]->size() &&
                std::memcmp(s.data[c]->data(), other.data[o]->data(), s.data[c]->size() * sizeof(float)) == 0)
                s.data[c] = other.data[o];
}

struct OpenedFile {
    SNDFILE *file;
    SF_INFO info;
};

void OpenedFileDeleter::operator()(OpenedFile *f) const
{
    if (f && f->file) sf_close(f->file);
    delete f;
}

namespace {

bool playableHeader(const SF_INFO &info)
{
    return info.channels >= 1 && info.channels <= 64 && info.samplerate > 0 && info.samplerate <= 1'000'000;
}

// Reads every frame of an open file and closes it.
std::unique_ptr<Sample> readFrames(SNDFILE *f, const SF_INFO &info)
{
    if (!f) return nullptr;
    std::unique_ptr<Sample> result;
    if (playableHeader(info)) {
        // The declared length is not trusted: a header can claim gigabytes. Read in
        // chunks until the data ends, up to one frame past the longest file taken (that
        // frame says the file is too long) or the hard cap, whichever comes first.
        sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        const std::int64_t ch = info.channels;
        const std::int64_t longest = std::int64_t{info.samplerate} * kMaxDecodedSeconds;
        const std::int64_t most = std::min(longest + 1, kMaxDecodedSamples / ch);
        SampleBuilder builder(info.channels, info.samplerate, std::clamp<std::int64_t>(info.frames, 0, most));
        constexpr std::int64_t kChunkFrames = 1 << 16;
        std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * ch));
        while (builder.frames() < most) {
            const sf_count_t got = sf_readf_float(f, chunk.data(), std::min<std::int64_t>(kChunkFrames, most - builder.frames()));
            if (got <= 0) break;
            builder.append(chunk.data(), got);
        }
        const std::int64_t n = builder.frames();
        if (n > 0 && n <= longest) result = builder.finish();
    }
    sf_close(f);
    return result;
}

}  // namespace

OpenedFilePtr openFile(const char *path, int &channels, int &rate)
{
    const int fd = OpenRegularFile(path);
    if (fd < 0) return nullptr;
    // libsndfile owns the descriptor from here, and closes it also when the open fails.
    SF_INFO info{};
    SNDFILE *f = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!f) return nullptr;
    OpenedFilePtr opened(new OpenedFile{f, info});
    if (!playableHeader(info)) return nullptr;
    channels = info.channels;
    rate = info.samplerate;
    return opened;
}

std::unique_ptr<Sample> decodeOpened(OpenedFilePtr file)
{
    if (!file) return nullptr;
    SNDFILE *f = std::exchange(file->file, nullptr);
    return readFrames(f, file->info);
}

std::unique_ptr<Sample> decodeFile(const char *path)
{
    int channels = 0;
    int rate = 0;
    return decodeOpened(openFile(path, channels, rate));
}

}  // namespace velmora::audio
