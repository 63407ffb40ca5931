// The fills against the rounding examples, the edge rules, and a plain
// column-by-column reference written from the definition.
#include "Fills.h"

#include <QTest>

#include <cmath>
#include <random>

using retouch::PixelBuffer;
using retouch::SelRect;

namespace {

struct Pic {
    int W, H;
    PixelBuffer buf;
    Pic(int w, int h) : W(w), H(h) { buf.Redim(size_t(w) * h); }
    uint32_t& at(int x, int y) { return buf[retouch::PixelIndex(x, y, W, H)]; }
    int ch(int x, int y, int c) { return (at(x, y) >> (8 * c)) & 0xFF; }
};

void Randomise(Pic& p, std::mt19937& rng)
{
    for (size_t i = 0; i < p.buf.size(); ++i)
        p.buf[i] = rng();
}

uint8_t Byte(float v)
{
    const float r = std::nearbyint(v);
    return uint8_t(r < 0 ? 0 : (r > 255 ? 255 : r));
}

// The definition, column by column (vertical) with channel-wise scalars.
void RefVertical(const SelRect& r, Pic& p, bool average)
{
    const int a = r.Y1 < 1 ? 0 : r.Y1 - 1;
    const int b = (p.H - 1 > r.Y2) ? r.Y2 + 1 : p.H - 1;
    const float n = float(r.Y2 - r.Y1 + 2);
    for (int x = r.X1; x <= r.X2; ++x) {
        float run[3], inc[3];
        for (int c = 0; c < 3; ++c) {
            const float P = float(p.ch(x, a, c)), Q = float(p.ch(x, b, c));
            inc[c] = float(double(Q - P) / double(n));
            run[c] = P;
        }
        const int last = b - 1;
        for (int y = a; y <= last; ++y) {
            uint32_t w = p.at(x, y);
            for (int c = 0; c < 3; ++c) {
                uint8_t v;
                if (average) {
                    const double sum = std::nearbyint(double(p.ch(x, y, c)) + double(run[c]));
                    v = uint8_t(std::clamp(int(sum) / 2, 0, 255));
                } else {
                    v = Byte(run[c]);
                }
                w = (w & ~(0xFFu << (8 * c))) | (uint32_t(v) << (8 * c));
                run[c] += inc[c];
            }
            p.at(x, y) = w;
        }
    }
}

void RefHorizontal(const SelRect& r, Pic& p)
{
    const int a = r.X1 < 1 ? 0 : r.X1 - 1;
    const int b = (p.W - 1 > r.X2) ? r.X2 + 1 : p.W - 1;
    const float n = float(r.X2 - r.X1 + 2);
    for (int y = r.Y1; y <= r.Y2; ++y) {
        float run[3], inc[3];
        for (int c = 0; c < 3; ++c) {
            const float P = float(p.ch(a, y, c)), Q = float(p.ch(b, y, c));
            inc[c] = float(double(Q - P) / double(n));
            run[c] = P;
        }
        for (int x = a; x <= b - 1; ++x) {
            uint32_t w = p.at(x, y);
            for (int c = 0; c < 3; ++c) {
                w = (w & ~(0xFFu << (8 * c))) | (uint32_t(Byte(run[c])) << (8 * c));
                run[c] += inc[c];
            }
            p.at(x, y) = w;
        }
    }
}

void RefCross(const SelRect& r, Pic& p)
{
    RefHorizontal(r, p);
    RefVertical(r, p, true);
}

void Copy(const Pic& from, Pic& to)
{
    for (size_t i = 0; i < from.buf.size(); ++i)
        to.buf[i] = from.buf[i];
}

QString FirstDifference(Pic& a, Pic& b)
{
    for (int y = 0; y < a.H; ++y)
        for (int x = 0; x < a.W; ++x)
            if (a.at(x, y) != b.at(x, y))
                return QString("(%1,%2): %3 vs %4").arg(x).arg(y).arg(a.at(x, y), 8, 16).arg(b.at(x, y), 8, 16);
    return QString();
}

} // namespace

class TestFills : public QObject {
    Q_OBJECT
private slots:
    void midpointRoundsHalfToEven_data()
    {
        QTest::addColumn<int>("above");
        QTest::addColumn<int>("below");
        QTest::addColumn<int>("expected");
        QTest::newRow("11.5 -> 12") << 10 << 13 << 12;
        QTest::newRow("10.5 -> 10") << 10 << 11 << 10;
        QTest::newRow("12.5 -> 12") << 11 << 14 << 12;
        QTest::newRow("descending") << 13 << 10 << 12;
    }
    void midpointRoundsHalfToEven()
    {
        QFETCH(int, above);
        QFETCH(int, below);
        QFETCH(int, expected);
        // One interior row, vertical, and the same transposed for the horizontal fill.
        Pic v(3, 3);
        for (int x = 0; x < 3; ++x) {
            v.at(x, 0) = 0xAB000000u | uint32_t(above) * 0x010101u;
            v.at(x, 1) = 0xCD000000u;
            v.at(x, 2) = uint32_t(below) * 0x010101u;
        }
        retouch::FillVertical({0, 1, 2, 1}, v.buf, 3, 3);
        for (int x = 0; x < 3; ++x)
            QCOMPARE(v.at(x, 1), 0xCD000000u | uint32_t(expected) * 0x010101u);

        Pic h(3, 1);
        h.at(0, 0) = uint32_t(above) * 0x010101u;
        h.at(1, 0) = 0x12000000u;
        h.at(2, 0) = uint32_t(below) * 0x010101u;
        retouch::FillHorizontal({1, 0, 1, 0}, h.buf, 3, 1);
        QCOMPARE(h.at(1, 0), 0x12000000u | uint32_t(expected) * 0x010101u);
    }

    void crossAveragesWithTruncatedHalf()
    {
        // h from the horizontal pass, v the unrounded vertical ramp:
        // left 100/right 100 give h = 100; above 100/below 103 give v = 101.5
        // -> round(201.5) = 202 -> 101.
        Pic p(3, 3);
        for (int i = 0; i < 9; ++i)
            p.buf[size_t(i)] = 0;
        p.at(0, 1) = 100;
        p.at(2, 1) = 100;
        p.at(1, 0) = 100;
        p.at(1, 2) = 103;
        retouch::FillCross({1, 1, 1, 1}, p.buf, 3, 3);
        QCOMPARE(p.ch(1, 1, 0), 101);
        // v = 100.5: round(200.5) = 200 -> 100.
        p.at(0, 1) = 100; p.at(2, 1) = 100; p.at(1, 0) = 100; p.at(1, 2) = 101;
        retouch::FillCross({1, 1, 1, 1}, p.buf, 3, 3);
        QCOMPARE(p.ch(1, 1, 0), 100);
        // h = 101 (left 101, right 101) with v = 100: 201 / 2 = 100.
        p.at(0, 1) = 101; p.at(2, 1) = 101; p.at(1, 0) = 100; p.at(1, 2) = 100;
        retouch::FillCross({1, 1, 1, 1}, p.buf, 3, 3);
        QCOMPARE(p.ch(1, 1, 0), 100);
    }

    void uniformBorderGivesUniformFill()
    {
        Pic p(20, 12);
        std::mt19937 rng(7);
        Randomise(p, rng);
        const uint32_t c = 0x00336699u;
        for (int x = 3; x <= 14; ++x)
            p.at(x, 2) = p.at(x, 9) = c;
        for (int y = 3; y <= 8; ++y)
            p.at(3, y) = p.at(14, y) = c;
        retouch::FillCross({4, 3, 13, 8}, p.buf, 20, 12);
        for (int y = 3; y <= 8; ++y)
            for (int x = 4; x <= 13; ++x)
                QCOMPARE(p.at(x, y) & 0xFFFFFFu, c);
    }

    void topEdgeRampNeverMeetsFarSample()
    {
        // Y1 = 0: row 0 is its own near sample; the divisor stays Y2 + 2.
        Pic p(1, 5);
        for (int y = 0; y < 5; ++y)
            p.at(0, y) = 0;
        p.at(0, 3) = 200; // far sample for Y2 = 2
        retouch::FillVertical({0, 0, 0, 2}, p.buf, 1, 5);
        QCOMPARE(p.ch(0, 0, 0), 0);
        QCOMPARE(p.ch(0, 1, 0), 50);  // 200 / 4
        QCOMPARE(p.ch(0, 2, 0), 100); // reaches P + 2 (Q - P) / 4, not Q
        QCOMPARE(p.ch(0, 3, 0), 200);
    }

    void invalidRectanglesWriteNothing()
    {
        Pic p(6, 6), before(6, 6);
        std::mt19937 rng(5);
        Randomise(p, rng);
        Copy(p, before);
        const SelRect bad[] = {{3, 1, 2, 4}, {0, 0, 6, 2}, {-1, 0, 2, 2}, {0, 4, 2, 1}};
        for (const SelRect& r : bad) {
            retouch::FillVertical(r, p.buf, 6, 6);
            retouch::FillHorizontal(r, p.buf, 6, 6);
            retouch::FillCross(r, p.buf, 6, 6);
        }
        PixelBuffer small;
        small.Redim(10);
        retouch::FillVertical({1, 1, 2, 2}, small, 6, 6); // buffer too small for 6 x 6
        QCOMPARE(FirstDifference(p, before), QString());
    }

    // Every fill against the reference, on random pictures and rectangles
    // that touch each edge, span the full height or width, and are one pixel
    // wide; widths that exercise both the four-wide and the remainder paths.
    void matchesReferenceBitForBit_data()
    {
        QTest::addColumn<int>("level");
        QTest::newRow("sse2") << int(retouch::SimdLevel::Sse2);
        if (__builtin_cpu_supports("avx2"))
            QTest::newRow("avx2") << int(retouch::SimdLevel::Avx2);
    }
    void matchesReferenceBitForBit()
    {
        QFETCH(int, level);
        retouch::SetFillSimdLevel(retouch::SimdLevel(level));
        QCOMPARE(int(retouch::FillSimdLevel()), level);
        std::mt19937 rng(20261206);
        for (int round = 0; round < 600; ++round) {
            const int W = 1 + int(rng() % 45), H = 1 + int(rng() % 29);
            Pic start(W, H);
            Randomise(start, rng);
            // Smooth ramps and extremes, not only noise, so that long
            // accumulations and near-.5 values occur.
            if (round % 3 == 0)
                for (int y = 0; y < H; ++y)
                    for (int x = 0; x < W; ++x)
                        start.at(x, y) = (start.at(x, y) & 0xFF000000u) | uint32_t((x * 7 + y * 3) % 256) * 0x010101u;
            int x1 = int(rng() % W), x2 = int(rng() % W), y1 = int(rng() % H), y2 = int(rng() % H);
            if (round % 5 == 0) { y1 = 0; y2 = H - 1; }
            if (round % 7 == 0) { x1 = 0; }
            if (round % 11 == 0) { x2 = W - 1; }
            const SelRect r{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
            for (int mode = 0; mode < 3; ++mode) {
                Pic got(W, H), want(W, H);
                Copy(start, got);
                Copy(start, want);
                if (mode == 0) {
                    retouch::FillVertical(r, got.buf, W, H);
                    RefVertical(r, want, false);
                } else if (mode == 1) {
                    retouch::FillHorizontal(r, got.buf, W, H);
                    RefHorizontal(r, want);
                } else {
                    retouch::FillCross(r, got.buf, W, H);
                    RefCross(r, want);
                }
                const QString diff = FirstDifference(got, want);
                if (!diff.isEmpty())
                    QFAIL(qPrintable(QString("mode %1, %2x%3, rect %4,%5-%6,%7: %8")
                                         .arg(mode).arg(W).arg(H).arg(r.X1).arg(r.Y1).arg(r.X2).arg(r.Y2).arg(diff)));
                // Nothing outside the near row/column .. rectangle changed, and byte 3 never.
                for (int y = 0; y < H; ++y)
                    for (int x = 0; x < W; ++x) {
                        QCOMPARE(got.at(x, y) >> 24, start.at(x, y) >> 24);
                        const bool inside = x >= r.X1 && x <= r.X2 && y >= r.Y1 && y <= r.Y2;
                        if (!inside && got.at(x, y) != start.at(x, y))
                            QFAIL(qPrintable(QString("mode %1 wrote outside at %2,%3").arg(mode).arg(x).arg(y)));
                    }
            }
        }
    }

    // One interior row: the vertical ramp lands exactly halfway wherever the
    // pixels above and below differ by an odd amount, on every column path.
    void crossTiesOnEveryPath_data() { matchesReferenceBitForBit_data(); }
    void crossTiesOnEveryPath()
    {
        QFETCH(int, level);
        retouch::SetFillSimdLevel(retouch::SimdLevel(level));
        std::mt19937 rng(11);
        for (int round = 0; round < 20; ++round) {
            Pic start(40, 3);
            Randomise(start, rng);
            Pic got(40, 3), want(40, 3);
            Copy(start, got);
            Copy(start, want);
            retouch::FillCross({1, 1, 38, 1}, got.buf, 40, 3);
            RefCross({1, 1, 38, 1}, want);
            QCOMPARE(FirstDifference(got, want), QString());
        }
    }

    void longRampsStayExact_data() { matchesReferenceBitForBit_data(); }
    void longRampsStayExact()
    {
        QFETCH(int, level);
        retouch::SetFillSimdLevel(retouch::SimdLevel(level));
        // Long accumulations are where a multiply-based shortcut would part
        // from repeated addition.
        std::mt19937 rng(99);
        Pic start(21, 3000);
        Randomise(start, rng);
        const SelRect r{0, 1, 20, 2997};
        for (int mode = 0; mode < 2; ++mode) {
            Pic got(21, 3000), want(21, 3000);
            Copy(start, got);
            Copy(start, want);
            if (mode == 0) {
                retouch::FillVertical(r, got.buf, 21, 3000);
                RefVertical(r, want, false);
            } else {
                retouch::FillCross(r, got.buf, 21, 3000);
                RefCross(r, want);
            }
            QCOMPARE(FirstDifference(got, want), QString());
        }
    }
};

QTEST_APPLESS_MAIN(TestFills)
#include "tst_fills.moc"
