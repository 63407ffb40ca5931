#pragma once
// The scrolling view onto the working picture, the two-click selection with
// its marquee, and the loupe. The widgets only report events in view
// coordinates; everything they mean happens here, so it can be tested by
// calling these handlers directly.
#include "PictureFiles.h"
#include "PictureLoader.h"
#include "SelRect.h"
#include "Surface.h"

#include <QObject>
#include <QRgb>
#include <QString>

#include <cstdint>
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
    PictureView(ViewArea* area, QScrollBar* hscr, QScrollBar* vscr, LoupeWidget* loupe,
                QObject* parent = nullptr);

    // The working picture PicImg(0).
    platform::Surface PicImg;
    // The file the picture on view was read from; empty when none is.
    QString ShownPath;
    // Its origin and metadata, and the rectangles retouched since.
    files::PictureSource Source;

    // Opens the file into the view: load, fit the scroll bars to the picture
    // at position 0, paint. False when the file did not load; the picture on
    // view (if any) then stays as it was. report tells why, or that a JPEG
    // ended early and shows what it held.
    bool SetupView(const QString& path, platform::LoadReport* report = nullptr);
    void PaintView();
    // After the view changed size: fits the scroll bars to the new size,
    // keeping the positions where they are still in range, and repaints from
    // the working picture (the file is not read again).
    void FitView();
    void HSCR_Change();
    void VSCR_Change();
    int H() const;
    int V() const;

    // Selection state.
    int16_t Selecting = 0;
    retouch::SelRect Live;      // SelAnchorX, SelAnchorY, SelCurX, SelCurY
    retouch::SelRect Committed; // SelX1, SelY1, SelX2, SelY2

    void AREA_MouseDown(int index, int button, int shift, float x, float y);
    void AREA_MouseMove(int index, int button, int shift, float x, float y);
    // What the right click does: the selection in progress stops and the
    // marquee goes.
    void CancelSelection();
    void ShowSelLines(bool visible);
    void PlaceSelLines(const retouch::SelRect& rect);
    void TMC_Timer();

    ViewArea* Area() const { return area_; }
    LoupeWidget* Loupe() const { return loupe_; }

signals:
    // A picture was loaded from path: the path field shows it.
    void pictureLoaded(const QString& path);

private:
    void FitBar(QScrollBar* bar, int picture, int view, bool resetValue);
    int64_t PicturePoint(float v, int scroll) const;

    ViewArea* area_;
    QScrollBar* hscr_;
    QScrollBar* vscr_;
    LoupeWidget* loupe_;
    MarqueeColours colours_;
};
