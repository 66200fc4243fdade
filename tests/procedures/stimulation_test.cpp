// The stimulation on the virtual clock: block pattern, one cycle's calls and times, live
// settings, playback rates, stops, and the cases around a stopped run's last cycle.

#include <functional>
#include <string>

#include "app/shell.h"
#include "platform/sys.h"
#include "procedure_fixture.h"
#include "stimulation/stimulation.h"

namespace {

constexpr std::int64_t kCycleMs = 200 + 10 + 150;  // the defaults' hold + mute + pause
constexpr std::int64_t kBreakMs = 3000;

using StimulationTest = ProcedureTest;

void PressStimulation(std::int64_t t) { fake::PressAt(t, Stimulation_Button, MAIN_PANEL, START_STIMULATION); }

std::vector<std::int64_t> PlayTimes()
{
    std::vector<std::int64_t> out;
    for (const fake::AudioCall &c : CallsOf(fake::AudioOp::Play)) {
        out.push_back(c.t);
    }
    return out;
}

// Play times of the first n tones of a run started at 0 with the defaults' cycle, when
// NUMBER_INTERVAL shows interval(t) at time t: worked out here from the block rule alone.
std::vector<std::int64_t> ExpectedPlayTimes(int n, const std::function<int(std::int64_t)> &interval)
{
    std::vector<std::int64_t> out;
    std::int64_t t = 0;
    int left = 10;
    while (static_cast<int>(out.size()) < n) {
        if (left == 0) {
            t += kBreakMs;
            left = interval(t);
        }
        --left;
        out.push_back(t);
        t += kCycleMs;
    }
    return out;
}

void StopAndDrain()
{
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(fake::Now() + 10'000));
}

// ------------------------------------------------------------------ block pattern

class BlockPattern : public ProcedureTest, public ::testing::WithParamInterface<int> {};

TEST_P(BlockPattern, FirstBlockOfTenThenBlocksOfTheIntervalReadAtEachBreaksEnd)
{
    const int interval = GetParam();
    fake::SetCtrl(NUMBER_INTERVAL, interval);
    const auto expected = ExpectedPlayTimes(10 + 3 * interval + 1, [interval](std::int64_t) { return interval; });
    PressStimulation(0);
    fake::RunUntil(expected.back() + 1);

    EXPECT_EQ(PlayTimes(), expected);
    // The control is read only at the end of each break, never for the first block.
    std::vector<std::int64_t> reads;
    for (const fake::CtrlRead &r : ReadsOf(NUMBER_INTERVAL)) {
        reads.push_back(r.t);
    }
    std::vector<std::int64_t> breakEnds;
    for (std::size_t i = 1; i < expected.size(); ++i) {
        if (expected[i] - expected[i - 1] == kCycleMs + kBreakMs) {
            breakEnds.push_back(expected[i]);
        }
    }
    EXPECT_EQ(reads, breakEnds);
    StopAndDrain();
}

INSTANTIATE_TEST_SUITE_P(Intervals, BlockPattern, ::testing::Values(10, 3, 1),
                         [](const auto &info) { return "interval" + std::to_string(info.param); });

struct IntervalChangeRow {
    const char *name;
    std::int64_t changeAt;
};

class IntervalChange : public ProcedureTest, public ::testing::WithParamInterface<IntervalChangeRow> {};

TEST_P(IntervalChange, TakesEffectAtTheNextBreaksEnd)
{
    const IntervalChangeRow row = GetParam();
    fake::SetCtrl(NUMBER_INTERVAL, 4);
    fake::At(row.changeAt, [] { fake::SetCtrl(NUMBER_INTERVAL, 2); });
    const auto expected =
        ExpectedPlayTimes(24, [&row](std::int64_t t) { return t >= row.changeAt ? 2 : 4; });
    PressStimulation(0);
    fake::RunUntil(expected.back() + 1);
    EXPECT_EQ(PlayTimes(), expected);
    StopAndDrain();
}

// The first block's tones play at 0 ... 3240, its break runs 3600 ... 6600; the second block
// (4 tones, read at 6600) plays 6600 ... 7680, its break ends at 11040.
INSTANTIATE_TEST_SUITE_P(Rows, IntervalChange,
                         ::testing::Values(IntervalChangeRow{"DuringTheFirstBlock", 1000},
                                           IntervalChangeRow{"DuringTheBreak", 5000},
                                           IntervalChangeRow{"DuringTheSecondBlock", 6700}),
                         [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ live settings

TEST_F(StimulationTest, SettingsChangedDuringAHoldApplyFromTheNextToneAndThePauseAtOnce)
{
    fake::QueueRand({7, 7});
    PressStimulation(0);
    fake::At(100, [] {
        fake::SetCtrl(RING_LEFT_RIGHT, 1);
        fake::SetCtrl(RING_FREQ, 2);
        fake::SetCtrl(NUMBER_VOLUME, 0.25);
        fake::SetCtrl(NUMBER_BAND_WIDTH, 1000);
        fake::SetCtrl(NUMBER_HOLD, 300);
        fake::SetCtrl(NUMBER_PAUSE, 400);
    });
    fake::RunUntil(1500);

    const auto tones = Tones();
    ASSERT_GE(tones.size(), 3u);
    EXPECT_EQ(tones[0].handle, SinSample[5][0]);
    EXPECT_FLOAT_EQ(tones[0].volume, 0.5f);
    EXPECT_EQ(tones[0].rate, static_cast<float>(96000 + 7 - 25000));
    EXPECT_EQ(CallsOn(SinSample[5][0])[3].t, 200) << "the hold read at the tone's start stays";

    EXPECT_EQ(tones[1].t, 200 + 10 + 400) << "the pause changed during the hold applies to that tone";
    EXPECT_EQ(tones[1].handle, SinSample[2][1]);
    EXPECT_FLOAT_EQ(tones[1].volume, 0.25f);
    EXPECT_EQ(tones[1].rate, static_cast<float>(96000 + 7 - 500));
    const auto second = CallsOn(SinSample[2][1]);
    ASSERT_GE(second.size(), 4u);
    EXPECT_EQ(second[3].t, 610 + 300) << "the new hold applies from the next tone";
    EXPECT_EQ(tones[2].t, 610 + 300 + 10 + 400);
    EXPECT_EQ(Get(iLeftRight), 1);
    StopAndDrain();
}

// ------------------------------------------------------------------ rates

struct RateRow {
    int bandWidth;
    int r;
    int rate;
};

class RateOffset : public ProcedureTest, public ::testing::WithParamInterface<RateRow> {};

TEST_P(RateOffset, RateIs96000PlusDrawModBandMinusHalfBand)
{
    const RateRow row = GetParam();
    fake::SetCtrl(NUMBER_BAND_WIDTH, row.bandWidth);
    fake::QueueRand({row.r});
    PressStimulation(0);
    fake::RunUntil(1);
    const auto tones = Tones();
    ASSERT_EQ(tones.size(), 1u);
    EXPECT_EQ(tones[0].rate, static_cast<float>(row.rate));
    StopAndDrain();
}

INSTANTIATE_TEST_SUITE_P(Rows, RateOffset,
                         ::testing::Values(RateRow{1000, 0, 95500}, RateRow{1000, 999, 96499},
                                           RateRow{1000, 1000, 95500}, RateRow{1000, SYS_RAND_MAX, 96147},
                                           RateRow{50000, 0, 71000}, RateRow{50000, 49999, 120999},
                                           RateRow{1001, 0, 95500}, RateRow{1001, 1000, 96500},
                                           RateRow{1001, 1001, 95500}),
                         [](const auto &info) {
                             return "B" + std::to_string(info.param.bandWidth) + "r" + std::to_string(info.param.r);
                         });

struct BandRow {
    int bandWidth;
    int lowest;
    int highest;
};

class RateBand : public ProcedureTest, public ::testing::WithParamInterface<BandRow> {};

TEST_P(RateBand, ManyUnscriptedDrawsStayInTheBandAndFollowTheSecondsSeed)
{
    const BandRow row = GetParam();
    fake::SetCtrl(NUMBER_BAND_WIDTH, row.bandWidth);
    fake::SetTimeBase(1'800'000'000, 250);
    PressStimulation(0);
    fake::RunUntil(500 * kCycleMs + 3000 * 50);

    const auto tones = Tones();
    ASSERT_GE(tones.size(), 400u);
    float lowest = 1e9f;
    float highest = 0.0f;
    for (const Tone &tone : tones) {
        const unsigned second = static_cast<unsigned>(1'800'000'000 + (tone.t + 250) / 1000);
        const int offset = fake::FirstDrawAfterSeed(second) % row.bandWidth - row.bandWidth / 2;
        ASSERT_EQ(tone.rate, static_cast<float>(96000 + offset)) << "tone at " << tone.t;
        lowest = std::min(lowest, tone.rate);
        highest = std::max(highest, tone.rate);
    }
    EXPECT_GE(lowest, static_cast<float>(row.lowest));
    EXPECT_LE(highest, static_cast<float>(row.highest));
    EXPECT_GT(highest - lowest, 0.8f * static_cast<float>(row.bandWidth)) << "the draws hardly spread";
    StopAndDrain();
}

INSTANTIATE_TEST_SUITE_P(Rows, RateBand,
                         ::testing::Values(BandRow{1000, 95500, 96499}, BandRow{50000, 71000, 120999},
                                           BandRow{1001, 95500, 96500}),
                         [](const auto &info) { return "B" + std::to_string(info.param.bandWidth); });

TEST_F(StimulationTest, TonesStartingInOneClockSecondShareTheirOffset)
{
    // Virtual 0 is the start of a second: tones at 0, 360, 720 share it, 1080 is the next.
    fake::SetTimeBase(1'800'000'000, 0);
    PressStimulation(0);
    fake::RunUntil(1081);
    const auto tones = Tones();
    ASSERT_EQ(tones.size(), 4u);
    EXPECT_EQ(tones[1].rate, tones[0].rate);
    EXPECT_EQ(tones[2].rate, tones[0].rate);
    EXPECT_NE(fake::FirstDrawAfterSeed(1'800'000'000) % 50000, fake::FirstDrawAfterSeed(1'800'000'001) % 50000)
        << "pick another base: these seconds happen to draw alike";
    EXPECT_NE(tones[3].rate, tones[0].rate);
    std::vector<unsigned> seeds;
    for (const fake::RandEvent &e : fake::RandLog()) {
        if (e.isSeed) {
            seeds.push_back(e.seed);
        }
    }
    EXPECT_EQ(seeds, (std::vector<unsigned>{1'800'000'000, 1'800'000'000, 1'800'000'000, 1'800'000'001}));
    StopAndDrain();
}

// ------------------------------------------------------------------ stops

TEST_F(StimulationTest, StopDuringAHoldCompletesTheCycleAndLeavesTheStreamStoppedAndRewound)
{
    fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.8);
    PressStimulation(0);
    fake::RunUntil(kCycleMs + 100);  // the second tone's hold
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::RunUntil(2 * kCycleMs);
    EXPECT_EQ(fake::LiveThreads(), 1) << "the pause still runs";
    fake::RunUntil(2 * kCycleMs + 1);
    EXPECT_EQ(fake::LiveThreads(), 0) << "ended at the cycle head after the pause";

    const AudioHandle ch = SinSample[5][0];
    const auto calls = CallsOn(ch);
    ASSERT_EQ(calls.size(), 12u) << "two full cycles, no third tone";
    EXPECT_EQ(calls[9].t, kCycleMs + 200) << "full hold";
    EXPECT_EQ(calls[10].op, fake::AudioOp::Stop);
    EXPECT_EQ(calls[11].op, fake::AudioOp::SetPosition);
    EXPECT_EQ(calls[11].t, kCycleMs + 210);

    // After the run: master stays 0.5, the stream is stopped, rewound, at volume 0 and at
    // the last tone's rate.
    EXPECT_EQ(fake::MasterVolume(), 0.5f);
    const fake::StreamState s = fake::Stream(ch);
    EXPECT_FALSE(s.playing);
    EXPECT_TRUE(s.atStart);
    EXPECT_EQ(s.volume, 0.0f);
    EXPECT_EQ(s.rate, Tones().back().rate);
    EXPECT_EQ(CallsOf(fake::AudioOp::SetMasterVolume).size(), 1u);
}

// The panel's tone (left, 1500 Hz) is read until 1000 ms: the run starts with it then. A
// stop while a tone is still read (500 Hz) ends the run at once, without a tone.
TEST_F(StimulationTest, AToneFileStillReadIsWaitedForUnlessStopped)
{
    fake::ReadAt("Samples/Sinus_96000L_01500Hz_0dB.wav", 1000);
    PressStimulation(0);
    fake::RunUntil(1000 + 2 * kCycleMs + 1);
    for (const fake::AudioCall &c : CallsOn(SinSample[5][0])) {
        EXPECT_TRUE(c.live) << "no call before the file is read, at " << c.t;
    }
    EXPECT_EQ(PlayTimes(), (std::vector<std::int64_t>{1000, 1000 + kCycleMs, 1000 + 2 * kCycleMs}));
    StopAndDrain();

    fake::ReadAt("Samples/Sinus_96000L_00500Hz_0dB.wav", 60'000);
    fake::SetCtrl(RING_FREQ, 2);
    fake::ClearAudioCalls();
    const std::int64_t start = fake::Now();
    PressStimulation(start);
    fake::PressAt(start + 500, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(start + 10'000));
    EXPECT_LE(fake::Now(), start + 500 + static_cast<std::int64_t>(SAMPLE_WAIT_MS));
    EXPECT_TRUE(PlayTimes().empty());
}

TEST_F(StimulationTest, StopDuringABlockBreakLetsTheBreakEndAndOneMoreTonePlay)
{
    PressStimulation(0);
    fake::PressAt(10 * kCycleMs + 1000, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(20'000));
    const std::int64_t lastTone = 10 * kCycleMs + kBreakMs;
    EXPECT_EQ(fake::Now(), lastTone + kCycleMs);
    const auto plays = PlayTimes();
    ASSERT_EQ(plays.size(), 11u);
    EXPECT_EQ(plays.back(), lastTone);
}

TEST_F(StimulationTest, StopBeforeTheFirstCycleSetsTheMasterVolumeAndPlaysNothing)
{
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(10'000));
    EXPECT_EQ(fake::Now(), 0);
    const auto calls = fake::AudioCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, fake::AudioOp::SetMasterVolume);
    EXPECT_EQ(calls[0].value, 0.5f);
    EXPECT_TRUE(ReadsOf(RING_LEFT_RIGHT).empty());
}

TEST_F(StimulationTest, ARunThatCannotBeScheduledShowsTheIdleButton)
{
    fake::SetScheduleResult(-1);
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    EXPECT_EQ(Get(iStimulationRunning), 0);
    EXPECT_EQ(fake::Label(START_STIMULATION), "START STIMULATION");
    EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_L), 0);
    EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_R), 0);
    fake::SetScheduleResult(0);
    fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    EXPECT_EQ(fake::PoolCalls().size(), 1u) << "a failed start must not block the next one";
    fake::RunUntil(1);
    EXPECT_EQ(CallsOf(fake::AudioOp::Play).size(), 1u);
    StopAndDrain();
}

// ------------------------------------------------------------------ start while stopping

struct RestartRow {
    const char *name;
    std::int64_t stopAt;
    std::int64_t startAgainAt;
    std::size_t procedures;  // scheduled in all
};

class StartStopStart : public ProcedureTest, public ::testing::WithParamInterface<RestartRow> {};

TEST_P(StartStopStart, NeverTwoProceduresAtOnceAndTheRunGoesOn)
{
    const RestartRow row = GetParam();
    fake::SetCtrl(NUMBER_INTERVAL, 1);  // a block carried over from the old run would show as a break
    PressStimulation(0);
    PressStimulation(row.stopAt);
    PressStimulation(row.startAgainAt);
    fake::RunUntil(20'000);

    EXPECT_EQ(fake::PeakRunning(Stimulation), 1);
    EXPECT_EQ(fake::Running(Stimulation), 1) << "the run goes on after the second start";
    EXPECT_EQ(fake::PoolCalls().size(), row.procedures);
    // One tone at a time: every play at least a cycle after the previous one.
    const auto plays = PlayTimes();
    ASSERT_GT(plays.size(), 12u);
    for (std::size_t i = 1; i < plays.size(); ++i) {
        EXPECT_GE(plays[i] - plays[i - 1], kCycleMs) << "tone " << i;
    }
    EXPECT_EQ(Get(iStimulationRunning), 1);
    // The second start opens a new run: a first block of 10 back to back, master 0.5.
    std::size_t next = 0;
    while (plays[next] < row.startAgainAt) ++next;
    ASSERT_GT(plays.size(), next + 10);
    for (std::size_t i = next + 1; i < next + 10; ++i) {
        EXPECT_EQ(plays[i] - plays[i - 1], kCycleMs) << "tone " << i - next << " of the new run";
    }
    EXPECT_EQ(CallsOf(fake::AudioOp::SetMasterVolume).size(), 2u);
    StopAndDrain();
    EXPECT_EQ(fake::Running(Stimulation), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartStopStart,
                         ::testing::Values(RestartRow{"AgainInTheHold", 100, 150, 1},
                                           RestartRow{"AgainInThePause", 100, 300, 1},
                                           RestartRow{"AgainInTheBreak", 4000, 5000, 1},
                                           RestartRow{"AgainAfterABlocksLastTone", 9 * kCycleMs + 50, 9 * kCycleMs + 300, 1},
                                           RestartRow{"AgainAfterTheEnd", 100, 400, 2}),
                         [](const auto &info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ quit during the last cycle

TEST_F(StimulationTest, QuitDuringTheLastCycleWaitsForItBeforeTheStreamsAreFreed)
{
    // The whole program on the test thread: its main loop runs the actions as events.
    fake::PressAt(1000, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::At(1200, [] { Menu_Select(MENUBAR, QUIT, nullptr, MAIN_PANEL); });
    fake::At(1201, [] { EXPECT_EQ(Get(ucQuitFlag), 1) << "quit refused while the stimulation runs"; });
    fake::PressAt(1500, Stimulation_Button, MAIN_PANEL, START_STIMULATION);  // in the second tone's hold
    fake::At(1500, [] { Menu_Select(MENUBAR, QUIT, nullptr, MAIN_PANEL); });
    fake::At(1500, [] { EXPECT_EQ(Get(ucQuitFlag), 0) << "quit allowed right after the stop"; });

    char name[] = "velmora";
    char *argv[] = {name, nullptr};
    EXPECT_EQ(App_Main(1, argv), 0);

    EXPECT_EQ(fake::LiveThreads(), 0);
    const std::int64_t cycleEnd = 1000 + 2 * kCycleMs;
    std::int64_t lastStimulationCall = -1;
    std::int64_t firstFree = -1;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        EXPECT_TRUE(c.live) << "call on a freed stream at " << c.t;
        if (c.thread != 0) {
            EXPECT_EQ(firstFree, -1) << "a stimulation call after the streams were freed";
            lastStimulationCall = c.t;
        }
        if (c.op == fake::AudioOp::Free && firstFree < 0) {
            firstFree = c.t;
        }
    }
    EXPECT_EQ(lastStimulationCall, cycleEnd - 150) << "the last cycle's stop and rewind";
    EXPECT_GE(firstFree, cycleEnd) << "freed before the last cycle's pause ended";
    EXPECT_EQ(CallsOf(fake::AudioOp::Free).size(), 26u);
    const auto events = fake::UiEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().what, "DiscardPanel");
}

// ------------------------------------------------------------------ a lost output

TEST_F(StimulationTest, ALostOutputIsToldOnceForEachLossAndTheRunGoesOn)
{
    PressStimulation(0);
    fake::At(1000, [] { fake::SetOutputWorking(false); });
    fake::At(3000, [] { fake::SetOutputWorking(true); });
    fake::At(5000, [] { fake::SetOutputWorking(false); });
    fake::RunUntil(8000);

    int warnings = 0;
    for (const fake::UiEvent &e : fake::UiEvents()) {
        warnings += e.what == "Warning" && e.text.find("lost during the stimulation") != std::string::npos;
    }
    EXPECT_EQ(warnings, 2);
    EXPECT_EQ(PlayTimes(), ExpectedPlayTimes(static_cast<int>(PlayTimes().size()), [](std::int64_t) { return 10; }));
    EXPECT_GE(PlayTimes().back(), 7000) << "the run went on";
    StopAndDrain();
}

// Into one ear by choice: moved onto an output that reaches both ears, the run says so
// once and goes on.
TEST_F(StimulationTest, AnOutputThatJoinsTheEarsIsToldOnceARunAndTheRunGoesOn)
{
    PressStimulation(0);
    fake::At(1000, [] { fake::ChangeRoute("Headset", 0); });
    fake::RunUntil(8000);
    const auto told = [] {
        int n = 0;
        for (const fake::UiEvent &e : fake::UiEvents()) {
            n += e.what == "Warning" && e.text.find("\"Headset\" has no separate left and right") != std::string::npos;
        }
        return n;
    };
    EXPECT_EQ(told(), 1);
    EXPECT_GE(PlayTimes().back(), 7000) << "the run went on";
    StopAndDrain();
}

}  // namespace

// Started while no output works: the run goes on, to be heard once the output is back, and
// says so once.
TEST_F(StimulationTest, AStartWithoutOutputRunsAndSaysSoOnce)
{
    fake::SetOutputWorking(false);
    fake::PressAt(0, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::PressAt(5000, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::RunUntil(5001);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(20'000));
    int warnings = 0;
    for (const fake::UiEvent &e : fake::UiEvents()) warnings += e.what == "Warning" && e.text == kNoOutputStimulationText;
    EXPECT_EQ(warnings, 1);
    EXPECT_GT(CallsOf(fake::AudioOp::Play).size(), 10u) << "the run went on";
}
