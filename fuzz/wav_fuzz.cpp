// A sound file, as a file of no name (memfd), through the engine's decoder, then a few hundred frames of it
// played: whatever the bytes, decoding must fail cleanly or give a stream whose peak is a
// number and whose mix is made of numbers before the final guard. A file at the output's
// own rate is read straight, and the gain cap then keeps it within full scale: the guard
// must never act on it.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/audio/engine.h"

namespace {

velmora::audio::EngineConfig config()
{
    velmora::audio::EngineConfig c;
    c.offline = true;
    c.outputRate = 48000;
    c.capacity = 1;
    c.queueCapacity = 16;
    c.latencySeconds = 0.0;  // the play lands on the first frame
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Opened by its path, as the program opens its tone files.
    const int fd = ::memfd_create("wav_fuzz", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    velmora::audio::Engine engine(config());
    const AudioHandle h = engine.createFromFile(("/proc/self/fd/" + std::to_string(fd)).c_str());
    ::close(fd);
    if (h == 0) return 0;
    const float peak = engine.peak(h);
    if (!std::isfinite(peak) || peak < 0.0f) std::abort();
    if (!engine.play(h, true, SysStamp{})) std::abort();
    std::vector<float> out(2 * 512);
    engine.render(out.data(), 512, 0, velmora::audio::kPlayoutUnknown);
    const velmora::audio::EngineCounters counters = engine.counters();
    if (counters.nonFiniteFrames != 0) std::abort();
    AudioInfo info;
    if (!engine.info(h, info)) std::abort();
    if (static_cast<int>(info.freq) == engine.outputRate() && counters.limitedFrames != 0) std::abort();
    if (!engine.free(h, SysStamp{})) std::abort();
    return 0;
}
