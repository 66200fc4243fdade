#pragma once
// The part of the user-interface layer that other threads touch, kept free of Qt so that
// ThreadSanitizer sees every lock and atomic in it (Qt's own locks are invisible to it).
//
// One file per job:
//   - registry.cpp: the one table of panels, handle -> the controls' cross-thread state
//     (and the toolkit's side, for the GUI thread), found from any thread; control values, mirrored in atomics that the GUI thread writes when
//     the user changes a control, so that a pool thread reads them without waiting for it;
//   - changes.cpp: the queue of label and dimming changes and of warnings, made on any
//     thread, applied on the GUI thread in the order they were made;
//   - canvas.cpp: pixels, pen and background per canvas under that canvas's own lock,
//     and the rasterising of clears, rectangles, lines and dots (text is left to the toolkit);
//   - pool.cpp: the thread pool behind Ui_ScheduleThreadPoolFunction.
// The toolkit side (qt.cpp) ties the widgets to this state, installs GuiHooks and
// CanvasHosts, and writes the value mirrors.
//
// Pixel rules, the same for every canvas, in canvas pixels (what the program draws in):
//   - A horizontal or vertical line of pen width w covers, across its direction, from
//     c - (w - 1) / 2 to c + w / 2 (integer division): a 1 px line at x = 20 covers x = 20
//     only, a 2 px line at y = 40 covers y = 40 and 41. Along its direction it covers both
//     end points and nothing past them, whatever its width: from (10, 40) to (370, 40) is
//     x = 10 to 370, so the chart's grid ends where its numbers say. A slanted line is a
//     square brush of side w stamped along its Bresenham path.
//   - A framed rectangle of pen width w puts its frame inside the rectangle, w pixels deep.
//   - A dot of pen width d covers the pixels of a disc of diameter d centred on the point;
//     for even d the centre sits half a pixel right of and below the point, as for lines.
//
// The pixels themselves are the screen's: each canvas pixel is `ratio` device pixels wide
// (the window's device pixel ratio, 1.5 on a laptop at 150 %), and every operation is
// rasterised at that resolution rather than drawn at 1 and scaled, which would make lines
// blocks and text jagged. A box edge at canvas coordinate e lands on device edge
// round(e x ratio), so boxes tile without gaps. A pen of width w is round(w x ratio) device
// pixels (halves up, at least 1), with its centre snapped to the nearest device pixel centre
// (odd widths) or edge (even widths): every line of one width has one width on screen, and
// a 2 px line stays wider than a 1 px one at any ratio. At ratio 1 all of this is the rules
// above, pixel for pixel.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace uicore {

// Negative results of the layer. Ui_LoadPanel's cover the ways a panel file can fail.
enum UiError : int {
    UI_ERR_FILE_MISSING = -1,      // the panel file cannot be opened or read
    UI_ERR_MALFORMED = -2,         // empty, truncated, bad syntax, a value out of its range
    UI_ERR_MISSING = -3,           // a declared control or menu entry is not in the file
    UI_ERR_WRONG_KIND = -4,        // a control of another kind than declared
    UI_ERR_UNKNOWN_CALLBACK = -5,  // a callback name that the program does not offer for that use
    UI_ERR_WRONG_PANEL = -6,       // the file's panel is not the one asked for
    UI_ERR_NOT_READY = -7,         // no toolkit, no declaration, or not on the GUI thread
    UI_ERR_BAD_HANDLE = -8,        // no such panel or control
    UI_ERR_BAD_ATTRIBUTE = -9,     // the attribute does not apply to this control or value type
    UI_ERR_BAD_ARGUMENT = -10,     // a colour, width, mode, alignment or rectangle out of range
};

// 0xRRGGBB as stored in a pixel (opaque, as the toolkit's 32-bit RGB images want it).
inline constexpr std::uint32_t Opaque(std::uint32_t rgb) { return 0xFF000000u | (rgb & 0xFFFFFFu); }

struct Pen {
    std::uint32_t color = 0x000000;
    std::uint32_t fill = 0xFFFFFF;
    std::uint32_t background = 0xFFFFFF;
    int width = 1;
};

// The toolkit's part of a canvas. Both calls come with the canvas lock held, on whatever
// thread is drawing; neither may wait for the GUI thread.
class CanvasHost {
public:
    virtual ~CanvasHost() = default;
    // Draws text centred on `at` (canvas pixels) in colour rgb into pixels: rows of `width`
    // 0xFFRRGGBB words, `ratio` device pixels to a canvas pixel.
    virtual void DrawText(std::uint32_t *pixels, int width, int height, double ratio, Point at,
                          const char *text, std::uint32_t rgb) = 0;
    // The pixels changed: post a repaint.
    virtual void Changed() = 0;
};

// One canvas: its pixels and pen, guarded by its own lock so that drawing on one canvas
// never waits for another. Every member may be called from any thread; each drawing call
// holds the lock for its whole operation, so pen changes and drawing from two threads on
// one canvas interleave call by call, never inside a call.
//
// It remembers what was drawn since the last clear of the whole canvas (the chart clears
// first), so that a change of ratio draws all of it again, sharp at the new resolution.
class Canvas {
public:
    Canvas(int width, int height);
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;

    // In canvas pixels, whatever the ratio.
    int Width() const { return width_; }
    int Height() const { return height_; }

    // host may be null (no text, no repaints). The host must outlive its attachment; detach
    // it (nullptr) before destroying it: after Attach returns, the old host is not called.
    void Attach(CanvasHost *host);

    // Device pixels per canvas pixel, 1 at first. A new ratio redraws everything drawn
    // since the last whole clear at that ratio, posting no repaint (the caller is about to
    // paint). Refuses ratios outside 0.25 to 16.
    int SetRatio(double ratio);
    double Ratio() const;

    // ATTR_PICT_BGCOLOR, ATTR_PEN_COLOR, ATTR_PEN_FILL_COLOR, ATTR_PEN_WIDTH.
    int SetAttribute(int attribute, int value);
    Pen GetPen() const;

    int Clear(Rect rect);
    int DrawRect(Rect rect, int drawMode);
    int DrawLine(Point start, Point end);
    int DrawPoint(Point point);
    int DrawText(const char *text, Point point, int alignment);

    // The device pixels, 0xFFRRGGBB, row by row, DeviceWidth() to a row. Allocates.
    std::vector<std::uint32_t> Pixels() const;
    int DeviceWidth() const;
    int DeviceHeight() const;
    // Calls fn(pixels, deviceWidth, deviceHeight, ratio) with the lock held; for the
    // widget's repaint.
    template <typename Fn>
    void ReadPixels(Fn &&fn) const
    {
        std::lock_guard lock(lock_);
        fn(pixels_.data(), deviceWidth_, deviceHeight_, ratio_);
    }

private:
    // One drawing call as made, with the pen it was made with.
    struct Op {
        enum Kind { kClear, kRect, kLine, kPoint, kText } kind;
        Pen pen;
        Rect rect{};
        Point a{};
        Point b{};
        std::string text;
    };

    // Lock held for all of these; each draws with pen_ at ratio_.
    int Device(int e) const;  // a canvas pixel edge, on the device
    int PenDevice() const;    // the pen's width, in device pixels
    int Across(int c) const;  // first device pixel of a pen-wide line at canvas pixel c
    void Fill(int x0, int y0, int x1, int y1, std::uint32_t rgb);  // device pixels, inclusive
    void CanvasBox(int left, int top, int right, int bottom, std::uint32_t rgb);  // canvas pixels, inclusive
    void Run(const Op &op);
    void RunRect(Rect rect);
    void RunLine(Point start, Point end);
    void RunPoint(Point point);
    void Record(Op op);
    void NotifyChanged();

    const int width_;
    const int height_;
    mutable std::mutex lock_;
    Pen pen_;
    double ratio_ = 1.0;
    int deviceWidth_;
    int deviceHeight_;
    std::vector<std::uint32_t> pixels_;
    std::vector<Op> ops_;
    bool opsWhole_ = true;  // ops_ holds everything on the canvas
    CanvasHost *host_ = nullptr;
};

// The toolkit's side of a panel and of each control (its widgets): touched on the GUI
// thread only, so that nothing of the toolkit is reached from here.
struct PanelLayout;
struct ControlLayout;

// Cross-thread state of one control. Fixed once the panel is registered, except the value
// (written by the GUI thread, read by any) and the canvas's own locked state.
struct Control {
    int id = 0;
    UiKind kind = UI_COMMAND_BUTTON;
    bool hasLabel = false;  // a caption or button text that ATTR_LABEL_TEXT may change
    std::atomic<double> value{0.0};
    std::unique_ptr<Canvas> canvas;  // canvases only
    const ControlLayout *layout = nullptr;  // GUI thread only
};

struct Panel {
    int handle = 0;
    std::map<int, std::unique_ptr<Control>> controls;  // by control id
    // GUI thread only; taken away before the panel leaves the registry, so that a drawing
    // thread that lets go of the panel last never destroys anything of the toolkit.
    std::shared_ptr<PanelLayout> layout;

    Control *Find(int id) const
    {
        const auto it = controls.find(id);
        return it == controls.end() ? nullptr : it->second.get();
    }
};

// Registry of live panels. Register and Unregister belong to the GUI thread; Find may come
// from any thread and keeps the panel's state alive while the caller holds it, even if the
// panel is discarded meanwhile.
int RegisterPanel(std::shared_ptr<Panel> panel);  // fills panel->handle and returns it
std::shared_ptr<Panel> FindPanel(int handle);
void UnregisterPanel(int handle);

// A label or dimming change on its way to the GUI thread.
struct AttributeChange {
    int panel;
    int control;
    int attribute;  // ATTR_LABEL_TEXT or ATTR_DIMMED
    int value;
    std::string text;
};

// A warning box for the GUI thread to show.
struct Warning {
    std::string title;
    std::string message;
};

struct GuiHooks {
    // Applies one change to the widgets. GUI thread, in the order the changes were made.
    void (*apply)(const AttributeChange &change) = nullptr;
    // Shows a warning. GUI thread, after the changes queued with it.
    void (*warn)(const Warning &warning) = nullptr;
    // Asks the GUI thread to drain soon. Any thread; must not block. May be null: then
    // changes wait for the next Ui_ProcessSystemEvents.
    void (*wake)() = nullptr;
};

// Makes the calling thread the GUI thread. Once, before any other thread uses the layer.
void SetGuiThread(const GuiHooks &hooks);
bool OnGuiThread();

// Queues a change; on the GUI thread it is applied at once, after every earlier change, so
// that a later change never overtakes an earlier one made on another thread.
void PostAttributeChange(AttributeChange change);
// Queues a warning, like a change.
void PostWarning(Warning warning);
// GUI thread: applies every queued change in order, then shows the queued warnings.
void DrainAttributeChanges();
// Forgets the queued changes of a discarded panel. GUI thread.
void DropAttributeChanges(int panel);

// Slide values are snapped to millionths so that three steps of 0.1 read 0.3, not
// 0.30000000000000004, and compare equal to the literal a procedure may test against.
double SlideValue(double minimum, double increment, int step);

// When a button went down, on Sys_NowNs's clock, from the window system's stamp of the
// press (milliseconds; on X only the low 32 bits) and the time the event reached us. X
// and Wayland stamp input on the monotonic clock that Sys_NowNs reads, so on a busy
// machine the press keeps the moment the listener made it, not the moment the event loop
// got to it. A stamp that cannot be on that clock (ahead of now, or over 2 s behind)
// is not trusted: then the press is timed at its arrival.
std::int64_t PressTimeNs(std::uint64_t stampMs, std::int64_t arrivedNs);

}  // namespace uicore
