#include "platform/audio/bounded_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace velmora::audio {

bool callWithin(std::chrono::milliseconds limit, std::function<void()> fn)
{
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    // Not Sys_StartThread: this thread never sleeps on a timeline, and under a test's
    // virtual clock it must not wait for a turn.
    try {
        std::thread([state, fn = std::move(fn)] {
            fn();
            std::lock_guard lock(state->mutex);
            state->done = true;
            state->cv.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return false;
    }
    std::unique_lock lock(state->mutex);
    return state->cv.wait_for(lock, limit, [&] { return state->done; });
}

}  // namespace velmora::audio
