// SDL's open and close cannot be timed out from outside. Against SDL's dummy driver: a
// device opens, renders on SDL's thread and closes; then an open that hangs (the test's
// stall before SDL is called, as a driver stuck in the kernel) is given up after 2 s, and
// from then on SDL is not asked again.
#include "platform/audio/device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace velmora::audio {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> gRenders{0};

void countRender(void *, float *out, int frames, std::int64_t, std::int64_t)
{
    for (int i = 0; i < 2 * frames; ++i) out[i] = 0.0f;
    gRenders.fetch_add(1);
}

TEST(SdlDevice, OpensThenGivesUpOnAHangingOpenForGood)
{
    std::string error;
    auto dev = openSdlDevice(96000, error);
    ASSERT_TRUE(dev) << error;
    dev->start(&countRender, nullptr, nullptr);
    for (int i = 0; i < 400 && dev->renderThreadId() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(dev->renderThreadId(), 0) << "the render thread is never named";
    EXPECT_GT(gRenders.load(), 0);
    dev.reset();
    // The device's close returned: nothing renders after it.
    const int rendered = gRenders.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gRenders.load(), rendered);

    setenv("VELMORA_TEST_SDL_STALL_MS", "3000", 1);
    auto t0 = Clock::now();
    EXPECT_FALSE(openSdlDevice(96000, error));
    const auto hung = Clock::now() - t0;
    EXPECT_GE(hung, std::chrono::milliseconds(1900));
    EXPECT_LT(hung, std::chrono::milliseconds(2500));
    EXPECT_NE(error.find("2 s"), std::string::npos) << error;

    // Not asked again: with the stall still set, an open that reached SDL would take 2 s.
    t0 = Clock::now();
    error.clear();
    EXPECT_FALSE(openSdlDevice(96000, error));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_NE(error.find("not asked again"), std::string::npos) << error;

    // The abandoned open ends by itself once its stall is over, without calling SDL.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

}  // namespace
}  // namespace velmora::audio
