#include "platform/audio/realtime.h"

#include <dbus/dbus.h>
#include <link.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>

namespace velmora::audio {

namespace {

constexpr const char *kRtkitName = "org.freedesktop.RealtimeKit1";
constexpr const char *kRtkitPath = "/org/freedesktop/RealtimeKit1";
constexpr int kBusTimeoutMs = 1000;
// RTKit's own default for RTTimeUSecMax, where the daemon does not tell it.
constexpr long long kRtTimeUsec = 200'000;

// RTKit grants SCHED_RR unless its daemon is told otherwise (Debian's is not): for one
// thread at its priority that is the same as FIFO.
int realtimePriority(long tid)
{
    const int policy = sched_getscheduler(static_cast<pid_t>(tid));
    const int kind = policy & ~SCHED_RESET_ON_FORK;
    if (policy < 0 || (kind != SCHED_FIFO && kind != SCHED_RR)) return 0;
    sched_param p{};
    return sched_getparam(static_cast<pid_t>(tid), &p) == 0 ? p.sched_priority : 0;
}

bool setFifo(long tid, int priority)
{
    sched_param p{};
    p.sched_priority = priority;
    // Reset on fork: a child of the render thread starts with ordinary scheduling.
    return sched_setscheduler(static_cast<pid_t>(tid), SCHED_FIFO | SCHED_RESET_ON_FORK, &p) == 0;
}

// One private connection to the system bus, closed when done: the shared one would stay
// open (and allocated) until the process ends.
class SystemBus {
public:
    SystemBus()
    {
        DBusError error;
        dbus_error_init(&error);
        bus_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
        dbus_error_free(&error);
        if (bus_) dbus_connection_set_exit_on_disconnect(bus_, FALSE);
    }
    ~SystemBus()
    {
        if (!bus_) return;
        dbus_connection_close(bus_);
        dbus_connection_unref(bus_);
    }
    SystemBus(const SystemBus &) = delete;
    SystemBus &operator=(const SystemBus &) = delete;

    explicit operator bool() const { return bus_ != nullptr; }

    // Sends `m` (and frees it); the reply, or null when none came.
    DBusMessage *call(DBusMessage *m)
    {
        if (!m) return nullptr;
        DBusError error;
        dbus_error_init(&error);
        DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus_, m, kBusTimeoutMs, &error);
        dbus_error_free(&error);
        dbus_message_unref(m);
        return reply;
    }

    // An integer property of RTKit's.
    std::optional<long long> property(const char *name)
    {
        DBusMessage *m = dbus_message_new_method_call(kRtkitName, kRtkitPath, "org.freedesktop.DBus.Properties", "Get");
        const char *iface = kRtkitName;
        if (m && !dbus_message_append_args(m, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
            dbus_message_unref(m);
            return std::nullopt;
        }
        DBusMessage *reply = call(m);
        if (!reply) return std::nullopt;
        std::optional<long long> value;
        DBusMessageIter it, inner;
        if (dbus_message_iter_init(reply, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&it, &inner);
            if (dbus_message_iter_get_arg_type(&inner) == DBUS_TYPE_INT32) {
                dbus_int32_t v = 0;
                dbus_message_iter_get_basic(&inner, &v);
                value = v;
            } else if (dbus_message_iter_get_arg_type(&inner) == DBUS_TYPE_INT64) {
                dbus_int64_t v = 0;
                dbus_message_iter_get_basic(&inner, &v);
                value = v;
            }
        }
        dbus_message_unref(reply);
        return value;
    }

    bool makeThreadRealtime(long tid, int priority)
    {
        DBusMessage *m = dbus_message_new_method_call(kRtkitName, kRtkitPath, kRtkitName, "MakeThreadRealtime");
        dbus_uint64_t thread = static_cast<dbus_uint64_t>(tid);
        dbus_uint32_t prio = static_cast<dbus_uint32_t>(priority);
        if (m && !dbus_message_append_args(m, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &prio, DBUS_TYPE_INVALID)) {
            dbus_message_unref(m);
            return false;
        }
        DBusMessage *reply = call(m);
        if (!reply) return false;
        const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
        dbus_message_unref(reply);
        return ok;
    }

private:
    DBusConnection *bus_ = nullptr;
};

// RTKit grants real time only to a process that a runaway thread cannot hang: one whose
// RLIMIT_RTTIME is at most the daemon's limit. The render thread waits for the server
// every few milliseconds, far inside it.
bool limitRtTime(long long usecMax)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_RTTIME, &lim) != 0) return false;
    const auto want = static_cast<rlim_t>(usecMax);
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max <= want && lim.rlim_cur == lim.rlim_max) return true;
    lim.rlim_cur = lim.rlim_max = lim.rlim_max == RLIM_INFINITY ? want : std::min(lim.rlim_max, want);
    return setrlimit(RLIMIT_RTTIME, &lim) == 0;
}

int viaRtkit(long tid)
{
    SystemBus bus;
    if (!bus) return 0;
    const long long maxPriority = bus.property("MaxRealtimePriority").value_or(0);
    const int priority = static_cast<int>(std::min<long long>(kRenderPriority, maxPriority));
    if (priority < 1) return 0;
    if (!limitRtTime(bus.property("RTTimeUSecMax").value_or(kRtTimeUsec))) return 0;
    return bus.makeThreadRealtime(tid, priority) ? realtimePriority(tid) : 0;
}

std::atomic<bool> gCodeLocked{false};

struct LockTally {
    long bytes = 0;
    long room = 0;  // what RLIMIT_MEMLOCK leaves
};

bool rendersSound(const char *name)
{
    if (!name || !*name) return true;  // the program itself
    return std::strstr(name, "libpulse") || std::strstr(name, "libSDL2");
}

int lockObjectCode(dl_phdr_info *info, size_t, void *data)
{
    auto *tally = static_cast<LockTally *>(data);
    if (!rendersSound(info->dlpi_name)) return 0;
    const long page = sysconf(_SC_PAGESIZE);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
        const std::uintptr_t start = (info->dlpi_addr + ph.p_vaddr) & ~static_cast<std::uintptr_t>(page - 1);
        const std::uintptr_t end = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
        const auto size = static_cast<long>(end - start);
        if (size > tally->room - tally->bytes) continue;
        // The system call itself: the sanitizers' mlock does nothing and says it worked.
        if (syscall(SYS_mlock, start, static_cast<size_t>(size)) == 0) tally->bytes += size;
    }
    return 0;
}

}  // namespace

long currentThreadId() { return static_cast<long>(syscall(SYS_gettid)); }

int makeRealtime(long tid)
{
    if (tid <= 0) return 0;
    if (setFifo(tid, kRenderPriority)) return realtimePriority(tid);
    rlimit lim{};
    if (getrlimit(RLIMIT_RTPRIO, &lim) == 0 && lim.rlim_cur >= 1 &&
        setFifo(tid, static_cast<int>(std::min<rlim_t>(lim.rlim_cur, kRenderPriority))))
        return realtimePriority(tid);
    return viaRtkit(tid);
}

long lockRenderCode()
{
    if (gCodeLocked.exchange(true)) return 0;
    rlimit lim{};
    if (getrlimit(RLIMIT_MEMLOCK, &lim) != 0) return 0;
    LockTally tally;
    tally.room = lim.rlim_cur == RLIM_INFINITY ? (1L << 30) : static_cast<long>(lim.rlim_cur);
    dl_iterate_phdr(&lockObjectCode, &tally);
    return tally.bytes;
}

}  // namespace velmora::audio
