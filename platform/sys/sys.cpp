#include "platform/sys.h"

#include "platform/sys/steady_clock.h"
#include "platform/sys/timeline.h"

#include <ctime>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

namespace {
// The C library's rand() is shared by all threads too; a lock keeps the draws whole.
std::mutex gRandLock;
std::minstd_rand gRand{1};
}  // namespace

void Sys_Sleep(unsigned ms) { velmora::timeline::SleepOnThreadTimeline(ms); }

std::int64_t Sys_NowNs() { return velmora::SteadyNs(); }

SysStamp Sys_Stamp() { return velmora::timeline::ThreadStamp(velmora::SteadyNs()); }

std::int64_t Sys_Time() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The procedures seed with the calendar second before every draw. minstd's first draw
// is 48271 * seed mod (2^31 - 1), a straight line in the seed: successive seconds would
// give stimulation offsets falling 1729 Hz a second and pauses growing 271 ms a second.
// A 64-bit finaliser (splitmix64's) spreads neighbouring seeds over the whole state first.
static std::uint32_t MixSeed(unsigned seed)
{
    std::uint64_t z = static_cast<std::uint64_t>(seed) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    // minstd's state lives in 1 .. 2^31 - 2; seed() maps 0 to 1 by itself.
    return static_cast<std::uint32_t>(z % 0x7FFFFFFFull);
}

void Sys_Srand(unsigned seed)
{
    std::lock_guard lock(gRandLock);
    gRand.seed(MixSeed(seed));
}

int Sys_Rand()
{
    std::lock_guard lock(gRandLock);
    return static_cast<int>(gRand() & SYS_RAND_MAX);
}

int Sys_StartThread(void (*fn)(void *), void *data)
{
    try {
        std::thread([fn, data] {
            velmora::timeline::BeginThreadTimeline(velmora::SteadyNs());
            fn(data);
        }).detach();
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}
