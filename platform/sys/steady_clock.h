#pragma once
// The steady clock in nanoseconds: the one time base of sleeps, command stamps, presses and
// the devices' play-out times. The program itself reaches it only through Sys_NowNs, which a
// test may put on a virtual clock; the platform's own threads (devices, the output's
// watchdog loop) read it here.

#include <chrono>
#include <cstdint>

namespace velmora {

inline std::int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace velmora
