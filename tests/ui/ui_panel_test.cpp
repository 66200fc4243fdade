// The main panel as the shipped file builds it on Qt (offscreen): every control's kind,
// caption, place, range, default and items; callbacks reached by name; the menu and its
// shortcuts; the close rule; changes from a pool thread.

#include <gtest/gtest.h>

#include <cstdlib>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QThread>
#include <atomic>
#include <string>
#include <vector>

#include "platform/ui/core.h"
#include "ui/ui_qt_fixture.h"
#include "ui/ui_test_support.h"

namespace {

class MainPanel : public testing::Test {
protected:
    void SetUp() override
    {
        panel_ = SharedPanel();
        ASSERT_GT(panel_, 0);
        gCallbackCalls.clear();
    }
    int panel_ = 0;
};

QRect R(int top, int left, int bottom, int right) { return QRect(left, top, right - left, bottom - top); }

TEST_F(MainPanel, WindowHasItsTitleSizePositionAndBackground)
{
    QWidget *window = Window();
    QWidget *content = Window()->centralWidget();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(content, nullptr);
    EXPECT_EQ(window->windowTitle(), "Velmora");
    EXPECT_EQ(content->size(), QSize(810, 610));
    EXPECT_EQ(window->geometry().topLeft(), QPoint(28, 41));
    const QImage shot = content->grab().toImage();
    EXPECT_EQ(Rgb(shot, 805, 5), 0xF0F0F0u);  // a corner no control covers
    EXPECT_EQ(Rgb(shot, 400, 605), 0xF0F0F0u);
}

struct ControlRow {
    int id;
    const char *className;
    const char *text;  // button text or caption; nullptr for none
    QRect rect;
    QRect captionRect;  // null when no separate caption
    Qt::Alignment captionAlign;
    QRect display;      // slides only
};

class MainPanelControl : public MainPanel, public testing::WithParamInterface<ControlRow> {};

TEST_P(MainPanelControl, HasItsKindCaptionAndPlace)
{
    const ControlRow row = GetParam();
    QWidget *w = Widget(row.id);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->inherits(row.className)) << w->metaObject()->className();
    EXPECT_EQ(w->geometry(), row.rect);
    if (auto *button = qobject_cast<QPushButton *>(w)) {
        EXPECT_EQ(button->text(), row.text);
    }
    QLabel *caption = Caption(row.id);
    if (row.captionRect.isNull()) {
        EXPECT_EQ(caption, nullptr);
    } else {
        ASSERT_NE(caption, nullptr);
        EXPECT_EQ(caption->text(), row.text);
        // The caption keeps its place and its aligned edge, and grows away from that edge
        // when the font needs more room than the rectangle gives, so no text is cut.
        const QRect got = caption->geometry();
        EXPECT_TRUE(got.contains(row.captionRect)) << "caption " << got.x() << "," << got.y();
        EXPECT_EQ(got.top(), row.captionRect.top());
        EXPECT_EQ(got.height(), row.captionRect.height());
        EXPECT_GE(got.width(), caption->fontMetrics().horizontalAdvance(caption->text()));
        if (row.captionAlign == Qt::AlignLeft) {
            EXPECT_EQ(got.left(), row.captionRect.left());
        } else if (row.captionAlign == Qt::AlignRight) {
            EXPECT_EQ(got.right(), row.captionRect.right());
        } else {
            EXPECT_LE(std::abs(got.center().x() - row.captionRect.center().x()), 1);
        }
        EXPECT_EQ(caption->alignment() & Qt::AlignHorizontal_Mask, row.captionAlign);
    }
    QLabel *display = ValueDisplayOf(row.id);
    if (row.display.isNull()) {
        EXPECT_EQ(display, nullptr);
    } else {
        ASSERT_NE(display, nullptr);
        EXPECT_EQ(display->geometry(), row.display);
    }
}

const QRect kNone;
INSTANTIATE_TEST_SUITE_P(
    Rows, MainPanelControl,
    testing::Values(
        ControlRow{EAR_LEFT, "QWidget", "LEFT EAR AUDIOMETRIE [kHz]", R(50, 10, 410, 390), R(30, 10, 45, 170),
                   Qt::AlignLeft, kNone},
        ControlRow{EAR_RIGHT, "QWidget", "RIGHT EAR AUDIOMETRIE [kHz]", R(50, 420, 410, 800), R(30, 630, 45, 798),
                   Qt::AlignRight, kNone},
        ControlRow{START_AUDIOMETRIE_L, "QPushButton", "START AUDIOMETRIE", R(420, 10, 443, 330), kNone, {}, kNone},
        ControlRow{STOP_AUDIOMETRIE, "QPushButton", "STOP", R(420, 340, 443, 470), kNone, {}, kNone},
        ControlRow{START_AUDIOMETRIE_R, "QPushButton", "START AUDIOMETRIE", R(420, 480, 443, 800), kNone, {}, kNone},
        ControlRow{NUMBER_MASTER_VOLUME, "QSlider", "MASTER VOLUME CALIBRATION", R(460, 200, 474, 700),
                   R(459, 10, 474, 180), Qt::AlignLeft, R(456, 729, 477, 770)},
        ControlRow{SPLITTER, "QFrame", nullptr, R(490, 10, 495, 800), kNone, {}, kNone},
        ControlRow{RING_LEFT_RIGHT, "QComboBox", nullptr, R(515, 10, 534, 230), kNone, {}, kNone},
        ControlRow{RING_FREQ, "QComboBox", nullptr, R(545, 11, 564, 131), kNone, {}, kNone},
        ControlRow{NUMBER_INTERVAL, "QComboBox", nullptr, R(545, 150, 564, 230), kNone, {}, kNone},
        ControlRow{START_STIMULATION, "QPushButton", "START STIMULATION", R(575, 10, 598, 230), kNone, {}, kNone},
        ControlRow{NUMBER_VOLUME, "QSlider", "VOLUME", R(535, 260, 549, 368), R(515, 283, 530, 331), Qt::AlignHCenter,
                   R(575, 296, 596, 337)},
        ControlRow{NUMBER_HOLD, "QSlider", "HOLD TIME [ms]", R(535, 400, 549, 508), R(515, 410, 530, 494),
                   Qt::AlignHCenter, R(575, 424, 596, 490)},
        ControlRow{NUMBER_PAUSE, "QSlider", "PAUSE [ms]", R(535, 540, 549, 648), R(515, 559, 530, 620),
                   Qt::AlignHCenter, R(575, 564, 596, 630)},
        ControlRow{NUMBER_BAND_WIDTH, "QSlider", "BAND WIDTH", R(536, 680, 550, 788), R(516, 695, 531, 773),
                   Qt::AlignHCenter, R(576, 704, 597, 770)}));

TEST_F(MainPanel, BandWidthCaptionIsCentredOverItsBar)
{
    const QRect caption = Caption(NUMBER_BAND_WIDTH)->geometry();
    const QRect bar = Widget(NUMBER_BAND_WIDTH)->geometry();
    EXPECT_EQ(caption.left() + caption.right(), bar.left() + bar.right());
}

struct SlideRow {
    int id;
    bool isInt;
    double start, minimum, maximum, increment;
    const char *shownAtStart;
    const char *shownAtMaximum;
};

class MainPanelSlide : public MainPanel, public testing::WithParamInterface<SlideRow> {};

double Value(int panel, int id, bool isInt)
{
    if (isInt) {
        int v = -1;
        EXPECT_EQ(Ui_GetCtrlVal(panel, id, &v), 0);
        return v;
    }
    double v = -1.0;
    EXPECT_EQ(Ui_GetCtrlVal(panel, id, &v), 0);
    return v;
}

TEST_P(MainPanelSlide, StartsAtItsDefaultAndStaysInItsRangeInWholeSteps)
{
    const SlideRow row = GetParam();
    auto *slider = qobject_cast<QSlider *>(Widget(row.id));
    QLabel *display = ValueDisplayOf(row.id);
    ASSERT_NE(slider, nullptr);
    const int start = slider->value();
    EXPECT_EQ(Value(panel_, row.id, row.isInt), row.start);
    EXPECT_EQ(display->text(), row.shownAtStart);

    slider->setValue(slider->minimum() - 10);
    EXPECT_EQ(Value(panel_, row.id, row.isInt), row.minimum);
    slider->setValue(slider->minimum() + 1);
    EXPECT_DOUBLE_EQ(Value(panel_, row.id, row.isInt), row.minimum + row.increment);
    slider->setValue(slider->maximum() + 10);
    EXPECT_EQ(Value(panel_, row.id, row.isInt), row.maximum);
    EXPECT_EQ(display->text(), row.shownAtMaximum);

    slider->setValue(start);
    EXPECT_EQ(Value(panel_, row.id, row.isInt), row.start);
}

INSTANTIATE_TEST_SUITE_P(Rows, MainPanelSlide,
                         testing::Values(SlideRow{NUMBER_MASTER_VOLUME, false, 0.01, 0.0, 1.0, 0.005, "0.010", "1.000"},
                                         SlideRow{NUMBER_VOLUME, false, 0.2, 0.0, 1.0, 0.1, "0.2", "1.0"},
                                         SlideRow{NUMBER_HOLD, false, 200.0, 100.0, 1400.0, 50.0, "200", "1400"},
                                         SlideRow{NUMBER_PAUSE, false, 150.0, 50.0, 1200.0, 50.0, "150", "1200"},
                                         SlideRow{NUMBER_BAND_WIDTH, true, 50000, 1000, 100000, 100, "50000",
                                                  "100000"}));

struct RingRow {
    int id;
    std::vector<std::pair<const char *, int>> items;
    int startIndex;
};

class MainPanelRing : public MainPanel, public testing::WithParamInterface<RingRow> {};

TEST_P(MainPanelRing, EachItemGivesItsValue)
{
    const RingRow row = GetParam();
    auto *combo = qobject_cast<QComboBox *>(Widget(row.id));
    ASSERT_NE(combo, nullptr);
    ASSERT_EQ(combo->count(), static_cast<int>(row.items.size()));
    EXPECT_EQ(combo->currentIndex(), row.startIndex);
    int value = -1;
    ASSERT_EQ(Ui_GetCtrlVal(panel_, row.id, &value), 0);
    EXPECT_EQ(value, row.items[row.startIndex].second);
    for (int i = 0; i < combo->count(); ++i) {
        combo->setCurrentIndex(i);
        EXPECT_EQ(combo->currentText(), row.items[i].first);
        ASSERT_EQ(Ui_GetCtrlVal(panel_, row.id, &value), 0);
        EXPECT_EQ(value, row.items[i].second) << row.items[i].first;
    }
    combo->setCurrentIndex(row.startIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MainPanelRing,
    testing::Values(RingRow{RING_LEFT_RIGHT, {{"LEFT EAR STIMULATION", 0}, {"RIGHT EAR STIMULATION", 1}}, 0},
                    RingRow{RING_FREQ,
                            {{"125 Hz", 0},
                             {"250 Hz", 1},
                             {"500 Hz", 2},
                             {"750 Hz", 3},
                             {"1 kHz", 4},
                             {"1,5 kHz", 5},
                             {"2 kHz", 6},
                             {"3 kHz", 7},
                             {"4 kHz", 8},
                             {"6 kHz", 9},
                             {"8 kHz", 10},
                             {"10 kHz", 11},
                             {"12 kHz", 12}},
                            5},
                    // Each item gives the number on it, "5 x" too.
                    RingRow{NUMBER_INTERVAL,
                            {{"1 x", 1},
                             {"2 x", 2},
                             {"3 x", 3},
                             {"5 x", 5},
                             {"10 x", 10},
                             {"15 x", 15},
                             {"20 x", 20},
                             {"25 x", 25},
                             {"30 x", 30},
                             {"50 x", 50},
                             {"100 x", 100},
                             {"200 x", 200},
                             {"300 x", 300},
                             {"500 x", 500}},
                            4}));

TEST_F(MainPanel, OnlyStopStartsDimmed)
{
    for (int id = EAR_LEFT; id <= NUMBER_BAND_WIDTH; ++id) {
        EXPECT_EQ(Widget(id)->isEnabled(), id != STOP_AUDIOMETRIE) << id;
    }
}

struct ButtonRow {
    int id;
    const char *callback;
};

TEST_F(MainPanel, ButtonsReachTheCallbacksTheFileNames)
{
    const ButtonRow rows[] = {{START_AUDIOMETRIE_L, "Audiometrie_Button"},
                              {STOP_AUDIOMETRIE, "Audiometrie_Button"},
                              {START_AUDIOMETRIE_R, "Audiometrie_Button"},
                              {START_STIMULATION, "Stimulation_Button"}};
    // Dimmed, STOP gives nothing.
    QTest::mouseClick(Widget(STOP_AUDIOMETRIE), Qt::LeftButton);
    EXPECT_TRUE(gCallbackCalls.empty());
    ASSERT_EQ(Ui_SetCtrlAttribute(panel_, STOP_AUDIOMETRIE, ATTR_DIMMED, 0), 0);
    for (const ButtonRow &row : rows) {
        gCallbackCalls.clear();
        QTest::mouseClick(Widget(row.id), Qt::LeftButton);
        ASSERT_EQ(gCallbackCalls.size(), 1u) << row.id;
        EXPECT_EQ(gCallbackCalls[0].function, row.callback);
        EXPECT_EQ(gCallbackCalls[0].panel, panel_);
        EXPECT_EQ(gCallbackCalls[0].control, row.id);
        EXPECT_EQ(gCallbackCalls[0].event, EVENT_COMMIT);
    }
    Ui_SetCtrlAttribute(panel_, STOP_AUDIOMETRIE, ATTR_DIMMED, 1);
    EXPECT_FALSE(Widget(STOP_AUDIOMETRIE)->isEnabled());
}

TEST_F(MainPanel, ClosingAsksTheProgramAndTheWindowStays)
{
    ASSERT_EQ(Ui_DisplayPanel(panel_), 0);
    QWidget *window = Window();
    EXPECT_FALSE(window->close());
    Ui_ProcessSystemEvents();
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(gCallbackCalls.size(), 1u);
    EXPECT_EQ(gCallbackCalls[0].function, "Main_Panel");
    EXPECT_EQ(gCallbackCalls[0].panel, panel_);
    EXPECT_EQ(gCallbackCalls[0].event, EVENT_CLOSE);
}

TEST_F(MainPanel, MenuHoldsAboutSeparatorQuitWithTheirShortcuts)
{
    auto *window = static_cast<QMainWindow *>(Window());
    const QList<QAction *> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "PROJECT");
    const QList<QAction *> items = menus[0]->menu()->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0], Action("ABOUT"));
    EXPECT_EQ(items[0]->text(), "ABOUT");
    EXPECT_EQ(items[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), "QUIT");
    EXPECT_EQ(items[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    for (int item : {ABOUT, QUIT}) {
        gCallbackCalls.clear();
        Action(item == ABOUT ? "ABOUT" : "QUIT")->trigger();
        ASSERT_EQ(gCallbackCalls.size(), 1u);
        EXPECT_EQ(gCallbackCalls[0].function, "Menu_Select");
        EXPECT_EQ(gCallbackCalls[0].panel, MENUBAR);
        EXPECT_EQ(gCallbackCalls[0].control, item);
        EXPECT_EQ(gCallbackCalls[0].event, panel_);
    }
}

TEST_F(MainPanel, CtrlAAndCtrlQReachTheMenuCallback)
{
    ASSERT_EQ(Ui_DisplayPanel(panel_), 0);
    QWidget *window = Window();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    const std::pair<Qt::Key, int> keys[] = {{Qt::Key_A, ABOUT}, {Qt::Key_Q, QUIT}};
    for (const auto &[key, item] : keys) {
        gCallbackCalls.clear();
        QTest::keyClick(window, key, Qt::ControlModifier);
        Ui_ProcessSystemEvents();
        ASSERT_EQ(gCallbackCalls.size(), 1u) << item;
        EXPECT_EQ(gCallbackCalls[0].function, "Menu_Select");
        EXPECT_EQ(gCallbackCalls[0].control, item);
    }
}

TEST_F(MainPanel, LabelChangesReachButtonsAndCaptions)
{
    ASSERT_EQ(Ui_SetCtrlAttribute(panel_, START_AUDIOMETRIE_R, ATTR_LABEL_TEXT, "-= PRESS IF YOU HEAR A NOISE =-"), 0);
    EXPECT_EQ(static_cast<QPushButton *>(Widget(START_AUDIOMETRIE_R))->text(),
              "-= PRESS IF YOU HEAR A NOISE =-");
    ASSERT_EQ(Ui_SetCtrlAttribute(panel_, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 1), 0);
    EXPECT_FALSE(Widget(NUMBER_MASTER_VOLUME)->isEnabled());
    EXPECT_FALSE(ValueDisplayOf(NUMBER_MASTER_VOLUME)->isEnabled());
    EXPECT_FALSE(Caption(NUMBER_MASTER_VOLUME)->isEnabled());
    Ui_SetCtrlAttribute(panel_, NUMBER_MASTER_VOLUME, ATTR_DIMMED, 0);
    Ui_SetCtrlAttribute(panel_, START_AUDIOMETRIE_R, ATTR_LABEL_TEXT, "START AUDIOMETRIE");
    EXPECT_LT(Ui_SetCtrlAttribute(panel_, RING_FREQ, ATTR_LABEL_TEXT, "no caption"), 0);
}

TEST_F(MainPanel, PoolThreadChangesLandInOrderWhileEventsAreProcessed)
{
    constexpr int kSteps = 400;
    static std::atomic<bool> done{false};
    done.store(false);
    static int panel = 0;
    panel = panel_;
    Ui_SetCtrlAttribute(panel_, EAR_RIGHT, ATTR_PICT_BGCOLOR, 0xFFFFFF);
    Ui_CanvasClear(panel_, EAR_RIGHT, Ui_MakeRect(0, 0, UI_TO_EDGE, UI_TO_EDGE));
    const auto fn = [](void *) -> int {
        Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_COLOR, 0xFF0000);
        for (int i = 0; i < kSteps; ++i) {
            Ui_SetCtrlAttribute(panel, START_STIMULATION, ATTR_LABEL_TEXT, std::to_string(i).c_str());
            Ui_SetCtrlAttribute(panel, START_STIMULATION, ATTR_DIMMED, i % 2);
            Ui_CanvasDrawPoint(panel, EAR_RIGHT, Ui_MakePoint(i % 380, 100 + 2 * (i / 380)));
            if (i % 16 == 0) {
                QThread::usleep(200);
            }
        }
        done.store(true);
        return 0;
    };
    ASSERT_EQ(Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, fn, nullptr, 0, nullptr,
                                            UI_EVENT_MASK_FUNCTION_EXECUTION_END, nullptr, UI_CALLBACK_THREAD_OWN,
                                            nullptr),
              0);
    auto *button = static_cast<QPushButton *>(Widget(START_STIMULATION));
    int last = -1;
    int seen = 0;
    while (!done.load()) {
        Ui_ProcessSystemEvents();
        bool isNumber = false;
        const int now = button->text().toInt(&isNumber);
        if (isNumber) {
            ASSERT_GE(now, last) << "a label overtook a later one";
            seen += now > last ? 1 : 0;
            last = now;
        }
    }
    Ui_WaitForThreadPoolFunctions();
    Ui_ProcessSystemEvents();
    EXPECT_EQ(button->text(), QString::number(kSteps - 1));
    EXPECT_FALSE(button->isEnabled());  // the last change dimmed it
    EXPECT_GE(seen, 1);
    const QImage image = CanvasImage(EAR_RIGHT);
    int red = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            red += Rgb(image, x, y) == 0xFF0000u ? 1 : 0;
        }
    }
    EXPECT_EQ(red, kSteps);
    // The repaint was posted: the widget on screen shows the drawing too.
    QCoreApplication::processEvents();
    EXPECT_EQ(Rgb(Widget(EAR_RIGHT)->grab().toImage(), 5, 100), 0xFF0000u);

    Ui_SetCtrlAttribute(panel_, START_STIMULATION, ATTR_LABEL_TEXT, "START STIMULATION");
    Ui_SetCtrlAttribute(panel_, START_STIMULATION, ATTR_DIMMED, 0);
}

TEST_F(MainPanel, UnknownHandlesAreRefused)
{
    EXPECT_LT(Ui_DisplayPanel(panel_ + 1000), 0);
    EXPECT_LT(Ui_DiscardPanel(panel_ + 1000), 0);
    EXPECT_LT(Ui_LoadPanel(panel_, VELMORA_TEST_PANEL_FILE, MAIN_PANEL), 0);  // child panels are not offered
}

TEST_F(MainPanel, ADiscardedPanelIsGoneForEveryThread)
{
    const int second = Ui_LoadPanel(0, VELMORA_TEST_PANEL_FILE, MAIN_PANEL);
    ASSERT_GT(second, 0);
    EXPECT_NE(second, panel_);
    const QPointer<QWidget> window = PanelWindows().value(PanelWindows().value(0) == Window() ? 1 : 0);
    ASSERT_FALSE(window.isNull());
    ASSERT_EQ(Ui_DiscardPanel(second), 0);
    EXPECT_TRUE(window.isNull());
    int value = 0;
    EXPECT_LT(Ui_GetCtrlVal(second, RING_FREQ, &value), 0);
    EXPECT_LT(Ui_CanvasDrawPoint(second, EAR_LEFT, Ui_MakePoint(1, 1)), 0);
    EXPECT_LT(Ui_SetCtrlAttribute(second, STOP_AUDIOMETRIE, ATTR_DIMMED, 0), 0);
    EXPECT_LT(Ui_DisplayPanel(second), 0);
    EXPECT_EQ(Ui_GetCtrlVal(panel_, RING_FREQ, &value), 0);  // the first one is untouched
}

}  // namespace
