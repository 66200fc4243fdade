// The shell on the fake platform: start-up order, the quit rule, About, the end, and the
// warning about silent tones.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/panel.h"
#include "app/shell.h"
#include "fake/fake_platform.h"
#include "procedures/procedure_fixture.h"
#include "samples/samples.h"

namespace {

class Shell : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }

    static std::vector<std::string> EventNames()
    {
        std::vector<std::string> names;
        for (const auto &e : fake::UiEvents()) {
            names.push_back(e.what);
        }
        return names;
    }

    static int RunMain()
    {
        char name[] = "velmora";
        char *argv[] = {name, nullptr};
        return App_Main(1, argv);
    }
};

struct QuitCase {
    const char *name;
    int audiometry;
    int stimulation;
    bool quits;
};

class QuitRule : public Shell, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitRule, CloseAndQuitObeyTheRunFlags)
{
    const QuitCase c = GetParam();
    for (int viaMenu = 0; viaMenu < 2; ++viaMenu) {
        Set(ucQuitFlag, 1);
        Set(iAudiometrieRunning, c.audiometry);
        Set(iStimulationRunning, c.stimulation);
        if (viaMenu) {
            Menu_Select(MENUBAR, QUIT, nullptr, 1);
        } else {
            EXPECT_EQ(Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0), 0);
        }
        EXPECT_EQ(Get(ucQuitFlag), c.quits ? 0 : 1) << (viaMenu ? "QUIT" : "close");
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, QuitRule,
                         ::testing::Values(QuitCase{"idle", 0, 0, true}, QuitCase{"audiometry", 1, 0, false},
                                           QuitCase{"stimulation", 0, 1, false}, QuitCase{"both", 1, 1, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Shell, OtherEventsAndItemsChangeNothing)
{
    for (int event : {EVENT_COMMIT, 0, 2, 12}) {
        EXPECT_EQ(Main_Panel(1, event, nullptr, 0, 0), 0);
    }
    Menu_Select(MENUBAR, SEPARATOR, nullptr, 1);
    Menu_Select(MENUBAR, PROJECT, nullptr, 1);
    EXPECT_EQ(Get(ucQuitFlag), 1);
    EXPECT_TRUE(fake::UiEvents().empty());
}

TEST_F(Shell, AboutShowsFourLinesAlsoWhileAProcedureRuns)
{
    Set(iStimulationRunning, 1);
    Menu_Select(MENUBAR, ABOUT, nullptr, 1);
    const auto events = fake::UiEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].what, "MessagePopup");
    const std::string text = events[0].text;
    EXPECT_EQ(text.rfind("Velmora\n", 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_NE(text.find("\n\n"), std::string::npos) << "the third line is empty";
    EXPECT_EQ(Get(ucQuitFlag), 1);
}

TEST_F(Shell, StartsInOrderAndEndsOnCloseWithStatusZero)
{
    fake::At(50, [] { Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0); });
    fake::At(50, [] { Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0); });  // same batch: nothing more
    EXPECT_EQ(RunMain(), 0);

    const std::vector<std::string> expected = {"Init", "DeclarePanel", "LoadPanel", "DisplayPanel", "Wait",
                                               "DiscardPanel"};
    EXPECT_EQ(EventNames(), expected);
    EXPECT_EQ(Get(iLeftRight), 1);

    // Left chart drawn before the right one, both before the panel is shown.
    const auto ops = fake::CanvasOps();
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.front().control, EAR_LEFT);
    EXPECT_EQ(ops.back().control, EAR_RIGHT);
    EXPECT_TRUE(std::is_partitioned(ops.begin(), ops.end(), [](const auto &op) { return op.control == EAR_LEFT; }));

    // The bank is opened after the engine and freed after the loop, 26 each.
    const auto calls = fake::AudioCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().op, fake::AudioOp::Init);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto &c) { return c.op == fake::AudioOp::Create; }), 26);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const auto &c) { return c.op == fake::AudioOp::Free; }), 26);
    EXPECT_EQ(calls.back().op, fake::AudioOp::Free);
    // The loop polls every 10 ms: the close at 50 ms is seen by the pass that starts then.
    EXPECT_GE(fake::Now(), 50);
    EXPECT_LE(fake::Now(), 70);
}

TEST_F(Shell, QuitRefusedWhileAPassRunsThenAccepted)
{
    fake::At(30, [] { Set(iAudiometrieRunning, 1); });
    fake::At(40, [] { Menu_Select(MENUBAR, QUIT, nullptr, 1); });
    fake::At(200, [] { Set(iAudiometrieRunning, 0); });
    fake::At(300, [] { Menu_Select(MENUBAR, QUIT, nullptr, 1); });
    EXPECT_EQ(RunMain(), 0);
    EXPECT_GE(fake::Now(), 300);
}

TEST_F(Shell, PanelThatDoesNotLoadEndsWithMinusOneBeforeAnythingElse)
{
    fake::SetLoadPanelResult(-1);
    EXPECT_EQ(RunMain(), -1);
    const std::vector<std::string> expected = {"Init", "DeclarePanel", "LoadPanel"};
    EXPECT_EQ(EventNames(), expected);
    EXPECT_TRUE(fake::AudioCalls().empty());
    EXPECT_TRUE(fake::CanvasOps().empty());
}

// The panel comes before the files are read; the warning once every one has been checked,
// naming those that failed at once and those that failed later.
TEST_F(Shell, UnusableToneFilesAreNamedOnceWhenTheLastIsRead)
{
    fake::FailOpen("Samples/Sinus_96000R_08000Hz_0dB.wav");
    fake::FailOpen("Samples/Sinus_96000L_00125Hz_0dB.wav");
    fake::ReadAt("Samples/Sinus_96000L_00500Hz_0dB.wav", 300, true);
    fake::ReadAt("Samples/Sinus_96000R_12000Hz_0dB.wav", 400);
    fake::At(1000, [] { Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0); });
    EXPECT_EQ(RunMain(), 0);

    const auto events = fake::UiEvents();
    auto shown = std::find_if(events.begin(), events.end(), [](const auto &e) { return e.what == "DisplayPanel"; });
    ASSERT_NE(shown, events.end());
    EXPECT_EQ(shown->t, 0);
    std::vector<fake::UiEvent> warnings;
    std::copy_if(shown, events.end(), std::back_inserter(warnings), [](const auto &e) { return e.what == "Warning"; });
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_GE(warnings[0].t, 400) << "not before the last file is read";
    EXPECT_LE(warnings[0].t, 410);
    const std::string text = warnings[0].text;
    for (const char *named : {"Sinus_96000R_08000Hz", "Sinus_96000L_00125Hz", "Sinus_96000L_00500Hz"}) {
        EXPECT_NE(text.find(named), std::string::npos) << named;
    }
    for (const char *fine : {"Sinus_96000L_00250Hz", "Sinus_96000R_12000Hz"}) {
        EXPECT_EQ(text.find(fine), std::string::npos) << fine;
    }
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto &e) { return e.what == "MessagePopup"; }), 0);
}

// What the header says (rate, channels) refuses at once: the entry is 0 and the stream freed.
// What only the samples say (the channels that sound) refuses once read: the entry stays, refused.
TEST_F(Shell, FilesThatDoNotFitTheirEarAreLeftOutAndNamed)
{
    struct Row {
        const char *path;
        AudioInfo shape;
        bool fits;
        bool byHeader;
    };
    const Row rows[] = {
        {"Samples/Sinus_96000L_00250Hz_0dB.wav", {48000, 2, 2}, false, true},  // an octave high at 96000
        {"Samples/Sinus_96000L_00500Hz_0dB.wav", {96000, 1, 0}, false, true},  // mono: both ears
        {"Samples/Sinus_96000R_00750Hz_0dB.wav", {96000, 2, 0}, false, false},  // tone in both channels
        {"Samples/Sinus_96000R_01000Hz_0dB.wav", {96000, 2, 2}, false, false},  // tone in the left channel
        {"Samples/Sinus_96000R_01500Hz_0dB.wav", {96000, 2, 3}, false, false},  // no tone at all
        {"Samples/Sinus_96000L_02000Hz_0dB.wav", {96000, 2, 2}, true, false},
        {"Samples/Sinus_96000R_03000Hz_0dB.wav", {96000, 2, 1}, true, false},
    };
    for (const Row &row : rows) {
        fake::SetShape(row.path, row.shape);
        fake::ReadAt(row.path, 100);
    }
    fake::At(200, [] { Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0); });
    EXPECT_EQ(RunMain(), 0);

    std::string warning;
    for (const auto &e : fake::UiEvents()) {
        if (e.what == "Warning") {
            warning += e.text;
        }
    }
    const auto calls = fake::AudioCalls();
    const auto creates = CallsOf(fake::AudioOp::Create);
    for (const Row &row : rows) {
        EXPECT_EQ(warning.find(row.path) == std::string::npos, row.fits) << row.path;
        const auto open = std::find_if(calls.begin(), calls.end(), [&](const auto &c) { return c.path == row.path; });
        ASSERT_NE(open, calls.end());
        const auto nth = std::find_if(creates.begin(), creates.end(), [&](const auto &c) { return c.path == row.path; });
        const int i = static_cast<int>(nth - creates.begin());  // 13 left, then 13 right
        EXPECT_EQ(SinSample[i % 13][i / 13] == 0, row.byHeader) << row.path;
        EXPECT_EQ((open + 1)->op == fake::AudioOp::Free, row.byHeader) << row.path;
        EXPECT_EQ(Sample_State(i % 13, i / 13), row.fits ? SAMPLE_READY : SAMPLE_REFUSED) << row.path;
    }
}

TEST_F(Shell, CompleteBankGivesNoWarning)
{
    fake::At(20, [] { Main_Panel(1, EVENT_CLOSE, nullptr, 0, 0); });
    EXPECT_EQ(RunMain(), 0);
    const auto names = EventNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "MessagePopup"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "Warning"), 0);
}

TEST_F(Shell, AudioThatDidNotStartIsSaidInsteadOfAListOfFiles)
{
    char text[4096];
    Describe_Silent_Tones(0, text, sizeof text);
    EXPECT_EQ(std::string(text), kNoOutputText);
    EXPECT_EQ(std::string(text).find("Samples/"), std::string::npos);
}

}  // namespace
