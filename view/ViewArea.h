#pragma once
// The view AREA(0): a framed surface whose drawing area (inside a one-pixel
// border) holds a back buffer, with the four marquee lines drawn above it.
// It only turns mouse and drop events into view coordinates and file lists;
// what they mean is PictureView's business.
#include "Surface.h"

#include <QRgb>
#include <QWidget>

#include <array>

struct MarqueeLine {
    float X1 = 0, Y1 = 0, X2 = 0, Y2 = 0; // view coordinates
};

class ViewArea : public QWidget {
    Q_OBJECT
public:
    explicit ViewArea(QWidget* parent = nullptr);

    // The drawing area's size (the widget less its border).
    int DrawWidth() const { return std::max(0, width() - 2); }
    int DrawHeight() const { return std::max(0, height() - 2); }

    // The back buffer, remade (as background) whenever the drawing area's
    // size has changed; a widget not yet shown has its size but no resize event.
    platform::Surface& BackBuffer();
    const platform::Surface& BackBuffer() const { return back_; }
    void Cls();
    void Refresh(const QRect& dirty = QRect());

    std::array<MarqueeLine, 4> SelLine{};
    bool SelLinesVisible = false;
    QRgb SelLineColour = qRgb(255, 255, 255);
    QColor BackColor = QColor(0x80, 0x80, 0x80);

signals:
    // button: 1 left, 2 right, 4 middle; x, y in view coordinates.
    void mouseDown(int button, int shift, float x, float y);
    void mouseMove(int button, int shift, float x, float y);
    void filesDropped(const QStringList& paths);
    // A wheel turned or a touchpad swiped over the view: view pixels to
    // scroll by (positive: towards the picture's end), Shift giving
    // horizontal.
    void wheelScrolled(int dx, int dy);
    // The drawing area changed size: its content must be painted again.
    void drawAreaResized();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    platform::Surface back_;
};

// Local file paths of a drop, in the list's order; empty when the drop holds
// no file list (text and other data).
QStringList DroppedFiles(const class QMimeData* data);
int ButtonCode(Qt::MouseButton button);
int ShiftCode(Qt::KeyboardModifiers modifiers);
