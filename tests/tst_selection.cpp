// The selection with its marquee, the loupe, scrolling, and the retouch
// command end to end, through the view's handlers (no synthetic mouse events).
#include "Codec.h"
#include "LoupeWidget.h"
#include "PictureView.h"
#include "TestSupport.h"
#include "ViewArea.h"
#include "basCommon.h"
#include "frmMain.h"

#include <QApplication>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QPushButton>
#include <QTimer>
#include <QMouseEvent>
#include <QWheelEvent>

using namespace testsupport;
using retouch::SelRect;

// The box the four marquee lines draw.
QRectF Outline(const ViewArea* area)
{
    QRectF r;
    for (const MarqueeLine& l : area->SelLine)
        r |= QRectF(QPointF(std::min(l.X1, l.X2), std::min(l.Y1, l.Y2)), QPointF(std::max(l.X1, l.X2), std::max(l.Y1, l.Y2)));
    return r;
}

class TestSelection : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString photoPng;

    std::unique_ptr<frmMain> open(const QString& path)
    {
        basCommon::ImageFront = path;
        auto w = std::make_unique<frmMain>();
        w->Form_Load();
        w->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(w.get())); }();
        w->View->ZoomTo(1.0, QPointF(0, 0)); // these cases start at 100 %, not fitted
        return w;
    }

private slots:
    void initTestCase()
    {
        basCommon::LoadSettings(dir.path());
        // A real photograph, cut down and stored as PNG so that every mode
        // can be compared exactly.
        QImage photo(PhotoPath("nature/Storm.jpg"));
        QVERIFY(!photo.isNull());
        photoPng = dir.filePath("storm.png");
        const QImage part = photo.copy(0, 0, 640, 480).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(codec::DCSavetoPNG(part, 640, 480, photoPng, 1), 0);
    }

    // Two left clicks commit (in any corner order, the outline the same);
    // moves after a commit change nothing; the right click ends banding and
    // hides the marquee but keeps what was committed; the middle does nothing.
    void clicks()
    {
        auto w = open(photoPng); // opened before the window is shown, as at start-up: on view
        PictureView* v = w->View;
        QCOMPARE(w->AREA[0]->grab().toImage().pixel(100, 80) & 0xFFFFFF, v->Document()->PicImg().pixel(99, 79) & 0xFFFFFF);
        auto outline = [&] { return Outline(w->AREA[0]); };
        v->AREA_MouseDown(0, 4, 0, 5, 5);
        QCOMPARE(v->Selecting(), int16_t(0));
        v->AREA_MouseDown(0, 1, 0, 10, 12);
        QVERIFY(v->Selecting() == 1 && w->AREA[0]->SelLinesVisible);
        v->AREA_MouseMove(0, 0, 0, 3, 4);
        QCOMPARE(v->Live(), (SelRect{10, 12, 3, 4}));
        v->AREA_MouseDown(0, 1, 0, 3, 4);
        QCOMPARE(v->Selecting(), int16_t(0));
        QCOMPARE(v->Committed(), (SelRect{10, 12, 3, 4}));
        QCOMPARE(outline(), QRectF(QPointF(3, 4), QPointF(10, 12)));
        v->AREA_MouseMove(0, 0, 0, 100, 100);
        QCOMPARE(v->Committed(), (SelRect{10, 12, 3, 4}));
        QCOMPARE(outline(), QRectF(QPointF(3, 4), QPointF(10, 12)));
        v->AREA_MouseDown(0, 1, 0, 5, 5);
        v->AREA_MouseDown(0, 2, 0, 9, 9); // right while banding
        QVERIFY(v->Selecting() == 0 && !w->AREA[0]->SelLinesVisible);
        QCOMPARE(v->Committed(), (SelRect{10, 12, 3, 4}));
        v->AREA_MouseDown(0, 1, 0, 7, 7);
        v->AREA_MouseDown(0, 1, 0, 7, 7);
        QCOMPARE(v->Committed(), (SelRect{7, 7, 7, 7}));

        // Press, drag and release marks one too; a release less than 4
        // pixels away leaves the first of two clicks; the second click
        // commits what the marquee shows, even with no move to it first.
        v->AREA_MouseDown(0, 1, 0, 10, 20);
        v->AREA_MouseMove(0, 0, 0, 60, 50);
        v->AREA_MouseUp(0, 1, 0, 60, 50);
        QVERIFY(v->Selecting() == 0 && v->Committed() == (SelRect{10, 20, 60, 50}));
        v->AREA_MouseDown(0, 1, 0, 30, 30);
        v->AREA_MouseUp(0, 1, 0, 33, 27);
        QCOMPARE(v->Selecting(), int16_t(1));
        v->AREA_MouseDown(0, 1, 0, 80, 70); // a pen's press
        v->AREA_MouseUp(0, 1, 0, 80, 70);
        QCOMPARE(v->Committed(), (SelRect{30, 30, 80, 70}));
        QCOMPARE(outline(), QRectF(QPointF(30, 30), QPointF(80, 70)));
    }

    // Scrolled, the marquee stays on its picture pixels, the view shows the
    // picture from the new position and clicks report picture pixels; the
    // bars appear only for a picture larger than the view, and reach its end;
    // a resize keeps the (retouched) picture without reading the file again.
    void scrolling()
    {
        const QString copy = dir.filePath("scrolled.png");
        QVERIFY(QFile::copy(photoPng, copy));
        auto w = open(copy);
        PictureView* v = w->View;
        v->AREA_MouseDown(0, 1, 0, 50, 60);
        v->AREA_MouseMove(0, 0, 0, 80, 90);
        w->HSCR[0]->setValue(30);
        w->VSCR[0]->setValue(40);
        const MarqueeLine& l0 = w->AREA[0]->SelLine[0];
        QVERIFY(l0.X1 == 20.f && l0.Y1 == 20.f && l0.X2 == 50.f);
        QCOMPARE(w->AREA[0]->BackBuffer().pixel(0, 0), v->Document()->PicImg().pixel(30, 40));
        v->AREA_MouseDown(0, 1, 0, 0, 0);
        QCOMPARE(v->Committed(), (SelRect{50, 60, 30, 40}));

        // The wheel scrolls three lines of 20 pixels a notch, Shift+wheel
        // sideways; an arrow steps a tenth of the view (16 at least), the
        // track the view less a step; the view follows a dragged thumb.
        auto wheel = [&](QPoint angle, Qt::KeyboardModifiers mods) {
            QWheelEvent e(QPointF(5, 5), w->AREA[0]->mapToGlobal(QPointF(5, 5)), QPoint(), angle, Qt::NoButton, mods,
                          Qt::NoScrollPhase, false);
            QApplication::sendEvent(w->AREA[0], &e);
        };
        wheel(QPoint(0, -120), Qt::NoModifier);
        QCOMPARE(w->VSCR[0]->value(), 40 + 60);
        wheel(QPoint(0, 240), Qt::ShiftModifier);
        QCOMPARE(w->HSCR[0]->value(), 0); // 30 - 120, held at the start
        QCOMPARE(w->VSCR[0]->value(), 100);
        int wv = w->AREA[0]->DrawWidth(), hv = w->AREA[0]->DrawHeight();
        QCOMPARE(w->HSCR[0]->singleStep(), std::max(16, wv / 10));
        QCOMPARE(w->VSCR[0]->pageStep(), hv - w->VSCR[0]->singleStep());
        w->HSCR[0]->setSliderDown(true);
        w->HSCR[0]->setSliderPosition(77);
        QCOMPARE(w->AREA[0]->BackBuffer().pixel(0, 0), v->Document()->PicImg().pixel(77, 100));
        w->HSCR[0]->setSliderDown(false);
        v->Commit({10, 10, 100, 60});
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        const QImage retouched = v->Document()->PicImg().copy();
        w->VSCR[0]->setValue(480);
        QVERIFY(QFile::remove(copy));
        w->resize(500, 400);
        QTRY_COMPARE(w->AREA[0]->width(), 500 - 113);
        QCOMPARE(v->Document()->PicImg(), retouched);
        QCOMPARE(w->VSCR[0]->value(), 480 - w->AREA[0]->DrawHeight()); // clamped to the new end
        QCOMPARE(w->AREA[0]->BackBuffer().pixel(0, 0), retouched.pixel(77, w->VSCR[0]->value()));
        std::tie(wv, hv) = std::pair(w->AREA[0]->DrawWidth(), w->AREA[0]->DrawHeight());
        for (int extra : {0, 1}) {
            const QString p = dir.filePath(QString("edge%1.png").arg(extra));
            platform::Surface s = MakePicture(wv + extra, hv + extra, 3);
            QCOMPARE(codec::DCSavetoPNG(s, s.width(), s.height(), p, 1), 0);
            QVERIFY(v->SetupView(p).done());
            QCOMPARE(v->Zoom() < 1.0, extra == 1); // opened fitted only when larger than the view
            v->ZoomTo(1.0, QPointF(0, 0));
            QCOMPARE(w->HSCR[0]->isVisible(), extra == 1);
            QCOMPARE(w->VSCR[0]->isVisible(), extra == 1);
            if (extra) {
                w->HSCR[0]->triggerAction(QAbstractSlider::SliderSingleStepAdd);
                QCOMPARE(w->HSCR[0]->value(), 1);
                QCOMPARE(w->AREA[0]->BackBuffer().pixel(wv - 1, 0), s.pixel(wv, 0));
            }
        }
    }

    // Zoom about the pointer (Ctrl+wheel) and the view's centre (Ctrl+1);
    // clicks land on the pixel drawn under them at every zoom; the marquee
    // sits on the outer edges of its pixels; sharp squares above 100 %, the
    // mean of the pixels covered below it, also after a retouch; the text
    // under the loupe.
    void zoom()
    {
        auto w = open(photoPng);
        PictureView* v = w->View;
        ViewArea* area = w->AREA[0];
        const platform::Surface& pic = v->Document()->PicImg();
        auto mean = [&](int x, int y) { // of the 2 x 2 pixels at (2x, 2y), give or take a level
            int c[3] = {};
            for (int dy : {0, 1})
                for (int dx : {0, 1})
                    for (int k = 0; k < 3; ++k)
                        c[k] += int(pic.pixel(2 * x + dx, 2 * y + dy) >> (8 * k) & 255);
            return qRgb((c[2] + 2) / 4, (c[1] + 2) / 4, (c[0] + 2) / 4);
        };
        v->ZoomFit();
        QVERIFY(v->Zoom() < 1 && !w->HSCR[0]->isVisible() && !w->VSCR[0]->isVisible());
        QVERIFY(std::ceil(pic.width() * v->Zoom()) <= area->DrawWidth() && std::ceil(pic.height() * v->Zoom()) <= area->DrawHeight());
        v->ZoomTo(0.5, QPointF(0, 0));
        auto shows = [&](int x, int y) {
            const QRgb a = area->BackBuffer().pixel(x, y), b = mean(x, y);
            return std::abs(qRed(a) - qRed(b)) <= 1 && std::abs(qGreen(a) - qGreen(b)) <= 1 && std::abs(qBlue(a) - qBlue(b)) <= 1;
        };
        QVERIFY(shows(70, 33));
        w->View->Commit({120, 50, 180, 90});
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        QVERIFY(shows(70, 33)); // the reduced copy follows the retouch
        QVERIFY(w->Undo());
        QVERIFY(shows(70, 33));

        v->ZoomTo(1.0, QPointF(0, 0));
        w->HSCR[0]->setValue(40);
        QWheelEvent in(QPointF(31, 41), area->mapToGlobal(QPointF(31, 41)), QPoint(), QPoint(0, 120), Qt::NoButton,
                       Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(area, &in);
        QCOMPARE(v->Zoom(), 2.0);
        QCOMPARE(v->PictureX(30), 70); // still the pixel under the pointer
        QCOMPARE(v->PictureY(40), 40);
        QCOMPARE(area->BackBuffer().pixel(30, 40), pic.pixel(70, 40));
        QCOMPARE(area->BackBuffer().pixel(31, 41), pic.pixel(70, 40)); // a sharp 2 x 2 square
        v->AREA_MouseDown(0, 1, 0, 30, 40);
        v->AREA_MouseMove(0, 0, 0, 49, 61);
        v->AREA_MouseDown(0, 1, 0, 49, 61);
        QCOMPARE(v->Committed(), (SelRect{70, 40, 79, 50}));
        const MarqueeLine& top = area->SelLine[0];
        QVERIFY2(top.X1 == 30.f - 30 % 2 && top.X2 == 2 * 80 - 1 - v->H() && top.Y1 == 40.f,
                 qPrintable(QString("%1 %2 %3").arg(top.X1).arg(top.X2).arg(top.Y1)));
        QVERIFY(v->InfoText().contains("70,40,\n79,50\n10\u202F×\u202F11"));
        v->AREA_MouseMove(0, 0, 0, 4, 6);
        QVERIFY(v->InfoText().startsWith(QString("x %1\ny %2\n640\u202F×\u202F480\n200 %").arg(v->PictureX(4)).arg(v->PictureY(6))));
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QVERIFY(!v->InfoText().contains(","));
    }

    // Two clicks and 補正 at 200 % and at 25 % retouch exactly what the same
    // rectangle does at 100 %; the loupe shows picture pixels at 25 %; Ctrl+0
    // shows the whole of a 50-megapixel picture.
    void retouchAtAnyZoom()
    {
        auto w = open(photoPng);
        PictureView* v = w->View;
        const platform::Surface original = v->Document()->PicImg().copy();
        platform::Surface want = original.copy();
        SelRect r{96, 40, 148, 84}; // at 25 % a click picks the first pixel of a view pixel's four
        QCOMPARE(retouch::Retouch(want, r, retouch::FillMode::Vertical), retouch::RetouchResult::Done);
        for (double zoom : {2.0, 0.25}) {
            v->Document()->SetPicture(original.copy());
            v->ZoomTo(zoom, QPointF(0, 0));
            w->HSCR[0]->setValue(zoom > 1 ? 150 : 0);
            auto view = [&](int p, int scroll) { return float(std::floor(p * zoom) - scroll + (zoom > 1 ? 1 : 0)); };
            v->AREA_MouseDown(0, 1, 0, view(96, v->H()), view(40, v->V()));
            v->AREA_MouseMove(0, 0, 0, view(148, v->H()), view(84, v->V()));
            QCOMPARE(w->Loupe->Image().pixel(35, 35), v->Document()->PicImg().pixel(148, 84)); // the pointer's own pixel
            v->AREA_MouseDown(0, 1, 0, view(148, v->H()), view(84, v->V()));
            QCOMPARE(v->Committed(), (SelRect{96, 40, 148, 84}));
            QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
            QCOMPARE(FirstDifference(v->Document()->PicImg(), want), QString());
        }
        platform::Surface plain = platform::MakeSurface(8660, 5774);
        plain.fill(0xFF336699);
        v->Document()->SetPicture(plain);
        v->ZoomFit();
        const int right = int(std::ceil(8660 * v->Zoom())) - 1, bottom = int(std::ceil(5774 * v->Zoom())) - 1;
        QVERIFY(right < w->AREA[0]->DrawWidth() && bottom < w->AREA[0]->DrawHeight());
        QCOMPARE(w->AREA[0]->BackBuffer().pixel(right, bottom), 0xFF336699u);
    }

    // Finding the caption: a large picture opens whole (Ctrl+1: 100 %); with
    // the focus on the view the keys scroll, the middle button and Space
    // with the left one drag the picture; the loupe and its text follow the
    // pointer's pixel through every scroll, and a zoom from the fitted view
    // keeps that pixel under the pointer, also near the picture's edge.
    void findingTheCaption()
    {
        basCommon::ImageFront = photoPng;
        frmMain w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        PictureView* v = w.View;
        ViewArea* area = w.AREA[0];
        QVERIFY(v->Zoom() < 1.0 && v->Zoom() == v->FitScale());
        QTest::keyClick(&w, Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(v->Zoom(), 1.0);
        const int k = int(area->Ratio());
        auto send = [&](QEvent::Type type, Qt::MouseButton button, QPoint at, int wheel = 0, Qt::KeyboardModifiers mods = {}) {
            if (wheel) {
                QWheelEvent e(at, area->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, wheel), Qt::NoButton, mods, Qt::NoScrollPhase, false);
                QApplication::sendEvent(area, &e);
            } else {
                QMouseEvent e(type, at, area->mapToGlobal(QPointF(at)), button, type == QEvent::MouseButtonRelease ? Qt::NoButton : button, mods);
                QApplication::sendEvent(area, &e);
            }
        };
        auto drag = [&](Qt::MouseButton button, QPoint from, QPoint to) {
            send(QEvent::MouseButtonPress, button, from);
            send(QEvent::MouseMove, button, to);
            send(QEvent::MouseButtonRelease, button, to);
        };
        area->setFocus();
        const int step = w.VSCR[0]->singleStep(), page = w.VSCR[0]->pageStep(), v0 = v->V();
        QTest::keyClick(area, Qt::Key_Down);
        QCOMPARE(v->V(), v0 + step);
        QTest::keyClick(area, Qt::Key_PageUp);
        QCOMPARE(v->V(), std::max(0, v0 + step - page));
        QTest::keyClick(area, Qt::Key_End);
        QTest::keyClick(area, Qt::Key_Home, Qt::ShiftModifier);
        QTest::keyClick(area, Qt::Key_Right);
        QVERIFY(v->V() == w.VSCR[0]->maximum() && v->H() == w.HSCR[0]->singleStep());
        drag(Qt::MiddleButton, QPoint(60, 60), QPoint(40, 70));
        QVERIFY(v->H() == w.HSCR[0]->singleStep() + 20 * k && v->V() == w.VSCR[0]->maximum() - 10 * k);
        QTest::keyPress(area, Qt::Key_Space);
        drag(Qt::LeftButton, QPoint(40, 70), QPoint(50, 50));
        QTest::keyRelease(area, Qt::Key_Space);
        QVERIFY(v->H() == w.HSCR[0]->singleStep() + 10 * k && v->Selecting() == 0); // panning marks nothing

        // The readout follows a wheel scroll and a zoom without a move.
        auto followed = [&](QPoint widget) {
            const float x = float((widget.x() - 1) * k), y = float((widget.y() - 1) * k);
            return v->Pointer == QPoint(int(v->PictureX(x)), int(v->PictureY(y)))
                && w.Loupe->Image().pixel(35, 35) == v->Document()->PicImg().pixel(*v->Pointer);
        };
        send(QEvent::MouseMove, Qt::NoButton, QPoint(30, 40));
        send(QEvent::None, Qt::NoButton, QPoint(30, 40), 120);
        QVERIFY(followed(QPoint(30, 40)));
        QTest::keyClick(&w, Qt::Key_Minus, Qt::ControlModifier); // about the view's centre
        QVERIFY(followed(QPoint(30, 40)));

        // From the fitted view, Ctrl+wheel in and out at a point near the
        // picture's far corner: the same pixel under it at every step (at a
        // reduction, among those its view pixel covers).
        QTest::keyClick(&w, Qt::Key_0, Qt::ControlModifier);
        const QPoint corner(int(v->Document()->PicImg().width() * v->Zoom()) / k - 3, int(v->Document()->PicImg().height() * v->Zoom()) / k - 3);
        send(QEvent::MouseMove, Qt::NoButton, corner);
        const QPoint pixel = *v->Pointer;
        const float cx = float((corner.x() - 1) * k), cy = float((corner.y() - 1) * k);
        for (int notch : {120, 120, 120, -120, -120, -120}) {
            send(QEvent::None, Qt::NoButton, corner, notch, Qt::ControlModifier);
            const QPoint first(int(v->PictureX(cx)), int(v->PictureY(cy))), next(int(v->PictureX(cx + 1)), int(v->PictureY(cy + 1)));
            QVERIFY2(first.x() <= pixel.x() && first.y() <= pixel.y()
                         && (v->Zoom() >= 1 ? first == pixel : pixel.x() < next.x() && pixel.y() < next.y()),
                     qPrintable(QString("zoom %1: %2,%3").arg(v->Zoom()).arg(first.x()).arg(first.y())));
            QVERIFY(followed(corner));
        }
        QCOMPARE(v->Zoom(), v->FitScale());

        // A picture smaller than the view, zoomed in and back: no ghost.
        v->Document()->SetPicture(MakePicture(40, 30, 2));
        v->ZoomTo(4.0, QPointF(0, 0));
        v->ZoomTo(1.0, QPointF(0, 0));
        QCOMPARE(QColor(area->BackBuffer().pixel(100, 80)), area->BackColor);
    }

    // Under the loupe, five-digit coordinates and sizes stay whole (also
    // run by the hidpi entry).
    void infoTextWhole()
    {
        auto w = open(photoPng);
        w->View->Document()->SetPicture(platform::MakeSurface(54321, 2));
        w->View->Pointer = QPoint(98765, 43210);
        w->View->Commit({0, 0, 99998, 99998});
        w->View->ShowSelLines(true);
        emit w->View->infoChanged();
        QVERIFY(w->info->text().contains("99998,99998\n99999\u202F×\u202F99999")
                && QRect(QPoint(), w->info->size()).contains(QRect(QPoint(), w->info->sizeHint())));
    }

    // With two device pixels to a widget pixel, 100 % is one picture pixel
    // to one device pixel and a click lands on the pixel drawn under it.
    // (Run by the hidpi test entry, with QT_SCALE_FACTOR=2.)
    void hiDpi()
    {
        if (qApp->devicePixelRatio() < 2)
            QSKIP("needs QT_SCALE_FACTOR=2");
        auto w = open(photoPng);
        ViewArea* area = w->AREA[0];
        QCOMPARE(area->DrawWidth(), 2 * (area->width() - 2));
        QCOMPARE(area->BackBuffer().size(), QSize(area->DrawWidth(), area->DrawHeight()));
        QCOMPARE(area->BackBuffer().pixel(101, 51), w->View->Document()->PicImg().pixel(101, 51));
        QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(11, 21));
        QCOMPARE(w->View->Live().X1, 20);
        QCOMPARE(w->View->Live().Y1, 40);
        const QImage loupe = w->Loupe->grab().toImage();
        QCOMPARE(loupe.pixel(loupe.width() - 1, loupe.height() / 2), qRgb(0x40, 0x40, 0x40)); // the frame, whole
    }

    // The marquee's colours run the same course each time, and the loupe's
    // frame takes the banding colour until the next tick after a commit.
    void marqueeColours()
    {
        MarqueeColours a, b;
        QSet<QRgb> seen;
        for (int i = 0; i < 20; ++i)
            QCOMPARE(*seen.insert(a.Next()), b.Next());
        QVERIFY(seen.size() > 15);
        auto w = open(photoPng);
        w->View->AREA_MouseDown(0, 1, 0, 5, 5);
        w->View->TMC_Timer();
        const QRgb banding = w->AREA[0]->SelLineColour;
        QCOMPARE(w->Loupe->Shape1BorderColor, banding);
        w->View->AREA_MouseDown(0, 1, 0, 9, 9);
        QCOMPARE(w->AREA[0]->SelLineColour, banding);
        w->View->TMC_Timer();
        QCOMPARE(w->AREA[0]->SelLineColour, qRgb(255, 255, 255));
    }

    // The loupe: each picture pixel an 8 x 8 square, the pointer's in the
    // middle; beyond the picture's edges the loupe's own background.
    void loupeShowsExactPixels()
    {
        auto w = open(photoPng);
        const platform::Surface& pic = w->View->Document()->PicImg();
        const platform::Surface& loupe = w->Loupe->Image();
        const QRgb background = w->Loupe->BackColor.rgb();
        w->View->AREA_MouseMove(0, 0, 0, 0, 0); // the top-left pixel
        QCOMPARE(loupe.pixel(32, 32), pic.pixel(0, 0));
        QCOMPARE(loupe.pixel(39, 39), pic.pixel(0, 0));
        QCOMPARE(loupe.pixel(71, 71), pic.pixel(4, 4));
        QCOMPARE(loupe.pixel(31, 40), background);
        w->View->AREA_MouseMove(0, 0, 0, 20, 30);
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 9; ++i)
                QCOMPARE(loupe.pixel(i * 8 + 3, j * 8 + 5), pic.pixel(16 + i, 26 + j));
        w->View->AREA_MouseMove(0, 0, 0, 642, 100); // the last column three to the left of the middle
        QCOMPARE(loupe.pixel(15, 32), pic.pixel(639, 100));
        QCOMPARE(loupe.pixel(16, 32), background);
        w->View->AREA_MouseMove(0, 0, 0, 700, 500); // wholly outside
        QCOMPARE(loupe.pixel(32, 32), background);
    }

    // The option chosen picks the fill, applied to the picture as it is at
    // each press, on a rectangle committed bottom-right first and reaching
    // past the picture.
    void retouchEachModeEndToEnd()
    {
        for (int mode = 0; mode < 3; ++mode) {
            auto w = open(photoPng);
            w->OPT[mode]->setChecked(true);
            platform::Surface want = w->View->Document()->PicImg().copy();
            w->View->AREA_MouseDown(0, 1, 0, 700, 500);
            w->View->AREA_MouseDown(0, 1, 0, 100, 50);
            QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
            SelRect r{100, 50, 639, 479};
            QCOMPARE(w->View->Committed(), r);
            retouch::Retouch(want, r, retouch::FillMode(mode));
            QCOMPARE(FirstDifference(w->View->Document()->PicImg(), want), QString());
            QCOMPARE(w->AREA[0]->BackBuffer().pixel(150 - w->View->H(), 60 - w->View->V()), want.pixel(150, 60));
        }
    }

    // 文字補正: with the option chosen, a committed rectangle shows the
    // lettering it found, tinted; 補正 repaints just that, as the engine does;
    // Ctrl+Z takes it back.
    void lettersInTheWindow()
    {
        platform::Surface pic = QImage(photoPng).convertToFormat(QImage::Format_RGB32);
        for (int y = 100; y < 112; ++y) // a white bar, the simplest letter
            for (int x = 60; x < 160; ++x)
                pic.setPixel(x, y, 0xFFFFFFFF);
        const QString path = dir.filePath("lettered.png");
        QCOMPARE(codec::DCSavetoPNG(pic, 640, 480, path, 1), 0);
        auto w = open(path);
        PictureView* v = w->View;
        w->OPT[3]->setChecked(true);
        v->AREA_MouseDown(0, 1, 0, 50, 90);
        v->AREA_MouseMove(0, 0, 0, 170, 122);
        v->AREA_MouseDown(0, 1, 0, 170, 122);
        const std::vector<uint8_t>& mask = v->LetterMask();
        QCOMPARE(mask.size(), size_t(121 * 33));
        QVERIFY(mask[size_t(15) * 121 + 50] && !mask[0]); // the bar, not the corner
        QVERIFY(w->AREA[0]->BackBuffer().pixel(100, 105) != pic.pixel(100, 105)); // tinted
        QCOMPARE(w->AREA[0]->BackBuffer().pixel(52, 92), pic.pixel(52, 92));
        w->OPT[0]->setChecked(true);
        QVERIFY(v->LetterMask().empty());
        w->OPT[3]->setChecked(true);

        platform::Surface want = pic.copy();
        SelRect r{50, 90, 170, 122};
        QCOMPARE(retouch::Retouch(want, r, retouch::FillMode::Letters), retouch::RetouchResult::Done);
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        QCOMPARE(FirstDifference(v->Document()->PicImg(), want), QString());
        QCOMPARE(v->Document()->PicImg().pixel(52, 92), pic.pixel(52, 92)); // outside the mask: as it was
        QVERIFY(w->Undo());
        QCOMPARE(FirstDifference(v->Document()->PicImg(), pic), QString());

        // While 文字補正 runs off the window's thread nothing can change the
        // picture: not undo, another 補正, nor a drop.
        platform::Surface noisy = MakePicture(1600, 1200, 5);
        v->Document()->SetPicture(noisy.copy());
        v->Commit({5, 5, 1590, 1190});
        v->ShowSelLines(true);
        bool tried = false;
        QTimer::singleShot(30, w.get(), [&] {
            tried = !w->BTN[0]->isEnabled();
            QTest::keyClick(w.get(), Qt::Key_Z, Qt::ControlModifier);
            tried = tried && w->Retouch() == retouch::RetouchResult::NoSelection && !w->Undo();
            w->AREA_OLEDragDrop(0, {photoPng});
        });
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        QVERIFY(tried && w->BTN[0]->isEnabled() && w->View->Document()->Path().isEmpty());
        QVERIFY(w->Undo());
        QCOMPARE(FirstDifference(v->Document()->PicImg(), noisy), QString());
    }
};

QTEST_MAIN(TestSelection)
#include "tst_selection.moc"
