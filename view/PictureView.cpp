#include "PictureView.h"

#include "LoupeWidget.h"
#include "PictureFiles.h"
#include "ViewArea.h"

#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int kLoupeSpan = 9;  // source pixels
constexpr int kLoupeScale = 8; // enlargement

} // namespace

double MarqueeColours::Uniform()
{
    return double(gen_() - std::minstd_rand::min())
        / (double(std::minstd_rand::max() - std::minstd_rand::min()) + 1.0);
}

QRgb MarqueeColours::Next()
{
    const double r = Uniform(), g = Uniform(), b = Uniform();
    auto channel = [](double v) { return int(std::nearbyint(v * 255)); };
    return qRgb(channel(r), channel(g), channel(b));
}

LoupeBlock LoupeClip(int64_t px, int64_t py, int64_t Wp, int64_t Hp)
{
    //  picture:   |<- sx -4 ... px ... +4 ->|
    //  clipped at the left edge: dx = -sx columns of background first, so the
    //  pointer's pixel always lands in source column 4 (loupe 32..39).
    LoupeBlock b{px - 4, py - 4, kLoupeSpan, kLoupeSpan, 0, 0};
    if (b.sx < 0) {
        b.dx = -b.sx;
        b.w = kLoupeSpan + b.sx;
        b.sx = 0;
    }
    if (b.sx + b.w > Wp)
        b.w = Wp - b.sx;
    if (b.sy < 0) {
        b.dy = -b.sy;
        b.v = kLoupeSpan + b.sy;
        b.sy = 0;
    }
    if (b.sy + b.v > Hp)
        b.v = Hp - b.sy;
    return b;
}

PictureView::PictureView(ViewArea* area, QScrollBar* hscr, QScrollBar* vscr, LoupeWidget* loupe,
                         QObject* parent)
    : QObject(parent), area_(area), hscr_(hscr), vscr_(vscr), loupe_(loupe)
{
    for (QScrollBar* bar : {hscr_, vscr_}) {
        bar->setMinimum(0);
        bar->setMaximum(0);
        bar->setTracking(true); // the view follows the thumb as it is dragged
        bar->setVisible(false);
    }
    connect(hscr_, &QScrollBar::valueChanged, this, &PictureView::HSCR_Change);
    connect(vscr_, &QScrollBar::valueChanged, this, &PictureView::VSCR_Change);
    connect(area_, &ViewArea::mouseDown, this,
            [this](int button, int shift, float x, float y) { AREA_MouseDown(0, button, shift, x, y); });
    connect(area_, &ViewArea::drawAreaResized, this, &PictureView::PaintView);
    connect(area_, &ViewArea::wheelScrolled, this, [this](int dx, int dy) {
        hscr_->setValue(hscr_->value() + dx);
        vscr_->setValue(vscr_->value() + dy);
    });
    connect(area_, &ViewArea::mouseMove, this,
            [this](int button, int shift, float x, float y) { AREA_MouseMove(0, button, shift, x, y); });
}

int PictureView::H() const { return hscr_->value(); }
int PictureView::V() const { return vscr_->value(); }

void PictureView::FitBar(QScrollBar* bar, int picture, int view, bool resetValue)
{
    // An arrow steps a tenth of the view (16 pixels at least), a click on
    // the track the view less one step.
    bar->setSingleStep(std::max(16, view / 10));
    bar->setPageStep(std::max(1, view - bar->singleStep()));
    if (picture > view) {
        bar->setVisible(true);
        if (resetValue)
            bar->setValue(0); // before the new maximum, so it is never out of range
        bar->setMaximum(picture - view); // clamps a position beyond the new range
    } else {
        bar->setVisible(false);
        bar->setValue(0);
    }
}

bool PictureView::SetupView(const QString& path, platform::LoadReport* report)
{
    // The new picture is decoded beside the old one and takes its place only
    // when it loaded: a failed open must not throw away unsaved retouching.
    platform::PictureOrigin origin;
    platform::Surface loaded = files::LoadPictureShowingProgress(area_->window(), path, report,
                                                                 files::kProgressDelayMs, &origin);
    if (loaded.isNull()) {
        if (PicImg.isNull())
            area_->Cls();
        return false;
    }
    area_->Cls();
    PicImg = std::move(loaded);
    ShownPath = path;
    Source = files::PictureSource{std::move(origin), {}};
    emit pictureLoaded(path);
    FitBar(hscr_, PicImg.width(), area_->DrawWidth(), true);
    FitBar(vscr_, PicImg.height(), area_->DrawHeight(), true);
    PaintView();
    return true;
}

void PictureView::FitView()
{
    if (PicImg.isNull()) {
        area_->Cls();
        return;
    }
    FitBar(hscr_, PicImg.width(), area_->DrawWidth(), false);
    FitBar(vscr_, PicImg.height(), area_->DrawHeight(), false);
    PaintView();
}

void PictureView::PaintView()
{
    platform::Surface& back = area_->BackBuffer();
    platform::BitBlt(back, 0, 0, back.width(), back.height(), PicImg, H(), V());
    area_->Refresh();
}

void PictureView::HSCR_Change()
{
    PaintView();
    PlaceSelLines(Live);
}

void PictureView::VSCR_Change()
{
    PaintView();
    PlaceSelLines(Live);
}

int64_t PictureView::PicturePoint(float v, int scroll) const
{
    return static_cast<int64_t>(std::nearbyint(double(v) + scroll));
}

void PictureView::AREA_MouseDown(int index, int button, int shift, float x, float y)
{
    const int32_t px = static_cast<int32_t>(PicturePoint(x, H()));
    const int32_t py = static_cast<int32_t>(PicturePoint(y, V()));
    if (button == 1 && Selecting == 0) {
        Selecting = 1;
        Live = {px, py, px, py};
        AREA_MouseMove(index, button, shift, x, y);
        ShowSelLines(true);
    } else if (button == 1) {
        Committed = {Live.X1, Live.Y1, px, py};
        Selecting = 0;
    } else if (button == 2) {
        CancelSelection();
    }
}

void PictureView::CancelSelection()
{
    Selecting = 0;
    ShowSelLines(false);
}

void PictureView::AREA_MouseMove(int, int, int, float x, float y)
{
    // The loupe. Picture coordinates are 32-bit here, so a picture wider or
    // higher than 32767 pixels is magnified up to its far edge.
    const LoupeBlock b = LoupeClip(PicturePoint(x, H()), PicturePoint(y, V()), PicImg.width(),
                                   PicImg.height());
    loupe_->Cls();
    if (b.w > 0 && b.v > 0)
        platform::StretchBlt(loupe_->Image(), int(kLoupeScale * b.dx), int(kLoupeScale * b.dy), PicImg,
                             int(b.sx), int(b.sy), int(b.w), int(b.v), kLoupeScale);
    loupe_->Refresh();

    // The rubber band.
    if (Selecting == 1) {
        Live.X2 = static_cast<int32_t>(PicturePoint(x, H()));
        Live.Y2 = static_cast<int32_t>(PicturePoint(y, V()));
        PlaceSelLines(Live);
    }
}

void PictureView::ShowSelLines(bool visible)
{
    area_->SelLinesVisible = visible;
    area_->Refresh();
}

void PictureView::PlaceSelLines(const retouch::SelRect& r)
{
    // Once around the rectangle: anchor row, moving column, moving row,
    // anchor column. Whichever corner lies where, the outline is the same.
    const float x1 = float(int64_t(r.X1) - H()), y1 = float(int64_t(r.Y1) - V());
    const float x2 = float(int64_t(r.X2) - H()), y2 = float(int64_t(r.Y2) - V());
    area_->SelLine[0] = {x1, y1, x2, y1};
    area_->SelLine[1] = {x2, y1, x2, y2};
    area_->SelLine[2] = {x2, y2, x1, y2};
    area_->SelLine[3] = {x1, y2, x1, y1};
    if (area_->SelLinesVisible)
        area_->Refresh();
}

void PictureView::TMC_Timer()
{
    const QRgb colour = colours_.Next();
    loupe_->Shape1BorderColor = colour;
    loupe_->update();
    area_->SelLineColour = Selecting == 1 ? colour : qRgb(255, 255, 255);
    if (area_->SelLinesVisible)
        area_->Refresh();
}
