#pragma once
// Names in ui/: Ui_Call, Type and Function (Qt's overrides keep Qt's), variable, kConstant, gGlobal, member_.
// The user-interface runtime as the program sees it: one panel loaded from a file, its
// controls and canvases, a menu bar, a modal message box, event processing and a pool
// of background threads.
//
// Threads: Ui_Init, Ui_LoadPanel, Ui_DisplayPanel, Ui_DiscardPanel, Ui_ProcessSystemEvents
// and Ui_MessagePopup belong to the main thread, which also runs every callback. Control
// reads, attribute changes and canvas drawing may come from any thread and never wait
// for the main thread: changes are applied there in the order they were made.

#include <cstdint>

struct Point {
    int x;
    int y;
};

struct Rect {
    int top;
    int left;
    int height;  // UI_TO_EDGE: to the canvas edge
    int width;   // UI_TO_EDGE: to the canvas edge
};

inline constexpr int UI_TO_EDGE = -1;

inline constexpr int EVENT_COMMIT = 1;
inline constexpr int EVENT_CLOSE = 11;

// Attributes for Ui_SetCtrlAttribute.
inline constexpr int ATTR_LABEL_TEXT = 1;      // const char *
inline constexpr int ATTR_DIMMED = 2;          // 0 or 1
inline constexpr int ATTR_PICT_BGCOLOR = 3;    // canvas background, 0xRRGGBB
inline constexpr int ATTR_PEN_COLOR = 4;       // 0xRRGGBB
inline constexpr int ATTR_PEN_FILL_COLOR = 5;  // 0xRRGGBB
inline constexpr int ATTR_PEN_WIDTH = 6;       // pixels

inline constexpr int UI_DRAW_FRAME_AND_INTERIOR = 1;  // rectangle mode: frame in the pen, inside in the fill colour
inline constexpr int UI_ALIGN_CENTER = 5;             // text centred on its point, both ways
inline constexpr const char *UI_APP_META_FONT = "AppMetaFont";  // the standard dialog font

inline constexpr int UI_DEFAULT_THREAD_POOL = -1;
inline constexpr int UI_EVENT_MASK_FUNCTION_EXECUTION_END = 2;
inline constexpr int UI_CALLBACK_THREAD_OWN = 1;

using PanelCallback = int (*)(int panel, int event, void *callbackData, int eventData1, int eventData2);
using CtrlCallback = int (*)(int panel, int control, int event, void *callbackData, int eventData1,
                             int eventData2);
using MenuCallback = void (*)(int menuBar, int menuItem, void *callbackData, int panel);
using ThreadFunction = int (*)(void *functionData);

// What the program expects of its panel file: the numbers its code uses for each named
// panel, control and menu entry, each control's kind, and the functions that the file
// may attach by name. Ui_LoadPanel refuses a file that does not match.
enum UiKind { UI_CANVAS, UI_COMMAND_BUTTON, UI_RING, UI_SLIDE_INT, UI_SLIDE_DOUBLE, UI_SPLITTER };

// low and high bound every value the control can give (a ring's item values, a slide's
// range): the procedures read those values without testing them, so a file that could
// give more is refused. Controls without a value leave them open.
struct UiControlDecl {
    const char *name;
    int id;
    UiKind kind;
    double low = -1e300;
    double high = 1e300;
};

struct UiMenuDecl {
    const char *name;  // menu bar, menu or item name used in the file
    int id;
    const char *shortcut = nullptr;  // an item's, as "Ctrl+A"; the file must give exactly it
};

struct UiCallbackDecl {
    const char *name;
    PanelCallback panel;  // exactly one of the three is set
    CtrlCallback control;
    MenuCallback menu;
};

struct UiPanelDecl {
    const char *name;  // e.g. the main panel's name in the file
    int resourceId;
    const UiControlDecl *controls;
    int controlCount;
    const UiMenuDecl *menus;
    int menuCount;
    const UiCallbackDecl *callbacks;
    int callbackCount;
};

// Brings the toolkit up. Returns 0 on failure.
int Ui_Init(int argc, char **argv);
// Tells the runtime what panel files must hold; before Ui_LoadPanel. The tables must
// outlive the panel.
void Ui_DeclarePanel(const UiPanelDecl *decl);

// Returns a positive panel handle, or a negative number when the file is missing,
// malformed, holds anything the panel does not use, lacks a declared control or has one of
// another kind, or lets a control give a value outside its declared bounds.
int Ui_LoadPanel(int parentPanel, const char *fileName, int resourceId);
int Ui_DisplayPanel(int panel);
int Ui_DiscardPanel(int panel);
int Ui_ProcessSystemEvents();
// Inside a button's commit callback: when that button went down (a mouse button, or Space
// on the focused button), on Sys_NowNs's clock, by the window system's own stamp of the
// press where it can be trusted (see uicore::PressTimeNs). The commit itself comes when the
// click or the key ends. Elsewhere: the present.
std::int64_t Ui_EventPressTimeNs();

int Ui_GetCtrlVal(int panel, int control, int *value);
int Ui_GetCtrlVal(int panel, int control, double *value);
int Ui_SetCtrlAttribute(int panel, int control, int attribute, int value);
int Ui_SetCtrlAttribute(int panel, int control, int attribute, const char *value);

inline Point Ui_MakePoint(int x, int y) { return Point{x, y}; }
inline Rect Ui_MakeRect(int top, int left, int height, int width) { return Rect{top, left, height, width}; }

int Ui_CanvasClear(int panel, int control, Rect rect);
int Ui_CanvasDrawRect(int panel, int control, Rect rect, int drawMode);
int Ui_CanvasDrawLine(int panel, int control, Point start, Point end);
int Ui_CanvasDrawPoint(int panel, int control, Point point);
int Ui_CanvasDrawTextAtPoint(int panel, int control, const char *text, const char *metaFont, Point point,
                             int alignment);

// Modal box with one button; returns when the user has closed it.
int Ui_MessagePopup(const char *title, const char *message);
// A warning for the user from any thread: written to standard error at once, and shown
// by the main thread in a box that holds neither the caller nor the panel. Returns at once.
// A warning of the same title and first line while its box is open updates that box, with
// how often it came, instead of opening another.
int Ui_ShowWarning(const char *title, const char *message);

// Runs function once on a pool thread and returns at once. Only the pool, the function
// and its data count; the rest (no completion callback, no function id) is ignored.
int Ui_ScheduleThreadPoolFunction(int poolHandle, ThreadFunction function, void *functionData, int priority,
                                  void *completionCallback, int eventMask, void *callbackData,
                                  int callbackThread, int *functionId);
// Blocks until every function scheduled so far has returned. Main thread only.
void Ui_WaitForThreadPoolFunctions();
