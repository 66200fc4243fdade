#pragma once
// Runs the real event loop, as the shell does, until done() or 15 s; `each` runs once a
// step. For tests that drive the real panel and procedures from the test's thread.

#include <chrono>
#include <functional>
#include <thread>

#include "platform/ui.h"

inline bool PumpUntil(const std::function<bool()> &done, const std::function<void()> &each = {},
                      std::chrono::milliseconds step = std::chrono::milliseconds(20))
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        if (each) {
            each();
        }
        Ui_ProcessSystemEvents();
        std::this_thread::sleep_for(step);
    }
    Ui_ProcessSystemEvents();
    return true;
}
