// A canvas on screen: the drawing threads draw into the canvas's pixels under its lock;
// this widget paints a copy of them on the GUI thread.

#include <QApplication>
#include <QImage>
#include <QPainter>

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
}

void CanvasWidget::DrawText(std::uint32_t *pixels, int width, int height, Point at, const char *text, std::uint32_t rgb)
{
    QImage image(reinterpret_cast<uchar *>(pixels), width, height, width * 4, QImage::Format_RGB32);
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

void CanvasWidget::paintEvent(QPaintEvent *)
{
    QImage copy;
    // A deep copy under the lock, painted after it: a drawing thread waits a copy, not a paint.
    if (canvas_ != nullptr) {
        canvas_->ReadPixels([&](const std::uint32_t *pixels, int w, int h) {
            copy = QImage(reinterpret_cast<const uchar *>(pixels), w, h, w * 4, QImage::Format_RGB32).copy();
        });
    }
    QPainter(this).drawImage(0, 0, copy);
}

}  // namespace uicore
