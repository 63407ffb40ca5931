#include "ViewArea.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>
#include <QWheelEvent>

#include <cmath>

ViewArea::ViewArea(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

platform::Surface& ViewArea::BackBuffer()
{
    if (back_.size() != QSize(DrawWidth(), DrawHeight())) {
        back_ = platform::MakeSurface(DrawWidth(), DrawHeight());
        platform::Cls(back_, BackColor);
    }
    return back_;
}

void ViewArea::Cls()
{
    platform::Cls(BackBuffer(), BackColor);
    Refresh();
}

void ViewArea::Refresh(const QRect& dirty)
{
    if (dirty.isNull())
        update();
    else
        update(dirty.translated(1, 1));
}

void ViewArea::wheelEvent(QWheelEvent* event)
{
    // A notch (120 eighths of a degree) scrolls three lines of 20 pixels; a
    // touchpad's pixel deltas are taken as they come.
    QPoint d = event->pixelDelta();
    if (d.isNull())
        d = event->angleDelta() * 60 / 120;
    if (event->modifiers() & Qt::ShiftModifier)
        d = QPoint(d.y() ? d.y() : d.x(), 0);
    if (d.isNull() || (event->modifiers() & Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    event->accept();
    emit wheelScrolled(-d.x(), -d.y());
}

void ViewArea::resizeEvent(QResizeEvent*)
{
    if (back_.size() != QSize(DrawWidth(), DrawHeight())) {
        BackBuffer();
        emit drawAreaResized();
    }
}

void ViewArea::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.drawRect(0, 0, width() - 1, height() - 1);
    const QRect inner(1, 1, DrawWidth(), DrawHeight());
    const QRect dirty = event->rect() & inner;
    const platform::Surface& back = BackBuffer();
    if (!back.isNull() && !dirty.isEmpty())
        p.drawImage(dirty, back, dirty.translated(-1, -1));
    if (!SelLinesVisible)
        return;
    // The lines are axis-parallel, one pixel wide, both ends included, and
    // clipped by the drawing area.
    p.setClipRect(inner);
    for (const MarqueeLine& l : SelLine) {
        const float x0 = std::min(l.X1, l.X2), x1 = std::max(l.X1, l.X2);
        const float y0 = std::min(l.Y1, l.Y2), y1 = std::max(l.Y1, l.Y2);
        const QRectF r(x0 + 1, y0 + 1, x1 - x0 + 1, y1 - y0 + 1);
        p.fillRect(r, QColor::fromRgb(SelLineColour));
    }
}

int ButtonCode(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
    }
}

int ShiftCode(Qt::KeyboardModifiers m)
{
    return (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) | (m & Qt::AltModifier ? 4 : 0);
}

void ViewArea::mousePressEvent(QMouseEvent* event)
{
    const QPointF p = event->position();
    emit mouseDown(ButtonCode(event->button()), ShiftCode(event->modifiers()),
                   std::floor(float(p.x())) - 1, std::floor(float(p.y())) - 1);
}

void ViewArea::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF p = event->position();
    emit mouseMove(0, ShiftCode(event->modifiers()), std::floor(float(p.x())) - 1,
                   std::floor(float(p.y())) - 1);
}

QStringList DroppedFiles(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    return paths;
}

void ViewArea::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ViewArea::dragMoveEvent(QDragMoveEvent* event)
{
    if (!DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ViewArea::dropEvent(QDropEvent* event)
{
    const QStringList files = DroppedFiles(event->mimeData());
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    emit filesDropped(files);
}
