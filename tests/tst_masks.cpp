// What the user steers by hand: the committed rectangle's handles, the
// letter mask's brush and picks, and the mask handed to pixmend-batch.
#include "Codec.h"
#include "LetterFill.h"
#include "PictureView.h"
#include "TestSupport.h"
#include "ViewArea.h"
#include "basCommon.h"
#include "frmMain.h"

#include <QPainter>
#include <QProcess>
#include <QRadioButton>
#include <QTest>

#include <cmath>
#include <random>

using namespace testsupport;
using retouch::SelRect;

namespace {

// A flat, slightly noisy background: texture with no letters of its own.
platform::Surface Texture(int w, int h, unsigned seed)
{
    platform::Surface s = platform::MakeSurface(w, h);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int v = 0x60 + int(rng() % 21) - 10;
            s.setPixel(x, y, qRgb(v, v + 8, v - 8));
        }
    return s;
}

// The view point at the centre of picture pixel (x, y), at the view's zoom.
QPointF At(const PictureView* v, int x, int y)
{
    const double z = v->Zoom();
    return z == 1.0 ? QPointF(x - v->H(), y - v->V()) : QPointF((x + 0.5) * z - v->H(), (y + 0.5) * z - v->V());
}

// Marks r with its letters shown, as two clicks do with 文字補正 chosen.
void Mark(PictureView* v, const SelRect& r)
{
    v->Commit(r);
    v->ShowSelLines(true);
    v->Commit(r); // shown now: its letters are found
}

void Drag(PictureView* v, QPoint from, QPoint to, int shift = 0)
{
    const QPointF a = At(v, from.x(), from.y()), b = At(v, to.x(), to.y());
    v->AREA_MouseDown(0, 1, shift, float(a.x()), float(a.y()));
    v->AREA_MouseMove(0, 0, shift, float((a.x() + b.x()) / 2), float((a.y() + b.y()) / 2));
    v->AREA_MouseMove(0, 0, shift, float(b.x()), float(b.y()));
    v->AREA_MouseUp(0, 1, shift, float(b.x()), float(b.y()));
}

} // namespace

class TestMasks : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    std::unique_ptr<frmMain> open(const platform::Surface& picture, const QString& name, bool letters)
    {
        const QString path = dir.filePath(name);
        [&] { QCOMPARE(codec::DCSavetoPNG(picture, picture.width(), picture.height(), path, 1), 0); }();
        basCommon::ImageFront = path;
        auto w = std::make_unique<frmMain>();
        w->Form_Load();
        w->resize(900, 700);
        w->show();
        w->View->ZoomTo(1.0, QPointF(0, 0));
        w->OPT[letters ? 3 : 0]->setChecked(true);
        return w;
    }

private slots:
    void initTestCase() { basCommon::LoadSettings(dir.path()); }

    // An edge or corner dragged moves exactly that edge or corner, at any
    // zoom; Ctrl and a drag inside moves the whole rectangle; a click on an
    // edge still starts a new rectangle.
    void handles_data()
    {
        QTest::addColumn<double>("zoom");
        QTest::newRow("100 %") << 1.0;
        QTest::newRow("200 %") << 2.0;
        QTest::newRow("25 %") << 0.25;
    }
    void handles()
    {
        QFETCH(double, zoom);
        auto w = open(MakePicture(640, 480, 3), "handles.png", false);
        PictureView* v = w->View;
        v->ZoomTo(zoom, QPointF(0, 0));
        v->Commit({100, 80, 300, 200});
        v->ShowSelLines(true);
        Drag(v, {300, 140}, {340, 152}); // the right edge
        QCOMPARE(v->Committed(), (SelRect{100, 80, 340, 200}));
        Drag(v, {100, 80}, {88, 60}); // the top-left corner
        QCOMPARE(v->Committed(), (SelRect{88, 60, 340, 200}));
        Drag(v, {200, 120}, {220, 132}, 2); // Ctrl: the whole of it
        QCOMPARE(v->Committed(), (SelRect{108, 72, 360, 212}));
        Drag(v, {200, 120}, {1000, 1000}, 2); // but never off the picture
        QCOMPARE(v->Committed(), (SelRect{387, 339, 639, 479}));
        const QPointF edge = At(v, 387, 400); // a click, a hand's tremor of a pixel in it
        v->AREA_MouseDown(0, 1, 0, float(edge.x()), float(edge.y()));
        v->AREA_MouseMove(0, 0, 0, float(edge.x() + 1), float(edge.y()));
        v->AREA_MouseUp(0, 1, 0, float(edge.x() + 1), float(edge.y()));
        QVERIFY(v->Selecting() == 1 && v->Live().X1 == 387 && v->Live().Y1 == 400);
    }

    // The brush paints a disc of its size along the drag into the mask,
    // within the rectangle only; Shift erases; each stroke is one undo step;
    // 補正 fills exactly the mask shown.
    void brush()
    {
        const platform::Surface texture = Texture(400, 300, 5);
        auto w = open(texture, "brush.png", true);
        PictureView* v = w->View;
        Mark(v, {100, 100, 200, 160});
        const std::vector<uint8_t> found = v->LetterMask();
        QCOMPARE(found.size(), size_t(101 * 61));
        while (v->BrushSize() != 9)
            v->ChangeBrush(v->BrushSize() < 9 ? 1 : -1);
        auto bit = [&](int x, int y) { return v->LetterMask()[size_t(y - 100) * 101 + size_t(x - 100)]; };
        Drag(v, {120, 130}, {220, 130}); // out over the right edge
        const std::vector<uint8_t> painted = v->LetterMask();
        for (int y = 100; y <= 160; ++y)
            for (int x = 100; x <= 200; ++x) {
                // Within 4 pixels of the stroke's line: painted; beyond 5: as found.
                const double d = x < 120 ? std::hypot(x - 120, y - 130) : std::abs(y - 130);
                if (d <= 4)
                    QVERIFY2(bit(x, y), qPrintable(QString("%1,%2").arg(x).arg(y)));
                else if (d > 5)
                    QCOMPARE(bit(x, y), found[size_t(y - 100) * 101 + size_t(x - 100)]);
            }
        Drag(v, {150, 130}, {160, 130}, 1); // Shift: erase
        QVERIFY(!bit(150, 130) && !bit(160, 134) && bit(170, 130) && bit(140, 130));
        QVERIFY(w->Undo());
        QCOMPARE(v->LetterMask(), painted);
        QVERIFY(w->Undo());
        QCOMPARE(v->LetterMask(), found);
        QVERIFY(w->Redo());
        QVERIFY(!w->IsChanged()); // the mask is no change of the picture
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        const platform::Surface& after = v->Document()->PicImg();
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) {
                const bool masked = x >= 100 && x <= 200 && y >= 100 && y <= 160 && painted[size_t(y - 100) * 101 + size_t(x - 100)];
                if (!masked)
                    QVERIFY2(after.pixel(x, y) == texture.pixel(x, y), qPrintable(QString("%1,%2").arg(x).arg(y)));
            }
    }

    // A thin grey letter the mask lacks is added by Ctrl+click on it, and
    // taken away again by Ctrl+Shift+click; the texture beside it stays out.
    void pickALetter()
    {
        platform::Surface pic = Texture(300, 200, 9);
        QRect letter[2] = {QRect(120, 60, 2, 40), QRect(120, 98, 24, 2)}; // an L
        for (const QRect& r : letter)
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    pic.setPixel(x, y, qRgb(200, 200, 200));
        auto w = open(pic, "pick.png", true);
        PictureView* v = w->View;
        const SelRect r{100, 50, 170, 110};
        v->Commit(r);
        v->ShowSelLines(true);
        QVERIFY(v->Document()->SetLetters({r, std::vector<uint8_t>(71 * 61, 0)})); // the detector missed it
        const QPointF on = At(v, 121, 80);
        v->AREA_MouseDown(0, 1, 2, float(on.x()), float(on.y()));
        v->AREA_MouseUp(0, 1, 2, float(on.x()), float(on.y()));
        size_t in = 0, out = 0;
        for (int y = r.Y1; y <= r.Y2; ++y)
            for (int x = r.X1; x <= r.X2; ++x) {
                const bool isLetter = letter[0].contains(x, y) || letter[1].contains(x, y);
                const bool set = v->LetterMask()[size_t(y - r.Y1) * 71 + size_t(x - r.X1)];
                in += isLetter && set;
                out += !isLetter && set;
            }
        QCOMPARE(in, size_t(2 * 40 + 24 * 2 - 4));
        QCOMPARE(out, size_t(0));
        v->AREA_MouseDown(0, 1, 3, float(on.x()), float(on.y()));
        v->AREA_MouseUp(0, 1, 3, float(on.x()), float(on.y()));
        QVERIFY(std::none_of(v->LetterMask().begin(), v->LetterMask().end(), [](uint8_t b) { return b; }));
    }

    // Texture with no caption: nothing is found, the window says so under
    // the loupe and 補正 changes nothing; pixmend-batch warns of the file
    // and reports "letters": 0.
    void nothingFound()
    {
        const platform::Surface texture = Texture(300, 200, 13);
        auto w = open(texture, "plain.png", true);
        PictureView* v = w->View;
        Mark(v, {80, 60, 220, 120});
        QVERIFY2(v->InfoText().contains("文字が見つかりません"), qPrintable(v->InfoText()));
        v->AREA_MouseDown(0, 1, 0, 220, 90); // the tint follows an edge being dragged
        v->AREA_MouseMove(0, 0, 0, 240, 90);
        QCOMPARE(v->LetterMask().size(), size_t(161 * 61));
        v->AREA_MouseUp(0, 1, 0, 220, 90);
        QCOMPARE(w->Retouch(), retouch::RetouchResult::NothingFound);
        QVERIFY(!w->IsChanged() && v->Document()->PicImg() == texture);
        QProcess batch;
        batch.start(PIXMEND_BATCH, {"--mode", "L", "--rect", "80,60,220,120", "--report", dir.filePath("r.json"), "--out",
                                    dir.filePath("plain"), dir.filePath("plain.png")});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), 0);
        QVERIFY(QString::fromUtf8(batch.readAllStandardError()).contains("plain.png: 文字が見つかりません"));
        QVERIFY(ReadAll(dir.filePath("r.json")).contains("\"letters\":0}"));
    }

    // A translucent mark shows in the second tint (cyan, told under the
    // loupe), an opaque caption beside it in the first (magenta); in a large
    // rectangle too, as the job that found the letters told them, and again
    // once the mask is corrected by hand.
    void translucentTint_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<SelRect>("rect");
        QTest::newRow("small rectangle") << QSize(320, 200) << SelRect{40, 40, 280, 100};
        QTest::newRow("large rectangle") << QSize(800, 420) << SelRect{40, 30, 760, 399};
    }
    void translucentTint()
    {
        QFETCH(QSize, size);
        QFETCH(SelRect, rect);
        platform::Surface truth = platform::MakeSurface(size.width(), size.height());
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const int v = 100 + int(std::lround(30 * std::sin(x / 9.0 + std::sin(y / 13.0)) * std::cos(y / 11.0 - x / 31.0)));
                truth.setPixel(x, y, qRgb(v, v - 10, v - 25));
            }
        platform::Surface pic = truth;
        for (int y = 60; y < 74; ++y) // a bar of white at 40 %
            for (int x = 60; x < 200; ++x) {
                const QRgb b = truth.pixel(x, y);
                auto mix = [](int c) { return int(std::lround(0.4 * 255 + 0.6 * c)); };
                pic.setPixel(x, y, qRgb(mix(qRed(b)), mix(qGreen(b)), mix(qBlue(b))));
            }
        QPainter(&pic).fillRect(230, 60, 30, 14, Qt::white); // and one of opaque white
        auto w = open(pic, "mark.png", true);
        PictureView* v = w->View;
        Mark(v, rect);
        auto tint = [&](int x, int y) {
            v->PaintView();
            return w->AREA[0]->BackBuffer().pixel(int(At(v, x, y).x()), int(At(v, x, y).y()));
        };
        const QRgb mark = tint(120, 66), opaque = tint(245, 66);
        QVERIFY2(qGreen(mark) > qRed(mark) + 40 && qBlue(mark) > qRed(mark) + 40, qPrintable(QString::number(mark, 16)));
        QVERIFY2(qRed(opaque) > qGreen(opaque) + 40 && qBlue(opaque) > qGreen(opaque) + 40, qPrintable(QString::number(opaque, 16)));
        QVERIFY2(v->InfoText().contains("水色"), qPrintable(v->InfoText()));
        if (rect.X2 - rect.X1 > 300) {
            Drag(v, {300, 200}, {320, 210}); // corrected by hand: told again, off the window's thread
            QTRY_VERIFY(!v->JudgingAside());
            const QRgb after = tint(120, 66), opaqueAfter = tint(245, 66);
            QVERIFY2(qGreen(after) > qRed(after) + 40, qPrintable(QString::number(after, 16)));
            QVERIFY2(qRed(opaqueAfter) > qGreen(opaqueAfter) + 40, qPrintable(QString::number(opaqueAfter, 16)));
            QVERIFY(v->InfoText().contains("水色"));
            return;
        }
        w->Retouch(); // the tint steps aside for the result
        QVERIFY(!v->InfoText().contains("水色"));
    }

    // The mask written from the window (Ctrl+M) and given to pixmend-batch
    // --mask gives the window's 補正, bit for bit; a mask of neither the
    // picture's size nor the rectangle's fails that file.
    void maskForTheBatch()
    {
        platform::Surface pic = Texture(320, 240, 11);
        for (int x = 40; x < 200; x += 9)
            for (int y = 120; y < 134; ++y)
                pic.setPixel(x + y % 3, y, qRgb(240, 240, 240));
        auto w = open(pic, "caption.png", true);
        PictureView* v = w->View;
        Mark(v, {30, 110, 210, 140});
        Drag(v, {60, 115}, {90, 138}); // a correction of the user's
        ScriptedDialogs dialogs;
        dialogs.fileAnswers << platform::FileDialogResult{dir.filePath("mask.png"), 1};
        QVERIFY(w->SaveLetterMask());
        QCOMPARE(QImage(dir.filePath("mask.png")).size(), QSize(181, 31));
        QCOMPARE(w->Retouch(), retouch::RetouchResult::Done);
        QProcess batch;
        batch.start(PIXMEND_BATCH, {"--quiet", "--rect", "30,110,210,140", "--mask", dir.filePath("mask.png"), "--out",
                                    dir.filePath("out"), dir.filePath("caption.png")});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), 0);
        QCOMPARE(FirstDifference(QImage(dir.filePath("out/caption.png")), v->Document()->PicImg()), QString());
        QImage whole(320, 240, QImage::Format_RGB32); // the same mask at the picture's size
        whole.fill(Qt::black);
        QPainter(&whole).drawImage(30, 110, QImage(dir.filePath("mask.png")));
        QVERIFY(whole.save(dir.filePath("whole.png")));
        batch.start(PIXMEND_BATCH, {"--quiet", "--rect", "30,110,210,140", "--mask", dir.filePath("whole.png"), "--out",
                                    dir.filePath("out2"), dir.filePath("caption.png")});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(FirstDifference(QImage(dir.filePath("out2/caption.png")), v->Document()->PicImg()), QString());

        batch.start(PIXMEND_BATCH, {"--rect", "30,110,210,141", "--mask", dir.filePath("mask.png"), "--out",
                                    dir.filePath("wrong"), dir.filePath("caption.png")});
        QVERIFY(batch.waitForFinished(60000));
        QCOMPARE(batch.exitCode(), 1);
        QVERIFY(QString::fromUtf8(batch.readAllStandardError()).contains("合いません"));
    }
};

QTEST_MAIN(TestMasks)
#include "tst_masks.moc"
