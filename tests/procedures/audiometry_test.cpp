// The hearing test on the virtual clock: marks, answer windows, stops, the engine calls of
// every tone and the chart, each driven by presses at chosen virtual times.

#include <cmath>
#include <string>

#include "audiometry/audiometry.h"
#include "chart/chart.h"
#include "platform/sys.h"
#include "procedure_fixture.h"
#include "stimulation/stimulation.h"

namespace {

constexpr int kNoPress = -1;
constexpr std::int64_t kToneMs = 1400;

int StartButton(int ear) { return ear == 0 ? START_AUDIOMETRIE_L : START_AUDIOMETRIE_R; }
int Canvas(int ear) { return ear == 0 ? EAR_LEFT : EAR_RIGHT; }

// The step whose answer check first sees a press made `p` ms after a frequency's first
// tone (p > 0). A press at the very ms of a check is seen by it: test actions run before
// a pool thread that wakes at the same virtual time.
int StepOfPress(std::int64_t p)
{
    const int s = static_cast<int>((p + kToneMs - 1) / kToneMs) - 1;
    return std::min(s, AUDIOMETRY_STEP_LIMIT);
}

struct Plan {
    std::vector<std::int64_t> firstTone;  // per planned frequency
    std::vector<int> steps;               // the step each frequency ends on (25: no answer)
    std::int64_t end = 0;                 // time of the last planned frequency's last check
};

// Scripts one pass started at `start` on `ear`: the draw of each frequency's pause
// (rands, default 0: 500 ms) and an answer press `presses[f]` ms after frequency f's
// first tone (kNoPress: none). Frequencies after the planned ones get no press.
Plan PlanPass(int ear, std::int64_t start, const std::vector<std::int64_t> &presses, std::vector<int> rands = {})
{
    rands.resize(presses.size(), 0);
    fake::QueueRand(rands);
    fake::PressAt(start, Audiometrie_Button, MAIN_PANEL, StartButton(ear));
    Plan plan;
    std::int64_t t = start;
    for (std::size_t f = 0; f < presses.size(); ++f) {
        t += 500 + rands[f] % 2000;
        plan.firstTone.push_back(t);
        int step = AUDIOMETRY_STEP_LIMIT;
        if (presses[f] != kNoPress) {
            fake::PressAt(t + presses[f], Audiometrie_Button, MAIN_PANEL, StartButton(ear));
            step = StepOfPress(presses[f]);
        }
        plan.steps.push_back(step);
        t += kToneMs * std::min(step + 1, AUDIOMETRY_STEP_LIMIT);
    }
    plan.end = t;
    return plan;
}

void ExpectIdleControls()
{
    EXPECT_EQ(fake::Label(START_AUDIOMETRIE_L), "START AUDIOMETRIE");
    EXPECT_EQ(fake::Label(START_AUDIOMETRIE_R), "START AUDIOMETRIE");
    EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_L), 0);
    EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_R), 0);
    EXPECT_EQ(fake::Dimmed(STOP_AUDIOMETRIE), 1);
    EXPECT_EQ(fake::Dimmed(NUMBER_MASTER_VOLUME), 0);
    EXPECT_EQ(fake::Dimmed(START_STIMULATION), 0);
    EXPECT_EQ(Get(iAudiometrieRunning), 0);
}

// The tones each frequency played on `ear`'s streams, by frequency index.
std::vector<std::vector<Tone>> TonesByFrequency(int ear)
{
    std::vector<std::vector<Tone>> out(FREQUENCY_COUNT);
    for (const Tone &tone : Tones()) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            if (tone.handle == SinSample[f][ear]) {
                out[f].push_back(tone);
            }
        }
    }
    return out;
}

using AudiometryTest = ProcedureTest;

// ------------------------------------------------------------------ marks by step

struct MarkRow {
    int step;  // answered in this step's window at every frequency; 25: never answered
    int y;
};

class MarkByStep : public ProcedureTest, public ::testing::WithParamInterface<MarkRow> {};

TEST_P(MarkByStep, EveryFrequencyMarkedAtTheStepsRow)
{
    const MarkRow row = GetParam();
    const std::int64_t press = row.step == AUDIOMETRY_STEP_LIMIT ? kNoPress : row.step * kToneMs + 700;
    const Plan plan = PlanPass(1, 100, std::vector<std::int64_t>(FREQUENCY_COUNT, press));
    fake::RunUntil(100);
    ASSERT_EQ(fake::LiveThreads(), 1);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end + 1));
    EXPECT_EQ(fake::Now(), plan.end) << "the pass ends at its last window's check";

    const auto dots = Ops(EAR_RIGHT, fake::CanvasOpKind::Point);
    ASSERT_EQ(dots.size(), 13u);
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        EXPECT_EQ(dots[f].a.x, iAryYPos[f]);
        EXPECT_EQ(dots[f].a.y, row.y) << "frequency " << f;
    }
    const auto tones = TonesByFrequency(1);
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        EXPECT_EQ(tones[f].size(), static_cast<std::size_t>(std::min(row.step + 1, AUDIOMETRY_STEP_LIMIT)))
            << "frequency " << f;
    }
    ExpectIdleControls();
}

INSTANTIATE_TEST_SUITE_P(Rows, MarkByStep,
                         ::testing::Values(MarkRow{0, 40}, MarkRow{1, 52}, MarkRow{3, 77}, MarkRow{24, 340},
                                           MarkRow{25, 352}),
                         [](const auto &info) { return "step" + std::to_string(info.param.step); });

// ------------------------------------------------------------------ stop in a window

TEST_F(AudiometryTest, StopInAWindowEndsThePassAfterThatWindowWithoutAMark)
{
    const Plan plan = PlanPass(1, 0, {700, kToneMs + 700, kNoPress});
    const std::int64_t stopAt = plan.firstTone[2] + 2 * kToneMs + 300;  // in step 2's window
    fake::PressAt(stopAt, Audiometrie_Button, MAIN_PANEL, STOP_AUDIOMETRIE);
    const std::int64_t windowEnd = plan.firstTone[2] + 3 * kToneMs;

    fake::RunUntil(windowEnd);
    EXPECT_EQ(Get(iAudiometrieRunning), 1) << "the window runs to its end";
    ASSERT_TRUE(fake::RunUntilThreadsEnded(windowEnd + 1));
    EXPECT_EQ(fake::Now(), windowEnd);

    const auto dots = Ops(EAR_RIGHT, fake::CanvasOpKind::Point);
    ASSERT_EQ(dots.size(), 2u) << "the marks so far stay, the stopped frequency gets none";
    EXPECT_EQ(dots[0].a.y, 40);
    EXPECT_EQ(dots[1].a.y, 52);
    int linesBack = 0;
    for (const fake::CanvasOp &line : Ops(EAR_RIGHT, fake::CanvasOpKind::Line)) {
        linesBack += line.penWidth == 6;
    }
    EXPECT_EQ(linesBack, 1);

    const auto tones = TonesByFrequency(1);
    ASSERT_EQ(tones[2].size(), 3u);
    EXPECT_TRUE(tones[3].empty());
    const auto calls = fake::AudioCalls();
    EXPECT_EQ(calls.back().op, fake::AudioOp::Play) << "no channel is stopped at the end";
    EXPECT_TRUE(fake::Stream(SinSample[2][1]).playing) << "the last tone plays out";

    // The end of the pass, in its order, with the flag cleared only after it.
    const auto attrs = fake::AttrCalls();
    ASSERT_GE(attrs.size(), 7u);
    const std::vector<std::pair<int, int>> expected = {
        {START_AUDIOMETRIE_L, ATTR_LABEL_TEXT}, {START_AUDIOMETRIE_R, ATTR_LABEL_TEXT},
        {START_AUDIOMETRIE_L, ATTR_DIMMED},     {START_AUDIOMETRIE_R, ATTR_DIMMED},
        {STOP_AUDIOMETRIE, ATTR_DIMMED},        {NUMBER_MASTER_VOLUME, ATTR_DIMMED},
        {START_STIMULATION, ATTR_DIMMED},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const fake::AttrCall &a = attrs[attrs.size() - expected.size() + i];
        EXPECT_EQ(a.control, expected[i].first) << "end step " << i;
        EXPECT_EQ(a.attribute, expected[i].second) << "end step " << i;
    }
    ExpectIdleControls();
}

TEST_F(AudiometryTest, MasterVolumeComesFromTheSlideBeforeTheFirstTone)
{
    fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.37);
    PlanPass(0, 0, {700});
    fake::RunUntil(600);
    const auto master = CallsOf(fake::AudioOp::SetMasterVolume);
    ASSERT_EQ(master.size(), 1u);
    EXPECT_FLOAT_EQ(master[0].value, 0.37f);
    EXPECT_EQ(master[0].t, 0);
    fake::RunUntil(3000);
    EXPECT_EQ(CallsOf(fake::AudioOp::SetMasterVolume).size(), 1u);
}

struct PauseRow {
    int r;
    std::int64_t pause;
};

class RandomPause : public ProcedureTest, public ::testing::WithParamInterface<PauseRow> {};

TEST_P(RandomPause, PauseIs500PlusDrawModulo2000FromAGeneratorSeededWithTheSecond)
{
    const PauseRow row = GetParam();
    fake::SetTimeBase(1'800'000'123, 400);
    const Plan plan = PlanPass(0, 2000, {700, 700}, {row.r, row.r});
    fake::RunUntil(plan.end + 1);

    const auto tones = TonesByFrequency(0);
    ASSERT_EQ(tones[0].size(), 1u);
    ASSERT_EQ(tones[1].size(), 1u);
    EXPECT_EQ(tones[0][0].t - 2000, row.pause);
    EXPECT_EQ(tones[1][0].t - (tones[0][0].t + kToneMs), row.pause);

    // Each pause is drawn right after seeding with the clock's second at that moment.
    const auto log = fake::RandLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_TRUE(log[0].isSeed);
    EXPECT_EQ(log[0].t, 2000);
    EXPECT_EQ(log[0].seed, 1'800'000'123u + (2000 + 400) / 1000);
    EXPECT_FALSE(log[1].isSeed);
    EXPECT_TRUE(log[2].isSeed);
    EXPECT_EQ(log[2].seed, 1'800'000'123u + (tones[0][0].t + kToneMs + 400) / 1000);
}

INSTANTIATE_TEST_SUITE_P(Rows, RandomPause,
                         ::testing::Values(PauseRow{0, 500}, PauseRow{1999, 2499}, PauseRow{2000, 500},
                                           PauseRow{SYS_RAND_MAX, 500 + SYS_RAND_MAX % 2000}),
                         [](const auto &info) { return "r" + std::to_string(info.param.r); });

TEST_F(AudiometryTest, UnscriptedPausesComeFromTheDrawRightAfterSeedingWithTheSecond)
{
    // The fake's own generator: a draw depends only on the seed, as the C library's.
    fake::SetTimeBase(1'800'000'000, 900);
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    std::int64_t frequencyStart = 0;
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        // Answer each frequency as soon as its first tone has played.
        while (TonesByFrequency(0)[f].empty()) {
            ASSERT_LT(fake::Now(), frequencyStart + 2500) << "frequency " << f;
            fake::Advance(1);
        }
        const std::int64_t tone = TonesByFrequency(0)[f][0].t;
        const unsigned second = static_cast<unsigned>(1'800'000'000 + (frequencyStart + 900) / 1000);
        EXPECT_EQ(tone - frequencyStart, 500 + fake::FirstDrawAfterSeed(second) % 2000) << "frequency " << f;
        fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
        frequencyStart = tone + kToneMs;
    }
    ASSERT_TRUE(fake::RunUntilThreadsEnded(frequencyStart + 1));
}

std::vector<std::string> Warnings()
{
    std::vector<std::string> out;
    for (const fake::UiEvent &e : fake::UiEvents()) {
        if (e.what == "Warning") {
            out.push_back(e.text);
        }
    }
    return out;
}

bool Mentions(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Frequency 1 of the left ear cannot sound: missing, or refused once read. It is left out
// (no call on it, no pause, no mark; the line joins the marks around it) and named.
void ExpectLeftOutAndNamed(AudioHandle missing)
{
    const Plan plan = PlanPass(0, 0, std::vector<std::int64_t>(12, 700));
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end + 1));

    for (const fake::AudioCall &c : fake::AudioCalls()) {
        EXPECT_TRUE(c.handle != missing || c.op == fake::AudioOp::SetMasterVolume) << "no call on the missing stream";
    }
    const auto dots = Ops(EAR_LEFT, fake::CanvasOpKind::Point);
    ASSERT_EQ(dots.size(), 12u);
    EXPECT_EQ(dots[1].a.x, iAryYPos[2]);
    EXPECT_EQ(dots[1].t, plan.firstTone[1] + kToneMs) << "frequency 2 timed as if 1 was never there";
    const auto lines = Ops(EAR_LEFT, fake::CanvasOpKind::Line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].b.x, iAryYPos[0]) << "the line joins the last mark drawn";
    const auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Mentions(warnings[0], "left out"));
    EXPECT_TRUE(Mentions(warnings[0], " 250 Hz"));
    EXPECT_FALSE(Mentions(warnings[0], "125 Hz"));
}

TEST_F(AudiometryTest, AToneFileThatDidNotOpenIsLeftOutAndNamed)
{
    SinSample[1][0] = 0;
    ExpectLeftOutAndNamed(0);
}

TEST_F(AudiometryTest, AToneFileRefusedOnceReadIsLeftOutAsIfItDidNotOpen)
{
    fake::ReadAt("Samples/Sinus_96000L_00250Hz_0dB.wav", 0, true);
    ExpectLeftOutAndNamed(SinSample[1][0]);
}

// Frequency 1's file is read until 3000 ms. 0 ends at 1900 (answered at its first tone);
// the pass waits for 1, then pauses as ever: its first tone at 3500.
TEST_F(AudiometryTest, AToneFileStillReadIsWaitedFor)
{
    fake::ReadAt("Samples/Sinus_96000L_00250Hz_0dB.wav", 3000);
    fake::QueueRand({0, 0});
    fake::PressAt(0, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    fake::PressAt(1200, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    fake::PressAt(3700, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    fake::RunUntil(4000);
    const auto calls = CallsOn(SinSample[1][0]);
    ASSERT_FALSE(calls.empty());
    for (const fake::AudioCall &c : calls) {
        EXPECT_TRUE(c.live) << "no call before the file is read, at " << c.t;
    }
    const auto byFrequency = TonesByFrequency(0);
    ASSERT_EQ(byFrequency[1].size(), 1u);
    EXPECT_EQ(byFrequency[1][0].t, 3500);
    const auto dots = Ops(EAR_LEFT, fake::CanvasOpKind::Point);
    ASSERT_EQ(dots.size(), 1u) << "frequency 1's mark comes after its window";
    fake::RunUntil(5000);
    EXPECT_EQ(Ops(EAR_LEFT, fake::CanvasOpKind::Point).size(), 2u);
}

TEST_F(AudiometryTest, AStopWhileWaitingForAToneFileEndsThePass)
{
    fake::ReadAt("Samples/Sinus_96000L_00250Hz_0dB.wav", 60'000);
    fake::QueueRand({0});
    fake::PressAt(0, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    fake::PressAt(1200, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    fake::PressAt(2500, Audiometrie_Button, MAIN_PANEL, STOP_AUDIOMETRIE);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(10'000));
    EXPECT_LE(fake::Now(), 2500 + static_cast<std::int64_t>(SAMPLE_WAIT_MS));
    EXPECT_TRUE(CallsOn(SinSample[1][0]).empty());
    EXPECT_EQ(Ops(EAR_LEFT, fake::CanvasOpKind::Point).size(), 1u);
    ExpectIdleControls();
}

// The ladder asks for up to 40.96 x the stream's level times the master volume; what
// passes full scale is held there, so its steps are no louder than the one before.
struct CapRow {
    float master;
    float peak;
    int firstCapped;
    double fittingMaster;
};

class CappedSteps : public ::testing::TestWithParam<CapRow> {};

TEST_P(CappedSteps, FirstStepThatCannotSoundAndTheMasterAtWhichAllFit)
{
    const CapRow row = GetParam();
    EXPECT_EQ(First_Capped_Step(row.master, row.peak), row.firstCapped);
    EXPECT_NEAR(Highest_Fitting_Master(row.peak), row.fittingMaster, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Rows, CappedSteps,
                         ::testing::Values(CapRow{0.01f, 1.0f, 25, 0.020}, CapRow{0.05f, 1.0f, 22, 0.020},
                                           CapRow{1.0f, 1.0f, 14, 0.020}, CapRow{0.8f, 1.0f, 14, 0.020},
                                           CapRow{0.025f, 1.0f, 24, 0.020}, CapRow{0.02f, 1.0f, 25, 0.020},
                                           CapRow{1.0f, 0.5f, 16, 0.045}, CapRow{0.0f, 1.0f, 25, 0.020},
                                           CapRow{1.0f, 0.0f, 25, 1.0}));

struct CapPassRow {
    double master;
    int answerStep;  // at 125 Hz; 25: no answer
    bool warned;
};

class CappedPass : public ProcedureTest, public ::testing::WithParamInterface<CapPassRow> {};

TEST_P(CappedPass, AnAnswerAtOrBeyondTheCapIsNamedAtTheEnd)
{
    const CapPassRow row = GetParam();
    fake::SetCtrl(NUMBER_MASTER_VOLUME, row.master);
    std::vector<std::int64_t> presses(FREQUENCY_COUNT, 700);
    presses[0] = row.answerStep == AUDIOMETRY_STEP_LIMIT ? kNoPress : row.answerStep * kToneMs + 700;
    const Plan plan = PlanPass(1, 0, presses);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end + 1));

    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).size(), 13u) << "the marks are drawn all the same";
    const auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), row.warned ? 1u : 0u);
    if (row.warned) {
        const int capped = First_Capped_Step(static_cast<float>(row.master), 1.0f);
        EXPECT_TRUE(Mentions(warnings[0], "From step " + std::to_string(capped) + " on")) << warnings[0];
        EXPECT_TRUE(Mentions(warnings[0], " 125 Hz"));
        EXPECT_FALSE(Mentions(warnings[0], "250 Hz"));
        EXPECT_TRUE(Mentions(warnings[0], "0.020 or lower"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CappedPass,
                         ::testing::Values(CapPassRow{0.05, 21, false}, CapPassRow{0.05, 22, true},
                                           CapPassRow{0.05, 25, true}, CapPassRow{0.01, 25, false},
                                           CapPassRow{1.0, 13, false}, CapPassRow{1.0, 14, true}));

TEST_F(AudiometryTest, LostOutputEndsThePassWithoutAMarkAndRefusesTheNextStart)
{
    const Plan plan = PlanPass(1, 0, {kNoPress});
    fake::At(plan.firstTone[0] + 2000, [] { fake::SetOutputWorking(false); });
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end));
    EXPECT_EQ(fake::Now(), plan.firstTone[0] + 2 * kToneMs) << "ends after the window the loss fell in";
    EXPECT_TRUE(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).empty());
    ExpectIdleControls();
    ASSERT_EQ(Warnings().size(), 1u);
    EXPECT_TRUE(Mentions(Warnings()[0], "lost while 125 Hz"));

    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    EXPECT_EQ(fake::PoolCalls().size(), 1u) << "no pass without an output";
    ExpectIdleControls();
    ASSERT_EQ(Warnings().size(), 2u);
    EXPECT_EQ(Warnings()[1], kNoOutputText);

    fake::SetOutputWorking(true);
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    EXPECT_EQ(fake::PoolCalls().size(), 2u) << "the output is back: the pass starts";
}

TEST_F(AudiometryTest, AnOutputLostAndBackWithinOneWindowStillEndsThePass)
{
    const Plan plan = PlanPass(0, 0, {kNoPress});
    fake::At(plan.firstTone[0] + 3000, [] { fake::SetOutputWorking(false); });
    fake::At(plan.firstTone[0] + 3500, [] { fake::SetOutputWorking(true); });
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end));
    EXPECT_EQ(fake::Now(), plan.firstTone[0] + 3 * kToneMs);
    EXPECT_TRUE(Ops(EAR_LEFT, fake::CanvasOpKind::Point).empty());
}

// The sound went to another device: in a tone's window, the pass ends after it; in a
// pause, before the frequency's first tone. Either way that frequency has no mark.
struct RouteRow {
    const char *name;
    int pressedAt;  // kNoPress: the first frequency is not answered
    std::int64_t changeAfterFirstToneMs;
    std::int64_t endsAfterFirstToneMs;  // of the frequency named
    int frequency;
};

class RouteChange : public AudiometryTest, public ::testing::WithParamInterface<RouteRow> {};

TEST_P(RouteChange, EndsThePassNamingTheFrequencyAndBothOutputs)
{
    const RouteRow row = GetParam();
    const Plan plan = PlanPass(1, 0, {row.pressedAt, kNoPress});
    fake::At(plan.firstTone[0] + row.changeAfterFirstToneMs, [] { fake::ChangeRoute("Speakers"); });
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end));
    EXPECT_EQ(fake::Now(), plan.firstTone[row.frequency] + row.endsAfterFirstToneMs);
    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).size(), static_cast<std::size_t>(row.frequency));
    ExpectIdleControls();
    ASSERT_EQ(Warnings().size(), 1u);
    const std::string hz = row.frequency == 0 ? "125 Hz" : "250 Hz";
    EXPECT_TRUE(Mentions(Warnings()[0], "changed while " + hz + " was tested (from Headphones to Speakers)"))
        << Warnings()[0];
}

INSTANTIATE_TEST_SUITE_P(Rows, RouteChange,
                         ::testing::Values(RouteRow{"InAWindow", kNoPress, 2000, 2 * kToneMs, 0},
                                           RouteRow{"InAPause", 200, kToneMs + 300, 0, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(AudiometryTest, AnOutputThatJoinsTheEarsRefusesThePass)
{
    fake::ChangeRoute("Headset", 0);
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_L);
    EXPECT_TRUE(fake::PoolCalls().empty());
    EXPECT_EQ(Get(iAudiometrieRunning), 0);
    ASSERT_EQ(Warnings().size(), 1u);
    EXPECT_TRUE(Mentions(Warnings()[0], "\"Headset\" has no separate left and right channels: both ears would hear every tone"));
}

TEST_F(AudiometryTest, APassThatCannotBeScheduledLeavesThePanelIdle)
{
    fake::SetScheduleResult(-1);
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    ExpectIdleControls();
    EXPECT_TRUE(fake::PoolCalls().empty());
    fake::SetScheduleResult(0);
    fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    EXPECT_EQ(fake::PoolCalls().size(), 1u) << "the next press starts a pass";
}

// ------------------------------------------------------------------ the chart

class ChartOfAPass : public ProcedureTest, public ::testing::WithParamInterface<int> {};

TEST_P(ChartOfAPass, DotsAndLinesOnTheTestedEarsCanvasOnly)
{
    const int ear = GetParam();
    const int other = Canvas(1 - ear);
    const int colour = ear == 0 ? 0x0000FF : 0xFF0000;
    std::vector<std::int64_t> presses;
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        presses.push_back((f % 5) * kToneMs + 700);  // steps 0,1,2,3,4,0,...
    }
    const Plan plan = PlanPass(ear, 0, presses);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end + 1));

    EXPECT_TRUE(Ops(other).empty()) << "the other ear's chart is not touched";
    const auto ops = Ops(Canvas(ear));
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.front().kind, fake::CanvasOpKind::Clear) << "the pass starts by clearing its chart";
    EXPECT_EQ(Ops(Canvas(ear), fake::CanvasOpKind::Clear).size(), 1u);

    // After the empty chart: dot, then for every later frequency a dot and a line back.
    std::vector<fake::CanvasOp> marks;
    for (const fake::CanvasOp &op : ops) {
        if (op.penWidth == 12 || op.penWidth == 6) {
            marks.push_back(op);
        }
    }
    ASSERT_EQ(marks.size(), 1u + 2u * 12u);
    EXPECT_EQ(marks[0].kind, fake::CanvasOpKind::Point);
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        const int y = Chart_StepY(plan.steps[f]);
        const fake::CanvasOp &dot = marks[f == 0 ? 0 : 2 * f - 1];
        EXPECT_EQ(dot.kind, fake::CanvasOpKind::Point) << "frequency " << f;
        EXPECT_EQ(dot.penWidth, 12);
        EXPECT_EQ(dot.penColor, colour);
        EXPECT_EQ(dot.a.x, iAryYPos[f]);
        EXPECT_EQ(dot.a.y, y);
        EXPECT_EQ(dot.t, plan.firstTone[f] + kToneMs * (plan.steps[f] + 1)) << "drawn at the answer check";
        if (f > 0) {
            const fake::CanvasOp &line = marks[2 * f];
            EXPECT_EQ(line.kind, fake::CanvasOpKind::Line) << "frequency " << f;
            EXPECT_EQ(line.penWidth, 6);
            EXPECT_EQ(line.penColor, colour);
            EXPECT_EQ(line.a.x, iAryYPos[f]);
            EXPECT_EQ(line.a.y, y);
            EXPECT_EQ(line.b.x, iAryYPos[f - 1]);
            EXPECT_EQ(line.b.y, Chart_StepY(plan.steps[f - 1]));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ears, ChartOfAPass, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param == 0 ? "Left" : "Right"; });

TEST_F(AudiometryTest, APassOnOneEarLeavesTheOtherEarsCurve)
{
    const Plan left = PlanPass(0, 0, std::vector<std::int64_t>(FREQUENCY_COUNT, 700));
    ASSERT_TRUE(fake::RunUntilThreadsEnded(left.end + 1));
    const std::size_t leftOps = Ops(EAR_LEFT).size();

    const Plan right = PlanPass(1, left.end + 1000, std::vector<std::int64_t>(FREQUENCY_COUNT, 700));
    fake::RunUntil(left.end + 1000);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(right.end + 1));
    EXPECT_EQ(Ops(EAR_LEFT).size(), leftOps) << "the right pass drew or cleared on the left canvas";
    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).size(), 13u);
    EXPECT_EQ(Ops(EAR_LEFT, fake::CanvasOpKind::Point).size(), 13u);
}

// ------------------------------------------------------------------ a stimulation's last cycle

TEST_F(AudiometryTest, APassStartedDuringAStoppedStimulationsLastCycleKeepsItsEar)
{
    // The stimulation plays the left ear; its first block ends at 3600 ms, then a 3000 ms
    // break. Stopped in the break, its last cycle starts at 6600 and writes iLeftRight = 0
    // after the right-ear pass has been started.
    fake::SetCtrl(RING_LEFT_RIGHT, 0);
    fake::PressAt(0, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::PressAt(4000, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::PressAt(4100, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    fake::RunUntil(4101);
    // Answer every frequency's first tone as it comes, whenever the pass begins.
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        while (TonesByFrequency(1)[f].empty()) {
            ASSERT_LT(fake::Now(), 60'000) << "frequency " << f << " never played";
            fake::Advance(10);
        }
        fake::Press(Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    }
    ASSERT_TRUE(fake::RunUntilThreadsEnded(fake::Now() + 10'000));

    int stimThread = 0;
    int passThread = 0;
    for (const fake::PoolCall &p : fake::PoolCalls()) {
        (p.function == Stimulation ? stimThread : passThread) = p.threadIndex;
    }
    ASSERT_NE(passThread, 0);
    std::int64_t lastStimCall = -1;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        if (c.thread == stimThread) {
            lastStimCall = c.t;
        }
    }
    EXPECT_EQ(lastStimCall, 6960 - 150) << "the last cycle ran: tone at 6600, stop at 6810";

    int passTones = 0;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        if (c.thread != passThread || c.op == fake::AudioOp::SetMasterVolume) {
            continue;
        }
        bool rightEar = false;
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            rightEar = rightEar || c.handle == SinSample[f][1];
        }
        EXPECT_TRUE(rightEar) << "pass call on handle " << c.handle << " at " << c.t;
        EXPECT_GT(c.t, lastStimCall) << "the pass and the last cycle drove the streams at once";
        passTones += c.op == fake::AudioOp::Play;
    }
    EXPECT_EQ(passTones, 13);
    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).size(), 13u);
    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Clear).size(), 1u);
    EXPECT_TRUE(Ops(EAR_LEFT).empty()) << "the left chart was drawn on";
}

TEST_F(AudiometryTest, ThePassKeepsItsEarWhateverIsWrittenToTheSharedEarWordMeanwhile)
{
    // What a stray writer (a stimulation's last cycle) would do: flip iLeftRight to the
    // other ear in every pause and every window.
    const Plan plan = PlanPass(1, 0, std::vector<std::int64_t>(FREQUENCY_COUNT, kToneMs + 700));
    for (std::int64_t t = 1; t < plan.end; t += 250) {
        fake::At(t, [] { Set(iLeftRight, 0); });
    }
    ASSERT_TRUE(fake::RunUntilThreadsEnded(plan.end + 1));

    for (const auto &tones : TonesByFrequency(0)) {
        EXPECT_TRUE(tones.empty()) << "a tone on the left ear";
    }
    for (const auto &tones : TonesByFrequency(1)) {
        EXPECT_EQ(tones.size(), 2u);
    }
    EXPECT_EQ(Ops(EAR_RIGHT, fake::CanvasOpKind::Point).size(), 13u);
    EXPECT_TRUE(Ops(EAR_LEFT).empty());
}

}  // namespace

// The wait for a stopped stimulation's last cycle is ours, not a pause of the test: a stop
// during it ends the pass before anything of it is shown or heard. A stop from before the
// start press does not.
TEST_F(AudiometryTest, AStopWhileThePassWaitsForAStoppedStimulationEndsItUnseen)
{
    fake::PressAt(0, Audiometrie_Button, MAIN_PANEL, STOP_AUDIOMETRIE);
    fake::PressAt(10, Stimulation_Button, MAIN_PANEL, START_STIMULATION);
    fake::PressAt(4000, Stimulation_Button, MAIN_PANEL, START_STIMULATION);  // stopped in the break
    fake::PressAt(4100, Audiometrie_Button, MAIN_PANEL, START_AUDIOMETRIE_R);
    fake::PressAt(5000, Audiometrie_Button, MAIN_PANEL, STOP_AUDIOMETRIE);
    fake::RunUntil(5001);
    ASSERT_TRUE(fake::RunUntilThreadsEnded(20'000));
    EXPECT_TRUE(Ops(EAR_RIGHT).empty()) << "the chart stays as it was";
    EXPECT_TRUE(TonesByFrequency(1)[0].empty());
    ExpectIdleControls();
}
