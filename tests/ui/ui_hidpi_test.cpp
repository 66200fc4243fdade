// The audiogram on a scaled display, painted as on screen and counted in device pixels:
// run once per desktop scale (QT_SCALE_FACTOR), on two offscreen screens whose own ratios
// are 1 and 2, so that moving the window changes its ratio.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <cmath>
#include <vector>

#include "app/globals.h"
#include "chart/chart.h"
#include "ui/ui_qt_fixture.h"

namespace {

constexpr unsigned kBlack = 0x000000;

// The lengths of the black runs met along a line of device pixels.
std::vector<int> Runs(const QImage &image, QPoint from, QPoint step, int count)
{
    std::vector<int> runs;
    int run = 0;
    for (int i = 0; i < count; ++i) {
        const QPoint p = from + step * i;
        if (Rgb(image, p.x(), p.y()) == kBlack) {
            ++run;
        } else if (run > 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    if (run > 0) {
        runs.push_back(run);
    }
    return runs;
}

// Device widths as a user measures them on screen: every 1 px line, the 2 px top row, the
// 2 px frame. Not derived from the layer's rounding: written down per ratio.
struct WidthRow {
    double ratio;
    int thin;   // columns and rows 1 to 12
    int thick;  // the top row and the frame
};
constexpr WidthRow kWidths[] = {{1.0, 1, 2}, {1.5, 2, 3}, {2.0, 2, 4}, {3.0, 3, 6}, {4.0, 4, 8}};

const WidthRow *WidthsAt(double ratio)
{
    for (const WidthRow &row : kWidths) {
        if (std::abs(row.ratio - ratio) < 1e-9) {
            return &row;
        }
    }
    return nullptr;
}

class ScaledChart : public testing::Test {
protected:
    void SetUp() override
    {
        panel_ = SharedPanel();
        ASSERT_GT(panel_, 0);
        Set(iPanelHandle, panel_);
        Ui_DisplayPanel(panel_);
        Ui_ProcessSystemEvents();
    }

    // The empty chart and a two-point curve, as a pass leaves them, on the left canvas.
    void DrawChartAndCurve()
    {
        Set(iLeftRight, 0);
        Clear_Canvas();
        Ui_SetCtrlAttribute(panel_, EAR_LEFT, ATTR_PEN_COLOR, 0x0000FF);
        Ui_SetCtrlAttribute(panel_, EAR_LEFT, ATTR_PEN_WIDTH, 12);
        Ui_CanvasDrawPoint(panel_, EAR_LEFT, Ui_MakePoint(20, Chart_StepY(4)));
        Ui_CanvasDrawPoint(panel_, EAR_LEFT, Ui_MakePoint(60, Chart_StepY(9)));
        Ui_SetCtrlAttribute(panel_, EAR_LEFT, ATTR_PEN_WIDTH, 6);
        Ui_CanvasDrawLine(panel_, EAR_LEFT, Ui_MakePoint(60, Chart_StepY(9)), Ui_MakePoint(20, Chart_StepY(4)));
        Ui_ProcessSystemEvents();
    }

    // Down a column between two grid columns, below the labels: 13 rows and the frame's
    // foot; across a row between two grid rows: the frame's sides and 13 columns.
    static void ExpectGridWidths(const QImage &image, double ratio)
    {
        const WidthRow *w = WidthsAt(ratio);
        ASSERT_NE(w, nullptr) << "no widths written down for ratio " << ratio;
        ASSERT_EQ(image.size(), QSize(std::lround(380 * ratio), std::lround(360 * ratio)));
        const int x = static_cast<int>(232 * ratio);
        const int y = static_cast<int>(202 * ratio);
        const int from = static_cast<int>(31 * ratio);
        std::vector<int> down(13, w->thin);
        down[0] = w->thick;
        down.push_back(w->thick);
        EXPECT_EQ(Runs(image, {x, from}, {0, 1}, image.height() - from), down) << "down the column at x = " << x;
        std::vector<int> across(13, w->thin);
        across.insert(across.begin(), w->thick);
        across.push_back(w->thick);
        EXPECT_EQ(Runs(image, {0, y}, {1, 0}, image.width()), across) << "across the row at y = " << y;
    }

    int panel_ = 0;
};

TEST_F(ScaledChart, LinesHaveOneDeviceWidthEachAndTheTopRowStaysThicker)
{
    DrawChartAndCurve();
    const double ratio = Widget(EAR_LEFT)->devicePixelRatioF();
    EXPECT_GT(ratio, 1.0) << "run with QT_SCALE_FACTOR above 1";
    const QImage image = CanvasImage(EAR_LEFT);
    ExpectGridWidths(image, ratio);

    // The labels are drawn at the device's resolution: a chart drawn at 1 and scaled by a
    // whole ratio would be made of ratio x ratio blocks of one colour.
    const int r = static_cast<int>(ratio);
    if (r == ratio) {
        int mixed = 0;
        for (int y = 0; y + r <= static_cast<int>(30 * ratio); y += r) {
            for (int x = 0; x + r <= image.width(); x += r) {
                const unsigned first = Rgb(image, x, y);
                for (int i = 0; i < r * r; ++i) {
                    if (Rgb(image, x + i % r, y + i / r) != first) {
                        ++mixed;
                        break;
                    }
                }
            }
        }
        EXPECT_GT(mixed, 0) << "the labels are scaled up, not drawn at the device's resolution";
    }

    // Painted in the window as in the widget alone: the canvas's corner may fall inside a
    // device pixel (a menu bar of 21 px at 1.5), and the paint must not double a row.
    const QImage shot = Window()->grab().toImage();
    const QPoint corner = Widget(EAR_LEFT)->mapTo(Window(), QPoint(0, 0));
    const QPoint at(static_cast<int>(std::round(corner.x() * ratio)), static_cast<int>(std::round(corner.y() * ratio)));
    ExpectGridWidths(shot.copy(QRect(at, image.size())), ratio);
}

TEST_F(ScaledChart, AWindowMovedToAScreenOfAnotherRatioIsDrawnAgainAtItCurveIncluded)
{
    ASSERT_EQ(QGuiApplication::screens().size(), 2) << "run on the two offscreen screens";
    QWindow *window = Window()->windowHandle();
    window->setScreen(QGuiApplication::screens()[0]);
    DrawChartAndCurve();
    const double before = Widget(EAR_LEFT)->devicePixelRatioF();

    window->setScreen(QGuiApplication::screens()[1]);
    Ui_ProcessSystemEvents();
    const double after = Widget(EAR_LEFT)->devicePixelRatioF();
    ASSERT_DOUBLE_EQ(after, 2 * before);
    const QImage moved = CanvasImage(EAR_LEFT);
    ExpectGridWidths(moved, after);

    // What the move redrew is what drawing it all afresh at that ratio gives.
    DrawChartAndCurve();
    EXPECT_EQ(moved, CanvasImage(EAR_LEFT));
    int curve = 0;
    for (int y = 0; y < moved.height(); ++y) {
        for (int x = 0; x < moved.width(); ++x) {
            curve += Rgb(moved, x, y) == 0x0000FFu ? 1 : 0;
        }
    }
    // Two 12 px dots and a 6 px line, in device pixels: far more than a scaled copy's blocks
    // would differ by, far less than the canvas.
    EXPECT_GT(curve, static_cast<int>(2 * 100 * after * after));
    EXPECT_LT(curve, static_cast<int>(2000 * after * after));

    window->setScreen(QGuiApplication::screens()[0]);
    Ui_ProcessSystemEvents();
    EXPECT_EQ(CanvasImage(EAR_LEFT).size(), QSize(std::lround(380 * before), std::lround(360 * before)));
}

}  // namespace
