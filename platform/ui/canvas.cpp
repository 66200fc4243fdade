// Canvases: pixels and pen under each canvas's own lock, the rasterising of clears,
// rectangles, lines and dots, and the calls that reach a canvas through its panel.

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/ui/core.h"

namespace uicore {

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      deviceWidth_(width_),
      deviceHeight_(height_),
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

double Canvas::Ratio() const
{
    std::lock_guard lock(lock_);
    return ratio_;
}

int Canvas::DeviceWidth() const
{
    std::lock_guard lock(lock_);
    return deviceWidth_;
}

int Canvas::DeviceHeight() const
{
    std::lock_guard lock(lock_);
    return deviceHeight_;
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

// Halves up, as the pen widths are rounded.
int RoundUp(double v) { return static_cast<int>(std::floor(v + 0.5)); }

// A program that draws for ever without clearing would grow the record without end; past
// this many calls it is dropped, and a ratio change then scales the pixels instead.
constexpr std::size_t kMaxOps = 1 << 16;

}  // namespace

int Canvas::Device(int e) const { return RoundUp(e * ratio_); }

int Canvas::PenDevice() const { return std::max(1, RoundUp(pen_.width * ratio_)); }

int Canvas::Across(int c) const
{
    // The line's centre in canvas pixels: the middle of pixel c for odd widths, its right
    // (lower) edge for even ones, as the rules above place it.
    const double centre = (c + (pen_.width % 2 == 1 ? 0.5 : 1.0)) * ratio_;
    const int d = PenDevice();
    return (d % 2 == 1 ? static_cast<int>(std::floor(centre)) : RoundUp(centre)) - d / 2;
}

void Canvas::Fill(int x0, int y0, int x1, int y1, std::uint32_t rgb)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, deviceWidth_ - 1);
    y1 = std::min(y1, deviceHeight_ - 1);
    if (x0 > x1 || y0 > y1) {
        return;  // wholly off the canvas, or an empty box
    }
    const std::uint32_t pixel = Opaque(rgb);
    for (int y = y0; y <= y1; ++y) {
        std::uint32_t *row = pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(deviceWidth_);
        std::fill(row + x0, row + x1 + 1, pixel);
    }
}

void Canvas::CanvasBox(int left, int top, int right, int bottom, std::uint32_t rgb)
{
    Fill(Device(left), Device(top), Device(right + 1) - 1, Device(bottom + 1) - 1, rgb);
}

void Canvas::NotifyChanged()
{
    if (host_ != nullptr) {
        host_->Changed();
    }
}

void Canvas::Record(Op op)
{
    if (!opsWhole_) {
        return;
    }
    if (ops_.size() >= kMaxOps) {
        ops_ = {};
        opsWhole_ = false;
        return;
    }
    ops_.push_back(std::move(op));
}

void Canvas::Run(const Op &op)
{
    switch (op.kind) {
    case Op::kClear: {
        int bottom = 0;
        int right = 0;
        Resolve(op.rect, width_, height_, &bottom, &right);
        CanvasBox(Near(op.rect.left), Near(op.rect.top), right, bottom, pen_.background);
        break;
    }
    case Op::kRect: RunRect(op.rect); break;
    case Op::kLine: RunLine(op.a, op.b); break;
    case Op::kPoint: RunPoint(op.a); break;
    case Op::kText:
        if (host_ != nullptr) {
            host_->DrawText(pixels_.data(), deviceWidth_, deviceHeight_, ratio_, op.a, op.text.c_str(), pen_.color);
        }
        break;
    }
}

int Canvas::SetRatio(double ratio)
{
    if (!(ratio >= 0.25 && ratio <= 16.0)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    if (ratio == ratio_) {
        return 0;
    }
    const std::vector<std::uint32_t> old = opsWhole_ ? std::vector<std::uint32_t>{} : std::move(pixels_);
    const int oldWidth = deviceWidth_;
    const int oldHeight = deviceHeight_;
    ratio_ = ratio;
    deviceWidth_ = Device(width_);
    deviceHeight_ = Device(height_);
    pixels_.assign(static_cast<std::size_t>(deviceWidth_) * static_cast<std::size_t>(deviceHeight_),
                   Opaque(Pen{}.background));
    if (opsWhole_) {
        const Pen pen = pen_;
        for (const Op &op : ops_) {
            pen_ = op.pen;
            Run(op);
        }
        pen_ = pen;
    } else if (oldWidth > 0 && oldHeight > 0) {
        for (int y = 0; y < deviceHeight_; ++y) {
            for (int x = 0; x < deviceWidth_; ++x) {
                const std::size_t from = static_cast<std::size_t>(y * oldHeight / deviceHeight_) * oldWidth +
                                         static_cast<std::size_t>(x * oldWidth / deviceWidth_);
                pixels_[static_cast<std::size_t>(y) * deviceWidth_ + x] = old[from];
            }
        }
    }
    return 0;
}

int Canvas::Clear(Rect rect)
{
    std::lock_guard lock(lock_);
    int bottom = 0;
    int right = 0;
    if (!Resolve(rect, width_, height_, &bottom, &right)) {
        return UI_ERR_BAD_ARGUMENT;
    }
    if (Near(rect.left) <= 0 && Near(rect.top) <= 0 && right >= width_ - 1 && bottom >= height_ - 1) {
        ops_.clear();  // nothing drawn before shows any more
        opsWhole_ = true;
    }
    Op op{Op::kClear, pen_, rect, {}, {}, {}};
    Run(op);
    Record(std::move(op));
    NotifyChanged();
    return 0;
}

void Canvas::RunRect(Rect rect)
{
    int bottom = 0;
    int right = 0;
    Resolve(rect, width_, height_, &bottom, &right);
    const int w = PenDevice();
    const int top = Device(Near(rect.top));
    const int left = Device(Near(rect.left));
    bottom = Device(bottom + 1) - 1;
    right = Device(right + 1) - 1;
    Fill(left + w, top + w, right - w, bottom - w, pen_.fill);
    Fill(left, top, right, std::min(top + w - 1, bottom), pen_.color);
    Fill(left, std::max(bottom - w + 1, top), right, bottom, pen_.color);
    Fill(left, top, std::min(left + w - 1, right), bottom, pen_.color);
    Fill(std::max(right - w + 1, left), top, right, bottom, pen_.color);
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
    RunRect(rect);
    Record(Op{Op::kRect, pen_, rect, {}, {}, {}});
    NotifyChanged();
    return 0;
}

void Canvas::RunLine(Point start, Point end)
{
    const int d = PenDevice();
    if (start.x == end.x) {
        // The chart's grid: one box, no per-pixel stamping.
        const int x = Across(start.x);
        Fill(x, Device(std::min(start.y, end.y)), x + d - 1, Device(std::max(start.y, end.y) + 1) - 1, pen_.color);
        return;
    }
    if (start.y == end.y) {
        const int y = Across(start.y);
        Fill(Device(std::min(start.x, end.x)), y, Device(std::max(start.x, end.x) + 1) - 1, y + d - 1, pen_.color);
        return;
    }
    // Bresenham between the ends' brush corners, on the device, clipped by Fill.
    int x = Across(start.x);
    int y = Across(start.y);
    const int endX = Across(end.x);
    const int endY = Across(end.y);
    const long long dx = std::llabs(static_cast<long long>(endX) - x);
    const long long dy = -std::llabs(static_cast<long long>(endY) - y);
    const int sx = x < endX ? 1 : -1;
    const int sy = y < endY ? 1 : -1;
    long long err = dx + dy;
    for (;;) {
        Fill(x, y, x + d - 1, y + d - 1, pen_.color);
        if (x == endX && y == endY) {
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

int Canvas::DrawLine(Point start, Point end)
{
    start = Near(start);
    end = Near(end);
    // A slanted line far outside the canvas still walks its length, so its length is
    // bounded to keep a wild point from stalling the caller.
    if (start.x != end.x && start.y != end.y &&
        std::llabs(static_cast<long long>(end.x) - start.x) + std::llabs(static_cast<long long>(end.y) - start.y) >
            1'000'000) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    RunLine(start, end);
    Record(Op{Op::kLine, pen_, {}, start, end, {}});
    NotifyChanged();
    return 0;
}

void Canvas::RunPoint(Point point)
{
    const int d = PenDevice();
    const int x0 = Across(point.x);
    const int y0 = Across(point.y);
    // Pixel centres against the disc's centre, in half device pixels so that every width
    // stays exact: the disc is centred on the middle of its d x d box.
    const long long centre2x = 2LL * x0 + d;
    const long long centre2y = 2LL * y0 + d;
    for (int y = y0; y < y0 + d; ++y) {
        for (int x = x0; x < x0 + d; ++x) {
            const long long ox = 2LL * x + 1 - centre2x;
            const long long oy = 2LL * y + 1 - centre2y;
            if (ox * ox + oy * oy <= static_cast<long long>(d) * d) {
                Fill(x, y, x, y, pen_.color);
            }
        }
    }
}

int Canvas::DrawPoint(Point point)
{
    point = Near(point);
    std::lock_guard lock(lock_);
    RunPoint(point);
    Record(Op{Op::kPoint, pen_, {}, point, {}, {}});
    NotifyChanged();
    return 0;
}

int Canvas::DrawText(const char *text, Point point, int alignment)
{
    if (text == nullptr || alignment != UI_ALIGN_CENTER) {
        return UI_ERR_BAD_ARGUMENT;
    }
    std::lock_guard lock(lock_);
    Op op{Op::kText, pen_, {}, point, {}, text};
    Run(op);
    Record(std::move(op));
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
