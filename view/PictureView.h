#pragma once
// The scrolling view onto a picture document, the two-click selection with
// its marquee, and the loupe. The view shows the document and turns pointer
// events into picture coordinates; it changes the picture only through the
// document. The widgets only report events in view coordinates; everything
// they mean happens here, so it can be tested by calling these handlers
// directly.
#include "PictureDocument.h"
#include "Reductions.h"
#include "SelRect.h"
#include "Surface.h"

#include <QObject>
#include <QThread>
#include <QRgb>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>
#include <random>

class LoupeWidget;
class QScrollBar;
class ViewArea;

// The loupe's source block: the w x v pixels at (sx, sy) of the picture,
// drawn at (8 dx, 8 dy) of the loupe. Nothing is drawn unless w, v > 0.
struct LoupeBlock {
    int64_t sx, sy, w, v, dx, dy;
};
LoupeBlock LoupeClip(int64_t px, int64_t py, int64_t Wp, int64_t Hp);

// The marquee's colours: an unseeded generator, the same sequence every run.
class MarqueeColours {
public:
    QRgb Next();

private:
    double Uniform(); // [0, 1)
    std::minstd_rand gen_;
};

class PictureView : public QObject {
    Q_OBJECT
public:
    PictureView(document::PictureDocument* doc, ViewArea* area, QScrollBar* hscr, QScrollBar* vscr,
                LoupeWidget* loupe, QObject* parent = nullptr);
    ~PictureView() override;

    document::PictureDocument* Document() const { return doc_; }

    // Opens the file into the document; the view then shows it fitted, at
    // position 0. A failure leaves the picture on view (if any) as it was;
    // the outcome tells why, or that a JPEG ended early and shows what it
    // held.
    document::Outcome SetupView(const QString& path);
    void PaintView();
    // After the view changed size: fits the scroll bars to the new size,
    // keeping the positions where they are still in range, and repaints from
    // the working picture (the file is not read again).
    void FitView();
    void HSCR_Change();
    void VSCR_Change();
    int H() const;
    int V() const;

    // Zoom: view pixels per picture pixel. A picture larger than the view
    // opens fitted to it, any other at 1.
    // The steps are kZoomLevels and the scale that fits the whole picture;
    // about is the view point whose picture pixel stays where it is.
    static const std::vector<double> kZoomLevels;
    double Zoom() const { return scale_; }
    void ZoomTo(double scale, QPointF about);
    void ZoomStep(int steps, QPointF about);
    void ZoomStep(int steps); // about the view's centre
    void ZoomFit();
    double FitScale() const;
    // The picture pixel under view point (x, y).
    int64_t PictureX(float x) const { return PicturePoint(x, H()); }
    int64_t PictureY(float y) const { return PicturePoint(y, V()); }

    // 文字補正 chosen: the committed rectangle shows, tinted, the pixels the
    // fill would repaint (found again whenever the rectangle or the picture
    // changes).
    void ShowLetterMask(bool on);
    // The mask the overlay shows (the document's, or a stroke under way);
    // empty when none shows.
    const std::vector<uint8_t>& LetterMask() const;

    // The committed rectangle's handles: a press within kHandleReach screen
    // pixels of an edge or corner drags it, Ctrl and a press inside drags
    // the whole rectangle. With the letters shown, a drag inside paints them
    // with the brush (Shift: erases), Ctrl+click picks a letter (Ctrl+Shift:
    // takes one away). A press and release within kClickSlop view pixels is
    // a plain click and starts a new rectangle, as ever.
    static constexpr int kHandleReach = 4;
    static constexpr int kClickSlop = 2;
    // The brush's diameter in picture pixels, 1 .. kBrushLargest; steps > 0
    // make it larger.
    static constexpr int kBrushLargest = 200;
    // The largest rectangle whose letters the tint shows while it is dragged.
    static constexpr int64_t kFollowedLetters = 64 * 1024;
    // Translucent marks show in a tint of their own (cyan: un-blended; the
    // rest magenta: painted over by the fill). Telling them costs a fill of
    // the mask: up to kJudgedLetters it is done as the overlay shows it; a
    // larger rectangle's come told from the job that found its letters, and
    // once corrected by hand (up to kJudgedAside) are told again off the
    // window's thread, the tint following when they are.
    static constexpr int64_t kJudgedLetters = 256 * 1024;
    static constexpr int64_t kJudgedAside = int64_t(4) << 20;
    // Per pixel of the shown mask how 文字補正 repairs it (retouch::Repair);
    // empty when it is not known (a stroke under way, a large rectangle
    // being told): all painted over, as far as the tint goes.
    const std::vector<uint8_t>& RepairShown() const;
    // True while a large mask is being told off the window's thread.
    bool JudgingAside() const { return judging_ != nullptr; }
    int BrushSize() const { return brushSize_; }
    // 補正 has just filled the mask: the overlay steps aside so that the
    // result shows, until the mask, the rectangle or the picture changes.
    void LettersFilled();
    void ChangeBrush(int steps);

    // For the text under the loupe: the pixel under the pointer (none once
    // it has left the picture's view) and what the view shows.
    std::optional<QPoint> Pointer;
    QString InfoText() const;

    // Selection state: 1 while a rectangle is being drawn; the one being
    // drawn (SelAnchorX, SelAnchorY, SelCurX, SelCurY); the one committed
    // (SelX1, SelY1, SelX2, SelY2).
    int16_t Selecting() const { return selecting_; }
    const retouch::SelRect& Live() const { return live_; }
    const retouch::SelRect& Committed() const { return committed_; }
    // Commits rect as if it had been drawn (the marquee's visibility stays
    // as it is).
    void Commit(const retouch::SelRect& rect);

    void AREA_MouseDown(int index, int button, int shift, float x, float y);
    void AREA_MouseMove(int index, int button, int shift, float x, float y);
    // A release at least kDragCommit view pixels from the press that started
    // a rectangle commits it there: press, drag and release marks one, as two
    // clicks do.
    void AREA_MouseUp(int index, int button, int shift, float x, float y);
    static constexpr int kDragCommit = 4;
    // What the right click does: the selection in progress stops and the
    // marquee goes.
    void CancelSelection();
    void ShowSelLines(bool visible);
    void PlaceSelLines(const retouch::SelRect& rect);
    void TMC_Timer();

    ViewArea* Area() const { return area_; }
    LoupeWidget* Loupe() const { return loupe_; }

signals:
    // A rectangle was committed (the second click, a release after a drag).
    void rectangleCommitted(const retouch::SelRect& rect);
    // The pointer, the zoom or the selection changed: InfoText is another.
    void infoChanged();

private:
    const platform::Surface& Pic() const { return doc_->PicImg(); }
    // A new picture: the reduced copies are made again, the view fitted.
    void PictureReplaced();
    // A retouch, an undo or a redo changed these picture pixels.
    void PictureChanged(const QRect& changed);
    void LettersChanged();
    void CommitLive();
    void StartRectangle(int index, int shift, float x, float y);
    std::optional<retouch::SelRect> OrderedCommitted() const;
    const document::LetterMask* ShownLetters() const;
    int HitEdges(float x, float y, const retouch::SelRect& r) const;
    bool StartGesture(int shift, float x, float y, QPoint pixel);
    void ContinueGesture(QPoint pixel);
    void Stroke(QPoint from, QPoint to);
    void EndGesture();
    bool ShowsLive() const;
    void ShowBrush(std::optional<QPointF> at);
    void Pick(QPoint pixel, bool remove);

    // The bar's range holds the picture's extent and, when outside, also a
    // place beyond it: where a zoom that kept a pixel near an edge under the
    // pointer took the view, until the user scrolls back.
    void FitBar(QScrollBar* bar, int64_t picture, int view, int64_t wanted, bool outside);
    void FitBars(bool resetValues);
    void FitBars(int64_t h, int64_t v, bool outside);
    int64_t ContentWidth() const;
    int64_t ContentHeight() const;
    void Scrolled();
    // The picture moved under the view (a scroll or a zoom): paint, place
    // the marquee, and show what the pointer is now over.
    void Moved();
    // The loupe, the text under it and the rubber band follow the picture
    // pixel now under the pointer.
    void FollowPointer();
    int64_t PicturePoint(float v, int scroll) const;
    // The view coordinates of picture coordinates a (the anchor) and b, on
    // the outer edges of their pixels at the current zoom.
    void ViewEdges(int32_t a, int32_t b, int scroll, float* va, float* vb) const;

    document::PictureDocument* doc_;
    ViewArea* area_;
    QScrollBar* hscr_;
    QScrollBar* vscr_;
    LoupeWidget* loupe_;
    MarqueeColours colours_;
    void UpdateLetterMask();
    void PaintLetterMask(platform::Surface& back) const;

    int16_t selecting_ = 0;
    retouch::SelRect live_;
    retouch::SelRect committed_;
    double scale_ = 1.0;
    bool maskShown_ = false;
    bool maskFilled_ = false; // see LettersFilled
    enum class Gesture { None, Handle, Move, Brush };
    Gesture gesture_ = Gesture::None;
    bool gestureActive_ = false; // moved off the pixel pressed on
    int handleEdges_ = 0;        // 1 left, 2 right, 4 top, 8 bottom
    retouch::SelRect gestureFrom_; // the rectangle at the press, ordered
    QPoint gesturePixel_;
    QPointF gesturePress_;
    int gestureShift_ = 0;
    std::optional<document::LetterMask> preview_; // the mask while a stroke or a drag is under way
    mutable document::LetterMask judged_;         // the mask repairs_ was told for
    mutable std::vector<uint8_t> repairs_;
    mutable bool unblended_ = false;              // repairs_ holds a kUnblended
    void Told(document::LetterMask mask, std::vector<uint8_t> repairs) const;
    void JudgeAside(const document::LetterMask& mask) const;
    mutable QThread* judging_ = nullptr;          // see kJudgedAside
    uint64_t pictureGeneration_ = 0;              // counts the picture's changes
    QPoint lastStamp_;
    int brushSize_ = 9;
    bool fit_ = false; // the zoom follows the view's size
    std::optional<QPointF> pressAt_; // the press that started a rectangle
    std::optional<std::pair<QPointF, QPoint>> zoomAnchor_; // the last zoom's view point and its pixel
    Reductions reductions_;
};
