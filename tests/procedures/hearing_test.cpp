// Whole hearing tests against the real mixer: the procedures on the virtual clock, the
// offline engine rendered as virtual time moves on (the device's latency chosen per test),
// and listeners who press when the rendered sound reaches them. What is asserted is what
// came out: the tones' onsets, levels and ear, and the marks drawn.

#include <unistd.h>

#include <cmath>
#include <random>
#include <string>

#include "audiometry/audiometry.h"
#include "stimulation/stimulation.h"
#include "chart/chart.h"
#include "platform/audio/engine.h"
#include "app/globals.h"
#include "app/panel.h"
#include "fake/fake_platform.h"
#include "samples/samples.h"

#include <gtest/gtest.h>

namespace {

using velmora::audio::Engine;

constexpr int kFramesPerMs = 96;
constexpr std::int64_t kToneMs = 1400;

// The right channel as heard, one peak per virtual millisecond, rendered on demand.
struct Listened {
    Engine *engine = nullptr;
    std::vector<float> peak[2];
    std::vector<float> block = std::vector<float>(2 * kFramesPerMs);

    void renderTo(std::int64_t ms)
    {
        while (static_cast<std::int64_t>(peak[0].size()) < ms) {
            engine->render(block.data(), kFramesPerMs, 0, velmora::audio::kPlayoutUnknown);
            float p[2] = {0.0f, 0.0f};
            for (int i = 0; i < 2 * kFramesPerMs; ++i) p[i % 2] = std::max(p[i % 2], std::abs(block[static_cast<std::size_t>(i)]));
            peak[0].push_back(p[0]);
            peak[1].push_back(p[1]);
        }
    }
    // The largest sample of the 10 ms up to ms: a whole period of the lowest tone.
    float level(int channel, std::int64_t ms) const
    {
        float p = 0.0f;
        for (std::int64_t m = std::max<std::int64_t>(0, ms - 9); m <= ms && m < static_cast<std::int64_t>(peak[channel].size()); ++m)
            p = std::max(p, peak[channel][static_cast<std::size_t>(m)]);
        return p;
    }
};

// One listener: frequency f is heard from the tone at step threshold[f]; the answer comes
// reaction[f] ms after that tone became audible in the rendered sound.
struct Listener {
    const Listened *heard = nullptr;
    double master = 0.01;
    std::vector<int> threshold;
    std::vector<std::int64_t> reaction;
    std::vector<std::int64_t> audibleAt;  // per frequency, when the listener heard it

    float thresholdLevel(int f) const
    {
        return static_cast<float>(0.98 * master * AUDIOMETRY_FIRST_LEVEL * std::pow(AUDIOMETRY_STEP_FACTOR, threshold[static_cast<std::size_t>(f)]));
    }
};

// The shared words as at program start with the panel loaded, the fake's clock and panel
// cleared, the master volume slide at its default.
void ResetProgramState()
{
    fake::ResetUi();
    fake::ResetClock();
    Set(iAudiometrieRunning, 0);
    Set(iStimulationRunning, 0);
    Set(uStimulationState, STIMULATION_IDLE);
    Set(iKey, 0);
    Set(iPanelHandle, MAIN_PANEL);
    fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.01);
}

std::vector<fake::CanvasOp> Points(int canvas)
{
    std::vector<fake::CanvasOp> out;
    for (const fake::CanvasOp &op : fake::CanvasOps())
        if (op.control == canvas && op.kind == fake::CanvasOpKind::Point) out.push_back(op);
    return out;
}

// A pool thread beside the pass: it follows the rendered sound and presses the answer
// button, which only the main thread does in the program; here the two never run at once.
int Listen(void *data)
{
    Listener &l = *static_cast<Listener *>(data);
    const int frequencies = static_cast<int>(l.threshold.size());
    std::int64_t scanned = fake::Now();
    std::int64_t pressAt = -1;
    std::int64_t quietSince = -1;
    int f = 0;  // the frequency listened for: presses made so far
    bool armed = true;
    while (Get(iAudiometrieRunning) != 0 && f < frequencies) {
        for (; scanned < fake::Now() && pressAt < 0; ++scanned) {
            const float p = l.heard->level(1, scanned);
            if (armed && p >= l.thresholdLevel(f)) {
                pressAt = scanned + l.reaction[static_cast<std::size_t>(f)];
                l.audibleAt.push_back(scanned);
                armed = false;
                break;
            }
            // Listening again once the last answer's mark is drawn and its tone has stopped.
            if (!armed && p < 0.7f * l.thresholdLevel(f) && static_cast<int>(Points(EAR_RIGHT).size()) >= f) {
                if (quietSince < 0) quietSince = scanned;
                armed = scanned - quietSince >= 100;
            } else {
                quietSince = -1;
            }
        }
        if (pressAt >= 0 && fake::Now() >= pressAt) {
            Audiometrie_Button(MAIN_PANEL, START_AUDIOMETRIE_R, EVENT_COMMIT, nullptr, 0, 0);
            pressAt = -1;
            quietSince = -1;
            ++f;
        }
        const std::int64_t next = pressAt >= 0 ? std::min<std::int64_t>(pressAt - fake::Now(), 20) : 20;
        Sys_Sleep(static_cast<unsigned>(std::max<std::int64_t>(next, 1)));
    }
    return 0;
}

class HearingTest : public ::testing::Test {
protected:
    Listened heard;

    void SetUp() override { ResetProgramState(); }
    // A stop counts only in a tone's window: pressed until the pass has seen one.
    void TearDown() override
    {
        for (int i = 0; i < 100 && fake::LiveThreads() != 0; ++i) {
            Audiometrie_Button(MAIN_PANEL, STOP_AUDIOMETRIE, EVENT_COMMIT, nullptr, 0, 0);
            fake::RunUntilThreadsEnded(fake::Now() + 1000);
        }
        Ui_WaitForThreadPoolFunctions();
    }

    // The real engine behind the Audio_* calls, `latencyMs` from a command to its frame,
    // rendered up to each new virtual time; the build's 26 tone files opened.
    void UseEngine(int latencyMs)
    {
        velmora::audio::EngineConfig cfg;
        cfg.latencySeconds = latencyMs / 1000.0;
        heard = Listened{};
        heard.engine = velmora::audio::useOfflineEngine(cfg);
        fake::OnAdvance([this](std::int64_t t) { heard.renderTo(t); });
        ASSERT_EQ(chdir(VELMORA_RUN_DIR), 0);
        Create_Samples();
        ASSERT_NE(SinSample[0][1], 0u);
    }

    // The steps of the marks drawn on the right audiogram, in order.
    static std::vector<int> MarkedSteps()
    {
        std::vector<int> steps;
        for (const fake::CanvasOp &op : Points(EAR_RIGHT)) {
            int s = 0;
            while (s < AUDIOMETRY_STEP_LIMIT && Chart_StepY(s) != op.a.y) ++s;
            steps.push_back(s);
        }
        return steps;
    }
};

// Frequency 0 left unanswered, as rendered: 25 tones in the right ear only, each starting
// 1400 ms after the last (the device's latency after its call) and 3.01 dB above it, and no
// 26th; the answered-tone rule stops it when frequency 1 begins.
TEST_F(HearingTest, AnUnansweredFrequencySoundsTwentyFiveRisingTonesInItsEarOnly)
{
    UseEngine(158);
    fake::QueueRand({0, 0});  // 500 ms pauses
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    const std::int64_t firstHeard = 500 + 158;
    fake::RunUntil(firstHeard + 25 * kToneMs + 500 + 300);  // into frequency 1's first tone
    for (int s = 0; s < AUDIOMETRY_STEP_LIMIT; ++s) {
        const std::int64_t on = firstHeard + s * kToneMs;
        const double want = 0.01 * 0.01 * std::pow(AUDIOMETRY_STEP_FACTOR, s);
        EXPECT_NEAR(heard.level(1, on + 700), want, want * 1e-4) << "step " << s;
        // Silent before its first frame; full after the file's own 20 ms fade-in.
        EXPECT_EQ(heard.peak[1][static_cast<std::size_t>(on - 1)] < want * 1e-3, s == 0) << "step " << s;
        EXPECT_GT(heard.peak[1][static_cast<std::size_t>(on)], 0.0f) << "step " << s;
        EXPECT_NEAR(heard.level(1, on + 30), want, want * 1e-3) << "step " << s << " has begun";
        if (s > 0) {
            EXPECT_NEAR(heard.level(1, on - 1), want / AUDIOMETRY_STEP_FACTOR, want * 1e-3) << "step " << s;
        }
    }
    const std::int64_t after = firstHeard + 25 * kToneMs;
    const float last = heard.level(1, after - 1);
    EXPECT_NEAR(heard.level(1, after + 100), last, last * 1e-3) << "the 25th tone plays on, no 26th";
    // Frequency 1's first tone (step 0, after the final look and a 500 ms pause): the 25th
    // tone of frequency 0 has faded out under it within the ramp.
    EXPECT_LT(heard.level(1, after + 500 + 158 + 30), 0.01f * 0.01f * 1.01f);
    for (float p : heard.peak[0]) ASSERT_EQ(p, 0.0f) << "the left ear heard something";
}

// One stimulation cycle as heard, twice: each burst starts at its cycle's head, sounds
// for the hold (read as whole ms) and its 5 ms fade, at the panel's volume under the
// master's 0.5, in the chosen ear only; the pause follows, and a stop in the second
// tone's hold lets no third tone come.
struct CycleRow {
    const char *name;
    double hold;
    double pause;
    std::int64_t holdMs;  // as slept: truncated
    std::int64_t pauseMs;
};

class StimulationCycle : public HearingTest, public ::testing::WithParamInterface<CycleRow> {};

TEST_P(StimulationCycle, BurstsAsLongAsTheHoldAtTheirCyclesHeads)
{
    const CycleRow row = GetParam();
    UseEngine(0);
    for (const auto &[control, value] : std::vector<std::pair<int, double>>{
             {RING_LEFT_RIGHT, 0}, {RING_FREQ, 5}, {NUMBER_VOLUME, 0.3}, {NUMBER_BAND_WIDTH, 1000},
             {NUMBER_INTERVAL, 10}, {NUMBER_HOLD, row.hold}, {NUMBER_PAUSE, row.pause}})
        fake::SetCtrl(control, value);
    const std::int64_t cycle = row.holdMs + 10 + row.pauseMs;
    fake::PressAt(100, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::PressAt(100 + cycle + 1, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::RunUntil(101);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(100 + 3 * cycle + 100));
    heard.renderTo(100 + 3 * cycle + 100);

    std::vector<std::pair<std::int64_t, std::int64_t>> bursts;  // first and last ms with sound
    for (std::int64_t m = 0; m < static_cast<std::int64_t>(heard.peak[0].size()); ++m) {
        if (heard.peak[0][static_cast<std::size_t>(m)] == 0.0f) continue;
        if (bursts.empty() || m > bursts.back().second + 1) bursts.push_back({m, m});
        bursts.back().second = m;
    }
    ASSERT_EQ(bursts.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        const std::int64_t head = 100 + k * cycle;
        EXPECT_EQ(bursts[static_cast<std::size_t>(k)].first, head) << "burst " << k;
        EXPECT_NEAR(bursts[static_cast<std::size_t>(k)].second, head + row.holdMs + 4, 1) << "burst " << k;
    }
    if (row.holdMs >= 100) {
        EXPECT_NEAR(heard.level(0, 100 + row.holdMs / 2), 0.3f * 0.5f, 0.15f * 1e-3);
    }
    for (float p : heard.peak[1]) ASSERT_EQ(p, 0.0f) << "the right ear heard something";
}

INSTANTIATE_TEST_SUITE_P(Rows, StimulationCycle,
                         ::testing::Values(CycleRow{"Defaults", 200, 150, 200, 150},
                                           CycleRow{"Truncated", 1000.7, 49.9, 1000, 49},
                                           CycleRow{"Short", 5, 1, 5, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// Presses at the edges of the tones' windows, by when their buttons went down, at three
// device latencies: a tone owns the presses from when it sounded until the next one did.
struct EdgeRow {
    const char *name;
    std::vector<std::pair<int, std::int64_t>> presses;  // (button, ms after tone `tone` sounded)
    int tone;
    int mark;        // the step charted for frequency 0, -1 none
    bool passGoesOn; // frequency 1 is tested after it
};

class AnswerEdges : public HearingTest, public ::testing::WithParamInterface<std::tuple<EdgeRow, int>> {};

TEST_P(AnswerEdges, ThePressDecidesForTheToneThatSoundedWhenItWentDown)
{
    const auto &[row, latency] = GetParam();
    UseEngine(latency);
    fake::QueueRand({0, 0, 0});
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    const std::int64_t sounds = 500 + latency + row.tone * kToneMs;
    std::int64_t lastPress = 0;
    for (const auto &[button, at] : row.presses) {
        // The button goes down at the given time and the click ends 90 ms later.
        fake::ClickAt(sounds + at, sounds + at + 90, Audiometrie_Button, MAIN_PANEL, button);
        lastPress = std::max(lastPress, sounds + at + 90);
    }
    fake::RunUntil(lastPress + 2 * kToneMs + 2600 + 500 + latency);  // frequency 1 has begun, if at all
    const std::vector<int> steps = MarkedSteps();
    if (row.mark < 0) {
        EXPECT_TRUE(steps.empty());
    } else {
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps[0], row.mark);
    }
    EXPECT_EQ(Get(iAudiometrieRunning) != 0, row.passGoesOn);
}

const int A = START_AUDIOMETRIE_R;
const int S = STOP_AUDIOMETRIE;

INSTANTIATE_TEST_SUITE_P(
    Rows, AnswerEdges,
    ::testing::Combine(
        ::testing::Values(EdgeRow{"BeforeTheFirstToneIsWiped", {{A, -1}, {A, 1}}, 0, 0, true},
                          EdgeRow{"AtItsOnset", {{A, 0}}, 2, 2, true},
                          EdgeRow{"LastMsOfItsWindow", {{A, kToneMs - 1}}, 2, 2, true},
                          EdgeRow{"FirstMsOfTheNext", {{A, kToneMs}}, 2, 3, true},
                          EdgeRow{"TwoInOneWindow", {{A, 100}, {A, 1300}}, 3, 3, true},
                          EdgeRow{"AnswerThenStopInOneWindow", {{A, 100}, {S, 1200}}, 3, -1, false},
                          EdgeRow{"StopThenAnswerInOneWindow", {{S, 100}, {A, 1200}}, 3, 3, true},
                          EdgeRow{"AnswerThenStopInTheNext", {{A, 1350}, {S, 1500}}, 3, 3, false},
                          EdgeRow{"StopBeforeTheFirstToneIsWiped", {{S, -1}}, 0, -1, true},
                          EdgeRow{"ALateReactionFoundAtTheNextLook", {{A, 1250}}, 5, 5, true}),
        ::testing::Values(0, 158, 400)),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::to_string(std::get<1>(info.param)) + "ms";
    });

// Listeners of known thresholds (steps 2 to 8) and lognormal reaction times: every answer
// given within 1400 ms of its tone sounding is charted at that tone.
struct ListenerRow {
    const char *name;
    double medianMs;
    double sigma;  // of the reaction time's logarithm
    int latencyMs;
};

class Listeners : public HearingTest, public ::testing::WithParamInterface<ListenerRow> {};

TEST_P(Listeners, EveryAnswerWithinItsToneIsChartedAtTheToneHeard)
{
    const ListenerRow row = GetParam();
    std::mt19937 rng(static_cast<unsigned>(row.medianMs) + static_cast<unsigned>(row.latencyMs));
    std::normal_distribution<double> normal(0.0, 1.0);
    int marks = 0, withinTone = 0, off = 0;
    const int passes = std::getenv("VELMORA_LISTENER_PASSES") ? std::atoi(std::getenv("VELMORA_LISTENER_PASSES")) : 2;
    for (int pass = 0; pass < passes; ++pass) {
        ResetProgramState();
        fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.01);
        UseEngine(row.latencyMs);
        Listener l;
        l.heard = &heard;
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            l.threshold.push_back(2 + static_cast<int>(rng() % 7));
            l.reaction.push_back(std::llround(row.medianMs * std::exp(row.sigma * normal(rng))));
        }
        fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
        Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, Listen, &l, 0, nullptr, 0, nullptr, 0, nullptr);
        ASSERT_TRUE(fake::RunUntilThreadsEnded(20 * 60 * 1000));
        const std::vector<int> steps = MarkedSteps();
        ASSERT_EQ(steps.size(), 13u);
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            const int want = l.threshold[static_cast<std::size_t>(f)];
            ++marks;
            off += steps[static_cast<std::size_t>(f)] != want;
            // Heard up to 30 ms after the tone's first frame (the file's 20 ms fade-in).
            if (l.reaction[static_cast<std::size_t>(f)] < kToneMs - 30) {
                ++withinTone;
                EXPECT_EQ(steps[static_cast<std::size_t>(f)], want)
                    << "frequency " << f << ", reaction " << l.reaction[static_cast<std::size_t>(f)] << " ms";
            }
        }
    }
    std::printf("listener %s: %d marks, %d answered within their tone, %d (%.1f %%) not at the tone heard\n", row.name,
                marks, withinTone, off, 100.0 * off / marks);
}

INSTANTIATE_TEST_SUITE_P(Rows, Listeners,
                         ::testing::Values(ListenerRow{"Median700", 700.0, 0.5, 158},
                                           ListenerRow{"Median900", 900.0, 0.5, 158},
                                           ListenerRow{"Slow1280", 1280.0, 0.0, 158}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
