// The thread pool behind Ui_ScheduleThreadPoolFunction.

#include <condition_variable>
#include <mutex>

#include "platform/sys.h"
#include "platform/ui/core.h"

using namespace uicore;

namespace {

// Counts functions scheduled and not yet returned; Ui_WaitForThreadPoolFunctions waits for 0.
std::mutex gPoolLock;
std::condition_variable gPoolIdle;
int gPoolRunning = 0;

}  // namespace

// A thread per function: the program runs at most one function per procedure at a time, so
// a pool of reusable threads would save nothing worth its code. The priority, completion
// callback, event mask and place for a function id are accepted and ignored; nothing in
// the program uses them.
int Ui_ScheduleThreadPoolFunction(int poolHandle, ThreadFunction function, void *functionData, int, void *, int,
                                  void *, int, int *)
{
    if (poolHandle != UI_DEFAULT_THREAD_POOL || function == nullptr) {
        return UI_ERR_BAD_ARGUMENT;
    }
    {
        std::lock_guard lock(gPoolLock);
        ++gPoolRunning;
    }
    const auto countOut = [] {
        std::lock_guard lock(gPoolLock);
        if (--gPoolRunning == 0) {
            gPoolIdle.notify_all();
        }
    };
    struct Job {
        ThreadFunction function;
        void *data;
    };
    auto *job = new Job{function, functionData};
    // The thread touches nothing of ours after it has counted itself out:
    // Ui_WaitForThreadPoolFunctions waits on the count, not on the thread.
    const int started = Sys_StartThread(
        [](void *p) {
            const Job j = *static_cast<Job *>(p);
            delete static_cast<Job *>(p);
            j.function(j.data);
            std::lock_guard lock(gPoolLock);
            if (--gPoolRunning == 0) {
                gPoolIdle.notify_all();
            }
        },
        job);
    if (started != 0) {
        delete job;
        countOut();
        return UI_ERR_NOT_READY;
    }
    return 0;
}

void Ui_WaitForThreadPoolFunctions()
{
    std::unique_lock lock(gPoolLock);
    gPoolIdle.wait(lock, [] { return gPoolRunning == 0; });
}
