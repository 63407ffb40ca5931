#include "ViewArea.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QAbstractSlider>
#include <QKeyEvent>
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
    if (back_.size() != QSize(DrawWidth(), DrawHeight()) || back_.devicePixelRatio() != Ratio()) {
        back_ = platform::MakeSurface(DrawWidth(), DrawHeight());
        back_.setDevicePixelRatio(Ratio());
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
        update(QRectF(dirty.x() / Ratio() + 1, dirty.y() / Ratio() + 1, dirty.width() / Ratio(), dirty.height() / Ratio())
                   .toAlignedRect());
}

void ViewArea::wheelEvent(QWheelEvent* event)
{
    // A notch (120 eighths of a degree) scrolls three lines of 20 pixels; a
    // touchpad's pixel deltas are taken as they come.
    if (event->modifiers() & Qt::ControlModifier) {
        // A notch is one zoom step; a touchpad's small steps add up to one.
        zoomDelta_ += event->angleDelta().y();
        const int steps = zoomDelta_ / 120;
        zoomDelta_ -= steps * 120;
        event->accept();
        if (steps)
            emit wheelZoomed(steps, (event->position() - QPointF(1, 1)) * Ratio());
        return;
    }
    QPoint d = event->pixelDelta() * Ratio();
    if (d.isNull())
        d = event->angleDelta() * 60 / 120;
    if (event->modifiers() & Qt::ShiftModifier)
        d = QPoint(d.y() ? d.y() : d.x(), 0);
    if (d.isNull()) {
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
    // The frame fills the outermost widget pixels, so that no device-pixel
    // ratio rounds part of it away.
    // With the focus (the arrow keys then scroll) the frame takes the
    // highlight colour.
    const QColor frame = hasFocus() ? palette().color(QPalette::Highlight) : QColor(0x40, 0x40, 0x40);
    p.fillRect(0, 0, width(), 1, frame);
    p.fillRect(0, height() - 1, width(), 1, frame);
    p.fillRect(0, 0, 1, height(), frame);
    p.fillRect(width() - 1, 0, 1, height(), frame);
    const double k = Ratio();
    const QRectF inner(1, 1, DrawWidth() / k, DrawHeight() / k);
    p.setClipRect(inner.intersected(QRectF(event->rect())));
    const platform::Surface& back = BackBuffer();
    if (!back.isNull())
        p.drawImage(QPointF(1, 1), back); // device pixel for device pixel
    if (BrushCentre) {
        // Dark inside light, so that it shows on any picture.
        const QPointF c(BrushCentre->x() / k + 1, BrushCentre->y() / k + 1);
        const double r = std::max(1.0, BrushRadius / k);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(255, 255, 255, 200), 3));
        p.drawEllipse(c, r, r);
        p.setPen(QPen(QColor(0, 0, 0, 220), 1));
        p.drawEllipse(c, r, r);
        p.setRenderHint(QPainter::Antialiasing, false);
    }
    if (!SelLinesVisible)
        return;
    // The lines are axis-parallel, one device pixel wide, both ends
    // included, and clipped by the drawing area.
    for (const MarqueeLine& l : SelLine) {
        const float x0 = std::min(l.X1, l.X2), x1 = std::max(l.X1, l.X2);
        const float y0 = std::min(l.Y1, l.Y2), y1 = std::max(l.Y1, l.Y2);
        const QRectF r(x0 / k + 1, y0 / k + 1, (x1 - x0 + 1) / k, (y1 - y0 + 1) / k);
        p.fillRect(r, QColor::fromRgb(SelLineColour));
    }
}

QPointF ViewArea::ViewPoint(QPointF widget) const
{
    // The device pixel under the pointer, counted from the drawing area's corner.
    return QPointF(std::floor((widget.x() - 1) * Ratio()), std::floor((widget.y() - 1) * Ratio()));
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

std::optional<QPointF> ViewArea::PointerViewPoint() const
{
    if (!pointer_)
        return std::nullopt;
    return ViewPoint(*pointer_);
}

void ViewArea::mousePressEvent(QMouseEvent* event)
{
    pointer_ = event->position();
    if (event->button() == Qt::MiddleButton || (event->button() == Qt::LeftButton && spaceHeld_)) {
        panFrom_ = event->position();
        setCursor(Qt::ClosedHandCursor);
        return;
    }
    const QPointF p = ViewPoint(event->position());
    emit mouseDown(ButtonCode(event->button()), ShiftCode(event->modifiers()), float(p.x()), float(p.y()));
}

void ViewArea::mouseMoveEvent(QMouseEvent* event)
{
    pointer_ = event->position();
    if (panFrom_) {
        // The picture follows the pointer; the remainder of a device pixel
        // is kept for the next move.
        const QPoint d = ((*panFrom_ - event->position()) * Ratio()).toPoint();
        *panFrom_ -= QPointF(d) / Ratio();
        if (!d.isNull())
            emit wheelScrolled(d.x(), d.y());
    }
    const QPointF p = ViewPoint(event->position());
    emit mouseMove(0, ShiftCode(event->modifiers()), float(p.x()), float(p.y()));
}

void ViewArea::mouseReleaseEvent(QMouseEvent* event)
{
    if (panFrom_) {
        if (event->buttons() & (Qt::MiddleButton | Qt::LeftButton))
            return;
        panFrom_.reset();
        if (spaceHeld_)
            setCursor(Qt::OpenHandCursor);
        else
            unsetCursor();
        return;
    }
    const QPointF p = ViewPoint(event->position());
    emit mouseUp(ButtonCode(event->button()), ShiftCode(event->modifiers()), float(p.x()), float(p.y()));
}

void ViewArea::keyPressEvent(QKeyEvent* event)
{
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const Qt::Orientation across = shift ? Qt::Horizontal : Qt::Vertical;
    switch (event->key()) {
    case Qt::Key_Left: emit keyScrolled(Qt::Horizontal, QAbstractSlider::SliderSingleStepSub); break;
    case Qt::Key_Right: emit keyScrolled(Qt::Horizontal, QAbstractSlider::SliderSingleStepAdd); break;
    case Qt::Key_Up: emit keyScrolled(Qt::Vertical, QAbstractSlider::SliderSingleStepSub); break;
    case Qt::Key_Down: emit keyScrolled(Qt::Vertical, QAbstractSlider::SliderSingleStepAdd); break;
    case Qt::Key_PageUp: emit keyScrolled(across, QAbstractSlider::SliderPageStepSub); break;
    case Qt::Key_PageDown: emit keyScrolled(across, QAbstractSlider::SliderPageStepAdd); break;
    case Qt::Key_Home: emit keyScrolled(across, QAbstractSlider::SliderToMinimum); break;
    case Qt::Key_End: emit keyScrolled(across, QAbstractSlider::SliderToMaximum); break;
    case Qt::Key_Space:
        if (!event->isAutoRepeat()) {
            spaceHeld_ = true;
            if (!panFrom_)
                setCursor(Qt::OpenHandCursor);
        }
        break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void ViewArea::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Space || event->isAutoRepeat()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    spaceHeld_ = false;
    if (!panFrom_)
        unsetCursor();
}

void ViewArea::focusInEvent(QFocusEvent*) { update(); }

void ViewArea::focusOutEvent(QFocusEvent*)
{
    spaceHeld_ = false;
    if (!panFrom_)
        unsetCursor();
    update();
}

void ViewArea::leaveEvent(QEvent*)
{
    if (!panFrom_)
        pointer_.reset();
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
