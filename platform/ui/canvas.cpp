// Canvases: pixels and pen under each canvas's own lock, the rasterising of clears,
// rectangles, lines and dots, and the calls that reach a canvas through its panel.

#include <algorithm>
#include <cstdlib>

#include "platform/ui/core.h"

namespace uicore {

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), Opaque(Pen{}.background))
{
}

void Canvas::Attach(CanvasHost *host)
{
    std::lock_guard lock(lock_);
    host_ = host;
}

int Canvas::SetAttribute(int attribute, int value)
{
    const bool isColour = attribute == ATTR_PICT_BGCOLOR || attribute == ATTR_PEN_COLOR ||
                          attribute == ATTR_PEN_FILL_COLOR;
    if (isColour && (value < 0 || value > 0xFFFFFF)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    // A pen wider than the canvas draws nothing more, and a bound keeps the brush loops short.
    if (attribute == ATTR_PEN_WIDTH && (value < 1 || value > 255)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    switch (attribute) {
    case ATTR_PICT_BGCOLOR: pen_.background = static_cast<std::uint32_t>(value); return 0;
    case ATTR_PEN_COLOR: pen_.color = static_cast<std::uint32_t>(value); return 0;
    case ATTR_PEN_FILL_COLOR: pen_.fill = static_cast<std::uint32_t>(value); return 0;
    case ATTR_PEN_WIDTH: pen_.width = value; return 0;
    default: return UI_ERR_BAD_ATTRIBUTE;
    }
}

Pen Canvas::GetPen() const
{
    std::lock_guard lock(lock_);
    return pen_;
}

void Canvas::Fill(int x0, int y0, int x1, int y1, std::uint32_t rgb)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, width_ - 1);
    y1 = std::min(y1, height_ - 1);
    if (x0 > x1 || y0 > y1) {
        return;  // wholly off the canvas, or an empty box
    }
    const std::uint32_t pixel = Opaque(rgb);
    for (int y = y0; y <= y1; ++y) {
        std::uint32_t *row = pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
        std::fill(row + x0, row + x1 + 1, pixel);
    }
}

void Canvas::Stamp(int x, int y, std::uint32_t rgb)
{
    const int before = (pen_.width - 1) / 2;
    const int after = pen_.width / 2;
    Fill(x - before, y - before, x + after, y + after, rgb);
}

void Canvas::NotifyChanged()
{
    if (host_ != nullptr) {
        host_->Changed();
    }
}

namespace {

// Every coordinate is held within this many pixels of the canvas before anything is
// computed or looped over: a point at INT_MAX would overflow `y + size` and spin the dot's
// loop for ever. Nothing that far out shows anyway.
constexpr int kFar = 1 << 20;

int Near(int v) { return std::clamp(v, -kFar, kFar); }
Point Near(Point p) { return Point{Near(p.x), Near(p.y)}; }
Rect Near(Rect r)
{
    return Rect{Near(r.top), Near(r.left), r.height == UI_TO_EDGE ? UI_TO_EDGE : Near(r.height),
                r.width == UI_TO_EDGE ? UI_TO_EDGE : Near(r.width)};
}

// Resolves UI_TO_EDGE; false for any other negative size.
bool Resolve(Rect rect, int width, int height, int *bottom, int *right)
{
    rect = Near(rect);
    const int h = rect.height == UI_TO_EDGE ? height - rect.top : rect.height;
    const int w = rect.width == UI_TO_EDGE ? width - rect.left : rect.width;
    if (h < 0 || w < 0) {
        return false;
    }
    *bottom = rect.top + h - 1;
    *right = rect.left + w - 1;
    return true;
}

}  // namespace

int Canvas::Clear(Rect rect)
{
    std::lock_guard lock(lock_);
    int bottom = 0;
    int right = 0;
    if (!Resolve(rect, width_, height_, &bottom, &right)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    Fill(rect.left, rect.top, right, bottom, pen_.background);
    NotifyChanged();
    return 0;
}

int Canvas::DrawRect(Rect rect, int drawMode)
{
    if (drawMode != UI_DRAW_FRAME_AND_INTERIOR) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    int bottom = 0;
    int right = 0;
    if (!Resolve(rect, width_, height_, &bottom, &right)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    const int w = pen_.width;
    const int top = Near(rect.top);
    const int left = Near(rect.left);
    Fill(left + w, top + w, right - w, bottom - w, pen_.fill);
    Fill(left, top, right, std::min(top + w - 1, bottom), pen_.color);
    Fill(left, std::max(bottom - w + 1, top), right, bottom, pen_.color);
    Fill(left, top, std::min(left + w - 1, right), bottom, pen_.color);
    Fill(std::max(right - w + 1, left), top, right, bottom, pen_.color);
    NotifyChanged();
    return 0;
}

int Canvas::DrawLine(Point start, Point end)
{
    start = Near(start);
    end = Near(end);
    std::lock_guard lock(lock_);
    const int before = (pen_.width - 1) / 2;
    const int after = pen_.width / 2;
    if (start.x == end.x) {
        // The chart's grid: one box, no per-pixel stamping.
        Fill(start.x - before, std::min(start.y, end.y), start.x + after, std::max(start.y, end.y), pen_.color);
    } else if (start.y == end.y) {
        Fill(std::min(start.x, end.x), start.y - before, std::max(start.x, end.x), start.y + after, pen_.color);
    } else {
        // Bresenham, clipped by Fill; a line far outside the canvas still walks its length,
        // so its length is bounded to keep a wild point from stalling the caller.
        int x = start.x;
        int y = start.y;
        const long long dx = std::llabs(static_cast<long long>(end.x) - start.x);
        const long long dy = -std::llabs(static_cast<long long>(end.y) - start.y);
        if (dx - dy > 1'000'000) {
            return UI_ERR_BAD_ARGUMENT;
        }
        const int sx = start.x < end.x ? 1 : -1;
        const int sy = start.y < end.y ? 1 : -1;
        long long err = dx + dy;
        for (;;) {
            Stamp(x, y, pen_.color);
            if (x == end.x && y == end.y) {
                break;
            }
            const long long e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y += sy;
            }
        }
    }
    NotifyChanged();
    return 0;
}

int Canvas::DrawPoint(Point point)
{
    point = Near(point);
    std::lock_guard lock(lock_);
    const int d = pen_.width;
    const int before = (d - 1) / 2;
    const int after = d / 2;
    // Pixel centres relative to the disc's centre, in half pixels so that even widths stay exact.
    const int centre2x = 2 * point.x + (d % 2 == 0 ? 1 : 0);
    const int centre2y = 2 * point.y + (d % 2 == 0 ? 1 : 0);
    for (int y = point.y - before; y <= point.y + after; ++y) {
        for (int x = point.x - before; x <= point.x + after; ++x) {
            const long long ox = 2LL * x - centre2x;
            const long long oy = 2LL * y - centre2y;
            if (ox * ox + oy * oy <= static_cast<long long>(d) * d) {
                Fill(x, y, x, y, pen_.color);
            }
        }
    }
    NotifyChanged();
    return 0;
}

int Canvas::DrawText(const char *text, Point point, int alignment)
{
    if (text == nullptr || alignment != UI_ALIGN_CENTER) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    if (host_ != nullptr) {
        host_->DrawText(pixels_.data(), width_, height_, point, text, pen_.color);
    }
    NotifyChanged();
    return 0;
}

std::vector<std::uint32_t> Canvas::Pixels() const
{
    std::lock_guard lock(lock_);
    return pixels_;
}

}  // namespace uicore

using namespace uicore;

namespace {

// Runs op on the canvas of (panel, control); the shared_ptr keeps it alive during the call.
template <typename Op>
int OnCanvas(int panel, int control, Op &&op)
{
    const std::shared_ptr<Panel> p = FindPanel(panel);
    Control *c = p == nullptr ? nullptr : p->Find(control);
    if (c == nullptr) {
        return UI_ERR_BAD_HANDLE;
    }
    if (c->canvas == nullptr) {
        return UI_ERR_BAD_ATTRIBUTE;
    }
    return op(*c->canvas);
}

}  // namespace

int Ui_CanvasClear(int panel, int control, Rect rect)
{
    return OnCanvas(panel, control, [&](Canvas &canvas) { return canvas.Clear(rect); });
}

int Ui_CanvasDrawRect(int panel, int control, Rect rect, int drawMode)
{
    return OnCanvas(panel, control, [&](Canvas &canvas) { return canvas.DrawRect(rect, drawMode); });
}

int Ui_CanvasDrawLine(int panel, int control, Point start, Point end)
{
    return OnCanvas(panel, control, [&](Canvas &canvas) { return canvas.DrawLine(start, end); });
}

int Ui_CanvasDrawPoint(int panel, int control, Point point)
{
    return OnCanvas(panel, control, [&](Canvas &canvas) { return canvas.DrawPoint(point); });
}

// metaFont is not looked at: every canvas text is drawn in the application's dialog font.
int Ui_CanvasDrawTextAtPoint(int panel, int control, const char *text, const char *, Point point, int alignment)
{
    return OnCanvas(panel, control, [&](Canvas &canvas) { return canvas.DrawText(text, point, alignment); });
}
