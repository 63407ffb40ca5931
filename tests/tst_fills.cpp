// The fills against hand-worked examples of the rounding and edge rules, and
// against a plain column-by-column reference written from the definition;
// the pixel transfer and the retouch engine on a picture surface.
#include "Fills.h"
#include "LetterFill.h"
#include "Parallel.h"
#include "Retouch.h"
#include "TestSupport.h"
#include "Transfer.h"
#include "Unblend.h"

#include <QPainter>
#include <QPainterPath>
#include <QTest>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <tuple>

#include <sched.h>

using retouch::PixelBuffer;
using retouch::SelRect;
using testsupport::MakePicture;

Q_DECLARE_METATYPE(SelRect)

namespace {

struct Pic {
    int W, H;
    PixelBuffer buf;
    Pic(int w, int h, std::mt19937* rng = nullptr) : W(w), H(h)
    {
        buf.Redim(size_t(w) * h);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = rng ? (*rng)() : 0;
    }
    Pic(const Pic& o) : Pic(o.W, o.H) { std::copy(o.buf.data(), o.buf.data() + o.buf.size(), buf.data()); }
    uint32_t& at(int x, int y) { return buf[retouch::PixelIndex(x, y, W, H)]; }
    int ch(int x, int y, int c) { return (at(x, y) >> (8 * c)) & 0xFF; }
    Pic Transposed()
    {
        Pic t(H, W);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                t.at(y, x) = at(x, y);
        return t;
    }
};

// Texture: soft blobs a dozen pixels across (levels either way), over a
// gentle slope.
platform::Surface Textured(int W, int H, int texture)
{
    platform::Surface truth = platform::MakeSurface(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double t = texture * std::sin(x / 9.0 + std::sin(y / 13.0)) * std::cos(y / 11.0 - x / 31.0);
            const int v = 100 + x / 8 + int(std::lround(t));
            truth.setPixel(x, y, qRgb(v, v - 15 + int(t / 3), v - 30));
        }
    return truth;
}

// A smooth ground brightening from left to right, from level `from` by
// `rise` levels, a little warm.
platform::Surface Slope(int W, int H, int from, int rise)
{
    platform::Surface ground = platform::MakeSurface(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int v = from + rise * x / W;
            ground.setPixel(x, y, qRgb(v + 10, v, v - 10));
        }
    return ground;
}

void Set(std::vector<uint8_t>& mark, int W, const QRect& r)
{
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            mark[size_t(y) * W + x] = 1;
}

// colour at opacity over the pixels of mark.
platform::Surface Blended(const platform::Surface& truth, const std::vector<uint8_t>& mark, QRgb colour, double opacity)
{
    platform::Surface pic = truth.copy();
    for (int y = 0; y < pic.height(); ++y)
        for (int x = 0; x < pic.width(); ++x)
            if (mark[size_t(y) * pic.width() + x]) {
                const QRgb b = truth.pixel(x, y);
                auto mix = [&](int c, int t) { return int(std::lround(opacity * c + (1 - opacity) * t)); };
                pic.setPixel(x, y, qRgb(mix(qRed(colour), qRed(b)), mix(qGreen(colour), qGreen(b)), mix(qBlue(colour), qBlue(b))));
            }
    return pic;
}

// The colour as a camera's JPEG keeps it: brightness per pixel, the colour
// (the difference of each channel from it) averaged over 2 x 2 blocks and
// drawn back out between the blocks' centres, as a decoder does.
void HalfResolutionColour(platform::Surface& pic)
{
    const int W = pic.width(), H = pic.height();
    auto luma = [](QRgb p) { return 0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p); };
    const int bw = W / 2, bh = H / 2;
    std::vector<std::array<double, 3>> block(size_t(bw) * bh);
    for (int by = 0; by < bh; ++by)
        for (int bx = 0; bx < bw; ++bx)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (int k = 0; k < 4; ++k) {
                    const QRgb p = pic.pixel(2 * bx + k % 2, 2 * by + k / 2);
                    sum += ((p >> (16 - 8 * c)) & 255) - luma(p);
                }
                block[size_t(by) * bw + bx][size_t(c)] = sum / 4;
            }
    const platform::Surface sharp = pic.copy();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double fx = std::clamp((x - 0.5) / 2, 0.0, bw - 1.0), fy = std::clamp((y - 0.5) / 2, 0.0, bh - 1.0);
            const int x0 = int(fx), y0 = int(fy), x1 = std::min(x0 + 1, bw - 1), y1 = std::min(y0 + 1, bh - 1);
            const double ax = fx - x0, ay = fy - y0, Y = luma(sharp.pixel(x, y));
            int out[3];
            for (size_t c = 0; c < 3; ++c) {
                const double top = (1 - ax) * block[size_t(y0) * bw + x0][c] + ax * block[size_t(y0) * bw + x1][c];
                const double bottom = (1 - ax) * block[size_t(y1) * bw + x0][c] + ax * block[size_t(y1) * bw + x1][c];
                out[c] = std::clamp(int(std::lround(Y + (1 - ay) * top + ay * bottom)), 0, 255);
            }
            pic.setPixel(x, y, qRgb(out[0], out[1], out[2]));
        }
}

// Empty when found (a mask over rect) holds nine tenths of mark (W wide)
// at least; else how much it missed.
QString Misses(const std::vector<uint8_t>& found, const std::vector<uint8_t>& mark, int W, const SelRect& rect)
{
    const int rw = rect.X2 - rect.X1 + 1;
    size_t marked = 0, missed = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        if (found[i] > 1)
            return QString("%1 found at %2: not a mask").arg(found[i]).arg(i);
        const bool in = mark[size_t(rect.Y1 + int(i) / rw) * W + size_t(rect.X1 + int(i) % rw)];
        marked += in;
        missed += in && !found[i];
    }
    return missed * 10 < marked ? QString() : QString("%1 of %2 missed").arg(missed).arg(marked);
}

retouch::WordPicture words(platform::Surface& s)
{
    return retouch::WordPicture{reinterpret_cast<uint32_t*>(s.bits()), s.width(), s.height(), s.bytesPerLine() / 4};
}

// How far a repair is from the photo: levels summed over the channels of the
// pixels of r that `counted` takes.
template <typename Counted>
double OffBy(const platform::Surface& repaired, const platform::Surface& photo, const QRect& r, Counted counted)
{
    double sum = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (counted(x, y))
                for (int sh : {0, 8, 16})
                    sum += std::abs(int((repaired.pixel(x, y) >> sh) & 255) - int((photo.pixel(x, y) >> sh) & 255));
    return sum;
}

// What the translucent search misses of a mark's two dark bars at opacity
// over ground (320 x 200).
QString BarsMissed(const platform::Surface& ground, double opacity)
{
    const int W = 320;
    std::vector<uint8_t> mark(size_t(W) * ground.height(), 0);
    for (const QRect& r : {QRect(60, 40, 200, 24), QRect(60, 110, 200, 24)})
        Set(mark, W, r);
    platform::Surface pic = Blended(ground, mark, qRgb(10, 10, 10), opacity);
    const SelRect rect{35, 20, 284, 179};
    return Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect);
}

// The definition, column by column with channel-wise scalars; the
// horizontal ramp is the vertical one with rows and columns exchanged.
void RefVertical(const SelRect& r, Pic& p, bool average)
{
    const int a = r.Y1 < 1 ? 0 : r.Y1 - 1;
    const int b = (p.H - 1 > r.Y2) ? r.Y2 + 1 : p.H - 1;
    const float n = float(r.Y2 - r.Y1 + 2);
    for (int x = r.X1; x <= r.X2; ++x) {
        float run[3], inc[3];
        for (int c = 0; c < 3; ++c) {
            run[c] = float(p.ch(x, a, c));
            inc[c] = float(double(float(p.ch(x, b, c)) - run[c]) / double(n));
        }
        for (int y = a; y <= b - 1; ++y) {
            uint32_t w = p.at(x, y);
            for (int c = 0; c < 3; ++c) {
                const int v = average ? int(std::nearbyint(double(p.ch(x, y, c)) + double(run[c]))) / 2
                                      : int(std::nearbyint(run[c]));
                w = (w & ~(0xFFu << (8 * c))) | (uint32_t(std::clamp(v, 0, 255)) << (8 * c));
                run[c] += inc[c];
            }
            p.at(x, y) = w;
        }
    }
}

void RefHorizontal(const SelRect& r, Pic& p)
{
    Pic t = p.Transposed();
    RefVertical({r.Y1, r.X1, r.Y2, r.X2}, t, false);
    for (int y = 0; y < p.H; ++y)
        for (int x = 0; x < p.W; ++x)
            p.at(x, y) = t.at(y, x);
}

void Reference(int mode, const SelRect& r, Pic& p)
{
    if (mode != 0)
        RefHorizontal(r, p);
    if (mode != 1)
        RefVertical(r, p, mode == 2);
}

void Fill(int mode, const SelRect& r, PixelBuffer& buf, int W, int H)
{
    (mode == 0 ? retouch::FillVertical : mode == 1 ? retouch::FillHorizontal : retouch::FillCross)(r, buf, W, H);
}
void Fill(int mode, const SelRect& r, Pic& p) { Fill(mode, r, p.buf, p.W, p.H); }

QString FirstDifference(Pic& a, Pic& b)
{
    for (int y = 0; y < a.H; ++y)
        for (int x = 0; x < a.W; ++x)
            if (a.at(x, y) != b.at(x, y))
                return QString("(%1,%2): %3 vs %4").arg(x).arg(y).arg(a.at(x, y), 8, 16).arg(b.at(x, y), 8, 16);
    return QString();
}

} // namespace

// Where the fill of `free` pixels (none on the picture's edge) in `filled`
// strays by more than rounding from a plain over-relaxation of `original`
// run to the end; empty when nowhere.
QString FarFromRelaxed(const std::vector<uint32_t>& filled, const std::vector<uint32_t>& original, const std::vector<uint8_t>& free, int W)
{
    for (int ch = 0; ch < 24; ch += 8) {
        std::vector<double> u(original.size());
        for (size_t i = 0; i < u.size(); ++i)
            u[i] = (original[i] >> ch) & 255;
        for (int sweep = 0; sweep < 800; ++sweep)
            for (size_t i = 0; i < u.size(); ++i)
                if (free[i])
                    u[i] += 1.9 * ((u[i - 1] + u[i + 1] + u[i - size_t(W)] + u[i + size_t(W)]) / 4 - u[i]);
        for (size_t i = 0; i < u.size(); ++i)
            if (free[i] ? std::abs(double((filled[i] >> ch) & 255) - u[i]) > 0.51 : filled[i] != original[i])
                return QString("%1,%2").arg(i % size_t(W)).arg(i / size_t(W));
    }
    return {};
}

class TestFills : public QObject {
    Q_OBJECT
private slots:
    // Hand-worked single pixels: column (above, pixel, below) and row (left,
    // pixel, right) samples, the fill mode, and the byte expected.
    void workedExamples_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QList<int>>("samples"); // above, below, left, right
        QTest::addColumn<int>("expected");
        QTest::newRow("V 11.5 -> 12") << 0 << QList<int>{10, 13, 0, 0} << 12;
        QTest::newRow("V 10.5 -> 10") << 0 << QList<int>{10, 11, 0, 0} << 10;
        QTest::newRow("V descending 11.5") << 0 << QList<int>{13, 10, 0, 0} << 12;
        QTest::newRow("H 12.5 -> 12") << 1 << QList<int>{0, 0, 11, 14} << 12;
        // Cross: round(h + v) / 2 with the half dropped, h the row's rounded
        // ramp, v the column's unrounded one.
        QTest::newRow("X 100 + 101.5") << 2 << QList<int>{100, 103, 100, 100} << 101;
        QTest::newRow("X 100 + 100.5") << 2 << QList<int>{100, 101, 100, 100} << 100;
        QTest::newRow("X 101 + 100") << 2 << QList<int>{100, 100, 101, 101} << 100;
    }
    void workedExamples()
    {
        QFETCH(int, mode);
        QFETCH(QList<int>, samples);
        QFETCH(int, expected);
        Pic p(3, 3);
        p.at(1, 0) = uint32_t(samples[0]) * 0x010101u;
        p.at(1, 2) = uint32_t(samples[1]) * 0x010101u;
        p.at(0, 1) = uint32_t(samples[2]) * 0x010101u;
        p.at(2, 1) = uint32_t(samples[3]) * 0x010101u;
        p.at(1, 1) = 0xCD000000u;
        Fill(mode, {1, 1, 1, 1}, p);
        QCOMPARE(p.at(1, 1), 0xCD000000u | uint32_t(expected) * 0x010101u); // byte 3 kept
    }

    void edgeRules()
    {
        // Y1 = 0: row 0 is its own near sample, and the divisor stays Y2 + 2.
        Pic p(1, 5);
        p.at(0, 3) = 200; // far sample for Y2 = 2
        retouch::FillVertical({0, 0, 0, 2}, p.buf, 1, 5);
        QCOMPARE(p.ch(0, 1, 0), 50);  // 200 / 4
        QCOMPARE(p.ch(0, 2, 0), 100); // P + 2 (Q - P) / 4, not Q
        QCOMPARE(p.ch(0, 3, 0), 200);
        // Rectangles that are no rectangle of the picture, or a buffer too
        // small for it, write nothing.
        std::mt19937 rng(5);
        Pic q(6, 6, &rng), before(q);
        for (const SelRect& r : {SelRect{3, 1, 2, 4}, SelRect{0, 0, 6, 2}, SelRect{-1, 0, 2, 2}, SelRect{0, 4, 2, 1}})
            for (int mode = 0; mode < 3; ++mode)
                Fill(mode, r, q);
        PixelBuffer small;
        small.Redim(10);
        retouch::FillVertical({1, 1, 2, 2}, small, 6, 6);
        QCOMPARE(FirstDifference(q, before), QString());
    }

    // Every fill against the reference, bit for bit, on every code path:
    // random pictures and rectangles touching each edge, spanning the whole
    // height or width, one pixel wide, ties on every column (odd differences
    // across one row), and a 3000-row ramp where a multiply-based shortcut
    // would part from repeated addition. Nothing outside the rectangle, and
    // byte 3 nowhere, may change.
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
        for (int round = 0; round < 622; ++round) {
            int W = 1 + int(rng() % 45), H = 1 + int(rng() % 29);
            if (round >= 600)
                std::tie(W, H) = round == 621 ? std::pair{21, 3000} : std::pair{40, 3};
            Pic start(W, H, &rng);
            if (round % 3 == 0) // smooth ramps, so that long accumulations and near-.5 values occur
                for (int y = 0; y < H; ++y)
                    for (int x = 0; x < W; ++x)
                        start.at(x, y) = (start.at(x, y) & 0xFF000000u) | uint32_t((x * 7 + y * 3) % 256) * 0x010101u;
            int x1 = int(rng() % W), x2 = int(rng() % W), y1 = int(rng() % H), y2 = int(rng() % H);
            if (round % 5 == 0) { y1 = 0; y2 = H - 1; }
            if (round % 7 == 0) { x1 = 0; }
            if (round % 11 == 0) { x2 = W - 1; }
            if (round >= 600) { x1 = 1; x2 = W - 2; y1 = 1; y2 = H - 2; }
            const SelRect r{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
            for (int mode = 0; mode < 3; ++mode) {
                Pic got(start), want(start);
                Fill(mode, r, got);
                Reference(mode, r, want);
                const QString diff = FirstDifference(got, want);
                if (!diff.isEmpty())
                    QFAIL(qPrintable(QString("mode %1, %2x%3, rect %4,%5-%6,%7: %8")
                                         .arg(mode).arg(W).arg(H).arg(r.X1).arg(r.Y1).arg(r.X2).arg(r.Y2).arg(diff)));
                for (int y = 0; y < H; ++y)
                    for (int x = 0; x < W; ++x) {
                        const bool inside = x >= r.X1 && x <= r.X2 && y >= r.Y1 && y <= r.Y2;
                        if ((got.at(x, y) >> 24) != (start.at(x, y) >> 24) || (!inside && got.at(x, y) != start.at(x, y)))
                            QFAIL(qPrintable(QString("mode %1 wrote outside at %2,%3").arg(mode).arg(x).arg(y)));
                    }
            }
        }
    }

    // 文字補正 on pictures whose answer is known: a one-colour letter (bright
    // or dark, on a flat, a linear or a noisy background) is found whole;
    // on the flat and linear ones the background comes back exactly (a
    // linear ramp is its own harmonic fill); nothing outside the mask or the
    // rectangle changes; the same input gives the same bits.
    void letters_data()
    {
        QTest::addColumn<int>("background"); // 0 flat, 1 linear, 2 noise, 3 flat beside noise
        QTest::addColumn<uint32_t>("ink");
        QTest::newRow("white on flat") << 0 << 0xFFFFFFFFu;
        QTest::newRow("black on linear") << 1 << 0xFF000000u;
        QTest::newRow("orange on linear") << 1 << 0xFFFF8C1Eu;
        QTest::newRow("white on noise") << 2 << 0xFFFFFFFFu;
        // Texture at one end of a long rectangle must not hide a faint
        // letter at the other.
        QTest::newRow("faint beside texture") << 3 << 0xFF8C783Cu;
    }
    void letters()
    {
        QFETCH(int, background);
        QFETCH(uint32_t, ink);
        const int W = background == 3 ? 240 : 160, H = 100;
        std::vector<uint32_t> bg(size_t(W) * H);
        std::mt19937 noise(7);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                int r = 90, g = 120, b = 60;
                if (background == 1) { // ramps across, down and diagonally
                    r = 20 + x;
                    g = 40 + y;
                    b = 200 - y;
                } else if (background == 2 || (background == 3 && x >= 120)) {
                    const int a = background == 3 ? 25 : 15;
                    r += int(noise() % uint32_t(2 * a + 1)) - a;
                    g += int(noise() % uint32_t(2 * a + 1)) - a;
                    b += int(noise() % uint32_t(2 * a + 1)) - a;
                }
                bg[size_t(y) * W + x] = 0xFF000000u | uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
            }
        // An "E" of 3-pixel strokes.
        std::vector<uint32_t> pic = bg;
        std::vector<bool> letter(pic.size(), false);
        auto stroke = [&](int x0, int y0, int x1, int y1) {
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) {
                    pic[size_t(y) * W + x] = ink;
                    letter[size_t(y) * W + x] = true;
                }
        };
        stroke(60, 35, 62, 64);
        for (int y : {35, 48, 62})
            stroke(60, y, 80, y + 2);
        const SelRect rect{50, 28, background == 3 ? 195 : 95, 72};
        retouch::WordPicture words{pic.data(), W, H, W};
        const std::vector<uint8_t> mask = retouch::FindLetters(words, rect);
        retouch::FindLetters(words, SelRect{rect.X1, 40, rect.X2, 51}); // a caption 12 pixels high
        auto masks = [&](int x, int y) {
            return x >= rect.X1 && x <= rect.X2 && y >= rect.Y1 && y <= rect.Y2
                   && mask[size_t(y - rect.Y1) * (rect.X2 - rect.X1 + 1) + size_t(x - rect.X1)];
        };
        size_t masked = 0;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                masked += masks(x, y);
                QVERIFY2(masks(x, y) || !letter[size_t(y) * W + x], qPrintable(QString("letter pixel %1,%2 missed").arg(x).arg(y)));
            }
        // Grown by 1 for anti-aliasing; where the edge is clean, not by the 2 a halo takes.
        QVERIFY(masks(59, 50) && masks(81, 37) && (background == 2 || !masks(58, 50)));
        // Around the letter (its box grown by 2, and by 4 steps more in noise), not the whole rectangle.
        QVERIFY2(masked <= (background == 2 ? 33 * 42 : 25 * 34), qPrintable(QString::number(masked)));
        if (background == 2) { // nearly the whole picture, against a plain relaxation run to the end
            std::vector<uint32_t> whole = bg;
            retouch::WordPicture all{whole.data(), W, H, W};
            const SelRect big{4, 4, W - 5, H - 5};
            retouch::FillHarmonic(all, big, std::vector<uint8_t>(size_t(W - 8) * (H - 8), 1));
            std::vector<uint8_t> free(bg.size(), 0);
            for (int y = big.Y1; y <= big.Y2; ++y)
                std::fill_n(free.begin() + y * W + big.X1, big.X2 - big.X1 + 1, 1);
            QCOMPARE(FarFromRelaxed(whole, bg, free, W), QString());
        }
        std::vector<uint32_t> again = pic;
        retouch::FillHarmonic(words, rect, mask);
        retouch::WordPicture other{again.data(), W, H, W};
        retouch::FillHarmonic(other, rect, retouch::FindLetters(other, rect));
        QVERIFY(pic == again);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const size_t i = size_t(y) * W + x;
                if (!masks(x, y))
                    QVERIFY(pic[i] == (letter[i] ? ink : bg[i]));
                else if (background != 2)
                    QVERIFY2(pic[i] == bg[i], qPrintable(QString("%1,%2: %3 for %4").arg(x).arg(y).arg(pic[i], 0, 16).arg(bg[i], 0, 16)));
            }
    }

    // An out-of-focus object beside a caption, with a stroke of the caption
    // across it: its soft edges tell it from a bold letter's sharp ones. A
    // wire across the rectangle, far longer than it is wide, is no letter's
    // stroke either; a dash as long as the letter is wide is.
    void softObjects_data()
    {
        QTest::addColumn<int>("ramp"); // the disc's edge, in pixels
        QTest::newRow("blurred disc") << 14;
        QTest::newRow("sharp disc") << 1;
    }
    void softObjects()
    {
        QFETCH(int, ramp);
        const int W = 240, H = 150;
        std::vector<uint32_t> pic(size_t(W) * H);
        auto mix = [](int a, int b, double t) { return uint32_t(std::lround(a + (b - a) * t)); };
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const double r = std::hypot(x - 150, y - 60), t = std::clamp((44.0 - r) / ramp, 0.0, 1.0);
                pic[size_t(y) * W + x] = 0xFF000000u | mix(90, 230, t) << 16 | mix(120, 200, t) << 8 | mix(60, 60, t);
            }
        auto paint = [&](int x0, int y0, int x1, int y1, uint32_t ink) {
            for (int y = y0; y <= y1; ++y)
                std::fill_n(pic.begin() + y * W + x0, x1 - x0 + 1, ink);
        };
        paint(40, 40, 42, 80, 0xFFFFFFFFu); // an "E"
        for (int y : {40, 59, 78})
            paint(40, y, 60, y + 2, 0xFFFFFFFFu);
        paint(149, 40, 151, 80, 0xFF101010u); // a stroke across the disc
        paint(66, 59, 86, 61, 0xFFFFFFFFu); // a dash
        for (int x = 20; x <= 229; ++x) // a wire, sagging
            paint(x, 128 + (x - 125) * (x - 125) / 2000, x, 129 + (x - 125) * (x - 125) / 2000, 0xFF101010u);
        const SelRect rect{20, 8, 229, 141};
        const std::vector<uint8_t> mask = retouch::FindLetters({pic.data(), W, H, W}, rect);
        auto masks = [&](int x, int y) { return mask[size_t(y - rect.Y1) * (rect.X2 - rect.X1 + 1) + size_t(x - rect.X1)] != 0; };
        QVERIFY(masks(41, 60) && masks(55, 79) && masks(150, 42) && masks(150, 60) && masks(76, 60));
        QVERIFY(!masks(40, 131) && !masks(125, 128) && !masks(200, 131));
        // The disc's middle, away from the stroke: a bold letter's, not a blurred object's.
        QCOMPARE(masks(130, 60) && masks(170, 45), ramp == 1);
    }

    // A star field all over: the rectangle holds its share of the brightest
    // stars, as the strips beside do, and they are the photo's own. Letters
    // drawn over the same field are still found, and so are the dots of a
    // date among the stars, many more than the field would hold there.
    void speckledGround_data()
    {
        QTest::addColumn<int>("caption"); // 0 none, 1 letters, 2 dots
        QTest::newRow("stars alone") << 0;
        QTest::newRow("letters over stars") << 1;
        QTest::newRow("dots over stars") << 2;
    }
    void speckledGround()
    {
        QFETCH(int, caption);
        const int W = 900, H = 420;
        std::vector<uint32_t> pic(size_t(W) * H);
        std::mt19937 random(5);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                pic[size_t(y) * W + x] = 0xFF000000u | uint32_t(150 + x / 30 + int(random() % 9)) << 16 | uint32_t(50 + y / 20 + int(random() % 9)) << 8
                                         | uint32_t(60 + int(random() % 9));
        auto lift = [&](int x, int y, double t) {
            uint32_t& p = pic[size_t(y) * W + x];
            uint32_t out = 0xFF000000u;
            for (int k = 0; k < 24; k += 8)
                out |= uint32_t(std::lround(((p >> k) & 255) + t * (255 - ((p >> k) & 255)))) << k;
            p = out;
        };
        for (int k = 0; k < 1500; ++k) { // stars, a few pixels across, faint to bright
            const int cx = 2 + int(random() % (W - 4)), cy = 2 + int(random() % (H - 4));
            const double r = 0.6 + (random() % 13) / 10.0, peak = 0.3 + (random() % 60) / 100.0;
            for (int y = cy - 2; y <= cy + 2; ++y)
                for (int x = cx - 2; x <= cx + 2; ++x)
                    lift(x, y, peak * std::clamp(1.5 - std::hypot(x - cx, y - cy) / r, 0.0, 1.0));
        }
        auto paint = [&](int x0, int y0, int x1, int y1) {
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x)
                    pic[size_t(y) * W + x] = 0xFFFFFFFFu;
        };
        std::vector<QPoint> ink;
        if (caption == 1)
            for (int x = 330; x < 560; x += 40) { // "E"s
                paint(x, 190, x + 3, 225);
                for (int y : {190, 206, 222})
                    paint(x, y, x + 22, y + 3);
                ink.push_back({x + 1, 200});
                ink.push_back({x + 15, 207});
            }
        if (caption == 2)
            for (int x = 310; x < 590; x += 10) { // a row of dots
                paint(x, 210, x + 2, 212);
                ink.push_back({x + 1, 211});
            }
        const SelRect rect{300, 160, 599, 259};
        const std::vector<uint8_t> mask = retouch::FindLetters({pic.data(), W, H, W}, rect);
        const int rw = rect.X2 - rect.X1 + 1;
        for (const QPoint& p : ink)
            QVERIFY2(mask[size_t(p.y() - rect.Y1) * rw + size_t(p.x() - rect.X1)], qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
        if (caption == 0)
            QVERIFY2(std::count(mask.begin(), mask.end(), 1) * 100 <= std::ptrdiff_t(mask.size()),
                     qPrintable(QString::number(std::count(mask.begin(), mask.end(), 1))));
    }

    // A bright blob that the rectangle cuts (a petal's tip, a stone) runs
    // on beyond its edge, and is the photo's; a letter whose bar lies on the
    // edge stops there, and is the caption's. So is a letter that touches a
    // cut blob: its colour is its own.
    void cutObjects_data()
    {
        QTest::addColumn<bool>("touched");
        QTest::newRow("blob alone") << false;
        QTest::newRow("letter touching the blob") << true;
    }
    void cutObjects()
    {
        QFETCH(bool, touched);
        const int W = 420, H = 220;
        const SelRect rect{20, 30, 299, 169};
        // On the bottom edge, or on the left edge where a letter runs into it.
        auto inBlob = [&](int x, int y) {
            return touched ? std::hypot((x - 20) / 12.0, (y - 110) / 16.0) <= 1 : std::hypot((x - 250) / 16.0, (y - 169) / 12.0) <= 1;
        };
        std::vector<uint32_t> pic(size_t(W) * H);
        std::mt19937 random(3);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                pic[size_t(y) * W + x] = inBlob(x, y) ? 0xFF000000u | uint32_t(235 + random() % 12) << 16 | uint32_t(205 + random() % 12) << 8 | 60u
                                                      : 0xFF000000u | uint32_t(70 + random() % 14) << 16 | uint32_t(90 + random() % 14) << 8
                                                            | uint32_t(50 + random() % 14);
        auto paint = [&](int x0, int y0, int x1, int y1) {
            for (int y = y0; y <= y1; ++y)
                std::fill_n(pic.begin() + y * W + x0, x1 - x0 + 1, 0xFFFFFFFFu);
        };
        auto letterE = [&](int x, int y) {
            paint(x, y, x + 3, y + 36);
            for (int dy : {0, 16, 33})
                paint(x, y + dy, x + 22, y + dy + 3);
        };
        letterE(100, 30); // its top bar on the rectangle's top edge
        letterE(170, 80);
        if (touched) { // a mirrored E, its bars running into the blob
            paint(62, 92, 65, 128);
            for (int dy : {0, 16, 33})
                paint(28, 92 + dy, 65, 95 + dy);
        }
        const std::vector<uint8_t> mask = retouch::FindLetters({pic.data(), W, H, W}, rect);
        auto masks = [&](int x, int y) { return mask[size_t(y - rect.Y1) * (rect.X2 - rect.X1 + 1) + size_t(x - rect.X1)] != 0; };
        QVERIFY(masks(110, 31) && masks(101, 50) && masks(171, 100) && masks(185, 97));
        if (touched) {
            QVERIFY(masks(63, 100) && masks(45, 109) && masks(35, 126));
            return;
        }
        int blob = 0; // all of it and the ground about it
        for (int y = 145; y <= rect.Y2; ++y)
            for (int x = 225; x <= 275; ++x)
                blob += masks(x, y);
        QVERIFY2(blob == 0, qPrintable(QString::number(blob)));
    }

    // A lit streak inside the rectangle (a blade of grass, a sunlit rim)
    // stands out of the ground beside most where it is brightest; the rest
    // of it fades on past that, and it is the photo's. A letter beside it
    // stays the caption's.
    void runningObjects()
    {
        const int W = 420, H = 220;
        const SelRect rect{20, 30, 299, 169};
        std::vector<uint32_t> pic(size_t(W) * H);
        std::mt19937 random(5);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                // Smooth to its foot, as light fades.
                auto fade = [](double u) { return u <= 0 ? 0.0 : u >= 1 ? 1.0 : u * u * (3 - 2 * u); };
                const double t = fade(std::min(x - 60, 200 - x) / 20.0) * fade(1 - std::abs(y - 120) / 24.0);
                auto ch = [&](int ground, int lit) { return uint32_t(std::lround(ground + int(random() % 6) + t * (lit - ground))); };
                pic[size_t(y) * W + x] = 0xFF000000u | ch(120, 235) << 16 | ch(124, 215) << 8 | ch(118, 70);
            }
        for (int y = 50; y <= 86; ++y) // an E
            for (int x = 230; x <= 252; ++x)
                if (x <= 233 || (y - 50) % 16 <= 3 || y >= 83)
                    pic[size_t(y) * W + x] = 0xFFFFFFFFu;
        const std::vector<uint8_t> mask = retouch::FindLetters({pic.data(), W, H, W}, rect);
        auto masks = [&](int x, int y) { return mask[size_t(y - rect.Y1) * (rect.X2 - rect.X1 + 1) + size_t(x - rect.X1)] != 0; };
        QVERIFY(masks(231, 70) && masks(245, 51) && masks(245, 85));
        // Its foot, faint colours of its own, may still be taken.
        int streak = 0;
        for (int y = 106; y <= 134; ++y)
            for (int x = 84; x <= 176; ++x)
                streak += masks(x, y);
        QVERIFY2(streak == 0, qPrintable(QString::number(streak)));
    }

    // A mask of many parts: specks, a broken line, blobs of every size, one
    // of them large. Each is filled from the pixels about it alone, as one
    // fill of the whole would, and nothing else changes.
    void harmonicParts()
    {
        const int W = 420, H = 240;
        std::vector<uint32_t> bg(size_t(W) * H);
        std::mt19937 noise(11);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                bg[size_t(y) * W + x] = 0xFF000000u | uint32_t(40 + x / 3 + noise() % 30) << 16 | uint32_t(60 + y / 2 + noise() % 30) << 8
                                        | uint32_t(200 - y / 2 - noise() % 30);
        const SelRect rect{3, 3, W - 4, H - 4};
        const int rw = rect.X2 - rect.X1 + 1, rh = rect.Y2 - rect.Y1 + 1;
        std::vector<uint8_t> mask(size_t(rw) * rh, 0);
        auto set = [&](int x, int y) { mask[size_t(y - rect.Y1) * rw + size_t(x - rect.X1)] = 1; };
        for (int y = 5; y < 80; y += 3) // specks
            for (int x = 5; x < 120; x += 3)
                set(x, y);
        for (int k = 0; k < 150; ++k) // a line of diagonal steps: each pixel a part
            set(10 + k, 90 + k / 2 + k % 2);
        for (int r : {2, 5, 9, 20, 30}) // discs, the last two with grids of their own
            for (int y = -r; y <= r; ++y)
                for (int x = -r; x <= r; ++x)
                    if (x * x + y * y <= r * r)
                        set(130 + r * r / 3 + x, 50 + r + y);
        for (int y = 130; y < 230; ++y) // large enough for the work to be shared out
            for (int x = 180; x < 410; ++x)
                if ((x / 40 + y / 30) % 3)
                    set(x, y);
        std::vector<uint32_t> pic = bg;
        retouch::WordPicture words{pic.data(), W, H, W};
        QVERIFY(retouch::FillHarmonic(words, rect, mask));
        std::vector<uint8_t> free(bg.size(), 0);
        for (size_t i = 0; i < mask.size(); ++i)
            free[size_t(rect.Y1 + int(i) / rw) * W + size_t(rect.X1 + int(i) % rw)] = mask[i];
        QCOMPARE(FarFromRelaxed(pic, bg, free, W), QString());
        // Stopped, it leaves the picture as it was.
        std::vector<uint32_t> again = bg;
        retouch::WordPicture other{again.data(), W, H, W};
        QVERIFY(!retouch::FillHarmonic(other, rect, mask, [] { return false; }));
        QVERIFY(again == bg);
    }

    // One part as large as a subtitle's outline (its letters joined), with
    // islands of the photo in it: its solve is shared out over the cores,
    // and gives the same bits as on one.
    void harmonicOneLargePart()
    {
        const int W = 640, H = 260;
        std::vector<uint32_t> bg(size_t(W) * H);
        std::mt19937 noise(5);
        for (uint32_t& p : bg)
            p = 0xFF000000u | ((noise() & 0x3F3F3Fu) + 0x406080u);
        const SelRect rect{2, 2, W - 3, H - 3};
        const int rw = rect.X2 - rect.X1 + 1, rh = rect.Y2 - rect.Y1 + 1;
        std::vector<uint8_t> mask(size_t(rw) * rh, 1);
        for (int y = 0; y < rh; ++y)
            for (int x = 0; x < rw; ++x)
                if ((x % 23 < 4 && y % 17 < 5) || (x % 90 < 60 && y % 70 < 50 && (x / 90 + y / 70) % 3 == 0))
                    mask[size_t(y) * rw + x] = 0;
        std::vector<uint32_t> shared = bg, alone = bg;
        retouch::WordPicture a{shared.data(), W, H, W}, b{alone.data(), W, H, W};
        QVERIFY(retouch::FillHarmonic(a, rect, mask));
        {
            const retouch::OneCoreHere one;
            QVERIFY(retouch::FillHarmonic(b, rect, mask));
        }
        QVERIFY(shared != bg);
        QVERIFY(shared == alone);
    }

    // Pinned to one core (taskset, a container's cpuset), the work stays on
    // the calling thread: helpers for cores the process may not use would
    // only wait for them, spinning.
    void onlyTheCoresAllowed()
    {
        cpu_set_t was;
        QCOMPARE(sched_getaffinity(0, sizeof was, &was), 0);
        if (CPU_COUNT(&was) < 2)
            QSKIP("needs two cores to pin the test to one");
        int first = 0;
        while (!CPU_ISSET(first, &was))
            ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        QCOMPARE(sched_setaffinity(0, sizeof one, &one), 0);
        const unsigned free = retouch::FreeCores();
        std::vector<unsigned> workers(16, 99);
        retouch::InParallel(workers.size(), [&](size_t i, unsigned w) { workers[i] = w; });
        QCOMPARE(sched_setaffinity(0, sizeof was, &was), 0);
        QCOMPARE(free, 1u);
        QCOMPARE(workers, std::vector<unsigned>(16, 0));
        QVERIFY(retouch::FreeCores() >= 2);
    }

    // Highlights on stucco, stars over a dark sky: soft bright spots, a few
    // more of them in the rectangle than in the ring about it, as they
    // cluster. They are no mark, on any of a dozen draws.
    void clusteredHighlights()
    {
        const int W = 420, H = 260;
        const SelRect rect{110, 80, 309, 179};
        for (uint32_t seed = 1; seed <= 12; ++seed) {
            std::mt19937 draw{seed};
            std::vector<float> light(size_t(W) * H, 0.f);
            auto spot = [&](int cx, int cy) {
                const int r = 3 + int(draw() % 5);
                const float a = 0.3f + float(draw() % 30) / 100.f;
                for (int y = std::max(0, cy - r); y <= std::min(H - 1, cy + r); ++y)
                    for (int x = std::max(0, cx - r); x <= std::min(W - 1, cx + r); ++x) {
                        const float d = std::hypot(float(x - cx), float(y - cy)) / float(r);
                        float& l = light[size_t(y) * W + x];
                        if (d < 1)
                            l = std::max(l, a * (1 - d * d) * (1 - d * d));
                    }
            };
            for (int k = 0; k < 420; ++k)
                spot(int(draw() % W), int(draw() % H));
            for (int k = 0; k < 10; ++k)
                spot(rect.X1 + int(draw() % 200), rect.Y1 + int(draw() % 100));
            platform::Surface pic = platform::MakeSurface(W, H);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const int v = 110 + int(draw() % 9) - 4;
                    const float a = light[size_t(y) * W + x];
                    auto mix = [&](int t) { return int(std::lround(a * 240 + (1 - a) * t)); };
                    pic.setPixel(x, y, qRgb(mix(v + 6), mix(v), mix(v - 8)));
                }
            const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
            QVERIFY2(std::count(found.begin(), found.end(), 1) == 0, qPrintable(QString("draw %1").arg(seed)));
        }
    }

    // A grey mark over a photo's texture: found, and the photo under it
    // comes back within 2 levels; marks the un-blending must not touch are
    // refused (the fill stands, to the bit); texture without a mark is left
    // as it is.
    void translucentMarks_data()
    {
        QTest::addColumn<QRgb>("colour");
        QTest::addColumn<double>("opacity");
        QTest::addColumn<int>("stroke");
        QTest::addColumn<int>("texture"); // levels either way
        QTest::addColumn<int>("refusal"); // retouch::Refusal
        using R = retouch::Refusal;
        QTest::newRow("light, 40 %") << qRgb(255, 255, 255) << 0.4 << 12 << 30 << int(R::None);
        QTest::newRow("dark, 45 %") << qRgb(0, 0, 0) << 0.45 << 12 << 30 << int(R::None);
        QTest::newRow("opaque") << qRgb(255, 255, 255) << 1.0 << 12 << 45 << int(R::Opaque);
        QTest::newRow("coloured") << qRgb(255, 40, 40) << 0.5 << 12 << 45 << int(R::Coloured);
        QTest::newRow("thin strokes") << qRgb(255, 255, 255) << 0.4 << 2 << 45 << int(R::ThinOnTexture);
        QTest::newRow("thin strokes, smooth") << qRgb(255, 255, 255) << 0.4 << 2 << 0 << int(R::Thin);
        QTest::newRow("smooth sky") << qRgb(255, 255, 255) << 0.4 << 12 << 0 << int(R::Smooth);
        QTest::newRow("no mark at all") << qRgb(255, 255, 255) << 0.0 << 12 << 45 << -1;
    }
    void translucentMarks()
    {
        QFETCH(QRgb, colour);
        QFETCH(double, opacity);
        QFETCH(int, stroke);
        QFETCH(int, texture);
        QFETCH(int, refusal);
        const int W = 240, H = 150;
        const platform::Surface truth = Textured(W, H, texture);
        // Block letters: three bars and a post.
        std::vector<uint8_t> mark(size_t(W) * H, 0);
        for (const QRect& r : {QRect(50, 40, 140, stroke), QRect(50, 68, 140, stroke), QRect(50, 96, 140, stroke), QRect(110, 40, stroke, 56)})
            Set(mark, W, r);
        platform::Surface pic = Blended(truth, mark, colour, opacity);
        const SelRect rect{30, 25, 209, 124};
        const int rw = rect.X2 - rect.X1 + 1, rh = rect.Y2 - rect.Y1 + 1;
        std::vector<uint8_t> mask(size_t(rw) * rh, 0); // the mark grown by 1, as the letters' mask is
        for (int y = rect.Y1; y <= rect.Y2; ++y)
            for (int x = rect.X1; x <= rect.X2; ++x)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (mark[size_t(y + dy) * W + (x + dx)])
                            mask[size_t(y - rect.Y1) * rw + (x - rect.X1)] = 1;
        SelRect sel = rect;
        if (refusal < 0) { // nothing to find, nothing changed
            QCOMPARE(retouch::Retouch(pic, sel, retouch::FillMode::Letters), retouch::RetouchResult::Done);
            QCOMPARE(testsupport::FirstDifference(pic, truth), QString());
            return;
        }
        // Found: nine tenths of the mark at least are in 文字補正's mask;
        // and in the translucent search's own wherever the mark is one
        // (over a smooth ground too, where the fill repairs it).
        QCOMPARE(Misses(retouch::FindLetters(words(pic), rect), mark, W, rect), QString());
        if (refusal == int(retouch::Refusal::None) || refusal == int(retouch::Refusal::Smooth))
            QCOMPARE(Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect), QString());
        // Judged, and repaired over the mark's mask.
        platform::Surface filled = pic.copy(), harmonic = pic.copy();
        retouch::WordPicture hw = words(harmonic), fw = words(filled);
        QVERIFY(retouch::FillHarmonic(hw, rect, mask));
        QVERIFY(retouch::FillLetters(fw, rect, mask));
        std::vector<retouch::MarkEstimate> verdicts;
        retouch::UnblendTranslucent(words(pic), hw, rect, mask, false, &verdicts);
        QCOMPARE(int(verdicts.size()), 1);
        QCOMPARE(int(verdicts[0].refusal), refusal);
        // Weak evidence this thin passes for a mark over a smooth ground
        // only: over texture it is as likely the texture's own specks.
        const std::vector<uint8_t> like = retouch::MarkLike(words(pic), rect, mask);
        const size_t first = size_t(std::find(mask.begin(), mask.end(), 1) - mask.begin());
        if (stroke < 4)
            QCOMPARE(int(like[first]), int(refusal == int(retouch::Refusal::Thin)));
        if (refusal != int(retouch::Refusal::None)) {
            QCOMPARE(testsupport::FirstDifference(filled, harmonic), QString()); // the fill, untouched
            return;
        }
        QVERIFY2(std::abs(verdicts[0].opacity - opacity) <= 0.03, qPrintable(QString::number(verdicts[0].opacity)));
        int worst = 0; // under the mark, and beside it where the mask holds the photo
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                for (int sh : {0, 8, 16})
                    worst = std::max(worst, std::abs(int((filled.pixel(x, y) >> sh) & 255) - int((truth.pixel(x, y) >> sh) & 255)));
        QVERIFY2(worst <= 2, qPrintable(QString("%1 levels off").arg(worst)));
    }

    // A mark's anti-aliased edges: the strokes' outermost pixels covered in
    // part, and beyond them a rim fainter than the un-blending's floor.
    // Along the strokes' sides both come back within 2 levels, instead of
    // an outline of the other shade (taken whole) and a halo (taken as
    // none) about the strokes. (About an inner corner, where the bars meet
    // the post, the photo is told against a rim and comes back only part
    // of the way: not checked there.)
    void translucentRimsComeBack()
    {
        const int W = 240, H = 150;
        const platform::Surface truth = Textured(W, H, 30);
        std::vector<uint8_t> bars(size_t(W) * H, 0);
        for (const QRect& r : {QRect(50, 40, 140, 12), QRect(50, 68, 140, 12), QRect(110, 52, 12, 16)})
            Set(bars, W, r);
        platform::Surface pic = truth.copy();
        const SelRect rect{30, 25, 209, 124};
        const int rw = rect.X2 - rect.X1 + 1;
        std::vector<uint8_t> mask(size_t(rw) * (rect.Y2 - rect.Y1 + 1), 0);
        std::vector<QPoint> rim;
        for (int y = rect.Y1; y <= rect.Y2; ++y)
            for (int x = rect.X1; x <= rect.X2; ++x) {
                auto at = [&](int dx, int dy) { return int(bars[size_t(y + dy) * W + (x + dx)]); };
                const int beside = at(1, 0) + at(-1, 0) + at(0, 1) + at(0, -1);
                // the corners' diagonal pixels none
                const double cover = at(0, 0) ? (beside == 4 ? 1.0 : 0.85) : beside ? 0.17 : 0.0;
                const bool byThePost = x >= 106 && x <= 125; // its inner corners
                if (beside == (at(0, 0) ? 3 : 1) && !byThePost)
                    rim.push_back({x, y});
                for (int d = -2; d <= 2; ++d)
                    mask[size_t(y - rect.Y1) * rw + size_t(x - rect.X1)] |= at(d, 0) | at(0, d) | at(d, d) | at(d, -d);
                const QRgb b = truth.pixel(x, y);
                auto mix = [&](int t) { return int(std::lround(0.5 * cover * 255 + (1 - 0.5 * cover) * t)); };
                pic.setPixel(x, y, qRgb(mix(qRed(b)), mix(qGreen(b)), mix(qBlue(b))));
            }
        platform::Surface out = truth.copy(); // the fill as good as it can be: the photo itself
        retouch::WordPicture ow = words(out);
        QCOMPARE(retouch::UnblendTranslucent(words(pic), ow, rect, mask)[size_t(46 - rect.Y1) * rw + size_t(60 - rect.X1)],
                 uint8_t(retouch::kUnblended));
        for (const QPoint& p : rim)
            for (int sh : {0, 8, 16}) {
                const int off = std::abs(int((out.pixel(p) >> sh) & 255) - int((truth.pixel(p) >> sh) & 255));
                QVERIFY2(off <= 2, qPrintable(QString("%1 levels off at %2,%3").arg(off).arg(p.x()).arg(p.y())));
            }
    }

    // The translucent search outlines a mark whose rims a camera's colour at
    // half resolution has smeared: the channels no longer agree there on one
    // opacity (over a strongly coloured ground most), and the rim pixels
    // take a part of it.
    void translucentOutlines_data()
    {
        QTest::addColumn<bool>("blue");
        QTest::newRow("brown ground") << false;
        QTest::newRow("blue ground") << true;
    }
    void translucentOutlines()
    {
        QFETCH(bool, blue);
        const int W = 240, H = 150;
        std::vector<uint8_t> mark(size_t(W) * H, 0);
        // Block letters, their edges across the 2 x 2 blocks of colour.
        for (const QRect& r : {QRect(51, 41, 139, 13), QRect(51, 69, 139, 13), QRect(51, 97, 139, 13), QRect(111, 41, 13, 56)})
            Set(mark, W, r);
        platform::Surface ground = Textured(W, H, 30);
        for (int y = 0; y < H && blue; ++y)
            for (int x = 0; x < W; ++x) {
                const QRgb p = ground.pixel(x, y);
                ground.setPixel(x, y, qRgb(qRed(p) / 2, qGreen(p) * 5 / 6, std::min(255, qBlue(p) + 50)));
            }
        platform::Surface pic = Blended(ground, mark, qRgb(0, 0, 0), 0.45);
        HalfResolutionColour(pic);
        const SelRect rect{30, 25, 209, 124};
        QCOMPARE(Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect), QString());
    }

    // Over a weave (every pixel's colour a little off its neighbours', as
    // canvas or fibres are) a faint mark's steps are no larger than the
    // weave's own and its outline is lost; averaged over squares of two the
    // weave fades and the mark is found. The weave alone is no mark.
    void translucentMarkOverAWeave()
    {
        const int W = 320, H = 200;
        platform::Surface ground = Textured(W, H, 20);
        uint32_t seed = 12345;
        auto jitter = [&] {
            seed = seed * 1664525u + 1013904223u;
            return int(seed >> 24) % 41 - 20;
        };
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const QRgb p = ground.pixel(x, y);
                ground.setPixel(x, y, qRgb(qRed(p) + jitter(), qGreen(p) + jitter(), std::clamp(qBlue(p) + 60 + jitter(), 0, 255)));
            }
        std::vector<uint8_t> mark(size_t(W) * H, 0);
        for (const QRect& r : {QRect(60, 40, 200, 16), QRect(60, 90, 200, 16), QRect(60, 140, 200, 16), QRect(152, 40, 16, 116)})
            Set(mark, W, r);
        const SelRect rect{35, 20, 284, 179};
        platform::Surface pic = Blended(ground, mark, qRgb(240, 240, 240), 0.3);
        QCOMPARE(Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect), QString());
        const std::vector<uint8_t> none = retouch::FindTranslucent(words(ground), rect);
        QVERIFY(std::count(none.begin(), none.end(), 1) * 50 <= std::ssize(none));
    }

    // A large rectangle in the picture's corner has only a thin ring of the
    // photo about it; the photo's own steps (here stripes whose edges blend
    // towards white at 14 %, ten times as many as the mark's) are still
    // told from the mark's.
    void translucentMarkInACorner()
    {
        const int W = 400, H = 300;
        platform::Surface ground = platform::MakeSurface(W, H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const double t = 20 * std::sin(x / 9.0 + std::sin(y / 13.0)) * std::cos(y / 11.0 - x / 31.0);
                auto v = [&](double level) { return int(std::lround(x / 6 % 2 ? level + 0.14 * (255 - level) : level)); };
                ground.setPixel(x, y, qRgb(v(110 + t), v(95 + 4 * t / 3), v(80 + t)));
            }
        std::vector<uint8_t> mark(size_t(W) * H, 0);
        for (const QRect& r : {QRect(100, 80, 200, 16), QRect(100, 130, 200, 16), QRect(100, 180, 200, 16), QRect(195, 80, 14, 116)})
            Set(mark, W, r);
        platform::Surface pic = Blended(ground, mark, qRgb(245, 245, 245), 0.4);
        const SelRect rect{0, 0, 379, 279};
        const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
        QCOMPARE(Misses(found, mark, W, rect), QString());
        // The stripes beyond the mark's rims are not taken for it.
        size_t taken = 0;
        for (size_t i = 0; i < found.size(); ++i)
            taken += found[i] && !QRect(96, 76, 208, 128).contains(int(i) % (rect.X2 + 1), int(i) / (rect.X2 + 1));
        QVERIFY2(taken < 1000, qPrintable(QString("%1 pixels of the photo taken").arg(taken)));
    }

    // A dark mark over a patch of bright specks: they step towards white at
    // 14 % wherever they lie, far more often than the mark steps at all, so
    // that the light side peaks highest (towards black their steps spread,
    // the ground brightening across the picture); but they are too small to
    // pass for a mark, and the mark is found on the dark side.
    void translucentMarkUnderSpecks()
    {
        const int W = 240, H = 150;
        platform::Surface ground = Slope(W, H, 70, 130);
        uint32_t seed = 7;
        auto random = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
        for (int k = 0; k < 600; ++k) { // specks of 2 x 2
            const int x = 30 + int(random() % 178), y = 25 + int(random() % 98);
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const QRgb p = ground.pixel(x + dx, y + dy);
                    auto lift = [](int c) { return int(std::lround(c + 0.14 * (255 - c))); };
                    ground.setPixel(x + dx, y + dy, qRgb(lift(qRed(p)), lift(qGreen(p)), lift(qBlue(p))));
                }
        }
        std::vector<uint8_t> mark(size_t(W) * H, 0);
        for (const QRect& r : {QRect(51, 41, 139, 13), QRect(51, 69, 139, 13), QRect(51, 97, 139, 13), QRect(111, 41, 13, 56)})
            Set(mark, W, r);
        platform::Surface pic = Blended(ground, mark, qRgb(10, 10, 10), 0.25);
        const SelRect rect{30, 25, 209, 124};
        QCOMPARE(Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect), QString());
    }

    // Specks crowding the rectangle, each lifted 10 to 14 % of the way to
    // white (a sea's sparkle): white peaks highest, at the faintest opacity
    // a mark may have. Each speck passes for a part of a mark as well as a
    // faint mark's letter would; but no mark is there.
    void translucentSpecksAreNoMark()
    {
        const int W = 240, H = 150;
        const platform::Surface ground = Textured(W, H, 12);
        uint32_t seed = 11;
        auto random = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
        platform::Surface pic = ground;
        for (int k = 0; k < 200; ++k) {
            const int size = 4 + int(random() % 5), x = 40 + int(random() % uint32_t(160 - size)), y = 40 + int(random() % uint32_t(70 - size));
            const double lift = 0.10 + 0.01 * int(random() % 5);
            for (int dy = 0; dy < size; ++dy)
                for (int dx = 0; dx < size; ++dx) {
                    const QRgb p = pic.pixel(x + dx, y + dy);
                    auto up = [lift](int c) { return int(std::lround(c + lift * (255 - c))); };
                    pic.setPixel(x + dx, y + dy, qRgb(up(qRed(p)), up(qGreen(p)), up(qBlue(p))));
                }
        }
        const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), SelRect{40, 40, 199, 109});
        QCOMPARE(std::count(found.begin(), found.end(), 1), 0);
    }

    // A dark mark beside squares of the photo a little lighter, or darker,
    // than it all round: their sides step towards white at 14 % (or black at
    // 12 %), more often than the mark's, and peak highest; over the smooth
    // ground they pass for a faint mark. Both sides' humps are tried too,
    // and the mark, the more it outlines, is taken.
    void translucentMarkBesideFaintSquares()
    {
        const int W = 320, H = 200;
        for (const auto& [squaresGrey, squaresOpacity] : {std::pair{qRgb(255, 255, 255), 0.14}, std::pair{qRgb(0, 0, 0), 0.12}}) {
            platform::Surface ground = Slope(W, H, 90, 110);
            std::vector<uint8_t> squares(size_t(W) * H, 0);
            for (const int y : {71, 92, 144})
                for (int x = 45; x < 285; x += 16)
                    Set(squares, W, QRect(x, y, 11, 11));
            QCOMPARE(BarsMissed(Blended(ground, squares, squaresGrey, squaresOpacity), 0.3), QString());
        }
    }

    // A dark mark among more squares than before, lifted 14 % towards white:
    // they now outline more than the mark does and are taken at full
    // resolution; but halved, each is too small to pass for a stroke, and
    // the look at half the resolution finds the mark's shade. The mark,
    // outlined at its stronger opacity as well, is taken instead.
    void translucentMarkAmongManyFaintSquares()
    {
        const int W = 320, H = 200;
        platform::Surface ground = Slope(W, H, 90, 110);
        std::vector<uint8_t> squares(size_t(W) * H, 0);
        for (const int y : {68, 86, 140, 158})
            for (int x = 38; x < 285; x += 14)
                Set(squares, W, QRect(x, y, 11, 11));
        QCOMPARE(BarsMissed(Blended(ground, squares, qRgb(255, 255, 255), 0.14), 0.3), QString());
    }

    // A dark mark beside dark stalks with a soft rim a pixel wide: the rims
    // step 26 % of the way to black, far more often than the mark steps at
    // all, and peak highest, well above the faintest opacities; but each
    // leads on into the stalk's far steeper step, while the mark's edges
    // are the steepest steps there are. Their hump is tried too.
    void translucentMarkBesideSoftStalks()
    {
        const int W = 320, H = 200;
        std::vector<uint8_t> rims(size_t(W) * H, 0), stalks(size_t(W) * H, 0);
        for (const int y : {68, 140})
            for (int x = 40; x < 272; x += 14) {
                Set(rims, W, QRect(x, y, 8, 30));
                Set(stalks, W, QRect(x + 1, y, 6, 30));
            }
        QCOMPARE(BarsMissed(Blended(Blended(Slope(W, H, 150, 60), rims, qRgb(0, 0, 0), 0.26), stalks, qRgb(0, 0, 0), 0.95), 0.5), QString());
    }

    // Block letters of a bold face (a stroke of 12, counters 12 wide: small
    // enough to pass for holes in the outline) at 25 % towards white, two
    // of them over shadows dark in the counter and lifting across the
    // stroke about it. Taken in as holes, the counters led the fill under
    // those letters far from the shadow, and the letters were not found.
    // They are found now, their counters left out of the mask and as they
    // are, and the photo under their strokes nearer than the mark left it
    // (the fill under them, between the dark counter and the light ground
    // about, still misleads the opacity: 0.19 of 0.25).
    void translucentCountersOverAShadow()
    {
        const int W = 300, H = 150;
        platform::Surface truth = Textured(W, H, 30);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                for (const double cx : {77.5, 173.5}) { // the counters' centres
                    const double r = std::max(std::abs(x - cx), std::abs(y - 74.5));
                    const double f = std::clamp(0.4 + 0.05 * (r - 6), 0.4, 1.0);
                    const QRgb p = truth.pixel(x, y);
                    truth.setPixel(x, y, qRgb(int(qRed(p) * f), int(qGreen(p) * f), int(qBlue(p) * f)));
                }
        std::vector<uint8_t> mark(size_t(W) * H, 0), counters(size_t(W) * H, 0);
        for (int k = 0; k < 4; ++k) { // four "o"s
            Set(mark, W, QRect(60 + 48 * k, 57, 36, 36));
            Set(counters, W, QRect(72 + 48 * k, 69, 12, 12));
        }
        for (size_t i = 0; i < mark.size(); ++i)
            mark[i] &= !counters[i];
        platform::Surface pic = Blended(truth, mark, qRgb(255, 255, 255), 0.25), repaired = pic.copy();
        const SelRect rect{40, 35, 259, 114};
        retouch::WordPicture rw = words(repaired);
        const std::vector<uint8_t> found = retouch::FindTranslucent(rw, rect);
        QCOMPARE(Misses(found, mark, W, rect), QString());
        QVERIFY(retouch::FillLetters(rw, rect, found));
        // Two pixels in from a side: nearer, the mask holds the photo beside
        // the strokes too, each pixel's coverage told from its neighbours.
        auto deep = [&](const std::vector<uint8_t>& in, int x, int y) {
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx)
                    if (!in[size_t(y + dy) * W + size_t(x + dx)])
                        return false;
            return true;
        };
        const QRect r(2, 2, W - 4, H - 4);
        QCOMPARE(OffBy(repaired, pic, r, [&](int x, int y) { return deep(counters, x, y); }), 0.0);
        const double left = OffBy(repaired, truth, r, [&](int x, int y) { return deep(mark, x, y); });
        const double marked = OffBy(pic, truth, r, [&](int x, int y) { return deep(mark, x, y); });
        QVERIFY2(left * 2 < marked, qPrintable(QString("%1 of %2 left").arg(left).arg(marked)));
    }

    // White rings outlined in black over a dusky sky: beside the outline,
    // every pixel of the sky reads as white at its own level's opacity. The
    // sky in their counters and between them is no mark.
    void translucentSearchLeavesAnOutlinedCaption()
    {
        const int W = 400, H = 140;
        platform::Surface ground = platform::MakeSurface(W, H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                ground.setPixel(x, y, qRgb(30 + y / 10 + x / 40, 36 + y / 10, 50 + y / 10));
        platform::Surface pic = ground.copy();
        QPainterPath rings;
        rings.setFillRule(Qt::OddEvenFill);
        for (int k = 0; k < 6; ++k) {
            rings.addEllipse(QRectF(40 + 54 * k, 40, 44, 60));
            rings.addEllipse(QRectF(54 + 54 * k, 56, 16, 28));
        }
        QPainter painter(&pic);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.strokePath(rings, QPen(Qt::black, 8));
        painter.fillPath(rings, Qt::white);
        painter.end();
        const SelRect rect{20, 20, 379, 119};
        const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
        size_t sky = 0; // found pixels 3 or more from any ink
        for (int y = rect.Y1; y <= rect.Y2; ++y)
            for (int x = rect.X1; x <= rect.X2; ++x) {
                bool inked = false;
                for (int d = 0; d < 25; ++d)
                    inked = inked || pic.pixel(x + d % 5 - 2, y + d / 5 - 2) != ground.pixel(x + d % 5 - 2, y + d / 5 - 2);
                sky += found[size_t(y - rect.Y1) * 360 + size_t(x - rect.X1)] && !inked;
            }
        QCOMPARE(sky, size_t(0));
    }

    // A mark turned 30 or 45 degrees over texture: the core of its strokes
    // (the mask shrunk by a square) lies deeper within a slanted side than
    // a straight walk of 3 pixels reaches, yet it is told and found.
    void translucentMarkAtASlant()
    {
        const int W = 360, H = 220;
        const platform::Surface ground = Textured(W, H, 30);
        const SelRect rect{20, 10, W - 21, H - 11};
        for (const double degrees : {30.0, 45.0}) {
            const double c = std::cos(degrees * std::numbers::pi / 180), s = std::sin(degrees * std::numbers::pi / 180);
            // Three bars and a post at 50 %, each pixel covered by the share
            // of its 4 x 4 samples inside; the mark is what they cover wholly.
            std::vector<uint8_t> mark(size_t(W) * H, 0);
            platform::Surface pic = ground.copy();
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    int in = 0;
                    for (int k = 0; k < 16; ++k) {
                        const double px = x + (k % 4 + 0.5) / 4 - W / 2.0, py = y + (k / 4 + 0.5) / 4 - H / 2.0;
                        const double u = c * px + s * py, v = c * py - s * px;
                        in += std::abs(u) < 110
                           && (std::abs(v + 35) < 8 || std::abs(v - 5) < 8 || std::abs(v - 45) < 8 || (std::abs(u + 40) < 8 && std::abs(v - 5) < 48));
                    }
                    mark[size_t(y) * W + x] = in == 16;
                    const double a = 0.5 * in / 16;
                    const QRgb b = ground.pixel(x, y);
                    auto mix = [&](int t) { return int(std::lround(a * 10 + (1 - a) * t)); };
                    pic.setPixel(x, y, qRgb(mix(qRed(b)), mix(qGreen(b)), mix(qBlue(b))));
                }
            QVERIFY2(Misses(retouch::FindTranslucent(words(pic), rect), mark, W, rect).isEmpty(), qPrintable(QString::number(degrees)));
        }
    }

    // A diamond's sides all slant: its edges are told along the diagonals
    // only, and must then vanish far better to be found. A shade of 35 %
    // throughout does; one deepening from 20 % to 55 % across the diamond
    // (the photo's own shading, no one opacity) is not taken for a mark.
    // Put in the mask all the same (by hand), both are un-blended: even the
    // shading at one opacity leaves the photo nearer than the fill does.
    void translucentDiamonds()
    {
        const int W = 240, H = 150;
        const platform::Surface ground = Textured(W, H, 30);
        const SelRect rect{30, 10, 209, 139};
        const int rw = rect.X2 - rect.X1 + 1, rh = rect.Y2 - rect.Y1 + 1;
        for (const auto& [from, to, found] : {std::tuple{0.35, 0.35, true}, std::tuple{0.2, 0.55, false}}) {
            platform::Surface pic = ground.copy();
            std::vector<uint8_t> mask(size_t(rw) * rh, 0);
            for (int y = rect.Y1; y <= rect.Y2; ++y)
                for (int x = rect.X1; x <= rect.X2; ++x) {
                    const int d = std::abs(x - 120) + std::abs(y - 75);
                    mask[size_t(y - rect.Y1) * rw + size_t(x - rect.X1)] = d <= 41;
                    if (d > 40)
                        continue;
                    const double a = from + (to - from) * (x - 80) / 80.0;
                    const QRgb b = ground.pixel(x, y);
                    auto mix = [&](int t) { return int(std::lround((1 - a) * t)); };
                    pic.setPixel(x, y, qRgb(mix(qRed(b)), mix(qGreen(b)), mix(qBlue(b))));
                }
            const size_t centre = size_t(75 - rect.Y1) * rw + size_t(120 - rect.X1);
            QCOMPARE(bool(retouch::MarkLike(words(pic), rect, mask)[centre]), found);
            platform::Surface harmonic = pic.copy(), unblended;
            retouch::WordPicture hw = words(harmonic);
            QVERIFY(retouch::FillHarmonic(hw, rect, mask));
            unblended = harmonic.copy();
            retouch::WordPicture uw = words(unblended);
            QCOMPARE(retouch::UnblendTranslucent(words(pic), uw, rect, mask)[centre], uint8_t(retouch::kUnblended));
            const QRect all(rect.X1, rect.Y1, rw, rect.Y2 - rect.Y1 + 1);
            auto any = [](int, int) { return true; };
            const double off = OffBy(unblended, ground, all, any), fillOff = OffBy(harmonic, ground, all, any);
            QVERIFY2(off < fillOff, qPrintable(QString("%1 against %2").arg(off).arg(fillOff)));
        }
    }

    // A brush's stroke over a translucent mark holds more of the photo than
    // of the mark: the mark is still un-blended, and under the letters and
    // beside them the photo comes back nearer than the fill leaves it. White
    // strokes in a black outline under the same brush hide the photo: they
    // are filled.
    void translucentMarkUnderABrush()
    {
        const int W = 240, H = 150;
        const SelRect rect{10, 10, 229, 139};
        const int rw = rect.X2 - rect.X1 + 1;
        const platform::Surface ground = Textured(W, H, 30);
        for (const bool opaque : {false, true}) {
            std::vector<uint8_t> mark(size_t(W) * H, 0), mask(size_t(rw) * (rect.Y2 - rect.Y1 + 1), 0);
            for (int left : {50, 110, 170})
                Set(mark, W, QRect(left, 55, 20, 40));
            platform::Surface pic = opaque ? ground.copy() : Blended(ground, mark, qRgb(255, 255, 255), 0.35);
            if (opaque) { // a subtitle's strokes: white, outlined in black, anti-aliased
                QPainter p(&pic);
                p.setRenderHint(QPainter::Antialiasing);
                p.setPen(QPen(Qt::black, 3));
                p.setBrush(Qt::white);
                for (int left : {50, 110, 170})
                    p.drawPath([&] { QPainterPath b; b.addRect(left + 0.3, 55.3, 8, 40); return QTransform().rotate(4).map(b); }());
            }
            for (int y = rect.Y1; y <= rect.Y2; ++y) // the brush: 12 pixels beyond the letters
                for (int x = rect.X1; x <= rect.X2; ++x)
                    mask[size_t(y - rect.Y1) * rw + size_t(x - rect.X1)] = y >= 41 && y <= 108 && x >= 36 && x <= 201;
            platform::Surface harmonic = pic.copy(), repaired;
            retouch::WordPicture hw = words(harmonic);
            QVERIFY(retouch::FillHarmonic(hw, rect, mask));
            repaired = harmonic.copy();
            retouch::WordPicture repairedWords = words(repaired);
            const std::vector<uint8_t> ways = retouch::UnblendTranslucent(words(pic), repairedWords, rect, mask);
            const size_t inLetter = size_t(75 - rect.Y1) * rw + size_t((opaque ? 52 : 60) - rect.X1);
            QCOMPARE(ways[inLetter], uint8_t(opaque ? retouch::kFilled : retouch::kUnblended));
            if (opaque)
                continue;
            // Nearer the photo than the fill by half (the fill smooths the
            // texture away).
            const QRect brush(36, 41, 166, 68);
            for (const bool under : {true, false}) {
                auto counted = [&](int x, int y) { return bool(mark[size_t(y) * W + x]) == under; };
                const double unblended = OffBy(repaired, ground, brush, counted), filled = OffBy(harmonic, ground, brush, counted);
                QVERIFY2(unblended * 2 < filled, qPrintable(QString("%1: %2 against the fill's %3").arg(under ? "under" : "beside").arg(unblended).arg(filled)));
            }
        }
    }

    // Three light blocks of one mark, the third over a saturated red whose
    // red cannot brighten: its channels disagree on the opacity. With the
    // two that pass it is the mark's (over a smooth ground too, where they
    // pass to be filled); alone it is not told from the photo.
    void translucentLetterOverRed()
    {
        const int W = 240, H = 150;
        const SelRect rect{20, 30, 219, 119};
        for (const auto& [smooth, alone] : {std::pair{false, false}, std::pair{false, true}, std::pair{true, false}}) {
            platform::Surface ground = smooth ? Slope(W, H, 90, 40) : Textured(W, H, 30);
            for (int y = 40; y < 110; ++y)
                for (int x = 150; x < 210; ++x)
                    ground.setPixel(x, y, qRgb(255, qGreen(ground.pixel(x, y)) / 2, 30));
            std::vector<uint8_t> mark(size_t(W) * H, 0), red(size_t(W) * H, 0);
            Set(red, W, QRect(160, 50, 40, 50));
            Set(mark, W, QRect(160, 50, 40, 50));
            if (!alone) {
                Set(mark, W, QRect(40, 50, 40, 50));
                Set(mark, W, QRect(100, 50, 40, 50));
            }
            platform::Surface pic = Blended(ground, mark, qRgb(255, 255, 255), 0.35);
            const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
            if (!alone)
                QCOMPARE(Misses(found, mark, W, rect), QString());
            else
                QVERIFY(!Misses(found, red, W, rect).isEmpty());
        }
    }

    // Where the photo steps along a stroke's edge (a dark crack) the
    // outline loses that edge, and the stroke's inside there with it; that
    // piece is still the mark's colour beside the strokes found, and joins
    // them.
    void translucentStrokeBesideALostEdge()
    {
        const int W = 240, H = 150;
        const SelRect rect{30, 25, 209, 124};
        platform::Surface ground = Textured(W, H, 30);
        std::vector<uint8_t> mark(size_t(W) * H, 0), piece(size_t(W) * H, 0);
        for (const QRect& r : {QRect(50, 40, 140, 14), QRect(50, 70, 140, 14), QRect(50, 100, 140, 14), QRect(110, 40, 14, 60)})
            Set(mark, W, r);
        Set(piece, W, QRect(60, 46, 40, 8));
        for (int y = 54; y < 57; ++y)
            for (int x = 58; x < 102; ++x)
                ground.setPixel(x, y, qRgb(20, 20, 20));
        platform::Surface pic = Blended(ground, mark, qRgb(255, 255, 255), 0.4);
        const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
        QCOMPARE(Misses(found, mark, W, rect), QString());
        QCOMPARE(Misses(found, piece, W, rect), QString());
    }

    // A letter of a light mark joined, by a line of the photo two pixels
    // wide, to a patch of the photo that steps like the mark at its rim but
    // barely departs inside: the part they make is too faint to be a mark;
    // opened, the letter passes as one and is found, the patch is not.
    void translucentLetterJoinedToThePhoto()
    {
        const int W = 320, H = 200;
        const SelRect rect{30, 20, 289, 189};
        const platform::Surface ground = Textured(W, H, 30);
        std::vector<uint8_t> mark(size_t(W) * H, 0), letter(size_t(W) * H, 0), photo(size_t(W) * H, 0), inside(size_t(W) * H, 0);
        for (const QRect& r : {QRect(60, 40, 200, 22), QRect(60, 90, 200, 22), QRect(120, 135, 28, 28)})
            Set(mark, W, r);
        Set(letter, W, QRect(120, 135, 28, 28));
        Set(photo, W, QRect(148, 145, 40, 2));
        Set(photo, W, QRect(188, 125, 40, 40));
        Set(inside, W, QRect(191, 128, 34, 34));
        platform::Surface pic = Blended(Blended(Blended(ground, photo, qRgb(255, 255, 255), 0.3), inside, qRgb(0, 0, 0), 0.25), mark,
                                        qRgb(255, 255, 255), 0.3);
        const std::vector<uint8_t> found = retouch::FindTranslucent(words(pic), rect);
        QCOMPARE(Misses(found, letter, W, rect), QString());
        QVERIFY(!Misses(found, inside, W, rect).isEmpty());
    }

    // The buffer is the picture bottom-up; a round trip keeps every byte,
    // byte 3 included; a transfer that cannot be made changes nothing.
    void transfers()
    {
        platform::Surface s = platform::MakeSurface(3, 2); // top row 1 2 3, bottom row 4 5 6
        for (int i = 0; i < 6; ++i)
            reinterpret_cast<uint32_t*>(s.scanLine(i / 3))[i % 3] = uint32_t(0xFF000000u | (i + 1));
        PixelBuffer buf;
        QCOMPARE(retouch::GetPixelRows(s, 0, s.height() - 1, buf), 6);
        QCOMPARE(buf[3] & 0xFFFFFF, 1u); // top-left
        QCOMPARE(buf[5] & 0xFFFFFF, 3u); // top-right
        QCOMPARE(buf[0] & 0xFFFFFF, 4u); // bottom-left

        platform::Surface p = MakePicture(37, 23, 4);
        for (int y = 0; y < p.height(); ++y)
            for (int x = 0; x < p.width(); ++x)
                p.scanLine(y)[x * 4 + 3] = uchar(x * 7 + y);
        const QImage before = p.copy();
        QCOMPARE(retouch::GetPixelRows(p, 0, p.height() - 1, buf), 37 * 23);
        QCOMPARE(retouch::SetPixelRows(p, 0, p.height() - 1, buf), 0);
        QVERIFY(std::equal(p.constBits(), p.constBits() + p.sizeInBytes(), before.constBits()));

        platform::Surface none;
        QCOMPARE(retouch::GetPixelRows(none, 0, none.height() - 1, buf), -1);
        PixelBuffer small;
        small.Redim(5);
        QCOMPARE(retouch::SetPixelRows(p, 0, p.height() - 1, small), -1);
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
            QCOMPARE(retouch::GetPixelRows(s, 0, s.height() - 1, whole), W * H);
            Fill(int(mode), sel, whole, W, H);
            platform::Surface want = s.copy();
            QCOMPARE(retouch::SetPixelRows(want, 0, want.height() - 1, whole), 0);
            QCOMPARE(retouch::Retouch(s, r, mode), retouch::RetouchResult::Done);
            QCOMPARE(testsupport::FirstDifference(s, want), QString());
        }
    }
};

QTEST_APPLESS_MAIN(TestFills)
#include "tst_fills.moc"
