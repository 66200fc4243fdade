// The output's watchdog against a device that stops rendering, or fails, and a server that
// comes back: the loss is noticed, the engine goes on without a device, and a new device
// takes over. Real time, a few seconds.
#include "platform/audio_output.h"
#include "audio/audio_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velmora::audio {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Renders 5 ms pieces from its own thread until told to stall or to fail.
class FakeDevice final : public AudioDevice {
public:
    static inline std::atomic<bool> allowOpen{false};
    static inline std::atomic<int> opened{0};
    std::atomic<bool> stalled{false};
    std::atomic<bool> broken{false};

    ~FakeDevice() override
    {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void start(Render render, void *user) override
    {
        thread_ = std::thread([=, this] {
            std::vector<float> out(480 * 2);
            while (!quit_) {
                if (!stalled) render(user, out.data(), 480, -1);
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    int rate() const override { return test::kRate; }
    bool failed() const override { return broken; }
    double commandLatencySeconds() const override { return 0.02; }
    const char *name() const override { return "fake"; }

    static std::unique_ptr<AudioDevice> open(int, std::string &)
    {
        if (!allowOpen) return nullptr;
        ++opened;
        return std::make_unique<FakeDevice>();
    }

private:
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

template <typename Pred>
double secondsUntil(Pred pred, double limit)
{
    const auto t0 = Clock::now();
    while (!pred()) {
        if (Clock::now() - t0 > std::chrono::duration<double>(limit)) return -1.0;
        std::this_thread::sleep_for(5ms);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct LossRow {
    const char *name;
    bool stall;       // else the device reports a failure
    bool sounding;    // a tone plays when it happens
    bool lost;
    double noticedBy; // s
};

class OutputLoss : public ::testing::TestWithParam<LossRow> {};

TEST_P(OutputLoss, NoticedWhileSoundIsDueThenReopened)
{
    const LossRow row = GetParam();
    FakeDevice::allowOpen = false;
    FakeDevice::opened = 0;
    EngineConfig cfg;
    Engine engine(cfg);
    auto first = std::make_unique<FakeDevice>();
    FakeDevice *device = first.get();
    Output output(&engine, std::move(first), &FakeDevice::open);
    const auto tone = test::sineFrames(1000.0, 20.0);
    const AudioHandle h = engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, test::kRate);
    if (row.sounding) engine.play(h, false);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(output.working(), 1);

    if (row.stall) device->stalled = true;
    else device->broken = true;
    const double noticed = secondsUntil([&] { return output.working() == 0; }, 1.0);
    if (!row.lost) {
        EXPECT_LT(noticed, 0.0) << "an idle device that renders nothing is no loss";
        return;
    }
    ASSERT_GE(noticed, 0.0) << "never noticed";
    EXPECT_LT(noticed, row.noticedBy);
    EXPECT_EQ(output.losses(), 1);

    // Without a device the engine is rendered in its place: commands are still applied.
    const auto applied = engine.counters().commandsApplied;
    engine.stop(h);
    EXPECT_GE(secondsUntil([&] { return engine.counters().commandsApplied > applied; }, 0.5), 0.0);

    FakeDevice::allowOpen = true;
    EXPECT_GE(secondsUntil([&] { return output.working() == 1; }, 2.5), 0.0) << "tried again within 2 s";
    EXPECT_EQ(FakeDevice::opened, 1);
    const auto frames = engine.counters().framesRendered;
    EXPECT_GE(secondsUntil([&] { return engine.counters().framesRendered > frames + 4800; }, 0.5), 0.0);
    EXPECT_EQ(output.losses(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, OutputLoss,
                         ::testing::Values(LossRow{"Stall", true, true, true, 0.7},
                                           LossRow{"Failure", false, false, true, 0.1},
                                           LossRow{"IdleStall", true, false, false, 0.0}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::audio
