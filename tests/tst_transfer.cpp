// The pixel transfer and the retouch engine on a picture surface.
#include "Fills.h"
#include "Retouch.h"
#include "TestSupport.h"
#include "Transfer.h"

#include <QGuiApplication>
#include <QTest>

#include <random>

using namespace testsupport;
using retouch::PixelBuffer;
using retouch::SelRect;

Q_DECLARE_METATYPE(SelRect)

class TestTransfer : public QObject {
    Q_OBJECT
private slots:
    // The buffer is the picture bottom-up; a round trip keeps every byte,
    // byte 3 included; a transfer that cannot be made changes nothing.
    void transfers()
    {
        platform::Surface s = platform::MakeSurface(3, 2); // top row 1 2 3, bottom row 4 5 6
        for (int i = 0; i < 6; ++i)
            reinterpret_cast<uint32_t*>(s.scanLine(i / 3))[i % 3] = uint32_t(0xFF000000u | (i + 1));
        PixelBuffer buf;
        QCOMPARE(retouch::GetPixels(s, buf), 6);
        QCOMPARE(buf[3] & 0xFFFFFF, 1u); // top-left
        QCOMPARE(buf[5] & 0xFFFFFF, 3u); // top-right
        QCOMPARE(buf[0] & 0xFFFFFF, 4u); // bottom-left
        QCOMPARE(retouch::PixelIndex(0, 0, 3, 2), size_t(3));

        platform::Surface p = MakePicture(37, 23, 4);
        for (int y = 0; y < p.height(); ++y)
            for (int x = 0; x < p.width(); ++x)
                p.scanLine(y)[x * 4 + 3] = uchar(x * 7 + y);
        const QImage before = p.copy();
        QCOMPARE(retouch::GetPixels(p, buf), 37 * 23);
        QCOMPARE(retouch::SetPixels(p, buf), 0);
        QVERIFY(std::equal(p.constBits(), p.constBits() + p.sizeInBytes(), before.constBits()));

        platform::Surface none;
        QCOMPARE(retouch::GetPixels(none, buf), -1);
        PixelBuffer small;
        small.Redim(5);
        QCOMPARE(retouch::SetPixels(p, small), -1);
        QCOMPARE(p, before);
        QVERIFY(platform::MakeSurface(60000, 60000).isNull()); // beyond the limit: not even allocated
    }

    void orderAndClamp_data()
    {
        QTest::addColumn<SelRect>("in");
        QTest::addColumn<SelRect>("out");
        QTest::addColumn<bool>("selection");
        QTest::newRow("reversed corners") << SelRect{8, 6, 2, 1} << SelRect{2, 1, 8, 6} << true;
        QTest::newRow("past the picture") << SelRect{5, 5, 40, 30} << SelRect{5, 5, 9, 7} << true;
        QTest::newRow("one past the last pixel") << SelRect{10, 8, 3, 2} << SelRect{3, 2, 9, 7} << true;
        QTest::newRow("negative") << SelRect{-3, -2, 4, 4} << SelRect{0, 0, 4, 4} << true;
        QTest::newRow("nothing committed") << SelRect{0, 0, 0, 0} << SelRect{0, 0, 0, 0} << false;
        QTest::newRow("column 0 only") << SelRect{0, 2, 0, 5} << SelRect{0, 2, 0, 5} << false;
        QTest::newRow("row 0 only") << SelRect{1, 0, 6, 0} << SelRect{1, 0, 6, 0} << false;
    }
    void orderAndClamp()
    {
        QFETCH(SelRect, in);
        QFETCH(SelRect, out);
        QFETCH(bool, selection);
        SelRect retouched = in;
        QCOMPARE(retouch::OrderAndClamp(in, 10, 8), selection);
        QCOMPARE(in, out);
        // The retouch orders and clamps alike, and without a selection
        // changes nothing.
        platform::Surface s = MakePicture(10, 8);
        const QImage before = s.copy();
        QCOMPARE(retouch::Retouch(s, retouched, retouch::FillMode::Cross) == retouch::RetouchResult::Done, selection);
        QCOMPARE(retouched, out);
        QCOMPARE(s == before, !selection);
    }

    // The retouch moves only the rows the fill touches; the result must be
    // the fill applied to the whole picture, at every edge.
    void retouchEqualsTheFillOnTheWholePicture()
    {
        std::mt19937 rng(17);
        for (int round = 0; round < 200; ++round) {
            const int W = 2 + int(rng() % 30), H = 2 + int(rng() % 30);
            platform::Surface s = MakePicture(W, H, rng());
            SelRect r{int(rng() % W), int(rng() % H), int(rng() % W), int(rng() % H)};
            if (round % 4 == 0) r.Y1 = 0;
            if (round % 5 == 0) r.Y2 = H - 1;
            if (round % 7 == 0) { r.Y1 = 0; r.Y2 = H - 1; }
            const auto mode = retouch::FillMode(round % 3);
            SelRect sel = r;
            if (!retouch::OrderAndClamp(sel, W, H))
                continue;
            PixelBuffer whole;
            QCOMPARE(retouch::GetPixels(s, whole), W * H);
            if (mode == retouch::FillMode::Vertical) retouch::FillVertical(sel, whole, W, H);
            if (mode == retouch::FillMode::Horizontal) retouch::FillHorizontal(sel, whole, W, H);
            if (mode == retouch::FillMode::Cross) retouch::FillCross(sel, whole, W, H);
            platform::Surface want = s.copy();
            QCOMPARE(retouch::SetPixels(want, whole), 0);
            QCOMPARE(retouch::Retouch(s, r, mode), retouch::RetouchResult::Done);
            QCOMPARE(FirstDifference(s, want), QString());
        }
    }

};

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestTransfer t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_transfer.moc"
