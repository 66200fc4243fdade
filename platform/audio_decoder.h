#pragma once
// Sound files decoded whole into memory (libsndfile), laid out for the resampler: planar,
// with zeros around each channel so that no kernel position needs a bounds check.

#include "platform/audio_resampler.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::audio {

inline constexpr std::int64_t kMaxDecodedSamples = std::int64_t{1} << 27;  // 512 MB of floats
// Every stream is decoded whole and kept: 26 files of 10 s at 96 kHz stereo hold 200 MB.
// The tones last 2.5 s; a longer file is refused rather than cut, so that nothing passes
// for the whole of a file that it is not.
inline constexpr std::int64_t kMaxDecodedSeconds = 10;
// Samples are held within this: the resampler adds up to 168 products of a sample and a
// kernel tap, and samples near the float's limit would overflow to infinity on the way.
inline constexpr float kMaxSampleMagnitude = 0x1p64f;

struct Sample {
    int fileChannels = 0;
    int channels = 0;  // 1 or 2 kept; a mono file feeds both outputs
    int rate = 0;
    std::int64_t frames = 0;
    std::vector<float> data[2];  // planar, kPad zeros on both sides
    bool silent[2] = {true, true};
    float peak = 0.0f;

    const float *at(int c) const { return data[c].data() + kPad; }
};

// From interleaved frames; samples that are not finite become 0, larger ones are held at
// ±kMaxSampleMagnitude.
std::unique_ptr<Sample> makeSample(const float *interleaved, std::int64_t frames, int channels, int rate);
// Null when the file is not a regular file, cannot be read, holds no frames, or runs longer
// than kMaxDecodedSeconds at its own rate.
std::unique_ptr<Sample> decodeFile(const char *path);
// The same from a whole file's bytes in memory (libsndfile's virtual I/O); not kept.
std::unique_ptr<Sample> decodeMemory(const void *data, std::size_t size);

}  // namespace velmora::audio
