// The Qt-free core of the user-interface layer: canvas pixel rules, per-canvas pen state,
// the ordered queue of label and dimming changes, value mirrors and the thread pool. No Qt
// here, so this is the test to run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui.h"
#include "platform/ui/core.h"

using namespace uicore;

namespace {

constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kBlack = 0x000000;

std::uint32_t At(const Canvas &canvas, const std::vector<std::uint32_t> &pixels, int x, int y)
{
    return pixels[static_cast<std::size_t>(y * canvas.Width() + x)] & 0xFFFFFFu;
}

// Rows 0..h-1 of column x (or columns of row y) that hold colour rgb.
std::vector<int> Column(const Canvas &canvas, int x, std::uint32_t rgb)
{
    const auto pixels = canvas.Pixels();
    std::vector<int> ys;
    for (int y = 0; y < canvas.Height(); ++y) {
        if (At(canvas, pixels, x, y) == rgb) {
            ys.push_back(y);
        }
    }
    return ys;
}

int Count(const Canvas &canvas, std::uint32_t rgb)
{
    int n = 0;
    for (std::uint32_t p : canvas.Pixels()) {
        n += (p & 0xFFFFFFu) == rgb ? 1 : 0;
    }
    return n;
}

// ------------------------------------------------------------------------------ pixel rules

TEST(CanvasPixels, OnePixelColumnCoversExactlyItsColumnAndBothEnds)
{
    Canvas canvas(380, 360);
    ASSERT_EQ(canvas.DrawLine({20, 30}, {20, 350}), 0);
    EXPECT_EQ(Count(canvas, kBlack), 321);
    const std::vector<int> ys = Column(canvas, 20, kBlack);
    ASSERT_EQ(ys.size(), 321u);
    EXPECT_EQ(ys.front(), 30);
    EXPECT_EQ(ys.back(), 350);
}

struct WideLineRow {
    int width;
    int firstRow;
    int lastRow;
};

class CanvasWideLine : public testing::TestWithParam<WideLineRow> {};

// A horizontal line at y = 40 of width w covers y = 40 - (w-1)/2 to 40 + w/2, and x = 10 to
// 370 exactly, whatever its width.
TEST_P(CanvasWideLine, CoversTheDocumentedRows)
{
    const WideLineRow row = GetParam();
    Canvas canvas(380, 360);
    ASSERT_EQ(canvas.SetAttribute(ATTR_PEN_WIDTH, row.width), 0);
    ASSERT_EQ(canvas.DrawLine({10, 40}, {370, 40}), 0);
    const std::vector<int> ys = Column(canvas, 200, kBlack);
    ASSERT_FALSE(ys.empty());
    EXPECT_EQ(ys.front(), row.firstRow);
    EXPECT_EQ(ys.back(), row.lastRow);
    EXPECT_EQ(static_cast<int>(ys.size()), row.width);
    EXPECT_EQ(Count(canvas, kBlack), row.width * 361);
    const auto px = canvas.Pixels();
    EXPECT_EQ(At(canvas, px, 9, 40), kWhite);
    EXPECT_EQ(At(canvas, px, 10, 40), kBlack);
    EXPECT_EQ(At(canvas, px, 370, 40), kBlack);
    EXPECT_EQ(At(canvas, px, 371, 40), kWhite);
}

INSTANTIATE_TEST_SUITE_P(Widths, CanvasWideLine,
                         testing::Values(WideLineRow{1, 40, 40}, WideLineRow{2, 40, 41}, WideLineRow{3, 39, 41},
                                         WideLineRow{4, 39, 42}));

TEST(CanvasPixels, FramedRectangleKeepsItsFrameInsideAndFillsTheRest)
{
    Canvas canvas(380, 360);
    canvas.SetAttribute(ATTR_PEN_FILL_COLOR, 0x00FF00);
    canvas.SetAttribute(ATTR_PEN_WIDTH, 2);
    ASSERT_EQ(canvas.DrawRect({0, 0, 360, 380}, UI_DRAW_FRAME_AND_INTERIOR), 0);
    const auto px = canvas.Pixels();
    for (int x : {0, 1, 378, 379}) {
        EXPECT_EQ(At(canvas, px, x, 180), kBlack) << x;
    }
    for (int y : {0, 1, 358, 359}) {
        EXPECT_EQ(At(canvas, px, 190, y), kBlack) << y;
    }
    EXPECT_EQ(At(canvas, px, 2, 2), 0x00FF00u);
    EXPECT_EQ(At(canvas, px, 377, 357), 0x00FF00u);
    EXPECT_EQ(Count(canvas, kBlack), 2 * 380 * 2 + 2 * 356 * 2);
}

TEST(CanvasPixels, ClearToTheEdgeUsesTheBackgroundNotThePen)
{
    Canvas canvas(50, 40);
    canvas.SetAttribute(ATTR_PEN_COLOR, 0xFF0000);
    canvas.DrawLine({0, 5}, {49, 5});
    canvas.SetAttribute(ATTR_PICT_BGCOLOR, 0x123456);
    ASSERT_EQ(canvas.Clear({10, 20, UI_TO_EDGE, UI_TO_EDGE}), 0);
    const auto px = canvas.Pixels();
    EXPECT_EQ(At(canvas, px, 20, 10), 0x123456u);
    EXPECT_EQ(At(canvas, px, 49, 39), 0x123456u);
    EXPECT_EQ(At(canvas, px, 19, 39), kWhite);  // left of the rectangle
    EXPECT_EQ(At(canvas, px, 5, 5), 0xFF0000u);  // the line above it stays
}

struct DotRow {
    int width;
    int pixels;
    int left, top, right, bottom;  // bounding box
};

class CanvasDot : public testing::TestWithParam<DotRow> {};

TEST_P(CanvasDot, IsADiscAsWideAsThePen)
{
    const DotRow row = GetParam();
    Canvas canvas(60, 60);
    canvas.SetAttribute(ATTR_PEN_WIDTH, row.width);
    ASSERT_EQ(canvas.DrawPoint({30, 30}), 0);
    EXPECT_EQ(Count(canvas, kBlack), row.pixels);
    const auto px = canvas.Pixels();
    int left = 60, top = 60, right = -1, bottom = -1;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 60; ++x) {
            if (At(canvas, px, x, y) == kBlack) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    EXPECT_EQ(left, row.left);
    EXPECT_EQ(top, row.top);
    EXPECT_EQ(right, row.right);
    EXPECT_EQ(bottom, row.bottom);
}

// Width 5: the 5x5 box less its four corners; width 6: the 6x6 box less its four corners.
INSTANTIATE_TEST_SUITE_P(Widths, CanvasDot,
                         testing::Values(DotRow{1, 1, 30, 30, 30, 30}, DotRow{2, 4, 30, 30, 31, 31},
                                         DotRow{3, 9, 29, 29, 31, 31}, DotRow{5, 21, 28, 28, 32, 32},
                                         DotRow{6, 32, 28, 28, 33, 33}));

TEST(CanvasPixels, SlantedLineJoinsItsEndsWithoutGaps)
{
    Canvas canvas(380, 360);
    ASSERT_EQ(canvas.DrawLine({170, 77}, {195, 352}), 0);
    const auto px = canvas.Pixels();
    EXPECT_EQ(At(canvas, px, 170, 77), kBlack);
    EXPECT_EQ(At(canvas, px, 195, 352), kBlack);
    // One pixel per row along the steep axis: 352 - 77 + 1 rows, none skipped.
    EXPECT_EQ(Count(canvas, kBlack), 276);
    for (int y = 77; y <= 352; ++y) {
        bool found = false;
        for (int x = 170; x <= 195; ++x) {
            found = found || At(canvas, px, x, y) == kBlack;
        }
        EXPECT_TRUE(found) << y;
    }
}

TEST(CanvasPixels, DrawingOffTheCanvasIsClippedNotFatal)
{
    Canvas canvas(20, 20);
    canvas.SetAttribute(ATTR_PEN_WIDTH, 4);
    EXPECT_EQ(canvas.DrawLine({-50, 10}, {70, 10}), 0);
    EXPECT_EQ(canvas.DrawPoint({-1, -1}), 0);
    EXPECT_EQ(canvas.DrawRect({15, 15, 30, 30}, UI_DRAW_FRAME_AND_INTERIOR), 0);
    // The line's 4 rows; 3 of the dot's 4x4 box (its far corner is off the disc); the
    // frame's visible 5x5 corner less the one interior pixel.
    EXPECT_EQ(Count(canvas, kBlack), 20 * 4 + 3 + (5 * 5 - 1));
}

// Coordinates at the ends of int: each call returns (no endless loop, no overflow) and
// marks only what of it lies on the canvas.
struct FarRow {
    const char *name;
    std::function<int(Canvas &)> draw;
    int blackPixels;
};

class CanvasFarAway : public testing::TestWithParam<FarRow> {};

TEST_P(CanvasFarAway, ReturnsAndDrawsOnlyWhatIsOnTheCanvas)
{
    Canvas canvas(20, 20);
    canvas.SetAttribute(ATTR_PEN_WIDTH, 12);
    EXPECT_EQ(GetParam().draw(canvas), 0);
    EXPECT_EQ(Count(canvas, kBlack), GetParam().blackPixels);
}

constexpr int kMax = std::numeric_limits<int>::max();
constexpr int kMin = std::numeric_limits<int>::min();

INSTANTIATE_TEST_SUITE_P(
    Rows, CanvasFarAway,
    testing::Values(FarRow{"DotAtMaxY", [](Canvas &c) { return c.DrawPoint({5, kMax}); }, 0},
                    FarRow{"DotAtMinCorner", [](Canvas &c) { return c.DrawPoint({kMin, kMin}); }, 0},
                    FarRow{"RowAcrossAllOfInt", [](Canvas &c) { return c.DrawLine({kMin, 10}, {kMax, 10}); }, 20 * 12},
                    FarRow{"ColumnFromMaxDown", [](Canvas &c) { return c.DrawLine({3, kMax}, {3, 0}); }, 20 * 10},
                    FarRow{"RectAtMax", [](Canvas &c) { return c.DrawRect({kMax, kMax, kMax, kMax}, UI_DRAW_FRAME_AND_INTERIOR); }, 0},
                    FarRow{"ClearFromMin", [](Canvas &c) { return c.Clear({kMin, kMin, kMax, kMax}); }, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// The device columns of row y that hold colour rgb, at the canvas's present ratio.
std::vector<int> DeviceRow(const Canvas &canvas, int y, std::uint32_t rgb)
{
    const auto pixels = canvas.Pixels();
    std::vector<int> xs;
    for (int x = 0; x < canvas.DeviceWidth(); ++x) {
        if ((pixels[static_cast<std::size_t>(y * canvas.DeviceWidth() + x)] & 0xFFFFFFu) == rgb) {
            xs.push_back(x);
        }
    }
    return xs;
}

TEST(CanvasPixels, ARatioChangeKeepsThePictureAlsoPastWhatTheCanvasRecords)
{
    Canvas canvas(40, 30);
    canvas.DrawLine({5, 0}, {5, 29});
    ASSERT_EQ(canvas.SetRatio(1.5), 0);
    EXPECT_EQ(canvas.DeviceWidth(), 60);
    EXPECT_EQ(DeviceRow(canvas, 20, kBlack), (std::vector<int>{7, 8}));  // drawn again, 2 px about x = 8.25

    // Drawn for ever without a clear: the record gives up, the pixels are scaled instead.
    canvas.SetAttribute(ATTR_PEN_COLOR, 0xFF0000);
    for (int i = 0; i < 70'000; ++i) {
        canvas.DrawPoint({30, 20});
    }
    ASSERT_EQ(canvas.SetRatio(3), 0);
    EXPECT_EQ(DeviceRow(canvas, 60, kBlack), (std::vector<int>{14, 15, 16, 17}));
    EXPECT_EQ(DeviceRow(canvas, 61, 0xFF0000), (std::vector<int>{90, 91, 92, 93}));

    // A whole clear starts the record afresh.
    canvas.SetAttribute(ATTR_PEN_COLOR, kBlack);
    canvas.Clear({0, 0, UI_TO_EDGE, UI_TO_EDGE});
    canvas.DrawLine({5, 0}, {5, 29});
    ASSERT_EQ(canvas.SetRatio(2), 0);
    EXPECT_EQ(DeviceRow(canvas, 40, kBlack), (std::vector<int>{10, 11}));
    EXPECT_EQ(canvas.SetRatio(0), UI_ERR_BAD_ARGUMENT);
}

struct BadCall {
    const char *what;
    int result;
};

TEST(CanvasPixels, RefusesValuesOutOfRangeAndLeavesThePenAlone)
{
    Canvas canvas(20, 20);
    const Pen before = canvas.GetPen();
    const BadCall rows[] = {
        {"width 0", canvas.SetAttribute(ATTR_PEN_WIDTH, 0)},
        {"width -3", canvas.SetAttribute(ATTR_PEN_WIDTH, -3)},
        {"colour above 24 bits", canvas.SetAttribute(ATTR_PEN_COLOR, 0x1000000)},
        {"negative colour", canvas.SetAttribute(ATTR_PICT_BGCOLOR, -1)},
        {"label attribute", canvas.SetAttribute(ATTR_LABEL_TEXT, 1)},
        {"rectangle mode 0", canvas.DrawRect({0, 0, 5, 5}, 0)},
        {"negative height", canvas.Clear({0, 0, -2, 5})},
        {"alignment 0", canvas.DrawText("x", {5, 5}, 0)},
        {"no text", canvas.DrawText(nullptr, {5, 5}, UI_ALIGN_CENTER)},
    };
    for (const BadCall &row : rows) {
        EXPECT_LT(row.result, 0) << row.what;
    }
    const Pen after = canvas.GetPen();
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.color, before.color);
    EXPECT_EQ(after.background, before.background);
    EXPECT_EQ(Count(canvas, kWhite), 400);
}

TEST(SlideValue, SnapsStepsToTheDecimalTheFileMeant)
{
    EXPECT_EQ(SlideValue(0.0, 0.1, 3), 0.3);
    EXPECT_EQ(SlideValue(0.0, 0.005, 2), 0.01);
    EXPECT_EQ(SlideValue(100.0, 50.0, 26), 1400.0);
    EXPECT_EQ(SlideValue(1000.0, 100.0, 990), 100000.0);
}

// ------------------------------------------------------------------------------ through the API

// The test thread plays the GUI thread; applied changes are recorded in order.
std::vector<AttributeChange> gApplied;
std::atomic<int> gWakes{0};

// Rows: the window system's stamp of a press (ms), when it reached us (ms), and the time
// the press is given (ms): the stamp where it can be on our clock, else the arrival.
TEST(PressTime, TakesTheWindowSystemsStampWhenItCanBeOnOurClock)
{
    constexpr std::int64_t kMs = 1'000'000;
    const std::int64_t uptime = 9'000'000'000'123;  // ms past 2^32: X sends only the low bits
    const auto low = [](std::int64_t ms) { return static_cast<std::uint64_t>(static_cast<std::uint32_t>(ms)); };
    struct Row {
        const char *what;
        std::uint64_t stampMs;
        std::int64_t arrivedMs;
        std::int64_t givenMs;
    } rows[] = {
        {"a 64-bit stamp 180 ms before the loop saw it", 5'000'000 - 180, 5'000'000, 5'000'000 - 180},
        {"the low 32 bits, 250 ms before", low(uptime - 250), uptime, uptime - 250},
        {"the low 32 bits across their wrap", low(4'294'967'290), 4'294'967'296 + 4, 4'294'967'290},
        {"2 s behind, still trusted", 7'000'000 - 2000, 7'000'000, 7'000'000 - 2000},
        {"over 2 s behind: another clock", 7'000'000 - 2001, 7'000'000, 7'000'000},
        {"ahead of now: another clock", 7'000'050, 7'000'000, 7'000'000},
        {"a test's own counter", 1200, 7'000'000, 7'000'000},
        {"no stamp", 0, 7'000'000, 7'000'000},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(uicore::PressTimeNs(r.stampMs, r.arrivedMs * kMs + 456), r.givenMs == r.arrivedMs ? r.arrivedMs * kMs + 456 : r.givenMs * kMs)
            << r.what;
    }
}

class UiCore : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        GuiHooks hooks;
        hooks.apply = [](const AttributeChange &c) { gApplied.push_back(c); };
        hooks.wake = [] { gWakes.fetch_add(1); };
        SetGuiThread(hooks);
    }

    void SetUp() override
    {
        DrainAttributeChanges();
        gApplied.clear();
        auto panel = std::make_shared<Panel>();
        for (const auto &[id, kind] : {std::pair{kLeft, UI_CANVAS}, std::pair{kRight, UI_CANVAS},
                                       std::pair{kButton, UI_COMMAND_BUTTON}, std::pair{kRing, UI_RING},
                                       std::pair{kSlide, UI_SLIDE_DOUBLE}, std::pair{kSplitter, UI_SPLITTER}}) {
            auto c = std::make_unique<Control>();
            c->id = id;
            c->kind = kind;
            c->hasLabel = kind != UI_SPLITTER && kind != UI_RING;
            if (kind == UI_CANVAS) {
                c->canvas = std::make_unique<Canvas>(380, 360);
            }
            panel->controls[id] = std::move(c);
        }
        core_ = panel.get();
        handle_ = RegisterPanel(std::move(panel));
    }

    void TearDown() override { UnregisterPanel(handle_); }

    static constexpr int kLeft = 2, kRight = 3, kButton = 4, kRing = 9, kSlide = 7, kSplitter = 8;
    Panel *core_ = nullptr;
    int handle_ = 0;
};

TEST_F(UiCore, UnknownHandlesAndUnfitAttributesAreRefusedWithoutEffect)
{
    int i = 0;
    double d = 0.0;
    const BadCall rows[] = {
        {"value of no panel", Ui_GetCtrlVal(handle_ + 100, kRing, &i)},
        {"value of no control", Ui_GetCtrlVal(handle_, 99, &d)},
        {"value of a canvas", Ui_GetCtrlVal(handle_, kLeft, &d)},
        {"value of the splitter", Ui_GetCtrlVal(handle_, kSplitter, &i)},
        {"label of no panel", Ui_SetCtrlAttribute(0, kButton, ATTR_LABEL_TEXT, "x")},
        {"dimming of no control", Ui_SetCtrlAttribute(handle_, 99, ATTR_DIMMED, 1)},
        {"label as an int", Ui_SetCtrlAttribute(handle_, kButton, ATTR_LABEL_TEXT, 1)},
        {"dimming as a text", Ui_SetCtrlAttribute(handle_, kButton, ATTR_DIMMED, "1")},
        {"label of a control without one", Ui_SetCtrlAttribute(handle_, kSplitter, ATTR_LABEL_TEXT, "x")},
        {"null label", Ui_SetCtrlAttribute(handle_, kButton, ATTR_LABEL_TEXT, nullptr)},
        {"pen of a button", Ui_SetCtrlAttribute(handle_, kButton, ATTR_PEN_COLOR, 0)},
        {"unknown attribute", Ui_SetCtrlAttribute(handle_, kLeft, 999, 0)},
        {"draw on no panel", Ui_CanvasDrawLine(-1, kLeft, {0, 0}, {5, 5})},
        {"draw on a button", Ui_CanvasDrawPoint(handle_, kButton, {1, 1})},
        {"clear no control", Ui_CanvasClear(handle_, 99, {0, 0, UI_TO_EDGE, UI_TO_EDGE})},
        {"text on no panel", Ui_CanvasDrawTextAtPoint(7777, kLeft, "x", UI_APP_META_FONT, {1, 1}, UI_ALIGN_CENTER)},
        {"rectangle on the splitter", Ui_CanvasDrawRect(handle_, kSplitter, {0, 0, 1, 1}, 1)},
        {"pool other than the default", Ui_ScheduleThreadPoolFunction(3, [](void *) { return 0; }, nullptr, 0,
                                                                       nullptr, 0, nullptr, 0, nullptr)},
    };
    for (const BadCall &row : rows) {
        EXPECT_LT(row.result, 0) << row.what;
    }
    EXPECT_TRUE(gApplied.empty());
    EXPECT_EQ(Count(*core_->Find(kLeft)->canvas, kWhite), 380 * 360);
}

TEST_F(UiCore, PenSettingsStayWithTheirCanvas)
{
    ASSERT_EQ(Ui_SetCtrlAttribute(handle_, kLeft, ATTR_PEN_COLOR, 0xFF0000), 0);
    ASSERT_EQ(Ui_SetCtrlAttribute(handle_, kLeft, ATTR_PEN_WIDTH, 3), 0);
    ASSERT_EQ(Ui_SetCtrlAttribute(handle_, kRight, ATTR_PEN_COLOR, 0x0000FF), 0);
    Ui_CanvasDrawPoint(handle_, kLeft, {100, 100});
    Ui_CanvasDrawPoint(handle_, kRight, {100, 100});
    Ui_CanvasDrawPoint(handle_, kLeft, {200, 100});  // the left pen again, after the right one was used
    EXPECT_EQ(Count(*core_->Find(kLeft)->canvas, 0xFF0000), 18);
    EXPECT_EQ(Count(*core_->Find(kRight)->canvas, 0x0000FF), 1);
    EXPECT_EQ(core_->Find(kRight)->canvas->GetPen().width, 1);
}

TEST_F(UiCore, ChangesOnTheGuiThreadApplyAtOnceAfterEarlierOnes)
{
    std::thread([&] { Ui_SetCtrlAttribute(handle_, kButton, ATTR_LABEL_TEXT, "from the pool"); }).join();
    EXPECT_TRUE(gApplied.empty());  // waits for the GUI thread
    ASSERT_EQ(Ui_SetCtrlAttribute(handle_, kButton, ATTR_DIMMED, 5), 0);
    ASSERT_EQ(gApplied.size(), 2u);
    EXPECT_EQ(gApplied[0].text, "from the pool");
    EXPECT_EQ(gApplied[1].attribute, ATTR_DIMMED);
    EXPECT_EQ(gApplied[1].value, 1);
}

TEST_F(UiCore, ChangesOfADiscardedPanelAreDropped)
{
    std::thread([&] { Ui_SetCtrlAttribute(handle_, kButton, ATTR_DIMMED, 1); }).join();
    DropAttributeChanges(handle_);
    DrainAttributeChanges();
    EXPECT_TRUE(gApplied.empty());
}

// Two pool functions post label and dimming changes and draw, while the GUI thread drains
// and writes a control's mirror: every change arrives, each thread's in its own order, and
// the values read are only values written.
TEST_F(UiCore, CrossThreadChangesArriveInOrderAndNothingIsLost)
{
    constexpr int kChanges = 2000;
    struct Job {
        int panel;
        int control;
        int canvas;
        std::atomic<bool> *go;
        std::atomic<int> *badReads;
    };
    std::atomic<bool> go{false};
    std::atomic<int> badReads{0};
    const auto producer = [](void *data) -> int {
        const Job &job = *static_cast<Job *>(data);
        while (!job.go->load()) {
            std::this_thread::yield();
        }
        Ui_SetCtrlAttribute(job.panel, job.canvas, ATTR_PEN_COLOR, job.canvas == kLeft ? 0xFF0000 : 0x0000FF);
        for (int i = 0; i < kChanges; ++i) {
            Ui_SetCtrlAttribute(job.panel, job.control, ATTR_LABEL_TEXT, std::to_string(i).c_str());
            Ui_SetCtrlAttribute(job.panel, job.control, ATTR_DIMMED, i % 2);
            Ui_CanvasDrawPoint(job.panel, job.canvas, {i % 380, (i / 380) * 2});
            double v = 0.0;
            Ui_GetCtrlVal(job.panel, kSlide, &v);
            if (v != 0.0 && (v < 1.0 || v > 1000.0)) {
                job.badReads->fetch_add(1);
            }
        }
        return 0;
    };
    Job left{handle_, kButton, kLeft, &go, &badReads};
    Job right{handle_, kLeft, kRight, &go, &badReads};  // relabels the left canvas's caption
    ASSERT_EQ(Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, producer, &left, 0, nullptr,
                                            UI_EVENT_MASK_FUNCTION_EXECUTION_END, nullptr, UI_CALLBACK_THREAD_OWN,
                                            nullptr),
              0);
    ASSERT_EQ(Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, producer, &right, 0, nullptr,
                                            UI_EVENT_MASK_FUNCTION_EXECUTION_END, nullptr, UI_CALLBACK_THREAD_OWN,
                                            nullptr),
              0);
    go.store(true);
    Control *slide = core_->Find(kSlide);
    for (int i = 0; i < 500; ++i) {
        slide->value.store(1.0 + i, std::memory_order_relaxed);  // as the slide's signal does
        DrainAttributeChanges();
    }
    Ui_WaitForThreadPoolFunctions();
    DrainAttributeChanges();

    EXPECT_EQ(badReads.load(), 0);
    std::vector<int> next(2, 0);
    std::vector<int> dims(2, 0);
    for (const AttributeChange &c : gApplied) {
        const int who = c.control == kButton ? 0 : 1;
        if (c.attribute == ATTR_LABEL_TEXT) {
            ASSERT_EQ(c.text, std::to_string(next[who])) << "thread " << who;
            ++next[who];
        } else {
            ASSERT_EQ(c.value, (next[who] - 1) % 2) << "dimming out of step with its label";
            ++dims[who];
        }
    }
    EXPECT_EQ(next, (std::vector<int>{kChanges, kChanges}));
    EXPECT_EQ(dims, (std::vector<int>{kChanges, kChanges}));
    // Every point landed, on its own canvas, in its own thread's colour.
    EXPECT_EQ(Count(*core_->Find(kLeft)->canvas, 0xFF0000), kChanges);
    EXPECT_EQ(Count(*core_->Find(kRight)->canvas, 0x0000FF), kChanges);
    EXPECT_GE(gWakes.load(), 1);
}

TEST(UiPool, ScheduleReturnsAtOnceAndWaitHoldsUntilEveryFunctionReturned)
{
    static std::atomic<bool> release{false};
    static std::atomic<int> finished{0};
    static std::thread::id scheduler;
    static std::atomic<bool> ranElsewhere{false};
    release.store(false);
    finished.store(0);
    scheduler = std::this_thread::get_id();
    const auto fn = [](void *) -> int {
        ranElsewhere.store(std::this_thread::get_id() != scheduler);
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        finished.fetch_add(1);
        return 0;
    };
    for (int i = 0; i < 3; ++i) {
        // Would never return if Schedule ran the function itself: it spins until released.
        ASSERT_EQ(Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, fn, nullptr, 0, nullptr, 0, nullptr, 0, nullptr),
                  0);
    }
    EXPECT_EQ(finished.load(), 0);
    release.store(true);
    Ui_WaitForThreadPoolFunctions();
    EXPECT_EQ(finished.load(), 3);
    EXPECT_TRUE(ranElsewhere.load());
    Ui_WaitForThreadPoolFunctions();  // nothing running: returns at once
}

}  // namespace
