#include "platform/sys.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <random>
#include <thread>

namespace {
// The C library's rand() is shared by all threads too; a lock keeps the draws whole.
std::mutex gRandLock;
std::minstd_rand gRand{1};
}  // namespace

void Sys_Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t Sys_Time() { return static_cast<std::int64_t>(std::time(nullptr)); }

void Sys_Srand(unsigned seed)
{
    std::lock_guard lock(gRandLock);
    gRand.seed(seed);
}

int Sys_Rand()
{
    std::lock_guard lock(gRandLock);
    return static_cast<int>(gRand() & SYS_RAND_MAX);
}

void Sys_ThreadStarting() {}
void Sys_ThreadEnded() {}
