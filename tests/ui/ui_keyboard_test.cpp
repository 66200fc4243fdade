// The panel from the keyboard, with the real procedures and clock on the real Qt layer
// (offscreen); only the audio engine is the recording fake. One run through, in the order a
// user meets it: where the focus rests, what a screen reader hears, a pass started with the
// mouse and answered with Space, one stopped and one started from the keyboard alone.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMainWindow>
#include <QPushButton>
#include <QStyleOption>
#include <QTest>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "app/globals.h"
#include "app/panel.h"
#include "audiometry/audiometry.h"
#include "chart/chart.h"
#include "fake/fake_platform.h"
#include "platform/sys.h"
#include "platform/ui.h"
#include "samples/samples.h"
#include "ui/ui_pump.h"

namespace {

QMainWindow *gWindow = nullptr;

QString NameOf(int control)
{
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        if (kMainPanelDecl.controls[i].id == control) {
            return kMainPanelDecl.controls[i].name;
        }
    }
    return {};
}

QWidget *Widget(int control) { return gWindow->findChild<QWidget *>(NameOf(control)); }

std::string Focused()
{
    QWidget *w = QApplication::focusWidget();
    return w == nullptr ? "(none)" : w->objectName().toStdString();
}

// What a control of the panel has the focus, if any: the panel's own area is none.
bool AControlHasTheFocus()
{
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        if (Widget(kMainPanelDecl.controls[i].id)->hasFocus()) {
            return true;
        }
    }
    return false;
}

QString AccessibleName(int control)
{
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(Widget(control));
    return a == nullptr ? QString() : a->text(QAccessible::Name);
}


// A key as the window system delivers it to the focused widget, with its own time stamp.
void Key(QEvent::Type type, Qt::Key key, std::uint64_t stampMs = 0, bool autoRepeat = false)
{
    QKeyEvent event(type, key, Qt::NoModifier, key == Qt::Key_Space ? QStringLiteral(" ") : QString(), autoRepeat);
    event.setTimestamp(stampMs);
    QApplication::sendEvent(QApplication::focusWidget(), &event);
    Ui_ProcessSystemEvents();
}

void Tab(bool back = false) { QTest::keyClick(static_cast<QWidget *>(nullptr), back ? Qt::Key_Backtab : Qt::Key_Tab); }

// When the pass's latest tone sounded, on Sys_NowNs's clock; 0 before the first.
std::int64_t LastToneNs()
{
    std::int64_t latest = 0;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        std::int64_t ns = 0;
        if (c.op == fake::AudioOp::Play && Audio_PlaySoundedAt(Audio_ChannelLastPlay(c.handle), &ns) == 1) {
            latest = std::max(latest, ns);
        }
    }
    return latest;
}

TEST(Keyboard, APassIsStartedAnsweredAndStoppedFromTheKeyboardAndTheFocusNeverRestsOnAStartUnseen)
{
    static char name[] = "ui_keyboard_test";
    static char *argv[] = {name, nullptr};
    ASSERT_NE(Ui_Init(1, argv), 0);
    Ui_DeclarePanel(&kMainPanelDecl);
    const int panel = Ui_LoadPanel(0, VELMORA_TEST_PANEL_FILE, MAIN_PANEL);
    ASSERT_GT(panel, 0);
    Set(iPanelHandle, panel);
    Create_Samples();
    Ui_DisplayPanel(panel);
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == kMainPanelDecl.name) {
            gWindow = qobject_cast<QMainWindow *>(w);
        }
    }
    ASSERT_NE(gWindow, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(gWindow));
    Ui_ProcessSystemEvents();
    auto *left = qobject_cast<QPushButton *>(Widget(START_AUDIOMETRIE_L));
    auto *stop = qobject_cast<QPushButton *>(Widget(STOP_AUDIOMETRIE));
    auto *right = qobject_cast<QPushButton *>(Widget(START_AUDIOMETRIE_R));

    // Shown: no control holds the focus, so a first Space starts nothing.
    EXPECT_FALSE(AControlHasTheFocus()) << Focused();
    EXPECT_EQ(AccessibleName(START_AUDIOMETRIE_L).toStdString(), "Start audiometry, left ear");
    EXPECT_EQ(AccessibleName(START_AUDIOMETRIE_R).toStdString(), "Start audiometry, right ear");
    for (int i = 0; i < kMainPanelDecl.controlCount; ++i) {
        const int id = kMainPanelDecl.controls[i].id;
        if (id != SPLITTER) {
            EXPECT_FALSE(AccessibleName(id).isEmpty()) << NameOf(id).toStdString();
        }
    }

    // A pass started with the mouse: its answer button takes the focus and shows it.
    QTest::mouseClick(left, Qt::LeftButton);
    Ui_ProcessSystemEvents();
    ASSERT_EQ(Get(iAudiometrieRunning), 1);
    EXPECT_EQ(QApplication::focusWidget(), left) << Focused();
    QStyleOptionButton look;
    look.initFrom(left);
    EXPECT_TRUE((look.state & QStyle::State_HasFocus) && (look.state & QStyle::State_KeyboardFocusChange))
        << "drawn as focused only after a Tab";
    EXPECT_EQ(AccessibleName(START_AUDIOMETRIE_L).toStdString(), "Answer: I hear the tone");

    // Space answers the first tone, timed when the key went down by the window system's
    // stamp, not when it arrived or was released. The held key's repeats, Enter and Return
    // add no press.
    ASSERT_TRUE(PumpUntil([] { return LastToneNs() != 0 && Sys_NowNs() > LastToneNs() + 500'000'000; }));
    const int pressesBefore = iPressCount.load();
    const std::uint64_t downMs = static_cast<std::uint64_t>(LastToneNs() / 1'000'000 + 300);
    Key(QEvent::KeyPress, Qt::Key_Space, downMs);
    Key(QEvent::KeyRelease, Qt::Key_Space, downMs + 400, true);
    Key(QEvent::KeyPress, Qt::Key_Space, downMs + 430, true);
    Key(QEvent::KeyRelease, Qt::Key_Space, downMs + 450);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        Key(QEvent::KeyPress, key);
        Key(QEvent::KeyRelease, key);
    }
    ASSERT_EQ(iPressCount.load(), pressesBefore + 1);
    EXPECT_EQ(iAryPressKind[pressesBefore % PRESS_LOG_SIZE].load(), 1);
    EXPECT_EQ(llAryPressTime[pressesBefore % PRESS_LOG_SIZE].load(), static_cast<std::int64_t>(downMs) * 1'000'000);
    // Counted as a click is: the first tone's answer, marked on the top row.
    EXPECT_TRUE(PumpUntil([] { return (Widget(EAR_LEFT)->grab().toImage().pixel(20, Chart_StepY(0)) & 0xFFFFFF) ==
                                      0x0000FFu; }));

    // Stopped from the keyboard: Tab to STOP, Space until a press lands in a tone window.
    Tab();
    ASSERT_EQ(QApplication::focusWidget(), stop) << Focused();
    ASSERT_TRUE(PumpUntil([] { return Get(iAudiometrieRunning) == 0; }, [stop] {
        if (stop->hasFocus()) {
            Key(QEvent::KeyPress, Qt::Key_Space);
            Key(QEvent::KeyRelease, Qt::Key_Space);
        }
    }));
    // Qt would have handed the dimmed STOP's focus on to the right start button.
    EXPECT_FALSE(AControlHasTheFocus()) << Focused();
    EXPECT_EQ(AccessibleName(START_AUDIOMETRIE_L).toStdString(), "Start audiometry, left ear");

    // Tab goes through the controls in the panel's reading order (STOP is dimmed again).
    const int order[] = {START_AUDIOMETRIE_L, START_AUDIOMETRIE_R, NUMBER_MASTER_VOLUME, RING_LEFT_RIGHT, RING_FREQ,
                         NUMBER_INTERVAL, START_STIMULATION, NUMBER_VOLUME, NUMBER_HOLD, NUMBER_PAUSE,
                         NUMBER_BAND_WIDTH, START_AUDIOMETRIE_L, START_AUDIOMETRIE_R};
    for (int control : order) {
        Tab();
        EXPECT_EQ(Focused(), NameOf(control).toStdString());
    }

    // A focused control that the program dims leaves the focus to no control (Qt would pass
    // it on along the chain).
    Tab();
    ASSERT_EQ(Focused(), NameOf(NUMBER_MASTER_VOLUME).toStdString());
    Ui_SetCtrlAttribute(panel, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 1);
    EXPECT_FALSE(AControlHasTheFocus()) << Focused();
    Ui_SetCtrlAttribute(panel, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 0);
    Tab();
    Tab();
    ASSERT_EQ(QApplication::focusWidget(), right) << Focused();

    // Space on a start button starts a pass on its ear; the answer button keeps the focus.
    Key(QEvent::KeyPress, Qt::Key_Space);
    Key(QEvent::KeyRelease, Qt::Key_Space);
    ASSERT_EQ(Get(iAudiometrieRunning), 1);
    EXPECT_EQ(Get(iLeftRight), 1);
    EXPECT_EQ(QApplication::focusWidget(), right) << Focused();
    // Ended while the answer button holds the focus: it turns back into a start button, and
    // the focus leaves it.
    ASSERT_TRUE(PumpUntil([] { return Get(iAudiometrieRunning) == 0; }, [] {
        Audiometrie_Button(Get(iPanelHandle), STOP_AUDIOMETRIE, EVENT_COMMIT, nullptr, 0, 0);
    }));
    EXPECT_FALSE(AControlHasTheFocus()) << Focused();
    Ui_WaitForThreadPoolFunctions();
}

}  // namespace
