// The whole program under hostile use, on the virtual clock: a quit in every phase of a
// stimulation's last cycle, and long seeded runs of random presses on every control.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/shell.h"
#include "audiometry/audiometry.h"
#include "procedures/procedure_fixture.h"
#include "stimulation/stimulation.h"

namespace {

const std::string kAnswer = "-= PRESS IF YOU HEAR A NOISE =-";
const std::string kStart = "START AUDIOMETRIE";

int RunMain()
{
    char name[] = "velmora";
    char *argv[] = {name, nullptr};
    return App_Main(1, argv);
}

// With the fixture's hold 200 ms and pause 150 ms, tone k of a run started at 100 ms plays
// at 100 + 360 k: held to +200, muted to +210, paused to +360. The first block's ten tones
// are followed by the 3000 ms block break, 3700 to 6700.
struct QuitPhase {
    const char *name;
    std::int64_t stopAt;
    int tonesAfterStop;  // a stop during a block break lets the break end and one more tone play
};

class QuitInLastCycle : public ProcedureTest, public ::testing::WithParamInterface<QuitPhase> {};

TEST_P(QuitInLastCycle, EndsWithStatusZeroAndNoCallOnAFreedStream)
{
    const QuitPhase phase = GetParam();
    fake::At(100, [] { fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION); });
    fake::At(phase.stopAt, [] { fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION); });
    fake::At(phase.stopAt + 1, [] { Menu_Select(MENUBAR, QUIT, nullptr, MAIN_PANEL); });
    ASSERT_EQ(RunMain(), 0);

    int playsAfterStop = 0;
    int frees = 0;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        EXPECT_TRUE(c.live || c.handle == 0) << "call " << static_cast<int>(c.op) << " on freed stream " << c.handle
                                             << " at " << c.t << " ms";
        playsAfterStop += c.op == fake::AudioOp::Play && c.t > phase.stopAt;
        frees += c.op == fake::AudioOp::Free;
    }
    EXPECT_EQ(playsAfterStop, phase.tonesAfterStop);
    EXPECT_EQ(frees, 26);
    EXPECT_EQ(fake::LiveThreads(), 0);
}

INSTANTIATE_TEST_SUITE_P(Phases, QuitInLastCycle,
                         ::testing::Values(QuitPhase{"hold", 100 + 3 * 360 + 100, 0},
                                           QuitPhase{"mute", 100 + 3 * 360 + 205, 0},
                                           QuitPhase{"pause", 100 + 3 * 360 + 300, 0},
                                           QuitPhase{"pause_before_a_block_break", 100 + 9 * 360 + 300, 0},
                                           QuitPhase{"block_break", 5000, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------

struct PressMix {
    const char *name;
    unsigned seed;
    int audiometryWeight;   // each of the three audiometry buttons
    int stimulationWeight;  // the stimulation button
};

class RandomPresses : public ProcedureTest, public ::testing::WithParamInterface<PressMix> {
protected:
    void SetUp() override
    {
        ProcedureTest::SetUp();
        // What the panel file gives before any press.
        for (int c : {START_AUDIOMETRIE_L, START_AUDIOMETRIE_R}) {
            Ui_SetCtrlAttribute(MAIN_PANEL, c, ATTR_LABEL_TEXT, kStart.c_str());
            Ui_SetCtrlAttribute(MAIN_PANEL, c, ATTR_DIMMED, 0);
        }
        Ui_SetCtrlAttribute(MAIN_PANEL, START_STIMULATION, ATTR_LABEL_TEXT, "START STIMULATION");
        Ui_SetCtrlAttribute(MAIN_PANEL, START_STIMULATION, ATTR_DIMMED, 0);
        Ui_SetCtrlAttribute(MAIN_PANEL, STOP_AUDIOMETRIE, ATTR_DIMMED, 1);
        Ui_SetCtrlAttribute(MAIN_PANEL, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 0);
        fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.01);
    }

    // The panel as the tables of the two procedures' states have it, from the run flags.
    static void ExpectPanelMatchesFlags(const std::string &after)
    {
        SCOPED_TRACE(after);
        const int a = Get(iAudiometrieRunning);
        const int s = Get(iStimulationRunning);
        ASSERT_LE(fake::PeakRunning(Audiometrie), 1);
        ASSERT_LE(fake::PeakRunning(Stimulation), 1);
        if (a != 0) {
            ASSERT_EQ(s, 0) << "a pass and a run at once";
            const bool left = fake::Label(START_AUDIOMETRIE_L) == kAnswer;
            const int answer = left ? START_AUDIOMETRIE_L : START_AUDIOMETRIE_R;
            const int other = left ? START_AUDIOMETRIE_R : START_AUDIOMETRIE_L;
            EXPECT_EQ(fake::Label(answer), kAnswer);
            EXPECT_EQ(fake::Dimmed(answer), 0);
            EXPECT_EQ(fake::Label(other), kStart);
            EXPECT_EQ(fake::Dimmed(other), 1);
            EXPECT_EQ(fake::Dimmed(STOP_AUDIOMETRIE), 0);
            EXPECT_EQ(fake::Dimmed(NUMBER_MASTER_VOLUME), 1);
            EXPECT_EQ(fake::Dimmed(START_STIMULATION), 1);
            EXPECT_EQ(fake::Label(START_STIMULATION), "START STIMULATION");
            if (Stimulation_Phase() == STIMULATION_IDLE) {
                EXPECT_EQ(Get(iLeftRight), left ? 0 : 1);
            }
        } else {
            EXPECT_EQ(fake::Label(START_AUDIOMETRIE_L), kStart);
            EXPECT_EQ(fake::Label(START_AUDIOMETRIE_R), kStart);
            EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_L), s);
            EXPECT_EQ(fake::Dimmed(START_AUDIOMETRIE_R), s);
            EXPECT_EQ(fake::Dimmed(STOP_AUDIOMETRIE), 1);
            EXPECT_EQ(fake::Dimmed(NUMBER_MASTER_VOLUME), 0);
            EXPECT_EQ(fake::Dimmed(START_STIMULATION), 0);
            EXPECT_EQ(fake::Label(START_STIMULATION), s ? "STOP STIMULATION" : "START STIMULATION");
        }
    }
};

TEST_P(RandomPresses, PanelAlwaysMatchesTheRunFlagsAndQuitOnlyWhenIdle)
{
    const PressMix mix = GetParam();
    std::mt19937 rng(mix.seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

    // Values within each control's range, as its slide or ring can give them.
    const int intervals[] = {1, 2, 3, 5, 10, 15, 20, 25, 30, 50, 100, 200, 300, 500};
    auto setControl = [&]() -> std::string {
        switch (pick(8)) {
        case 0:
            if (fake::Dimmed(NUMBER_MASTER_VOLUME) == 1) return "";
            fake::SetCtrl(NUMBER_MASTER_VOLUME, pick(201) * 0.005);
            return "master volume";
        case 1: fake::SetCtrl(NUMBER_VOLUME, pick(11) * 0.1); return "volume";
        case 2: fake::SetCtrl(NUMBER_HOLD, 100 + 50 * pick(27)); return "hold";
        case 3: fake::SetCtrl(NUMBER_PAUSE, 50 + 50 * pick(24)); return "pause";
        case 4: fake::SetCtrl(NUMBER_BAND_WIDTH, 1000 + 100 * pick(991)); return "band width";
        case 5: fake::SetCtrl(RING_LEFT_RIGHT, pick(2)); return "ear";
        case 6: fake::SetCtrl(RING_FREQ, pick(13)); return "frequency";
        default: fake::SetCtrl(NUMBER_INTERVAL, intervals[pick(14)]); return "interval";
        }
    };

    const int buttons[] = {START_AUDIOMETRIE_L, START_AUDIOMETRIE_R, STOP_AUDIOMETRIE};
    const int total = 3 * mix.audiometryWeight + mix.stimulationWeight + 3 + 2;  // + close, about, quit + controls
    int passes = 0, runs = 0, quits = 0;
    // One press a user could make, or "" when the drawn control is dimmed (it takes no clicks).
    auto tryPress = [&](int press) -> std::string {
        int r = pick(total);
        if (r < 3 * mix.audiometryWeight) {
            const int control = buttons[r / mix.audiometryWeight];
            if (fake::Dimmed(control) == 1) return "";
            passes += control != STOP_AUDIOMETRIE && Get(iAudiometrieRunning) == 0;
            fake::Press(Audiometrie_Button, MAIN_PANEL, control);
            return "audiometry button " + std::to_string(control);
        }
        if ((r -= 3 * mix.audiometryWeight) < mix.stimulationWeight) {
            if (fake::Dimmed(START_STIMULATION) == 1) return "";
            runs += Get(iStimulationRunning) == 0;
            fake::Press(Stimulation_Button, MAIN_PANEL, START_STIMULATION);
            return "stimulation button";
        }
        if ((r -= mix.stimulationWeight) < 3) {
            const bool allowed = Get(iAudiometrieRunning) == 0 && Get(iStimulationRunning) == 0;
            if (r == 0) {
                Main_Panel(MAIN_PANEL, EVENT_CLOSE, nullptr, 0, 0);
            } else {
                Menu_Select(MENUBAR, r == 1 ? ABOUT : QUIT, nullptr, MAIN_PANEL);
            }
            EXPECT_EQ(Get(ucQuitFlag), allowed && r != 1 ? 0 : 1) << "press " << press;
            quits += Get(ucQuitFlag) == 0;
            Set(ucQuitFlag, 1);  // go on as if the user had changed their mind
            return r == 1 ? "about" : "quit";
        }
        return setControl();
    };
    for (int press = 0; press < 1000; ++press) {
        std::string what;
        while (what.empty()) {
            what = tryPress(press);
        }
        ExpectPanelMatchesFlags("press " + std::to_string(press) + ": " + what);
        fake::Advance(pick(4) == 0 ? pick(8000) : pick(600));
        ExpectPanelMatchesFlags("after press " + std::to_string(press) + ": " + what);
        if (HasFatalFailure()) return;
    }
    EXPECT_GE(passes, 3) << "the presses should have started hearing tests";
    EXPECT_GE(runs, 3) << "the presses should have started stimulations";
    EXPECT_GE(quits, 1);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomPresses,
                         ::testing::Values(PressMix{"during_passes", 11, 6, 1}, PressMix{"during_runs", 23, 1, 6},
                                           PressMix{"evenly", 37, 2, 2}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
