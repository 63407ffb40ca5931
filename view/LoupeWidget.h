#pragma once
// The loupe: a framed 74 x 74 surface whose 72 x 72 drawing area shows the
// 9 x 9 pixels around the pointer eight times enlarged, and the marker
// Shape1, a 10 x 10 outline at (31, 31) framing the pointer's pixel.
#include "Surface.h"

#include <QRgb>
#include <QWidget>

class LoupeWidget : public QWidget {
public:
    explicit LoupeWidget(QWidget* parent = nullptr);

    static constexpr int kDraw = 72;
    platform::Surface& Image() { return image_; }
    const platform::Surface& Image() const { return image_; }
    void Cls();
    void Refresh() { update(); }

    QRgb Shape1BorderColor = qRgb(0, 0, 0);
    QColor BackColor = QColor(0xF0, 0xF0, 0xF0);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    platform::Surface image_;
};
