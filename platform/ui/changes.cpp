// Label and dimming changes, and warnings, on their way from any thread to the GUI thread.

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>
#include <utility>

#include "platform/ui/core.h"

namespace uicore {

namespace {

// Written once by SetGuiThread before other threads use the layer; read-only afterwards.
GuiHooks gHooks;
std::thread::id gGuiThread;

std::mutex gQueueLock;
std::vector<AttributeChange> gQueue;
std::vector<Warning> gWarnings;
// Set by the first change after a drain, so a burst of changes posts one wake, not many.
std::atomic<bool> gWakePending{false};

void Posted()
{
    if (OnGuiThread()) {
        DrainAttributeChanges();
    } else if (gHooks.wake != nullptr && !gWakePending.exchange(true, std::memory_order_acq_rel)) {
        gHooks.wake();
    }
}

}  // namespace

void SetGuiThread(const GuiHooks &hooks)
{
    gHooks = hooks;
    gGuiThread = std::this_thread::get_id();
}

bool OnGuiThread() { return gGuiThread == std::this_thread::get_id(); }

void PostAttributeChange(AttributeChange change)
{
    {
        std::lock_guard lock(gQueueLock);
        gQueue.push_back(std::move(change));
    }
    Posted();
}

void PostWarning(Warning warning)
{
    {
        std::lock_guard lock(gQueueLock);
        gWarnings.push_back(std::move(warning));
    }
    Posted();
}

void DrainAttributeChanges()
{
    gWakePending.store(false, std::memory_order_release);
    std::vector<AttributeChange> batch;
    std::vector<Warning> warnings;
    {
        std::lock_guard lock(gQueueLock);
        batch.swap(gQueue);
        warnings.swap(gWarnings);
    }
    // Applied outside the lock: a widget change may run Qt code that posts more changes.
    for (const AttributeChange &change : batch) {
        if (gHooks.apply != nullptr) {
            gHooks.apply(change);
        }
    }
    for (const Warning &warning : warnings) {
        if (gHooks.warn != nullptr) {
            gHooks.warn(warning);
        }
    }
}

void DropAttributeChanges(int panel)
{
    std::lock_guard lock(gQueueLock);
    std::erase_if(gQueue, [panel](const AttributeChange &c) { return c.panel == panel; });
}

}  // namespace uicore

int Ui_ShowWarning(const char *title, const char *message)
{
    std::fprintf(stderr, "%s\n", message == nullptr ? "" : message);
    uicore::PostWarning({title == nullptr ? "" : title, message == nullptr ? "" : message});
    return 0;
}
