// The hearing test's and the stimulation's buttons on the real Qt layer (offscreen), with
// the real clock and a recording audio fake: what the user sees while a procedure runs,
// and that everything returns to idle and quitting works again afterwards.

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QString>

#include <chrono>
#include <functional>
#include <thread>

#include "app/globals.h"
#include "app/panel.h"
#include "app/shell.h"
#include "audiometry/audiometry.h"
#include "fake/fake_platform.h"
#include "platform/ui.h"
#include "samples/samples.h"
#include "stimulation/stimulation.h"
#include "ui/ui_pump.h"

namespace {

const char kAnswer[] = "-= PRESS IF YOU HEAR A NOISE =-";
const char kStart[] = "START AUDIOMETRIE";

class Controls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static char name[] = "controls_test";
        static char *argv[] = {name, nullptr};
        ASSERT_NE(Ui_Init(1, argv), 0);
        Ui_DeclarePanel(&kMainPanelDecl);
        panel_ = Ui_LoadPanel(0, VELMORA_TEST_PANEL_FILE, MAIN_PANEL);
        ASSERT_GT(panel_, 0);
        Set(iPanelHandle, panel_);
        Create_Samples();
        Ui_DisplayPanel(panel_);
        Ui_ProcessSystemEvents();
    }

    void SetUp() override
    {
        fake::ClearAudioCalls();
        Set(ucQuitFlag, 1);
        Set(iKey, 0);
    }

    void TearDown() override
    {
        // Leave nothing running for the next test.
        if (Get(iStimulationRunning) != 0) {
            Press(START_STIMULATION);
        }
        PumpUntil([] { return Get(iAudiometrieRunning) == 0; },
                  [] { Audiometrie_Button(Get(iPanelHandle), STOP_AUDIOMETRIE, EVENT_COMMIT, nullptr, 0, 0); });
        Ui_WaitForThreadPoolFunctions();
        Ui_ProcessSystemEvents();
    }

    // By objectName, in the panel's window.
    static QWidget *Widget(int control)
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            for (int i = 0; top->objectName() == kMainPanelDecl.name && i < kMainPanelDecl.controlCount; ++i) {
                if (kMainPanelDecl.controls[i].id == control) {
                    return top->findChild<QWidget *>(kMainPanelDecl.controls[i].name);
                }
            }
        }
        return nullptr;
    }
    static QPushButton *Button(int control) { return qobject_cast<QPushButton *>(Widget(control)); }
    static bool Enabled(int control) { return Widget(control)->isEnabled(); }
    static QString Label(int control) { return Button(control)->text(); }

    // A press as the user makes it: the widget's click, delivered by the event loop.
    static void Press(int control)
    {
        Button(control)->click();
        Ui_ProcessSystemEvents();
    }

    // The shared pump, at the 50 ms step these tests were written for.
    static bool PumpUntil(const std::function<bool()> &done, const std::function<void()> &each = {})
    {
        return ::PumpUntil(done, each, std::chrono::milliseconds(50));
    }

    static int CountCalls(fake::AudioOp op)
    {
        int n = 0;
        for (const auto &c : fake::AudioCalls()) {
            n += c.op == op;
        }
        return n;
    }

    void ExpectAudiometryIdle()
    {
        EXPECT_EQ(Label(START_AUDIOMETRIE_L), kStart);
        EXPECT_EQ(Label(START_AUDIOMETRIE_R), kStart);
        EXPECT_TRUE(Enabled(START_AUDIOMETRIE_L));
        EXPECT_TRUE(Enabled(START_AUDIOMETRIE_R));
        EXPECT_FALSE(Enabled(STOP_AUDIOMETRIE));
        EXPECT_TRUE(Enabled(NUMBER_MASTER_VOLUME));
        EXPECT_TRUE(Enabled(START_STIMULATION));
    }

    static inline int panel_ = 0;
};

TEST_F(Controls, StartPressTurnsOnlyThePressedButtonIntoTheAnswerButton)
{
    ExpectAudiometryIdle();
    Press(START_AUDIOMETRIE_R);

    EXPECT_EQ(Get(iAudiometrieRunning), 1);
    EXPECT_EQ(Get(iLeftRight), 1);
    EXPECT_EQ(Label(START_AUDIOMETRIE_R), kAnswer);
    EXPECT_EQ(Label(START_AUDIOMETRIE_L), kStart);
    EXPECT_TRUE(Enabled(START_AUDIOMETRIE_R));
    EXPECT_FALSE(Enabled(START_AUDIOMETRIE_L));
    EXPECT_TRUE(Enabled(STOP_AUDIOMETRIE));
    EXPECT_FALSE(Enabled(NUMBER_MASTER_VOLUME));
    EXPECT_FALSE(Enabled(START_STIMULATION));

    // Further presses are answers: they only write iKey (the pass is still in its first
    // random pause, at least 500 ms, so nothing has cleared it yet).
    Press(START_AUDIOMETRIE_R);
    Press(START_AUDIOMETRIE_R);
    EXPECT_EQ(Get(iKey), 1);
    EXPECT_EQ(Label(START_AUDIOMETRIE_R), kAnswer);

    // A stop that lands in a tone window ends the pass; everything returns to idle.
    ASSERT_TRUE(PumpUntil([] { return Get(iAudiometrieRunning) == 0; }, [] { Press(STOP_AUDIOMETRIE); }));
    ExpectAudiometryIdle();
    EXPECT_EQ(CountCalls(fake::AudioOp::SetMasterVolume), 1) << "exactly one pass ran";
    Main_Panel(panel_, EVENT_CLOSE, nullptr, 0, 0);
    EXPECT_EQ(Get(ucQuitFlag), 0) << "quitting works again after the pass";
}

TEST_F(Controls, QuitIsRefusedDuringAPass)
{
    Press(START_AUDIOMETRIE_L);
    EXPECT_EQ(Label(START_AUDIOMETRIE_L), kAnswer);
    EXPECT_FALSE(Enabled(START_AUDIOMETRIE_R));
    Main_Panel(panel_, EVENT_CLOSE, nullptr, 0, 0);
    Menu_Select(MENUBAR, QUIT, nullptr, panel_);
    EXPECT_EQ(Get(ucQuitFlag), 1);
}

TEST_F(Controls, StopWhileIdleOnlySetsTheKey)
{
    // The button is dimmed while idle; a commit that arrives all the same.
    Audiometrie_Button(panel_, STOP_AUDIOMETRIE, EVENT_COMMIT, nullptr, 0, 0);
    Ui_ProcessSystemEvents();
    EXPECT_EQ(Get(iKey), -1);
    EXPECT_EQ(Get(iAudiometrieRunning), 0);
    ExpectAudiometryIdle();
}

TEST_F(Controls, EventsOtherThanACommitChangeNothing)
{
    for (int control : {START_AUDIOMETRIE_L, START_AUDIOMETRIE_R, STOP_AUDIOMETRIE}) {
        for (int event : {0, 2, 3, EVENT_CLOSE}) {
            Audiometrie_Button(panel_, control, event, nullptr, 0, 0);
        }
    }
    for (int event : {0, 2, 3, EVENT_CLOSE}) {
        Stimulation_Button(panel_, START_STIMULATION, event, nullptr, 0, 0);
    }
    Ui_ProcessSystemEvents();
    EXPECT_EQ(Get(iKey), 0);
    EXPECT_EQ(Get(iAudiometrieRunning), 0);
    EXPECT_EQ(Get(iStimulationRunning), 0);
    ExpectAudiometryIdle();
    EXPECT_EQ(Label(START_STIMULATION), "START STIMULATION");
}

TEST_F(Controls, StimulationButtonStartsAndStopsAndGuardsTheQuit)
{
    Press(START_STIMULATION);
    EXPECT_EQ(Get(iStimulationRunning), 1);
    EXPECT_EQ(Label(START_STIMULATION), "STOP STIMULATION");
    EXPECT_FALSE(Enabled(START_AUDIOMETRIE_L));
    EXPECT_FALSE(Enabled(START_AUDIOMETRIE_R));
    EXPECT_TRUE(Enabled(START_STIMULATION));
    EXPECT_TRUE(Enabled(NUMBER_MASTER_VOLUME)) << "the stimulation leaves the master volume alone";

    ASSERT_TRUE(PumpUntil([] { return CountCalls(fake::AudioOp::Play) >= 2; })) << "tones are playing";
    Menu_Select(MENUBAR, QUIT, nullptr, panel_);
    EXPECT_EQ(Get(ucQuitFlag), 1) << "no quit while the stimulation runs";

    Press(START_STIMULATION);
    EXPECT_EQ(Get(iStimulationRunning), 0);
    EXPECT_EQ(Label(START_STIMULATION), "START STIMULATION");
    EXPECT_TRUE(Enabled(START_AUDIOMETRIE_L));
    EXPECT_TRUE(Enabled(START_AUDIOMETRIE_R));
    Main_Panel(panel_, EVENT_CLOSE, nullptr, 0, 0);
    EXPECT_EQ(Get(ucQuitFlag), 0) << "the quit is allowed right after the stop";

    // What the shell does next: wait for the last cycle, then the streams may go.
    Ui_WaitForThreadPoolFunctions();
    EXPECT_EQ(Stimulation_Phase(), STIMULATION_IDLE);
    const auto calls = fake::AudioCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().op, fake::AudioOp::SetPosition) << "the last cycle ended with its rewind";
    const fake::StreamState last = fake::Stream(calls.back().handle);
    EXPECT_FALSE(last.playing);
    EXPECT_TRUE(last.atStart);
    EXPECT_EQ(last.volume, 0.0f);
    EXPECT_EQ(fake::MasterVolume(), 0.5f);
}

}  // namespace
