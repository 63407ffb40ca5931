// 文字補正 against V補正 and X補正 on captions rendered into photographs.
// First tables of quality (PSNR and SSIM inside the loose rectangle against
// the untouched photo, and the caption pixels left as they were or still
// showing), for the cases used while tuning (even) and those kept aside
// (odd): the captions, then translucent marks on photographs of another
// package at their native size, then rectangles with no caption at all (the
// share 文字補正 changed);
// --table=captions,marks,controls picks some. --fresh=SEED gives instead
// marks and controls drawn at random from SEED, on photographs, in fonts
// and with texts that none of those sets use: a seed not tuned on is a set
// no one has seen. Then the speed on a 24-megapixel picture, each beside
// V補正 on the same rectangle.
#include "LetterFill.h"
#include "Memory.h"
#include "PictureDocument.h"
#include "PictureFiles.h"
#include "Retouch.h"
#include "Unblend.h"

#include <QBuffer>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

struct Case {
    QString name;
    QImage truth, captioned; // Format_RGB32
    QImage drawn;            // captioned before any compression (null: the same)
    QImage alpha;            // the caption's own coverage (Format_Alpha8)
    QRect rect;              // the loose rectangle a user would draw
};

QImage Photo(const QString& name)
{
    const platform::Surface p = files::LoadPicture(QStringLiteral(PIXMEND_PHOTOS "/") + name);
    return p.isNull() ? QImage() : p.scaledToWidth(1280, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB32);
}

// Draws caption kind k on an empty layer of the photo's size.
QImage Caption(int k, QSize size)
{
    QImage layer(size, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    QPainter p(&layer);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int W = size.width(), H = size.height();
    auto path = [](const QString& text, const QFont& font, QPointF at) {
        QPainterPath t;
        t.addText(at, font, text);
        return t;
    };
    switch (k % 6) {
    case 0: { // a digital date stamp, orange, bottom right
        QFont f(QStringLiteral("DejaVu Sans Mono"), 28, QFont::Bold);
        const QPainterPath t = path(k % 12 < 6 ? "'19 8 14" : "2021.03.07", f, QPointF(W - 260, H - 40));
        p.fillPath(t, QColor(255, 140, 30));
        break;
    }
    case 1: { // a white subtitle with a black outline, one line
        QFont f(QStringLiteral("DejaVu Sans"), 30, QFont::DemiBold);
        const QPainterPath t = path("Nobody saw the storm coming that night", f, QPointF(W * 0.12, H - 70));
        p.strokePath(t, QPen(Qt::black, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.fillPath(t, Qt::white);
        break;
    }
    case 2: { // a Japanese subtitle in two lines, white with a shadow
        QFont f(QStringLiteral("Noto Sans CJK JP"), 26, QFont::Bold);
        for (int line = 0; line < 2; ++line) {
            const QPainterPath t = path(line ? QStringLiteral("また明日ここで会いましょう") : QStringLiteral("今日はとても良い天気ですね"), f,
                                        QPointF(W * 0.25, H - 110 + 48 * line));
            p.fillPath(t.translated(2, 2), QColor(0, 0, 0, 200));
            p.fillPath(t, Qt::white);
        }
        break;
    }
    case 3: { // a light watermark, 30-60 % opaque
        QFont f(QStringLiteral("DejaVu Serif"), 44, QFont::Bold);
        p.fillPath(path("© Pixmend Photo", f, QPointF(W * 0.3, H * 0.55)), QColor(255, 255, 255, 80 + 20 * (k % 4)));
        break;
    }
    case 4: { // a dark watermark
        QFont f(QStringLiteral("DejaVu Sans"), 36, QFont::Bold);
        p.fillPath(path("SAMPLE  sample", f, QPointF(W * 0.35, H * 0.4)), QColor(0, 0, 0, 100 + 15 * (k % 4)));
        break;
    }
    default: { // a small logo, top left
        p.setBrush(QColor(200, 30, 40));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(30, 30, 44, 44));
        QFont f(QStringLiteral("DejaVu Sans"), 20, QFont::Bold);
        p.fillPath(path("LOGO", f, QPointF(84, 62)), QColor(240, 240, 240));
        break;
    }
    }
    return layer;
}

std::vector<Case> MakeCases()
{
    const char* photos[] = {"nature/Storm.jpg",  "nature/Aqua.jpg",     "nature/Dune.jpg",     "nature/Garden.jpg",
                            "nature/Wood.jpg",   "nature/LadyBird.jpg", "nature/RainDrops.jpg", "nature/GreenMeadow.jpg",
                            "nature/TwoWings.jpg", "nature/YellowFlower.jpg"};
    std::vector<Case> cases;
    int k = 0;
    for (const char* name : photos) {
        const QImage photo = Photo(QString::fromLatin1(name));
        if (photo.isNull())
            continue;
        for (int j = 0; j < 4; ++j, ++k) {
            Case c;
            static const char* const kinds[6] = {"date stamp", "subtitle", "JP subtitle", "light mark", "dark mark", "logo"};
            c.name = QStringLiteral("%1 %2").arg(QString::fromLatin1(name).section('/', 1).section('.', 0, 0), QLatin1String(kinds[k % 6]));
            c.truth = photo;
            const QImage layer = Caption(k, photo.size());
            c.alpha = layer.convertToFormat(QImage::Format_Alpha8);
            c.captioned = photo.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter(&c.captioned).drawImage(0, 0, layer);
            c.captioned = c.captioned.convertToFormat(QImage::Format_RGB32);
            QRect box;
            for (int y = 0; y < photo.height(); ++y)
                for (int x = 0; x < photo.width(); ++x)
                    if (qAlpha(layer.pixel(x, y)) > 0)
                        box |= QRect(x, y, 1, 1);
            const int margin = 4 + (k * 7) % 9; // 4..12
            c.rect = box.adjusted(-margin, -margin, margin, margin) & photo.rect();
            cases.push_back(c);
        }
    }
    return cases;
}

// ---- translucent marks and control rectangles, on photographs of another
// package at their native size, in fonts the captions above do not use ----

QImage NativePhoto(const char* name)
{
    const platform::Surface p = files::LoadPicture(QStringLiteral(PIXMEND_OTHER_PHOTOS "/") + QLatin1String(name));
    return p.isNull() ? QImage() : p.convertToFormat(QImage::Format_RGB32);
}

// The picture as a camera or an editor would have saved it after marking.
QImage Jpeg(const QImage& img, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "JPEG", quality);
    return QImage::fromData(bytes, "JPEG").convertToFormat(QImage::Format_RGB32);
}

QRect Covered(const QImage& layer)
{
    QRect box;
    for (int y = 0; y < layer.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
        int x0 = -1, x1 = -1;
        for (int x = 0; x < layer.width(); ++x)
            if (qAlpha(row[x])) {
                x1 = x;
                if (x0 < 0)
                    x0 = x;
            }
        if (x0 >= 0)
            box |= QRect(x0, y, x1 - x0 + 1, 1);
    }
    return box;
}

struct Spot {
    const char* photo;
    double x, y;          // the mark's or the control's centre, as fractions
    const char* ground;   // what lies under it
};

// Two spots per photograph: one on strong texture, one smoother.
const Spot kMarkSpots[] = {
    {"Dragonfly_by_Bolly.jpg", 0.40, 0.55, "leaves"},         {"Dragonfly_by_Bolly.jpg", 0.14, 0.14, "sky"},
    {"Kleiber_by_Lukas_Baubkus.jpg", 0.20, 0.55, "bark"},     {"Kleiber_by_Lukas_Baubkus.jpg", 0.75, 0.65, "bokeh"},
    {"Picture_0B_by_freespace.jpg", 0.20, 0.85, "concrete"},  {"Picture_0B_by_freespace.jpg", 0.62, 0.62, "bowl"},
    {"aitzgorri_by_Aitzol_Berasategi.jpg", 0.22, 0.55, "forest"}, {"aitzgorri_by_Aitzol_Berasategi.jpg", 0.70, 0.10, "sky"},
    {"life_by_Aitzol_Berasategi.jpg", 0.50, 0.72, "rocks"},   {"life_by_Aitzol_Berasategi.jpg", 0.30, 0.30, "forest"},
    {"picosdeeuropa_by_Aitzol_Berasategi.jpg", 0.70, 0.38, "rock face"}, {"picosdeeuropa_by_Aitzol_Berasategi.jpg", 0.25, 0.12, "clouds"},
    {"seeding_by_Clements_Engelhardt.jpg", 0.60, 0.82, "grass"}, {"seeding_by_Clements_Engelhardt.jpg", 0.75, 0.15, "haze"},
    {"sunset_by_Aitzol_Berasategi.jpg", 0.50, 0.82, "ground"}, {"sunset_by_Aitzol_Berasategi.jpg", 0.25, 0.25, "sky"},
    {"friends_by_Aitzol_Berasategi.jpg", 0.22, 0.40, "boards"}, {"friends_by_Aitzol_Berasategi.jpg", 0.62, 0.62, "fur"},
    {"free_by_Peter_Nerlich.jpg", 0.25, 0.75, "grey wall"},   {"free_by_Peter_Nerlich.jpg", 0.75, 0.30, "lamp"},
    {"Wine_by_Jakkub_Mede.jpg", 0.50, 0.88, "floor"},          {"Wine_by_Jakkub_Mede.jpg", 0.35, 0.25, "shelves"},
    {"Bridge_by_Sander_Klootwijk.jpg", 0.50, 0.86, "beach"},  {"Bridge_by_Sander_Klootwijk.jpg", 0.60, 0.22, "sky"},
};

const Spot kControlSpots[] = {
    {"Dragonfly_by_Bolly.jpg", 0.45, 0.45, "foliage"},       {"Picture_0B_by_freespace.jpg", 0.15, 0.85, "concrete"},
    {"picosdeeuropa_by_Aitzol_Berasategi.jpg", 0.35, 0.85, "path"}, {"aitzgorri_by_Aitzol_Berasategi.jpg", 0.40, 0.85, "grass"},
    {"seeding_by_Clements_Engelhardt.jpg", 0.30, 0.88, "grass"}, {"picosdeeuropa_by_Aitzol_Berasategi.jpg", 0.20, 0.12, "clouds"},
    {"Bridge_by_Sander_Klootwijk.jpg", 0.80, 0.25, "sky"},   {"sunset_by_Aitzol_Berasategi.jpg", 0.70, 0.20, "sky"},
    {"friends_by_Aitzol_Berasategi.jpg", 0.55, 0.58, "fur"}, {"Kleiber_by_Lukas_Baubkus.jpg", 0.15, 0.50, "bark"},
    {"life_by_Aitzol_Berasategi.jpg", 0.50, 0.75, "rocks"},  {"aitzgorri_by_Aitzol_Berasategi.jpg", 0.85, 0.08, "clouds"},
};

// Mark k at spot s: light or dark grey, 20-60 % opaque, large, rotated or
// small; every other four compressed to JPEG after marking.
Case TranslucentMark(int k, const QImage& photo, const Spot& s)
{
    static const char* const fonts[] = {"Nimbus Sans", "URW Gothic", "P052", "C059", "Nimbus Mono PS", "Nimbus Sans Narrow"};
    static const char* const texts[] = {"© Pixmend 2026", "SAMPLE", "PROOF", "© K. Tanaka", "stock photo", "DRAFT copy"};
    const int W = photo.width();
    // Each half (even k, odd k) holds light and dark marks, compressed and
    // not, in every font.
    const bool light = k % 4 == 0 || k % 4 == 3;
    const double opacity = 0.20 + 0.40 * ((k * 7) % 11) / 10.0;
    const int size = k % 3; // 0 large, 1 rotated, 2 small
    QFont f(QString::fromLatin1(fonts[(k / 2) % 6]));
    f.setPixelSize(size == 0 ? W / 16 : size == 1 ? W / 24 : W / 60);
    f.setBold(k % 4 != 3);
    QImage layer(photo.size(), QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(s.x * W, s.y * photo.height());
        if (size == 1)
            p.rotate(k % 4 == 1 ? -30 : 20);
        QPainterPath t;
        t.addText(0, 0, f, QString::fromUtf8(texts[(k / 2 + 3) % 6]));
        t.translate(-t.boundingRect().center());
        const int grey = light ? 245 - 5 * (k % 3) : 10 + 5 * (k % 3);
        p.fillPath(t, QColor(grey, grey, grey, int(std::lround(255 * opacity))));
    }
    Case c;
    c.name = QStringLiteral("%1 %2 %3 %4%5").arg(QString::fromLatin1(s.photo).section('_', 0, 0), QLatin1String(s.ground),
                                                 QLatin1String(light ? "light" : "dark"), QString::number(int(opacity * 100)),
                                                 QLatin1String(size == 0 ? "% big" : size == 1 ? "% rot" : "% small"));
    c.truth = photo;
    c.alpha = layer.convertToFormat(QImage::Format_Alpha8);
    QImage marked = photo.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter(&marked).drawImage(0, 0, layer);
    c.captioned = marked.convertToFormat(QImage::Format_RGB32);
    if ((k / 4) % 2) {
        c.drawn = c.captioned;
        c.captioned = Jpeg(c.captioned, 80 + (k * 5) % 13);
        c.name += QStringLiteral(" jpg");
    }
    const int margin = 6 + (k * 5) % 10;
    c.rect = Covered(layer).adjusted(-margin, -margin, margin, margin) & photo.rect();
    return c;
}

std::vector<Case> MakeMarks()
{
    std::vector<Case> cases;
    QString loaded;
    QImage photo;
    int k = 0;
    for (const Spot& s : kMarkSpots) {
        if (loaded != QLatin1String(s.photo)) {
            photo = NativePhoto(s.photo);
            loaded = QLatin1String(s.photo);
        }
        if (!photo.isNull())
            cases.push_back(TranslucentMark(k, photo, s));
        ++k;
    }
    return cases;
}

double Psnr(const QImage& a, const QImage& b, const QRect& r)
{
    double se = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            for (int s : {0, 8, 16}) {
                const double d = double((a.pixel(x, y) >> s) & 255) - double((b.pixel(x, y) >> s) & 255);
                se += d * d;
            }
    const double mse = se / (3.0 * r.width() * r.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// SSIM of the luminance inside r, Gaussian-weighted (sigma 1.5, 11 x 11).
double Ssim(const QImage& a, const QImage& b, const QRect& r)
{
    const int w = r.width(), h = r.height();
    std::vector<double> x(size_t(w) * h), y(x.size());
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            x[size_t(j) * w + i] = qGray(a.pixel(r.left() + i, r.top() + j));
            y[size_t(j) * w + i] = qGray(b.pixel(r.left() + i, r.top() + j));
        }
    double g[11], gs = 0;
    for (int i = 0; i < 11; ++i)
        gs += g[i] = std::exp(-(i - 5) * (i - 5) / (2 * 1.5 * 1.5));
    for (double& v : g)
        v /= gs;
    auto blur = [&](const std::vector<double>& in) {
        std::vector<double> t(in.size()), out(in.size());
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                double s = 0, n = 0;
                for (int k = -5; k <= 5; ++k)
                    if (i + k >= 0 && i + k < w) {
                        s += g[k + 5] * in[size_t(j) * w + i + k];
                        n += g[k + 5];
                    }
                t[size_t(j) * w + i] = s / n;
            }
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) {
                double s = 0, n = 0;
                for (int k = -5; k <= 5; ++k)
                    if (j + k >= 0 && j + k < h) {
                        s += g[k + 5] * t[size_t(j + k) * w + i];
                        n += g[k + 5];
                    }
                out[size_t(j) * w + i] = s / n;
            }
        return out;
    };
    std::vector<double> xx(x.size()), yy(x.size()), xy(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        xx[i] = x[i] * x[i];
        yy[i] = y[i] * y[i];
        xy[i] = x[i] * y[i];
    }
    const auto mx = blur(x), my = blur(y), sxx = blur(xx), syy = blur(yy), sxy = blur(xy);
    const double c1 = 6.5025, c2 = 58.5225;
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double vx = sxx[i] - mx[i] * mx[i], vy = syy[i] - my[i] * my[i], cxy = sxy[i] - mx[i] * my[i];
        sum += ((2 * mx[i] * my[i] + c1) * (2 * cxy + c2)) / ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
    }
    return sum / double(x.size());
}

// The caption's visible pixels (the caption moved them 10 levels or more
// from the photo) that the repair left as they were, and those that still
// show half the caption or more (the pixel's departure from the photo,
// taken along the caption's own): a pixel moved a level or two towards the
// photo is not left as it was, yet the caption shows there all the same.
// Told before JPEG: its noise over texture moves pixels far from any letter
// as much.
struct Left {
    double untouched = 0, showing = 0;
};

Left LeftBehind(const Case& c, const QImage& out)
{
    const QImage& drawn = c.drawn.isNull() ? c.captioned : c.drawn;
    int visible = 0, untouched = 0, showing = 0;
    for (int y = c.rect.top(); y <= c.rect.bottom(); ++y)
        for (int x = c.rect.left(); x <= c.rect.right(); ++x) {
            const QRgb t = c.truth.pixel(x, y), d = drawn.pixel(x, y), o = out.pixel(x, y);
            const int caption[3] = {qRed(d) - qRed(t), qGreen(d) - qGreen(t), qBlue(d) - qBlue(t)};
            const int still[3] = {qRed(o) - qRed(t), qGreen(o) - qGreen(t), qBlue(o) - qBlue(t)};
            if (std::max({std::abs(caption[0]), std::abs(caption[1]), std::abs(caption[2])}) < 10)
                continue;
            ++visible;
            untouched += o == c.captioned.pixel(x, y);
            int along = 0, length = 0;
            for (int k = 0; k < 3; ++k)
                along += still[k] * caption[k], length += caption[k] * caption[k];
            showing += 2 * along >= length;
        }
    return visible ? Left{double(untouched) / visible, double(showing) / visible} : Left{};
}

// 文字補正's fill over the caption's true mask (every pixel it covers at
// all), given as pixmend-batch --mask gives it: the bound a user who
// corrects the mask by hand can reach.
QImage RepairedWithTrueMask(const Case& c)
{
    document::PictureDocument doc;
    doc.SetPicture(c.captioned.copy());
    retouch::SelRect sel{c.rect.left(), c.rect.top(), c.rect.right(), c.rect.bottom()};
    document::LetterMask mask{sel, std::vector<uint8_t>(size_t(c.rect.width()) * c.rect.height(), 0)};
    for (int y = c.rect.top(); y <= c.rect.bottom(); ++y)
        for (int x = c.rect.left(); x <= c.rect.right(); ++x)
            mask.bits[mask.Index(x, y)] = qAlpha(c.alpha.pixel(x, y)) > 0;
    doc.SetLetters(std::move(mask));
    doc.Retouch(sel, retouch::FillMode::Letters);
    return doc.PicImg();
}

QImage Repaired(const Case& c, retouch::FillMode mode)
{
    platform::Surface out = c.captioned.copy();
    retouch::SelRect sel{c.rect.left(), c.rect.top(), c.rect.right(), c.rect.bottom()};
    retouch::Retouch(out, sel, mode);
    return out;
}

struct Sum {
    double psnr[3] = {}, ssim[3] = {}, truePsnr = 0;
    int n = 0, within1dB = 0, clean = 0, under5 = 0, showingUnder5 = 0;
    void Add(const Sum& o)
    {
        for (int m = 0; m < 3; ++m) {
            psnr[m] += o.psnr[m];
            ssim[m] += o.ssim[m];
        }
        truePsnr += o.truePsnr;
        n += o.n;
        within1dB += o.within1dB;
        clean += o.clean;
        under5 += o.under5;
        showingUnder5 += o.showingUnder5;
    }
};

// One row per case, into halves: even cases tuned on, odd ones kept aside.
void Evaluate(const std::vector<Case>& cases, Sum (&halves)[2])
{
    std::printf("%-34s %6s %6s %6s %6s | %6s %6s %6s | %6s\n", "case (even: tuned on)", "V dB", "X dB", "L dB", "T dB", "V ssim",
                "X ssim", "L ssim", "L left");
    const retouch::FillMode modes[3] = {retouch::FillMode::Vertical, retouch::FillMode::Cross, retouch::FillMode::Letters};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        double p[3], s[3];
        Left left;
        for (int m = 0; m < 3; ++m) {
            const QImage out = Repaired(c, modes[m]);
            p[m] = Psnr(out, c.truth, c.rect);
            s[m] = Ssim(out, c.truth, c.rect);
            if (m == 2)
                left = LeftBehind(c, out);
        }
        const double t = Psnr(RepairedWithTrueMask(c), c.truth, c.rect);
        Sum& h = halves[i % 2];
        h.truePsnr += t;
        for (int m = 0; m < 3; ++m) {
            h.psnr[m] += p[m];
            h.ssim[m] += s[m];
        }
        ++h.n;
        h.within1dB += p[2] >= p[0] - 1.0;
        h.clean += left.untouched < 0.01;
        h.under5 += left.untouched < 0.05;
        h.showingUnder5 += left.showing < 0.05;
        std::printf("%-34s %6.2f %6.2f %6.2f %6.2f | %6.3f %6.3f %6.3f | %5.2f%%\n", qPrintable(c.name.left(34)), p[0], p[1], p[2], t,
                    s[0], s[1], s[2], 100 * left.untouched);
        std::fflush(stdout);
    }
}

void Summary(const char* set, const Sum (&halves)[2])
{
    for (int half = 0; half < 2; ++half) {
        const Sum& h = halves[half];
        if (!h.n)
            continue;
        std::printf("%s, %s (%d): mean PSNR V %.2f X %.2f L %.2f dB (L - V %+.2f), true mask T %.2f dB (T - L %+.2f); "
                    "mean SSIM L - V %+.3f; L within 1 dB of V or better in %d, caption left under 1 %% in %d, under 5 %% in %d; "
                    "still showing under 5 %% in %d\n",
                    set, half ? "kept aside" : "tuned on", h.n, h.psnr[0] / h.n, h.psnr[1] / h.n, h.psnr[2] / h.n,
                    (h.psnr[2] - h.psnr[0]) / h.n, h.truePsnr / h.n, (h.truePsnr - h.psnr[2]) / h.n, (h.ssim[2] - h.ssim[0]) / h.n,
                    h.within1dB, h.clean, h.under5, h.showingUnder5);
    }
}

// The share of a control's rectangle that 文字補正 changed.
double ChangedShare(const Case& c)
{
    const QImage out = Repaired(c, retouch::FillMode::Letters);
    size_t changed = 0;
    for (int y = c.rect.top(); y <= c.rect.bottom(); ++y)
        for (int x = c.rect.left(); x <= c.rect.right(); ++x)
            changed += out.pixel(x, y) != c.truth.pixel(x, y);
    return double(changed) / (double(c.rect.width()) * c.rect.height());
}

// 文字補正 on rectangles with no caption: the share of the rectangle it
// changed.
void Controls()
{
    std::printf("%-34s %8s\n", "control (even: tuned on)", "changed");
    int quiet[2] = {}, n[2] = {};
    QString loaded;
    QImage photo;
    int k = 0;
    for (const Spot& s : kControlSpots) {
        if (loaded != QLatin1String(s.photo)) {
            photo = NativePhoto(s.photo);
            loaded = QLatin1String(s.photo);
        }
        if (photo.isNull())
            continue;
        const int W = photo.width();
        Case c;
        c.truth = c.captioned = photo;
        c.rect = QRect(0, 0, W / 6 + 40 * (k % 5), W / 40 + 20 * (k % 3));
        c.rect.moveCenter(QPoint(int(s.x * W), int(s.y * photo.height())));
        c.rect &= photo.rect();
        const double share = ChangedShare(c);
        ++n[k % 2];
        quiet[k % 2] += share <= 0.02;
        std::printf("%-34s %7.2f%%\n", qPrintable(QStringLiteral("%1 %2 %3x%4").arg(QString::fromLatin1(s.photo).section('_', 0, 0),
                                                    QLatin1String(s.ground)).arg(c.rect.width()).arg(c.rect.height())), 100 * share);
        std::fflush(stdout);
        ++k;
    }
    std::printf("controls: at most 2 %% changed in %d of %d tuned on, %d of %d kept aside\n", quiet[0], n[0], quiet[1], n[1]);
}

// ---- fresh sets, drawn at random from a seed ------------------------------

// The photographs of the same folder that the sets above leave out.
const char* const kFreshPhotos[] = {
    "Fossa_by_Jasper_Roks.jpg",          "Infinite-Sea_by_Aury88.jpg", "Painting-Colors_by__herobrine7gamer.jpg",
    "Picture_1A_by_freespace.jpg",       "analogpattern_by_Peter_Nerlich.jpg", "greentock_by_Peter_Nerlich.jpg",
    "umang_by_Abhishek_Mudgal.jpg",      "mate/nature/FreshFlower.jpg", "mate/nature/Blinds.jpg",
    "mate/abstract/Elephants.jpg"};

// Draws from one seed, the same on every machine (no std distributions:
// their results are the library's own).
struct Draw {
    std::mt19937 engine;
    explicit Draw(uint32_t seed) : engine(seed) {}
    int Below(int n) { return int(engine() % uint32_t(n)); }
    double Between(double a, double b) { return a + (b - a) * (engine() % 100000) / 100000.0; }
};

// Six marks a photograph, light or dark grey, 20-60 % opaque, large,
// rotated or small, half of them compressed to JPEG after marking.
std::vector<Case> FreshMarks(uint32_t seed)
{
    static const char* const fonts[] = {"DejaVu Sans", "DejaVu Serif", "URW Bookman", "Nimbus Roman", "Noto Sans CJK JP", "DejaVu Sans Mono"};
    static const char* const texts[] = {"© 2026 Studio", "WATERMARK", "見本 SAMPLE", "Preview only", "@pixmend", "COPYRIGHT"};
    Draw d(seed);
    std::vector<Case> cases;
    int k = 0;
    for (const char* path : kFreshPhotos) {
        const QImage photo = NativePhoto(path);
        if (photo.isNull())
            continue;
        const int W = photo.width();
        for (int j = 0; j < 6; ++j, ++k) {
            const bool light = d.Below(2);
            const double opacity = d.Between(0.2, 0.6);
            const int size = d.Below(3); // 0 large, 1 rotated, 2 small
            QFont f(QString::fromLatin1(fonts[d.Below(6)]));
            f.setPixelSize(size == 0 ? W / (14 + d.Below(6)) : size == 1 ? W / (20 + d.Below(8)) : W / (50 + d.Below(20)));
            f.setBold(d.Below(3) != 0);
            const double x = d.Between(0.2, 0.8), y = d.Between(0.1, 0.9);
            const double angle = size == 1 ? d.Between(-35, 35) : 0.0;
            const int grey = light ? 235 + d.Below(21) : d.Below(21);
            const bool jpeg = d.Below(2);
            const int quality = 80 + d.Below(13);
            const char* text = texts[d.Below(6)];
            const int margin = 6 + d.Below(10);
            QImage layer(photo.size(), QImage::Format_ARGB32_Premultiplied);
            layer.fill(Qt::transparent);
            {
                QPainter p(&layer);
                p.setRenderHint(QPainter::Antialiasing);
                p.translate(x * W, y * photo.height());
                p.rotate(angle);
                QPainterPath t;
                t.addText(0, 0, f, QString::fromUtf8(text));
                t.translate(-t.boundingRect().center());
                p.fillPath(t, QColor(grey, grey, grey, int(std::lround(255 * opacity))));
            }
            Case c;
            c.name = QStringLiteral("%1 %2 %3 %4%5").arg(QString::fromLatin1(path).section('/', -1).section(QRegularExpression(QStringLiteral("[_.]")), 0, 0).left(12))
                         .arg(k).arg(QLatin1String(light ? "light" : "dark")).arg(int(opacity * 100))
                         .arg(QLatin1String(size == 0 ? "% big" : size == 1 ? "% rot" : "% small"));
            c.truth = photo;
            c.alpha = layer.convertToFormat(QImage::Format_Alpha8);
            QImage marked = photo.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter(&marked).drawImage(0, 0, layer);
            c.captioned = marked.convertToFormat(QImage::Format_RGB32);
            if (jpeg) {
                c.drawn = c.captioned;
                c.captioned = Jpeg(c.captioned, quality);
                c.name += QStringLiteral(" jpg");
            }
            c.rect = Covered(layer).adjusted(-margin, -margin, margin, margin) & photo.rect();
            if (c.rect.width() >= 20 && c.rect.height() >= 20) // not cut off by the photo's edge
                cases.push_back(c);
        }
    }
    return cases;
}

// Three controls a photograph, of random size and place.
void FreshControls(uint32_t seed)
{
    Draw d(seed ^ 0x5bd1e995u);
    std::printf("%-34s %8s\n", "fresh control", "changed");
    int quiet = 0, n = 0;
    for (const char* path : kFreshPhotos) {
        const QImage photo = NativePhoto(path);
        if (photo.isNull())
            continue;
        const int W = photo.width();
        for (int j = 0; j < 3; ++j) {
            Case c;
            c.truth = c.captioned = photo;
            c.rect = QRect(0, 0, W / 8 + d.Below(300), W / 40 + d.Below(100));
            const double x = d.Between(0.15, 0.85), y = d.Between(0.1, 0.9);
            c.rect.moveCenter(QPoint(int(x * W), int(y * photo.height())));
            c.rect &= photo.rect();
            const double share = ChangedShare(c);
            ++n;
            quiet += share <= 0.02;
            std::printf("%-34s %7.2f%%\n", qPrintable(QStringLiteral("%1 %2x%3 at %4,%5").arg(QString::fromLatin1(path).section('/', -1).left(12))
                                                    .arg(c.rect.width()).arg(c.rect.height()).arg(c.rect.left()).arg(c.rect.top())), 100 * share);
            std::fflush(stdout);
        }
    }
    std::printf("fresh controls: at most 2 %% changed in %d of %d\n", quiet, n);
}

// sets: any of "captions", "marks", "controls"; empty for all.
void QualityTable(const std::string& sets, const std::optional<uint32_t>& fresh)
{
    auto wanted = [&](const char* set) { return sets.empty() || sets.find(set) != std::string::npos; };
    Sum captions[2], marks[2];
    if (fresh) {
        if (wanted("marks")) {
            Evaluate(FreshMarks(*fresh), marks);
            Summary("fresh marks", marks);
        }
        if (wanted("controls"))
            FreshControls(*fresh);
        std::fflush(stdout);
        return;
    }
    if (wanted("captions")) {
        Evaluate(MakeCases(), captions);
        Summary("captions", captions);
    }
    if (wanted("marks")) {
        Evaluate(MakeMarks(), marks);
        Summary("translucent marks", marks);
    }
    Sum all[2];
    for (int h = 0; h < 2; ++h) {
        all[h].Add(captions[h]);
        all[h].Add(marks[h]);
    }
    if (sets.empty())
        Summary("all", all);
    if (wanted("controls"))
        Controls();
    std::fflush(stdout);
}

// ---- speed on 24 megapixels ----------------------------------------------

const platform::Surface& Picture24()
{
    static platform::Surface s = [] {
        QImage p = Photo(QStringLiteral("nature/Storm.jpg"));
        p = p.scaled(6000, 4000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&p);
        painter.setRenderHint(QPainter::Antialiasing);
        QFont sub(QStringLiteral("DejaVu Sans"), 120, QFont::DemiBold);
        QPainterPath t;
        t.addText(QPointF(1200, 3800), sub, QStringLiteral("Nobody saw the storm coming that night"));
        painter.strokePath(t, QPen(Qt::black, 10));
        painter.fillPath(t, Qt::white);
        QPainterPath d;
        d.addText(QPointF(4900, 3500), QFont(QStringLiteral("DejaVu Sans Mono"), 110, QFont::Bold), QStringLiteral("'19 8 14"));
        painter.fillPath(d, QColor(255, 140, 30));
        return platform::Surface(p.convertToFormat(QImage::Format_RGB32));
    }();
    return s;
}

void BM_Repair(benchmark::State& state)
{
    const bool subtitle = state.range(0) == 0;
    const QRect r = subtitle ? QRect(1100, 3620, 3800, 240) : QRect(4850, 3280, 1000, 300);
    const auto mode = state.range(1) ? retouch::FillMode::Letters : retouch::FillMode::Vertical;
    platform::Surface work = Picture24().copy();
    for (auto _ : state) {
        state.PauseTiming();
        platform::BitBlt(work, r.left() - 2, r.top() - 2, r.width() + 4, r.height() + 4, Picture24(), r.left() - 2, r.top() - 2);
        state.ResumeTiming();
        retouch::SelRect sel{r.left(), r.top(), r.right(), r.bottom()};
        retouch::Retouch(work, sel, mode);
    }
    state.SetLabel(QStringLiteral("%1 %2 x %3, %4").arg(subtitle ? "subtitle" : "date stamp").arg(r.width()).arg(r.height())
                       .arg(state.range(1) ? "文字補正" : "V補正 (baseline)").toStdString());
}

BENCHMARK(BM_Repair)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond)->UseRealTime();

// The mask alone, as the overlay computes it whenever the rectangle or the
// mode changes (the date stamp's rectangle; V補正 above is the baseline).
void BM_MaskOnly(benchmark::State& state)
{
    const QRect r(4850, 3280, 1000, 300);
    platform::Surface work = Picture24().copy();
    retouch::WordPicture words{reinterpret_cast<uint32_t*>(work.bits()), work.width(), work.height(), work.bytesPerLine() / 4};
    for (auto _ : state)
        benchmark::DoNotOptimize(retouch::FindLetters(words, {r.left(), r.top(), r.right(), r.bottom()}));
    state.SetLabel("date stamp 1000 x 300, mask for the overlay");
}

BENCHMARK(BM_MaskOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// The search for translucent marks alone, one of the two that 文字補正's
// mask runs side by side: the subtitle (0) and the date stamp (1).
void BM_TranslucentOnly(benchmark::State& state)
{
    const QRect r = state.range(0) == 0 ? QRect(1100, 3620, 3800, 240) : QRect(4850, 3280, 1000, 300);
    const platform::Surface& pic = Picture24();
    const retouch::WordPicture words{const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(pic.constBits())), pic.width(),
                                     pic.height(), pic.bytesPerLine() / 4};
    for (auto _ : state)
        benchmark::DoNotOptimize(retouch::FindTranslucent(words, {r.left(), r.top(), r.right(), r.bottom()}));
    state.SetLabel(state.range(0) == 0 ? "subtitle 3800 x 240, translucent marks sought" : "date stamp 1000 x 300, translucent marks sought");
}

BENCHMARK(BM_TranslucentOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The repair alone of the subtitle's mask (found once, before timing): the
// harmonic fill (0), and the fill with the un-blending's verdicts (1).
void BM_FillOnly(benchmark::State& state)
{
    const QRect r(1100, 3620, 3800, 240);
    platform::Surface work = Picture24().copy();
    retouch::WordPicture words{reinterpret_cast<uint32_t*>(work.bits()), work.width(), work.height(), work.bytesPerLine() / 4};
    const retouch::SelRect sel{r.left(), r.top(), r.right(), r.bottom()};
    const std::vector<uint8_t> mask = retouch::FindLetters(words, sel);
    for (auto _ : state) {
        state.PauseTiming();
        platform::BitBlt(work, r.left() - 2, r.top() - 2, r.width() + 4, r.height() + 4, Picture24(), r.left() - 2, r.top() - 2);
        state.ResumeTiming();
        if (state.range(0))
            retouch::FillLetters(words, sel, mask);
        else
            retouch::FillHarmonic(words, sel, mask);
    }
    state.SetLabel(state.range(0) ? "subtitle's mask, fill and verdicts" : "subtitle's mask, harmonic fill");
}

BENCHMARK(BM_FillOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A Ctrl+click pick of one letter of the subtitle (3800 x 240), beside
// V補正 of the same rectangle in BM_Repair.
void BM_Pick(benchmark::State& state)
{
    const platform::Surface& pic = Picture24();
    const retouch::WordPicture words{const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(pic.constBits())), pic.width(),
                                     pic.height(), pic.bytesPerLine() / 4};
    // A pixel of a letter: the first white one along the subtitle's middle.
    int x = 1100;
    while (x < 4900 && qGray(pic.pixel(x, 3760)) < 230)
        ++x;
    size_t picked = 0;
    for (auto _ : state) {
        const std::vector<uint8_t> region = retouch::PickLetter(words, {1100, 3620, 4899, 3859}, x, 3760);
        picked = size_t(std::count(region.begin(), region.end(), 1));
    }
    state.counters["picked_px"] = double(picked);
    state.SetLabel("subtitle 3800 x 240, one letter picked");
}

BENCHMARK(BM_Pick)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // As the program runs.
    platform::KeepWorkingMemory();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    bool table = true;
    std::string sets;
    std::optional<uint32_t> fresh;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-table")
            table = false;
        else if (std::string(argv[i]).rfind("--table=", 0) == 0)
            sets = std::string(argv[i]).substr(8);
        else if (std::string(argv[i]).rfind("--fresh=", 0) == 0)
            fresh = uint32_t(std::stoul(std::string(argv[i]).substr(8)));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (table)
        QualityTable(sets, fresh);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
