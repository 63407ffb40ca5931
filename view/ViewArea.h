#pragma once
// The view AREA(0): a framed surface whose drawing area (inside a one-pixel
// border) holds a back buffer, with the four marquee lines drawn above it.
// It only turns mouse and drop events into view coordinates and file lists;
// what they mean is PictureView's business. View coordinates count device
// pixels: on a screen of device-pixel ratio 2 the back buffer has twice the
// widget's width, so a picture at 100 % is drawn one pixel per screen pixel.
#include "Surface.h"

#include <QRgb>
#include <QWidget>

#include <array>
#include <optional>

struct MarqueeLine {
    float X1 = 0, Y1 = 0, X2 = 0, Y2 = 0; // view coordinates
};

class ViewArea : public QWidget {
    Q_OBJECT
public:
    explicit ViewArea(QWidget* parent = nullptr);

    // Device pixels per widget pixel.
    double Ratio() const { return devicePixelRatioF(); }
    // The drawing area's size in device pixels (the widget less its border).
    int DrawWidth() const { return std::max(0, int((width() - 2) * Ratio())); }
    int DrawHeight() const { return std::max(0, int((height() - 2) * Ratio())); }

    // The back buffer, remade (as background) whenever the drawing area's
    // size has changed; a widget not yet shown has its size but no resize event.
    platform::Surface& BackBuffer();
    const platform::Surface& BackBuffer() const { return back_; }
    void Cls();
    void Refresh(const QRect& dirty = QRect());
    // The view point under the pointer while it is over the view, so that
    // what shows the pointer's pixel can follow a scroll or a zoom.
    std::optional<QPointF> PointerViewPoint() const;

    std::array<MarqueeLine, 4> SelLine{};
    bool SelLinesVisible = false;
    QRgb SelLineColour = qRgb(255, 255, 255);
    QColor BackColor = QColor(0x80, 0x80, 0x80);
    // The brush's outline: its centre and radius in view coordinates.
    std::optional<QPointF> BrushCentre;
    float BrushRadius = 0;

signals:
    // button: 1 left, 2 right, 4 middle; x, y in view coordinates. A press
    // that pans (the middle button, or Space held) is not reported.
    void mouseDown(int button, int shift, float x, float y);
    void mouseMove(int button, int shift, float x, float y);
    void mouseUp(int button, int shift, float x, float y);
    void filesDropped(const QStringList& paths);
    // A wheel turned, a touchpad swiped or the picture dragged (middle
    // button, or Space and the left button): view pixels to scroll by
    // (positive: towards the picture's end), Shift+wheel giving horizontal.
    void wheelScrolled(int dx, int dy);
    // With the focus on the view: arrows step, PgUp/PgDn page, Home/End go
    // to the top or bottom (with Shift: the left or right end).
    void keyScrolled(Qt::Orientation orientation, int action);
    // Ctrl and the wheel: zoom in (steps > 0) or out about the view point at.
    void wheelZoomed(int steps, QPointF at);
    // The drawing area changed size: its content must be painted again.
    void drawAreaResized();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QPointF ViewPoint(QPointF widget) const;

    platform::Surface back_;
    int zoomDelta_ = 0; // eighths of a degree not yet a whole zoom step
    std::optional<QPointF> pointer_; // widget coordinates
    bool spaceHeld_ = false;
    std::optional<QPointF> panFrom_; // widget coordinates, while panning
};

// Local file paths of a drop, in the list's order; empty when the drop holds
// no file list (text and other data).
QStringList DroppedFiles(const class QMimeData* data);
int ButtonCode(Qt::MouseButton button);
int ShiftCode(Qt::KeyboardModifiers modifiers);
