#include "chart/chart.h"

#include "app/globals.h"
#include "app/panel.h"
#include "platform/ui.h"

const int iAryYPos[13] = {20, 60, 100, 140, 170, 195, 220, 245, 270, 295, 320, 340, 360};

const char iAryXStr[13][6] = {"0,125", "0,25", "0,50", "0,75", "1,0", "1,5", "2,0",
                              "3,0",   "4,0",  "6,0",  "8,0",  "10",  "12"};

int Chart_StepY(int steps) { return static_cast<int>(40.0 + 12.5 * steps); }

void Clear_Canvas()
{
    // Read once, so that a change of ear part-way cannot split the drawing over both canvases.
    const int canvas = Get(iLeftRight) == 0 ? EAR_LEFT : EAR_RIGHT;
    const int panel = Get(iPanelHandle);

    Ui_SetCtrlAttribute(panel, canvas, ATTR_PICT_BGCOLOR, CHART_BACKGROUND);
    Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_FILL_COLOR, CHART_BACKGROUND);
    Ui_CanvasClear(panel, canvas, Ui_MakeRect(0, 0, UI_TO_EDGE, UI_TO_EDGE));
    Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_COLOR, 0x000000);
    Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 2);
    Ui_CanvasDrawRect(panel, canvas, Ui_MakeRect(0, 0, 360, 380), UI_DRAW_FRAME_AND_INTERIOR);
    Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 1);

    for (int i = 0; i < 13; ++i) {
        Ui_CanvasDrawTextAtPoint(panel, canvas, iAryXStr[i], UI_APP_META_FONT, Ui_MakePoint(iAryYPos[i], 15),
                                 UI_ALIGN_CENTER);
        Ui_CanvasDrawLine(panel, canvas, Ui_MakePoint(iAryYPos[i], 30), Ui_MakePoint(iAryYPos[i], 350));
    }

    // The top row is the quietest level offered; drawn 2 px wide, after the columns, so it lies over them.
    Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 2);
    for (int k = 0; k < 13; ++k) {
        const int y = 40 + 25 * k;
        Ui_CanvasDrawLine(panel, canvas, Ui_MakePoint(10, y), Ui_MakePoint(370, y));
        Ui_SetCtrlAttribute(panel, canvas, ATTR_PEN_WIDTH, 1);
    }
}
