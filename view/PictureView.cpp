#include "PictureView.h"

#include "LetterFill.h"
#include "LoupeWidget.h"
#include "Retouch.h"
#include "Unblend.h"
#include "PictureFiles.h"
#include "ViewArea.h"

#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringList>

#include <climits>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
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

PictureView::PictureView(document::PictureDocument* doc, ViewArea* area, QScrollBar* hscr, QScrollBar* vscr,
                         LoupeWidget* loupe, QObject* parent)
    : QObject(parent), doc_(doc), area_(area), hscr_(hscr), vscr_(vscr), loupe_(loupe)
{
    connect(doc_, &document::PictureDocument::pictureReplaced, this, &PictureView::PictureReplaced);
    connect(doc_, &document::PictureDocument::pictureChanged, this, &PictureView::PictureChanged);
    connect(doc_, &document::PictureDocument::lettersChanged, this, &PictureView::LettersChanged);
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
    connect(area_, &ViewArea::wheelZoomed, this, [this](int steps, QPointF at) { ZoomStep(steps, at); });
    connect(area_, &ViewArea::mouseMove, this,
            [this](int button, int shift, float x, float y) { AREA_MouseMove(0, button, shift, x, y); });
    connect(area_, &ViewArea::mouseUp, this,
            [this](int button, int shift, float x, float y) { AREA_MouseUp(0, button, shift, x, y); });
    connect(area_, &ViewArea::keyScrolled, this, [this](Qt::Orientation o, int action) {
        (o == Qt::Horizontal ? hscr_ : vscr_)->triggerAction(QAbstractSlider::SliderAction(action));
    });
}

int PictureView::H() const { return hscr_->value(); }
int PictureView::V() const { return vscr_->value(); }

void PictureView::FitBar(QScrollBar* bar, int64_t picture, int view, int64_t wanted, bool outside)
{
    // An arrow steps a tenth of the view (16 pixels at least), a click on
    // the track the view less one step.
    bar->setSingleStep(std::max(16, view / 10));
    bar->setPageStep(std::max(1, view - bar->singleStep()));
    const int64_t end = std::max<int64_t>(0, picture - view);
    if (!outside)
        wanted = std::clamp<int64_t>(wanted, 0, end);
    const int lo = int(std::clamp<int64_t>(wanted, INT_MIN / 2, 0));
    const int hi = int(std::clamp<int64_t>(wanted, end, INT_MAX / 2));
    bar->setRange(lo, hi);
    bar->setValue(int(std::clamp<int64_t>(wanted, lo, hi)));
    bar->setVisible(hi > lo);
}

document::Outcome PictureView::SetupView(const QString& path)
{
    const document::Outcome outcome = doc_->Load(path);
    if (!outcome.done() && Pic().isNull())
        area_->Cls();
    return outcome;
}

PictureView::~PictureView()
{
    if (judging_) {
        judging_->disconnect(this);
        judging_->wait();
        delete judging_;
    }
}

void PictureView::PictureReplaced()
{
    ++pictureGeneration_;
    judged_ = {};
    area_->Cls();
    reductions_.Build(Pic());
    EndGesture();
    // As image viewers do: the whole picture first, never enlarged.
    fit_ = Pic().width() > area_->DrawWidth() || Pic().height() > area_->DrawHeight();
    scale_ = fit_ ? FitScale() : 1.0;
    pressAt_.reset();
    zoomAnchor_.reset();
    FitBars(true);
    PaintView();
    emit infoChanged();
}

void PictureView::FitView()
{
    if (Pic().isNull()) {
        area_->Cls();
        return;
    }
    if (fit_)
        scale_ = FitScale();
    {
        const QSignalBlocker h(hscr_), v(vscr_);
        FitBars(false);
    }
    PaintView();
    PlaceSelLines(live_);
    if (fit_)
        emit infoChanged(); // the zoom shown under the loupe
}

int64_t PictureView::ContentWidth() const { return int64_t(std::ceil(Pic().width() * scale_)); }
int64_t PictureView::ContentHeight() const { return int64_t(std::ceil(Pic().height() * scale_)); }

void PictureView::FitBars(bool resetValues)
{
    FitBars(resetValues ? 0 : H(), resetValues ? 0 : V(), false);
}

void PictureView::FitBars(int64_t h, int64_t v, bool outside)
{
    FitBar(hscr_, ContentWidth(), area_->DrawWidth(), h, outside);
    FitBar(vscr_, ContentHeight(), area_->DrawHeight(), v, outside);
}

const std::vector<double> PictureView::kZoomLevels{1.0 / 16, 1.0 / 8, 1.0 / 4, 1.0 / 3, 1.0 / 2, 2.0 / 3,
                                                   1.0,      2.0,       3.0,       4.0,       6.0,       8.0};

double PictureView::FitScale() const
{
    if (Pic().isNull())
        return 1.0;
    // The whole picture in the view, never enlarged.
    return std::min({1.0, double(area_->DrawWidth()) / Pic().width(), double(area_->DrawHeight()) / Pic().height()});
}

void PictureView::ZoomTo(double scale, QPointF about)
{
    if (Pic().isNull() || scale <= 0)
        return;
    // The picture pixel under about stays under it: exactly from 100 % up,
    // among the pixels its view pixel covers below. Zoomed again without a
    // move, the pixel first pointed at is kept, not the first of those a
    // reduced view pixel covers. Near an edge the view may show background.
    auto covers = [this](double point, int scroll, int64_t pixel) {
        const int64_t first = PicturePoint(float(point), scroll);
        return first == pixel || (first < pixel && pixel < PicturePoint(float(point + 1), scroll));
    };
    QPoint target(int(PictureX(float(about.x()))), int(PictureY(float(about.y()))));
    if (zoomAnchor_ && zoomAnchor_->first == about && covers(about.x(), H(), zoomAnchor_->second.x())
        && covers(about.y(), V(), zoomAnchor_->second.y()))
        target = zoomAnchor_->second;
    zoomAnchor_ = std::pair(about, target);
    scale_ = scale;
    fit_ = false;
    auto place = [&](double point, int64_t pixel) {
        const int64_t guess = int64_t(std::floor(double(pixel) * scale_ - point));
        for (const int64_t d : {0, -1, 1, -2, 2})
            if (covers(point, int(guess + d), pixel))
                return guess + d;
        return guess;
    };
    {
        // One paint for the whole change, not one for each bar's.
        const QSignalBlocker h(hscr_), v(vscr_);
        FitBars(place(about.x(), target.x()), place(about.y(), target.y()), true);
    }
    Moved();
    emit infoChanged();
}

void PictureView::ZoomStep(int steps, QPointF about)
{
    std::vector<double> levels = kZoomLevels;
    levels.push_back(FitScale());
    std::sort(levels.begin(), levels.end());
    double next = scale_;
    for (; steps > 0; --steps) {
        const auto it = std::upper_bound(levels.begin(), levels.end(), next * (1 + 1e-9));
        next = it == levels.end() ? levels.back() : *it;
    }
    for (; steps < 0; ++steps) {
        const auto it = std::lower_bound(levels.begin(), levels.end(), next * (1 - 1e-9));
        next = it == levels.begin() ? levels.front() : *(it - 1);
    }
    ZoomTo(next, about);
}

void PictureView::ZoomStep(int steps) { ZoomStep(steps, QPointF(area_->DrawWidth() / 2.0, area_->DrawHeight() / 2.0)); }

void PictureView::ZoomFit()
{
    if (Pic().isNull())
        return;
    scale_ = FitScale();
    fit_ = true;
    {
        const QSignalBlocker h(hscr_), v(vscr_);
        FitBars(true);
    }
    Moved();
    emit infoChanged();
}

void PictureView::ShowLetterMask(bool on)
{
    maskShown_ = on;
    UpdateLetterMask();
    PaintView();
    if (!on)
        ShowBrush(std::nullopt);
    emit infoChanged();
}

std::optional<retouch::SelRect> PictureView::OrderedCommitted() const
{
    retouch::SelRect r = committed_;
    if (Pic().isNull() || !retouch::OrderAndClamp(r, Pic().width(), Pic().height()))
        return std::nullopt;
    return r;
}

const document::LetterMask* PictureView::ShownLetters() const
{
    if (!maskShown_ || maskFilled_ || selecting_ != 0 || !area_->SelLinesVisible)
        return nullptr;
    if (preview_)
        return &*preview_;
    if (gestureActive_ && (gesture_ == Gesture::Handle || gesture_ == Gesture::Move))
        return nullptr; // a large rectangle's letters are found once it is released
    const std::optional<retouch::SelRect> r = OrderedCommitted();
    return r && doc_->Letters().Of(*r) ? &doc_->Letters() : nullptr;
}

const std::vector<uint8_t>& PictureView::LetterMask() const
{
    static const std::vector<uint8_t> none;
    const document::LetterMask* shown = ShownLetters();
    return shown ? shown->bits : none;
}

void PictureView::UpdateLetterMask()
{
    // A newly committed rectangle starts from the letters found afresh (a
    // job of the document's when it is large); the mask of one already
    // shown stays as the user corrected it.
    const std::optional<retouch::SelRect> r = OrderedCommitted();
    if (!maskShown_ || !r || selecting_ != 0 || !area_->SelLinesVisible || doc_->Letters().Of(*r))
        return;
    doc_->DetectLetters(*r);
}

void PictureView::LettersFilled()
{
    maskFilled_ = true;
    PaintView();
}

void PictureView::LettersChanged()
{
    maskFilled_ = false;
    // Undo or redo brought back the mask of another rectangle: that
    // rectangle is the one shown again.
    const document::LetterMask& m = doc_->Letters();
    if (!m.empty() && selecting_ == 0 && !gestureActive_ && OrderedCommitted() != std::optional(m.rect)) {
        live_ = committed_ = m.rect;
        PlaceSelLines(live_);
        ShowSelLines(true);
        emit infoChanged();
    }
    PaintView();
}

void PictureView::PaintLetterMask(platform::Surface& back) const
{
    const document::LetterMask* shown = ShownLetters();
    if (!shown)
        return;
    const retouch::SelRect& rect = shown->rect;
    float vx0, vx1, vy0, vy1;
    ViewEdges(rect.X1, rect.X2, H(), &vx0, &vx1);
    ViewEdges(rect.Y1, rect.Y2, V(), &vy0, &vy1);
    const int w = rect.X2 - rect.X1 + 1;
    const std::vector<uint8_t>& repairs = RepairShown();
    const bool told = !repairs.empty();
    for (int y = std::max(0, int(vy0)); y <= std::min(back.height() - 1, int(vy1)); ++y) {
        const int64_t py = PictureY(float(y)) - rect.Y1;
        if (py < 0 || py > rect.Y2 - rect.Y1)
            continue;
        auto* row = reinterpret_cast<uint32_t*>(back.scanLine(y));
        for (int x = std::max(0, int(vx0)); x <= std::min(back.width() - 1, int(vx1)); ++x) {
            const int64_t px = PictureX(float(x)) - rect.X1;
            if (px < 0 || px >= w)
                continue;
            const size_t i = size_t(py) * size_t(w) + size_t(px);
            if (shown->bits[i]) // half magenta, or half cyan where the mark is un-blended
                row[x] = ((row[x] >> 1) & 0x7F7F7F) + (told && repairs[i] == retouch::kUnblended ? 0x007F7F : 0x7F007F) + 0xFF000000u;
        }
    }
}

const std::vector<uint8_t>& PictureView::RepairShown() const
{
    static const std::vector<uint8_t> unknown;
    const document::LetterMask* shown = ShownLetters();
    if (!shown)
        return unknown;
    const retouch::SelRect& r = shown->rect;
    // Compared only where it decides (a mask can be megapixels).
    auto fresh = [&] { return !(judged_.rect == r) || judged_.bits != shown->bits; };
    // A large rectangle's mask comes told from the job that found it.
    const std::vector<uint8_t>& told = doc_->LetterRepairs();
    if (shown == &doc_->Letters() && told.size() == shown->bits.size()) {
        if (fresh())
            Told(*shown, told);
        return repairs_;
    }
    if (preview_ && shown == &*preview_) {
        // Not told afresh while a stroke is under way: what was told of the
        // same rectangle stands meanwhile.
        return judged_.rect == r && repairs_.size() == shown->bits.size() ? repairs_ : unknown;
    }
    const int64_t area = int64_t(r.X2 - r.X1 + 1) * (r.Y2 - r.Y1 + 1);
    if (area > kJudgedLetters) {
        if (!fresh())
            return repairs_;
        if (area <= kJudgedAside && !judging_)
            JudgeAside(*shown);
        return unknown;
    }
    if (fresh())
        Told(*shown, retouch::RepairWays(document::ReadOnlyWords(Pic()), r, shown->bits));
    return repairs_;
}

void PictureView::Told(document::LetterMask mask, std::vector<uint8_t> repairs) const
{
    judged_ = std::move(mask);
    repairs_ = std::move(repairs);
    unblended_ = std::find(repairs_.begin(), repairs_.end(), retouch::kUnblended) != repairs_.end();
}

void PictureView::JudgeAside(const document::LetterMask& mask) const
{
    // The thread reads its own copy of the rectangle and the ring its fill
    // reads: the picture may change meanwhile, and is not told then.
    const retouch::SelRect& r = mask.rect;
    const QRect ring = QRect(QPoint(r.X1 - 1, r.Y1 - 1), QPoint(r.X2 + 1, r.Y2 + 1)).intersected(Pic().rect());
    struct Judgement {
        document::LetterMask mask;
        platform::Surface patch;
        std::vector<uint8_t> repairs;
    };
    auto job = std::make_shared<Judgement>();
    try {
        job->mask = mask;
    } catch (const std::bad_alloc&) {
        return;
    }
    job->patch = Pic().copy(ring);
    if (job->patch.isNull())
        return;
    const retouch::SelRect local{r.X1 - ring.x(), r.Y1 - ring.y(), r.X2 - ring.x(), r.Y2 - ring.y()};
    const uint64_t generation = pictureGeneration_;
    judging_ = QThread::create([job, local] {
        try {
            job->repairs = retouch::RepairWays(document::ReadOnlyWords(job->patch), local, job->mask.bits);
        } catch (const std::bad_alloc&) {
            job->repairs.clear(); // not told: the tint says painted over
        }
        job->patch = platform::Surface();
    });
    auto* self = const_cast<PictureView*>(this);
    connect(judging_, &QThread::finished, self, [self, job, generation] {
        self->judging_->deleteLater();
        self->judging_ = nullptr;
        const document::LetterMask* shown = self->ShownLetters();
        if (generation == self->pictureGeneration_ && shown && shown->rect == job->mask.rect
            && shown->bits == job->mask.bits)
            self->Told(std::move(job->mask), std::move(job->repairs));
        // Shown afresh: a mask changed meanwhile is told next.
        self->PaintView();
        emit self->infoChanged();
    });
    judging_->start(QThread::LowPriority);
}

void PictureView::PictureChanged(const QRect& changed)
{
    ++pictureGeneration_;
    judged_ = {};
    maskFilled_ = false;
    reductions_.Update(Pic(), changed);
    PaintView();
}

QString PictureView::InfoText() const
{
    if (Pic().isNull())
        return QString();
    QStringList lines;
    // One coordinate a line: five digits each still fit beside the view.
    lines << (Pointer ? QStringLiteral("x %1").arg(Pointer->x()) : QStringLiteral("x –"))
          << (Pointer ? QStringLiteral("y %1").arg(Pointer->y()) : QStringLiteral("y –"));
    // Narrow spaces about the ×: two five-digit sizes fit too.
    lines << QStringLiteral("%1\u202F×\u202F%2").arg(Pic().width()).arg(Pic().height());
    lines << QStringLiteral("%1 %").arg(QString::number(scale_ * 100, 'f', scale_ * 100 == std::floor(scale_ * 100) ? 0 : 1));
    if (maskShown_)
        lines << QStringLiteral("ブラシ %1").arg(brushSize_);
    if (const document::LetterMask* shown = ShownLetters();
        shown && std::none_of(shown->bits.begin(), shown->bits.end(), [](uint8_t b) { return b; }))
        lines << QStringLiteral("文字が見つかりません");
    else if (shown && !RepairShown().empty() && unblended_)
        lines << QStringLiteral("水色: 透かし");
    if (area_->SelLinesVisible) {
        retouch::SelRect r = ShowsLive() ? live_ : committed_;
        const int32_t x1 = std::min(r.X1, r.X2), x2 = std::max(r.X1, r.X2);
        const int32_t y1 = std::min(r.Y1, r.Y2), y2 = std::max(r.Y1, r.Y2);
        lines << QStringLiteral("%1,%2,").arg(x1).arg(y1) << QStringLiteral("%1,%2").arg(x2).arg(y2)
              << QStringLiteral("%1\u202F×\u202F%2").arg(int64_t(x2) - x1 + 1).arg(int64_t(y2) - y1 + 1);
    }
    return lines.join(QLatin1Char('\n'));
}

void PictureView::PaintView()
{
    platform::Surface& back = area_->BackBuffer();
    // Where the picture does not reach (a small picture, or a zoom that kept
    // a pixel near the edge under the pointer) the background shows, not
    // what was drawn there before.
    if (Pic().isNull() || H() < 0 || V() < 0 || ContentWidth() - H() < back.width()
        || ContentHeight() - V() < back.height())
        platform::Cls(back, area_->BackColor);
    if (scale_ == 1.0)
        platform::BitBlt(back, 0, 0, back.width(), back.height(), Pic(), H(), V());
    else if (!Pic().isNull())
        PaintZoomed(back, Pic(), reductions_, scale_, H(), V());
    PaintLetterMask(back);
    area_->Refresh();
}

void PictureView::HSCR_Change() { Scrolled(); }

void PictureView::VSCR_Change() { Scrolled(); }

void PictureView::Scrolled()
{
    {
        // Scrolled back from where a zoom had taken the view: the bars
        // narrow to the picture again.
        const QSignalBlocker h(hscr_), v(vscr_);
        FitBars(H(), V(), true);
    }
    Moved();
}

void PictureView::Moved()
{
    PaintView();
    PlaceSelLines(live_);
    FollowPointer();
}

void PictureView::FollowPointer()
{
    if (const auto p = area_->PointerViewPoint())
        AREA_MouseMove(0, 0, 0, float(p->x()), float(p->y()));
}

int64_t PictureView::PicturePoint(float v, int scroll) const
{
    if (scale_ == 1.0)
        return static_cast<int64_t>(std::nearbyint(double(v) + scroll));
    // The pixel whose square (or, reduced, whose share of a view pixel)
    // holds the point.
    return static_cast<int64_t>(std::floor((double(v) + scroll) / scale_));
}

void PictureView::ViewEdges(int32_t a, int32_t b, int scroll, float* va, float* vb) const
{
    //  zoom 3:   |  a  |     |  b  |     lines on the outer pixels of a and b
    //            ^lo               ^hi   (at 100 % simply a and b)
    if (scale_ == 1.0) {
        *va = float(int64_t(a) - scroll);
        *vb = float(int64_t(b) - scroll);
        return;
    }
    const int32_t lo = std::min(a, b), hi = std::max(a, b);
    const float vlo = float(std::floor(lo * scale_) - scroll);
    const float vhi = float(std::ceil((double(hi) + 1) * scale_) - 1 - scroll);
    *va = a <= b ? vlo : vhi;
    *vb = a <= b ? vhi : vlo;
}

void PictureView::AREA_MouseDown(int index, int button, int shift, float x, float y)
{
    const int32_t px = static_cast<int32_t>(PicturePoint(x, H()));
    const int32_t py = static_cast<int32_t>(PicturePoint(y, V()));
    if (button == 1 && selecting_ == 0) {
        if (!StartGesture(shift, x, y, QPoint(px, py)))
            StartRectangle(index, shift, x, y);
    } else if (button == 1) {
        // The rectangle committed is the one the marquee shows, also when
        // no move reached this pixel first (a pen, a touch).
        live_.X2 = px;
        live_.Y2 = py;
        CommitLive();
    } else if (button == 2) {
        CancelSelection();
    }
}

void PictureView::StartRectangle(int index, int shift, float x, float y)
{
    const int32_t px = static_cast<int32_t>(PicturePoint(x, H()));
    const int32_t py = static_cast<int32_t>(PicturePoint(y, V()));
    selecting_ = 1;
    live_ = {px, py, px, py};
    pressAt_ = QPointF(x, y);
    if (maskShown_)
        PaintView(); // the overlay goes with the rectangle it belonged to
    AREA_MouseMove(index, 1, shift, x, y);
    ShowSelLines(true);
}

int PictureView::HitEdges(float x, float y, const retouch::SelRect& r) const
{
    //   1 (left)     2 (right)        an edge within kHandleReach screen
    //   +--- 4 (top) ---+             pixels of the pointer, a corner
    //   |               |             being two edges; of two edges of a
    //   +--- 8 (bottom)-+             thin rectangle the nearer
    float vx0, vx1, vy0, vy1;
    ViewEdges(r.X1, r.X2, H(), &vx0, &vx1);
    ViewEdges(r.Y1, r.Y2, V(), &vy0, &vy1);
    const float reach = float(kHandleReach * area_->Ratio());
    if (x < vx0 - reach || x > vx1 + reach || y < vy0 - reach || y > vy1 + reach)
        return 0;
    auto nearer = [reach](float v, float lo, float hi, int a, int b) {
        const float dl = std::abs(v - lo), dh = std::abs(v - hi);
        if (dl > reach && dh > reach)
            return 0;
        return dl <= dh ? a : b;
    };
    return nearer(x, vx0, vx1, 1, 2) | nearer(y, vy0, vy1, 4, 8);
}

bool PictureView::StartGesture(int shift, float x, float y, QPoint pixel)
{
    const std::optional<retouch::SelRect> r = OrderedCommitted();
    if (!r || !area_->SelLinesVisible)
        return false;
    const bool inside = pixel.x() >= r->X1 && pixel.x() <= r->X2 && pixel.y() >= r->Y1 && pixel.y() <= r->Y2;
    handleEdges_ = HitEdges(x, y, *r);
    if (handleEdges_)
        gesture_ = Gesture::Handle;
    else if ((shift & 2) && inside)
        gesture_ = Gesture::Move; // or, released where it was pressed, a pick
    else if (inside && ShownLetters())
        gesture_ = Gesture::Brush;
    else
        return false;
    gestureFrom_ = *r;
    gesturePixel_ = pixel;
    gesturePress_ = QPointF(x, y);
    gestureShift_ = shift;
    gestureActive_ = false;
    return true;
}

void PictureView::ContinueGesture(QPoint pixel)
{
    const int32_t W = Pic().width(), Hp = Pic().height();
    const int32_t dx = pixel.x() - gesturePixel_.x(), dy = pixel.y() - gesturePixel_.y();
    retouch::SelRect n = gestureFrom_;
    switch (gesture_) {
    case Gesture::Handle:
        if (handleEdges_ & 1) n.X1 = std::clamp(n.X1 + dx, 0, W - 1);
        if (handleEdges_ & 2) n.X2 = std::clamp(n.X2 + dx, 0, W - 1);
        if (handleEdges_ & 4) n.Y1 = std::clamp(n.Y1 + dy, 0, Hp - 1);
        if (handleEdges_ & 8) n.Y2 = std::clamp(n.Y2 + dy, 0, Hp - 1);
        break;
    case Gesture::Move: {
        // The whole rectangle, kept inside the picture.
        const int32_t mx = std::clamp(dx, -n.X1, W - 1 - n.X2), my = std::clamp(dy, -n.Y1, Hp - 1 - n.Y2);
        n = {n.X1 + mx, n.Y1 + my, n.X2 + mx, n.Y2 + my};
        break;
    }
    case Gesture::Brush:
        Stroke(lastStamp_, pixel);
        lastStamp_ = pixel;
        PaintView();
        return;
    case Gesture::None: return;
    }
    live_ = n;
    // The tint follows a caption-sized rectangle as it is dragged: its
    // letters found on the way (shown only; the one released on is kept).
    preview_.reset();
    retouch::SelRect r = n;
    if (maskShown_ && retouch::OrderAndClamp(r, W, Hp) && int64_t(r.X2 - r.X1 + 1) * (r.Y2 - r.Y1 + 1) <= kFollowedLetters) {
        preview_ = document::LetterMask{r, retouch::FindLetters(document::ReadOnlyWords(Pic()), r)};
    }
    PlaceSelLines(live_);
    if (maskShown_)
        PaintView();
    emit infoChanged();
}

void PictureView::Stroke(QPoint from, QPoint to)
{
    // Discs a quarter of the brush apart along the way: no gaps, and a fast
    // drag costs no more than a slow one.
    const int d = brushSize_;
    const int64_t len = std::max(std::abs(to.x() - from.x()), std::abs(to.y() - from.y()));
    const int64_t step = std::max(1, d / 4);
    for (int64_t t = 0;; t = std::min(len, t + step)) {
        const int cx = from.x() + int((to.x() - from.x()) * t / std::max<int64_t>(len, 1));
        const int cy = from.y() + int((to.y() - from.y()) * t / std::max<int64_t>(len, 1));
        retouch::PaintDisc(preview_->bits, preview_->rect, cx, cy, d, (gestureShift_ & 1) == 0);
        if (t == len)
            break;
    }
}

void PictureView::EndGesture()
{
    gesture_ = Gesture::None;
    gestureActive_ = false;
    preview_.reset();
}

bool PictureView::ShowsLive() const
{
    return selecting_ == 1 || (gestureActive_ && (gesture_ == Gesture::Handle || gesture_ == Gesture::Move));
}

void PictureView::ChangeBrush(int steps)
{
    for (; steps > 0; --steps)
        brushSize_ = std::min(kBrushLargest, brushSize_ + std::max(1, brushSize_ / 4));
    for (; steps < 0; ++steps)
        brushSize_ = std::max(1, brushSize_ - std::max(1, brushSize_ / 5));
    FollowPointer();
    emit infoChanged();
}

void PictureView::ShowBrush(std::optional<QPointF> at)
{
    // A move away from the letters repaints nothing once the outline is gone.
    if (!at && !area_->BrushCentre)
        return;
    area_->BrushCentre = at;
    area_->BrushRadius = float(brushSize_ * scale_ / 2);
    area_->update();
}

void PictureView::Pick(QPoint pixel, bool remove)
{
    const std::optional<retouch::SelRect> r = OrderedCommitted();
    if (!r)
        return;
    const std::vector<uint8_t> region = retouch::PickLetter(document::ReadOnlyWords(Pic()), *r, pixel.x(), pixel.y());
    document::LetterMask m = doc_->Letters().Of(*r)
                                 ? doc_->Letters()
                                 : document::LetterMask{*r, std::vector<uint8_t>(region.size(), 0)};
    for (size_t i = 0; i < region.size(); ++i)
        if (region[i])
            m.bits[i] = remove ? 0 : 1;
    doc_->SetLetters(std::move(m));
}

void PictureView::Commit(const retouch::SelRect& rect)
{
    live_ = rect;
    CommitLive();
}

void PictureView::CommitLive()
{
    maskFilled_ = false;
    committed_ = live_;
    selecting_ = 0;
    pressAt_.reset();
    PlaceSelLines(live_);
    emit rectangleCommitted(committed_);
    if (maskShown_) {
        UpdateLetterMask();
        PaintView();
    }
    emit infoChanged();
}

void PictureView::AREA_MouseUp(int index, int button, int shift, float x, float y)
{
    if (button == 1 && gesture_ != Gesture::None) {
        const Gesture g = gesture_;
        const bool active = gestureActive_;
        document::LetterMask stroke;
        if (preview_)
            stroke = std::move(*preview_);
        EndGesture();
        if (!active) {
            // A plain click keeps its meaning: a new rectangle starts. With
            // Ctrl, over the letters shown, it picks a letter instead.
            if (g == Gesture::Move && maskShown_ && ShownLetters())
                Pick(gesturePixel_, gestureShift_ & 1);
            else
                StartRectangle(index, shift, float(gesturePress_.x()), float(gesturePress_.y()));
        } else if (g == Gesture::Brush) {
            doc_->SetLetters(std::move(stroke)); // the stroke is one step
        } else {
            // The letters found while dragging are those of the rectangle
            // released on: found once, not twice.
            if (!stroke.empty() && maskShown_)
                doc_->SetLetters(std::move(stroke));
            CommitLive();
        }
        return;
    }
    const std::optional<QPointF> from = std::exchange(pressAt_, std::nullopt);
    if (button != 1 || selecting_ != 1 || !from)
        return;
    if (std::max(std::abs(x - from->x()), std::abs(y - from->y())) >= kDragCommit)
        AREA_MouseDown(index, button, shift, x, y);
}

void PictureView::CancelSelection()
{
    selecting_ = 0;
    pressAt_.reset();
    EndGesture();
    ShowSelLines(false);
    if (maskShown_)
        PaintView();
    emit infoChanged();
}

void PictureView::AREA_MouseMove(int, int, int, float x, float y)
{
    // The loupe. Picture coordinates are 32-bit here, so a picture wider or
    // higher than 32767 pixels is magnified up to its far edge.
    const int64_t px = PicturePoint(x, H()), py = PicturePoint(y, V());
    const LoupeBlock b = LoupeClip(px, py, Pic().width(), Pic().height());
    if (px >= 0 && py >= 0 && px < Pic().width() && py < Pic().height())
        Pointer = QPoint(int(px), int(py));
    else
        Pointer.reset();
    loupe_->Cls();
    if (b.w > 0 && b.v > 0)
        platform::StretchBlt(loupe_->Image(), int(kLoupeScale * b.dx), int(kLoupeScale * b.dy), Pic(),
                             int(b.sx), int(b.sy), int(b.w), int(b.v), kLoupeScale);
    loupe_->Refresh();

    // A handle, the whole rectangle or the brush, once the pointer has left
    // the pixel it was pressed on.
    if (gesture_ != Gesture::None) {
        if (!gestureActive_ && std::max(std::abs(x - gesturePress_.x()), std::abs(y - gesturePress_.y())) >= kClickSlop) {
            gestureActive_ = true;
            if (gesture_ == Gesture::Brush) {
                preview_ = *ShownLetters();
                lastStamp_ = gesturePixel_;
            }
        }
        if (gestureActive_)
            ContinueGesture(QPoint(int(px), int(py)));
    }
    // The brush's outline over the letters it would paint.
    if (maskShown_) {
        const document::LetterMask* shown = ShownLetters();
        const bool over = shown && px >= shown->rect.X1 && px <= shown->rect.X2 && py >= shown->rect.Y1 && py <= shown->rect.Y2;
        ShowBrush(over ? std::optional(QPointF(x, y)) : std::nullopt);
    }
    // The rubber band.
    if (selecting_ == 1) {
        live_.X2 = static_cast<int32_t>(px);
        live_.Y2 = static_cast<int32_t>(py);
        PlaceSelLines(live_);
    }
    emit infoChanged();
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
    float x1, x2, y1, y2;
    ViewEdges(r.X1, r.X2, H(), &x1, &x2);
    ViewEdges(r.Y1, r.Y2, V(), &y1, &y2);
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
    area_->SelLineColour = selecting_ == 1 ? colour : qRgb(255, 255, 255);
    if (area_->SelLinesVisible)
        area_->Refresh();
}
