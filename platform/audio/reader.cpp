#include "platform/audio/reader.h"

#include "platform/audio/engine.h"
#include "platform/sys.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <utility>

namespace velmora::audio {

namespace {

struct Job {
    Engine *engine = nullptr;
    AudioHandle handle = 0;
    OpenedFilePtr file;
};

// Never destroyed: the thread may still be leaving it while the process ends.
struct Queue {
    std::mutex m;
    std::deque<Job> jobs;
    bool running = false;  // a thread is on its way through `jobs`
};

Queue &queue()
{
    static Queue *q = new Queue;
    return *q;
}

void read(Job job)
{
    job.engine->complete(job.handle, decodeOpened(std::move(job.file)));
}

void readAll(void *)
{
    // Behind the window: on a busy machine the panel's first paint goes first.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    Queue &q = queue();
    for (;;) {
        Job job;
        {
            std::lock_guard lock(q.m);
            if (q.jobs.empty()) {
                q.running = false;
                break;
            }
            job = std::move(q.jobs.front());
            q.jobs.pop_front();
        }
        read(std::move(job));
    }
    // The reads' buffers were taken on this thread, from an arena of its own that keeps
    // what was freed: give it back, as the main thread's arena would have reused it.
    (void)::malloc_trim(0);
}

}  // namespace

void readBehind(Engine &e, AudioHandle h, OpenedFilePtr file)
{
    Queue &q = queue();
    {
        std::lock_guard lock(q.m);
        q.jobs.push_back(Job{&e, h, std::move(file)});
        if (q.running) return;
        q.running = true;
    }
    if (Sys_StartThread(readAll, nullptr) != 0) readAll(nullptr);
}

}  // namespace velmora::audio
