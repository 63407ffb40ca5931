#include "LoupeWidget.h"

#include <QPainter>

LoupeWidget::LoupeWidget(QWidget* parent) : QWidget(parent)
{
    setFixedSize(kDraw + 2, kDraw + 2);
    image_ = platform::MakeSurface(kDraw, kDraw);
    Cls();
}

void LoupeWidget::Cls() { platform::Cls(image_, BackColor); }

void LoupeWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // The frame fills the outermost widget pixels, so that no device-pixel
    // ratio rounds part of it away.
    const QColor frame(0x40, 0x40, 0x40);
    p.fillRect(0, 0, width(), 1, frame);
    p.fillRect(0, height() - 1, width(), 1, frame);
    p.fillRect(0, 0, 1, height(), frame);
    p.fillRect(width() - 1, 0, 1, height(), frame);
    p.drawImage(1, 1, image_);
    // Shape1: one pixel wide, 10 x 10 at (31, 31) of the drawing area.
    const QColor c = QColor::fromRgb(Shape1BorderColor);
    const int o = 1 + 31;
    p.fillRect(o, o, 10, 1, c);
    p.fillRect(o, o + 9, 10, 1, c);
    p.fillRect(o, o, 1, 10, c);
    p.fillRect(o + 9, o, 1, 10, c);
}
