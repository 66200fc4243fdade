// The output's watchdog against a device that stops rendering, or fails, and a server that
// comes back: the loss is noticed, the engine goes on without a device, and a new device
// takes over. The watchdog and the device are stepped by hand on a clock of the test's own.
#include "platform/audio/output.h"
#include "audio/audio_test_helpers.h"

#include "platform/audio/realtime.h"
#include "platform/audio/route.h"
#include "platform/sys/steady_clock.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

namespace velmora::audio {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// Renders 5 ms a step when stepped, until told to stall or to fail.
class FakeDevice final : public AudioDevice {
public:
    static inline bool allowOpen = false;
    static inline int opened = 0;
    static inline FakeDevice *current = nullptr;
    // What the next device opened is: its unreported delay (it then tells no play-out
    // time) and where its sound goes.
    static inline double nextDelaySeconds = 0.0;
    static inline std::string nextRoute = "Headphones";
    double delaySeconds = nextDelaySeconds;
    std::string route = nextRoute;
    bool stalled = false;
    bool broken = false;
    Render render = nullptr;
    void *user = nullptr;
    std::vector<float> out = std::vector<float>(480 * 2);

    FakeDevice() { current = this; }
    ~FakeDevice() override
    {
        if (current == this) current = nullptr;
    }
    void start(Render r, RouteChanged, void *u) override
    {
        render = r;
        user = u;
    }
    void step(std::int64_t now)
    {
        if (render && !stalled) render(user, out.data(), 480, now, delaySeconds > 0 ? kPlayoutUnknown : now);
    }
    double unreportedDelaySeconds() const override { return delaySeconds; }
    std::string routeName() const override { return route; }
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
};

// Steps the device and the watchdog every 5 ms of the test's clock until pred() or limit.
template <typename Pred>
std::int64_t stepUntil(Output &output, std::int64_t &now, Pred pred, std::int64_t limitMs)
{
    const std::int64_t start = now;
    while (!pred()) {
        if (now - start > limitMs * kMs) return -1;
        now += 5 * kMs;
        if (FakeDevice::current) FakeDevice::current->step(now);
        output.tick(now);
    }
    return (now - start) / kMs;
}

struct LossRow {
    const char *name;
    bool stall;       // else the device reports a failure
    bool sounding;    // a tone plays when it happens
    bool lost;
    int noticedByMs;
};

class OutputLoss : public ::testing::TestWithParam<LossRow> {};

TEST_P(OutputLoss, NoticedWhileSoundIsDueThenReopened)
{
    const LossRow row = GetParam();
    FakeDevice::allowOpen = false;
    FakeDevice::opened = 0;
    Engine engine(EngineConfig{});
    std::int64_t now = 1000 * kMs;
    Output output(&engine, std::make_unique<FakeDevice>(), &FakeDevice::open, now, false);
    FakeDevice *device = FakeDevice::current;
    const auto tone = test::sineFrames(1000.0, 20.0);
    const AudioHandle h = engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, test::kRate);
    const std::uint64_t play = row.sounding ? engine.play(h, false, SysStamp{now}) : 0;
    stepUntil(output, now, [] { return false; }, 100);
    ASSERT_EQ(output.working(), 1);
    std::int64_t heard = 0;
    if (row.sounding) {
        EXPECT_EQ(engine.soundedAt(play, heard), Engine::kSounded);
    }

    if (row.stall) device->stalled = true;
    else device->broken = true;
    const std::int64_t noticed = stepUntil(output, now, [&] { return output.working() == 0; }, 1000);
    if (!row.lost) {
        EXPECT_LT(noticed, 0) << "an idle device that renders nothing is no loss";
        return;
    }
    ASSERT_GE(noticed, 0) << "never noticed";
    EXPECT_LE(noticed, row.noticedByMs);
    EXPECT_EQ(output.losses(), 1);

    // Without a device the engine is rendered in its place: commands are still applied,
    // and a play made then is known never to have sounded.
    const auto applied = engine.counters().commandsApplied;
    const std::uint64_t unheard = engine.play(h, true, SysStamp{now});
    EXPECT_GE(stepUntil(output, now, [&] { return engine.counters().commandsApplied > applied; }, 500), 0);
    EXPECT_EQ(engine.soundedAt(unheard, heard), Engine::kNeverSounded);

    FakeDevice::allowOpen = true;
    EXPECT_GE(stepUntil(output, now, [&] { return output.working() == 1; }, 2100), 0) << "tried again within 2 s";
    EXPECT_EQ(FakeDevice::opened, 1);
    const auto frames = engine.counters().framesRendered;
    EXPECT_GE(stepUntil(output, now, [&] { return engine.counters().framesRendered > frames + 4800; }, 100), 0);
    EXPECT_EQ(output.losses(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, OutputLoss,
                         ::testing::Values(LossRow{"Stall", true, true, true, 510},
                                           LossRow{"Failure", false, false, true, 5},
                                           LossRow{"IdleStall", true, false, false, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// A device that comes back after a loss is another one: its own timing dates the plays
// (here no play-out times, a 20 ms delay where the first told them), and landing on
// another device counts as a change of route.
TEST(OutputReopen, TheNewDeviceTimesThePlaysAndCountsAsAnotherRoute)
{
    FakeDevice::allowOpen = false;
    FakeDevice::nextDelaySeconds = 0.0;
    FakeDevice::nextRoute = "Headphones";
    Engine engine(EngineConfig{});
    std::int64_t now = 1000 * kMs;
    Output output(&engine, std::make_unique<FakeDevice>(), &FakeDevice::open, now, false);
    const auto tone = test::sineFrames(1000.0, 5.0);
    const AudioHandle h = engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, test::kRate);
    FakeDevice::current->broken = true;
    ASSERT_GE(stepUntil(output, now, [&] { return output.working() == 0; }, 100), 0);

    FakeDevice::allowOpen = true;
    FakeDevice::nextDelaySeconds = 0.020;
    FakeDevice::nextRoute = "Speakers";
    ASSERT_GE(stepUntil(output, now, [&] { return output.working() == 1; }, 2100), 0);
    EXPECT_EQ(output.routeChanges(), 1);
    std::string from, to;
    output.lastChange(from, to);
    EXPECT_EQ(from, "Headphones");
    EXPECT_EQ(to, "Speakers");

    stepUntil(output, now, [] { return false; }, 300);  // the new device's frame clock settles
    const std::int64_t stamp = now;
    const std::uint64_t play = engine.play(h, false, SysStamp{stamp});
    std::int64_t heard = 0, appliedAt = 0;
    ASSERT_GE(stepUntil(output, now, [&] {
                  appliedAt = now;
                  return engine.soundedAt(play, heard) == Engine::kSounded;
              }, 500), 0);
    // Placed one command latency after its stamp, on the new device's pace...
    const double latencyMs = 1e3 * engine.latencyFrames() / test::kRate;
    EXPECT_NEAR(static_cast<double>(appliedAt - stamp) / kMs, latencyMs, 5.0);
    // ...and heard its delay after the render that began it, within that 5 ms render.
    EXPECT_GE(heard - appliedAt, 20 * kMs);
    EXPECT_LT(heard - appliedAt, 25 * kMs);
    FakeDevice::nextDelaySeconds = 0.0;
    FakeDevice::nextRoute = "Headphones";
}

// The sink reports that the device's change handling gets, in order: only another sink or
// another port is another route; a volume or state change of the same one is not.
TEST(RouteWatch, OnlyAnotherSinkOrPortIsAChange)
{
    const SinkInfo headphones{0, "analog", "Built-in Audio", "analog-output-headphones", "Headphones", true};
    SinkInfo louder = headphones;  // a report after a volume change: all the same
    const SinkInfo speakers{0, "analog", "Built-in Audio", "analog-output-speaker", "Speakers", true};
    const SinkInfo usb{1, "usb", "USB Headset", "", "", false};
    const struct {
        const SinkInfo *info;
        bool changed;
        const char *name;
    } rows[] = {{&headphones, false, "Built-in Audio (Headphones)"},
                {&louder, false, "Built-in Audio (Headphones)"},
                {&speakers, true, "Built-in Audio (Speakers)"},
                {&usb, true, "USB Headset"},
                {&usb, false, "USB Headset"}};
    RouteWatch watch;
    std::string before;
    for (const auto &row : rows) {
        EXPECT_EQ(watch.observe(*row.info), row.changed) << row.name;
        EXPECT_EQ(watch.displayName(), row.name);
        if (row.changed) {
            EXPECT_EQ(watch.before(), before);
        }
        before = watch.displayName();
    }
    EXPECT_FALSE(watch.now().earsApart);
}

// A reopen that hangs (a server that accepts the connection and never answers) while the
// program quits: quit gives up on it at its bound, and the device that the open returns
// after all is never started.
struct HangingOpen {
    static inline std::atomic<bool> entered{false};
    static inline std::atomic<bool> lateDeviceStarted{false};
    static inline std::atomic<bool> lateDeviceGone{false};
    static inline std::promise<void> release;

    class LateDevice final : public AudioDevice {
    public:
        ~LateDevice() override { lateDeviceGone = true; }
        void start(Render, RouteChanged, void *) override { lateDeviceStarted = true; }
        int rate() const override { return test::kRate; }
        bool failed() const override { return false; }
        double commandLatencySeconds() const override { return 0.02; }
        const char *name() const override { return "late"; }
    };

    static std::unique_ptr<AudioDevice> open(int, std::string &)
    {
        entered = true;
        release.get_future().wait();
        return std::make_unique<LateDevice>();
    }
};

TEST(OutputQuit, GivesUpOnAHangingReopenAtItsBound)
{
    // An output given up on may still read its engine until it ends by itself: the engine
    // lives to the end of the process, as the program's does.
    static Engine *engine = new Engine(EngineConfig{});
    // The first try to open is due at once.
    auto output = std::make_unique<Output>(engine, nullptr, &HangingOpen::open, SteadyNs() - 2'000'000'000);
    for (int i = 0; i < 200 && !HangingOpen::entered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(HangingOpen::entered) << "the watchdog never tried to open";

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(closeWithin(std::move(output), std::chrono::milliseconds(500)));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, std::chrono::milliseconds(700));

    // The open returns late: its device is closed unstarted and the output goes with it.
    HangingOpen::release.set_value();
    for (int i = 0; i < 400 && !HangingOpen::lateDeviceGone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(HangingOpen::lateDeviceGone);
    EXPECT_FALSE(HangingOpen::lateDeviceStarted) << "a device opened after quit began was started";
}

long lockedKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long kb = -1;
    while (status >> key)
        if (key == "VmLck:") status >> kb;
    return kb;
}

// What the kernel says of a thread after the request: real time at the priority reported,
// or its scheduling as it was. The code that renders is locked where the limit has room.
TEST(RenderThread, GetsWhatTheSystemGrantsAndSaysWhich)
{
    std::promise<long> tid;
    std::promise<void> done;
    std::thread t([&] {
        tid.set_value(currentThreadId());
        done.get_future().wait();
    });
    const long id = tid.get_future().get();
    const int got = makeRealtime(id);
    RecordProperty("granted_priority", got);
    const int policy = sched_getscheduler(static_cast<pid_t>(id)) & ~SCHED_RESET_ON_FORK;
    sched_param p{};
    ASSERT_EQ(sched_getparam(static_cast<pid_t>(id), &p), 0);
    if (got == 0) {
        EXPECT_EQ(policy, SCHED_OTHER);
    } else {
        EXPECT_TRUE(policy == SCHED_FIFO || policy == SCHED_RR) << "policy " << policy;
        EXPECT_EQ(p.sched_priority, got);
        EXPECT_LE(got, kRenderPriority);
    }
    done.set_value();
    t.join();

    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_MEMLOCK, &lim), 0);
    const long before = lockedKb();
    const long bytes = lockRenderCode();
    if (lim.rlim_cur >= 4u << 20) {
        EXPECT_GT(bytes, 0);
        EXPECT_GE(lockedKb() - before, bytes / 1024);
    }
    EXPECT_EQ(lockRenderCode(), 0) << "locked twice";
}

}  // namespace
}  // namespace velmora::audio
