#pragma once
// Sound files decoded whole into memory (libsndfile), laid out for the resampler: planar,
// with zeros around each channel so that no kernel position needs a bounds check.

#include "platform/audio/resampler.h"

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

// What is kept of a file's first two channels. A channel that is exactly zero is not kept
// when the other is not: it is played as the exact zero it was, and the tone files (the
// tone in one channel) take half the memory.
enum class Layout : std::uint8_t {
    Left,    // one plane, to the left output; the right is zero
    Right,   // one plane, to the right output; the left is zero
    Both,    // one plane to both outputs: a mono file
    Stereo,  // two planes
};

struct Sample {
    int fileChannels = 0;
    int rate = 0;
    std::int64_t frames = 0;
    Layout layout = Layout::Left;
    // Planar, kPad zeros on both sides; data[1] only in Stereo. Never written once built,
    // so streams whose planes hold the same samples share one (shareIdenticalPlanes).
    std::shared_ptr<const std::vector<float>> data[2];
    bool silent[2] = {true, true};  // the file's first two channels (a mono file: the first)
    float peak = 0.0f;

    int planes() const { return layout == Layout::Stereo ? 2 : 1; }
    const float *at(int plane) const { return data[plane]->data() + kPad; }
};

// Points each plane of `s` that holds exactly the samples of a plane of `other` at that
// plane, and frees its own: a left-ear and a right-ear tone file of one frequency hold the
// same tone. Neither sample may be in use by the audio thread's reads of `s`.
void shareIdenticalPlanes(Sample &s, const Sample &other);

using Plane = std::shared_ptr<const std::vector<float>>;

// Builds a Sample from interleaved frames given in pieces, so that a file is never held
// interleaved and planar at once. Samples that are not finite become 0, larger ones are
// held at ±kMaxSampleMagnitude. A channel takes no memory while it has held only zeros:
// the tone files are one tone in one channel.
class SampleBuilder {
public:
    SampleBuilder(int channels, int rate, std::int64_t expectedFrames);
    void append(const float *interleaved, std::int64_t frames);
    std::int64_t frames() const { return frames_; }
    std::unique_ptr<Sample> finish();

private:
    void feed(std::vector<float> &own, std::int64_t at, const float *x, std::int64_t n);
    Plane plane(std::vector<float> &own);

    std::unique_ptr<Sample> s_;
    // Per channel: empty while every sample so far is +0, then kPad zeros and every sample.
    std::vector<float> own_[2];
    std::vector<float> scratch_;  // one channel of a piece, as it will be kept
    int channels_;
    std::int64_t expected_;
    std::int64_t frames_ = 0;
};

// From interleaved frames; samples that are not finite become 0, larger ones are held at
// ±kMaxSampleMagnitude.
std::unique_ptr<Sample> makeSample(const float *interleaved, std::int64_t frames, int channels, int rate);
// A file whose header has been read and found playable, held open until it is decoded.
struct OpenedFile;
struct OpenedFileDeleter {
    void operator()(OpenedFile *f) const;
};
using OpenedFilePtr = std::unique_ptr<OpenedFile, OpenedFileDeleter>;
// Null when the file is not a regular file or its header does not open as sound with 1 to 64
// channels at a rate up to 1 MHz. Reads only the header; `channels` and `rate` give it.
OpenedFilePtr openFile(const char *path, int &channels, int &rate);
// Reads the rest, and closes the file: null for what decodeFile refuses past the header
// (no frames, longer than kMaxDecodedSeconds, a read error before any frame).
std::unique_ptr<Sample> decodeOpened(OpenedFilePtr file);

// Null when the file is not a regular file, cannot be read, holds no frames, or runs longer
// than kMaxDecodedSeconds at its own rate.
std::unique_ptr<Sample> decodeFile(const char *path);

}  // namespace velmora::audio
