// Sys_* on the virtual clock: sleeping gives up the thread's turn instead of holding it.

#include "fake/fake_platform.h"
#include "platform/sys.h"

void Sys_Sleep(unsigned ms) { fake::detail::Sleep(ms); }

std::int64_t Sys_NowNs() { return fake::Now() * 1'000'000; }

// One clock: the virtual milliseconds are the schedule, as a timeline's stamps are.
SysStamp Sys_Stamp() { return SysStamp{fake::Now() * 1'000'000, 0, 0}; }

std::int64_t Sys_Time() { return fake::detail::Time(); }

void Sys_Srand(unsigned seed) { fake::detail::Srand(seed); }

int Sys_Rand() { return fake::detail::Rand(); }

int Sys_StartThread(void (*fn)(void *), void *data) { return fake::detail::StartThread(fn, data); }
