// The empty audiogram as the chart code draws it through the Qt layer: background, frame,
// column lines, row lines and labels, on both canvases; and the pen on a real canvas.

#include <gtest/gtest.h>

#include <QWidget>

#include "app/globals.h"
#include "chart/chart.h"
#include "ui/ui_qt_fixture.h"

namespace {

constexpr unsigned kBackground = 0xF0F0F0;
constexpr unsigned kBlack = 0x000000;
constexpr int kColumns[13] = {20, 60, 100, 140, 170, 195, 220, 245, 270, 295, 320, 340, 360};

class EmptyChart : public testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        panel_ = SharedPanel();
        ASSERT_GT(panel_, 0);
        Set(iPanelHandle, panel_);
        // Both canvases white first, so that a chart drawn on the wrong one shows.
        for (int canvas : {EAR_LEFT, EAR_RIGHT}) {
            Ui_SetCtrlAttribute(panel_, canvas, ATTR_PICT_BGCOLOR, 0xFFFFFF);
            Ui_CanvasClear(panel_, canvas, Ui_MakeRect(0, 0, UI_TO_EDGE, UI_TO_EDGE));
        }
        Set(iLeftRight, GetParam());
        Clear_Canvas();
        canvas_ = GetParam() == 0 ? EAR_LEFT : EAR_RIGHT;
        other_ = GetParam() == 0 ? EAR_RIGHT : EAR_LEFT;
        image_ = CanvasImage(canvas_);
        ASSERT_EQ(image_.size(), QSize(380, 360));
    }

    unsigned At(int x, int y) const { return Rgb(image_, x, y); }

    int panel_ = 0;
    int canvas_ = 0;
    int other_ = 0;
    QImage image_;
};

TEST_P(EmptyChart, LandsOnItsOwnCanvasOnly)
{
    const QImage other = CanvasImage(other_);
    EXPECT_EQ(Rgb(other, 200, 200), 0xFFFFFFu);
    EXPECT_EQ(Rgb(other, 20, 100), 0xFFFFFFu);
}

TEST_P(EmptyChart, HasTheBackgroundAndATwoPixelFrameAlongTheEdge)
{
    for (const QPoint p : {QPoint(5, 200), QPoint(40, 100), QPoint(375, 355), QPoint(200, 356), QPoint(2, 200)}) {
        EXPECT_EQ(At(p.x(), p.y()), kBackground) << p.x() << "," << p.y();
    }
    for (int y : {0, 1, 358, 359}) {
        EXPECT_EQ(At(200, y), kBlack) << y;
        EXPECT_EQ(At(5, y), kBlack) << y;
    }
    for (int x : {0, 1, 378, 379}) {
        EXPECT_EQ(At(x, 200), kBlack) << x;
        EXPECT_EQ(At(x, 5), kBlack) << x;
    }
    EXPECT_EQ(At(2, 5), kBackground);
    EXPECT_EQ(At(377, 357), kBackground);
}

TEST_P(EmptyChart, HasThirteenOnePixelColumnsFrom30To350)
{
    for (int x : kColumns) {
        for (int y = 30; y <= 350; ++y) {
            ASSERT_EQ(At(x, y), kBlack) << x << "," << y;
        }
        EXPECT_EQ(At(x, 29), kBackground) << x;
        EXPECT_EQ(At(x, 351), kBackground) << x;
        EXPECT_EQ(At(x - 1, 200), kBackground) << x;
        EXPECT_EQ(At(x + 1, 200), kBackground) << x;
    }
    // Nothing else is vertical: on a row between two row lines, exactly the 13 columns are dark.
    int dark = 0;
    for (int x = 2; x < 378; ++x) {
        dark += At(x, 200) == kBlack ? 1 : 0;
    }
    EXPECT_EQ(dark, 13);
}

TEST_P(EmptyChart, HasThirteenRowsOnlyTheTopOneTwoPixelsWide)
{
    for (int k = 0; k < 13; ++k) {
        const int y = 40 + 25 * k;
        for (int x = 10; x <= 370; ++x) {
            ASSERT_EQ(At(x, y), kBlack) << x << "," << y;
        }
        EXPECT_EQ(At(9, y), kBackground) << y;
        EXPECT_EQ(At(371, y), kBackground) << y;
        EXPECT_EQ(At(250, y - 1), kBackground) << y;
        EXPECT_EQ(At(250, y + 1), k == 0 ? kBlack : kBackground) << y;
    }
    EXPECT_EQ(At(250, 42), kBackground);
}

TEST_P(EmptyChart, HasALabelCentredAboveEachColumnAndNothingElseAbove30)
{
    for (int x : kColumns) {
        int dark = 0;
        for (int y = 2; y < 30; ++y) {
            for (int dx = -4; dx <= 4; ++dx) {
                dark += At(x + dx, y) == kBlack ? 1 : 0;
            }
        }
        EXPECT_GT(dark, 0) << "no label at " << x;
    }
    // Labels keep inside the band between the frame and the column lines' start.
    for (int x = 2; x < 378; ++x) {
        for (int y = 2; y < 30; ++y) {
            const unsigned p = At(x, y);
            ASSERT_TRUE(p == kBlack || p == kBackground) << x << "," << y;
        }
    }
    // The outermost labels have no neighbour within reach: their ink is centred on x = 20
    // ("0,125") and x = 360 ("12").
    const auto inkCentre = [&](int from, int to) {
        int left = 380;
        int right = -1;
        for (int x = from; x <= to; ++x) {
            for (int y = 2; y < 30; ++y) {
                if (At(x, y) == kBlack) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        return (left + right) / 2.0;
    };
    EXPECT_NEAR(inkCentre(2, 39), 20.0, 2.0);
    EXPECT_NEAR(inkCentre(351, 377), 360.0, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Ears, EmptyChart, testing::Values(0, 1, 7),
                         [](const testing::TestParamInfo<int> &info) {
                             return info.param == 0 ? std::string("Left")
                                                    : "Right" + std::to_string(info.param);
                         });

TEST(Canvas, TextIsCentredOnItsPointInAnyFontName)
{
    const int panel = SharedPanel();
    ASSERT_GT(panel, 0);
    const auto draw = [&](const char *font) {
        Ui_SetCtrlAttribute(panel, EAR_LEFT, ATTR_PICT_BGCOLOR, 0xFFFFFF);
        Ui_SetCtrlAttribute(panel, EAR_LEFT, ATTR_PEN_COLOR, 0x000000);
        Ui_CanvasClear(panel, EAR_LEFT, Ui_MakeRect(0, 0, UI_TO_EDGE, UI_TO_EDGE));
        EXPECT_EQ(Ui_CanvasDrawTextAtPoint(panel, EAR_LEFT, "HH", font, Ui_MakePoint(100, 150), UI_ALIGN_CENTER), 0);
        return CanvasImage(EAR_LEFT);
    };
    const QImage image = draw(UI_APP_META_FONT);
    int left = 380, right = -1, top = 360, bottom = -1;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 380; ++x) {
            if (Rgb(image, x, y) != 0xFFFFFFu) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    ASSERT_GE(right, left) << "no text drawn";
    EXPECT_NEAR((left + right) / 2.0, 100.0, 1.5);
    // Capitals sit a little above the centre of the line box (its descent is empty): allow it.
    EXPECT_NEAR((top + bottom) / 2.0, 150.0, 3.0);
    EXPECT_EQ(draw("Some Font Nobody Has"), image);
}

TEST(Canvas, PointsAndLinesFollowThePenWidthOnTheRealCanvas)
{
    const int panel = SharedPanel();
    ASSERT_GT(panel, 0);
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PICT_BGCOLOR, 0xFFFFFF);
    Ui_CanvasClear(panel, EAR_RIGHT, Ui_MakeRect(0, 0, UI_TO_EDGE, UI_TO_EDGE));
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_COLOR, 0x0000FF);
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_WIDTH, 3);
    // Where the audiometry would mark 3 steps at 1 kHz.
    ASSERT_EQ(Ui_CanvasDrawPoint(panel, EAR_RIGHT, Ui_MakePoint(170, Chart_StepY(3))), 0);
    Ui_SetCtrlAttribute(panel, EAR_RIGHT, ATTR_PEN_WIDTH, 2);
    ASSERT_EQ(Ui_CanvasDrawLine(panel, EAR_RIGHT, Ui_MakePoint(10, 300), Ui_MakePoint(100, 300)), 0);
    const QImage image = CanvasImage(EAR_RIGHT);
    for (int y = 76; y <= 78; ++y) {
        for (int x = 169; x <= 171; ++x) {
            EXPECT_EQ(Rgb(image, x, y), 0x0000FFu) << x << "," << y;
        }
    }
    EXPECT_EQ(Rgb(image, 168, 77), 0xFFFFFFu);
    EXPECT_EQ(Rgb(image, 172, 77), 0xFFFFFFu);
    EXPECT_EQ(Rgb(image, 50, 299), 0xFFFFFFu);
    EXPECT_EQ(Rgb(image, 50, 300), 0x0000FFu);
    EXPECT_EQ(Rgb(image, 50, 301), 0x0000FFu);
    EXPECT_EQ(Rgb(image, 50, 302), 0xFFFFFFu);
}

}  // namespace
