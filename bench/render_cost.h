#pragma once
// Our render cost beside OpenAL Soft's, and the OpenAL Soft sources both benches that
// compare the two build.

#include "bench/tone_frames.h"

#include <AL/al.h>

#include <cmath>
#include <string>
#include <vector>

namespace velmora::bench {

// OpenAL Soft's best resampler (the last it lists) and its name; -1 without the extension.
ALint bestResampler(std::string &name);
// A source on the stereo float frames at kRate, each file channel to its own output
// channel as in our mixer, with `resampler` (when >= 0).
ALuint alSourceFor(const std::vector<float> &frames, ALint resampler);

// CPU ms per second of output with 2 and 26 voices, ours and OpenAL Soft's (NAN when its
// loopback device is missing): the least of `rounds` alternating rounds of 5 s, since
// other work on the machine only ever adds.
struct RenderCosts {
    double our2 = INFINITY, our26 = INFINITY, al2 = INFINITY, al26 = INFINITY;
};
RenderCosts renderCosts(int rounds);

}  // namespace velmora::bench
