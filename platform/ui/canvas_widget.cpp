// A canvas on screen: the drawing threads draw into the canvas's pixels under its lock;
// this widget paints a copy of them on the GUI thread.

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>

#include "platform/ui/panel.h"

namespace uicore {

CanvasWidget::CanvasWidget(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    font_.fromString(QApplication::font().toString());
    font_.setStyleStrategy(QFont::NoAntialias);
}

void CanvasWidget::Show(Canvas *canvas)
{
    canvas_ = canvas;
    canvas->Attach(this);
    // The ratio of the screen the window will open on, so that the first chart is drawn
    // at it and not drawn again when the window first paints.
    canvas->SetRatio(devicePixelRatioF());
}

void CanvasWidget::DrawText(std::uint32_t *pixels, int width, int height, double ratio, Point at, const char *text,
                            std::uint32_t rgb)
{
    QImage image(reinterpret_cast<uchar *>(pixels), width, height, width * 4, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);  // the painter works in canvas pixels, the glyphs at the device's
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setFont(font_);
    painter.setPen(QColor::fromRgb(Opaque(rgb)));
    // Centred both ways on the point: a box centred there, wide enough for any label.
    painter.drawText(QRect(at.x - 500, at.y - 100, 1000, 200), Qt::AlignCenter, QString::fromUtf8(text));
}

void CanvasWidget::Changed()
{
    if (!repaintPending_.exchange(true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                repaintPending_.store(false);
                update();
            },
            Qt::QueuedConnection);
    }
}

bool CanvasWidget::event(QEvent *event)
{
    // Moved to a screen of another ratio: the next paint draws the canvas again at it.
    if (event->type() == QEvent::ScreenChangeInternal) {
        update();
    }
    return QWidget::event(event);
}

void CanvasWidget::paintEvent(QPaintEvent *)
{
    QImage copy;
    QPainter painter(this);
    // A deep copy under the lock, painted after it: a drawing thread waits a copy, not a paint.
    if (canvas_ != nullptr) {
        canvas_->SetRatio(painter.device()->devicePixelRatioF());
        canvas_->ReadPixels([&](const std::uint32_t *pixels, int w, int h, double) {
            copy = QImage(reinterpret_cast<const uchar *>(pixels), w, h, w * 4, QImage::Format_RGB32).copy();
        });
    }
    // One canvas pixel per device pixel, from the device pixel nearest the widget's corner:
    // at a fractional ratio the corner itself may fall inside a device pixel, and a scaled
    // blit would then double or drop a row of the chart.
    const QTransform device = painter.deviceTransform();
    const QPointF corner = device.map(QPointF(0, 0));
    const QPointF shift = QPointF(std::round(corner.x()), std::round(corner.y())) - corner;
    const double sx = device.m11();
    const double sy = device.m22();
    if (device.type() <= QTransform::TxScale && sx > 0 && sy > 0) {
        painter.setWorldTransform(QTransform(1 / sx, 0, 0, 1 / sy, shift.x() / sx, shift.y() / sy), true);
    }
    painter.drawImage(0, 0, copy);
}

}  // namespace uicore
