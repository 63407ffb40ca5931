// 文字補正 against V補正 and X補正 on captions rendered into photographs.
// First a table of quality (PSNR and SSIM inside the loose rectangle against
// the untouched photo, and the caption pixels left behind), for the cases
// used while tuning (even) and those kept aside (odd); then the speed on a
// 24-megapixel picture, each beside V補正 on the same rectangle.
#include "LetterFill.h"
#include "PictureDocument.h"
#include "PictureFiles.h"
#include "Retouch.h"

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Case {
    QString name;
    QImage truth, captioned; // Format_RGB32
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

// The caption's visible pixels (10 levels or more from the photo) that the
// repair left as they were.
double LeftBehind(const Case& c, const QImage& out)
{
    int visible = 0, left = 0;
    for (int y = c.rect.top(); y <= c.rect.bottom(); ++y)
        for (int x = c.rect.left(); x <= c.rect.right(); ++x) {
            const QRgb t = c.truth.pixel(x, y), s = c.captioned.pixel(x, y);
            if (std::max({std::abs(qRed(t) - qRed(s)), std::abs(qGreen(t) - qGreen(s)), std::abs(qBlue(t) - qBlue(s))}) < 10)
                continue;
            ++visible;
            left += out.pixel(x, y) == s;
        }
    return visible ? double(left) / visible : 0.0;
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

void QualityTable()
{
    const std::vector<Case> cases = MakeCases();
    struct Sum {
        double psnr[3] = {}, ssim[3] = {}, truePsnr = 0;
        int n = 0, within1dB = 0, clean = 0;
    } halves[2];
    std::printf("%-22s %6s %6s %6s %6s | %6s %6s %6s | %6s\n", "case (even: tuned on)", "V dB", "X dB", "L dB", "T dB",
                "V ssim", "X ssim", "L ssim", "L left");
    const retouch::FillMode modes[3] = {retouch::FillMode::Vertical, retouch::FillMode::Cross, retouch::FillMode::Letters};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        double p[3], s[3], left = 0;
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
        h.clean += left < 0.01;
        std::printf("%-22s %6.2f %6.2f %6.2f %6.2f | %6.3f %6.3f %6.3f | %5.2f%%\n", qPrintable(c.name), p[0], p[1], p[2], t,
                    s[0], s[1], s[2], 100 * left);
    }
    for (int half = 0; half < 2; ++half) {
        const Sum& h = halves[half];
        if (!h.n)
            continue;
        std::printf("%s (%d cases): mean PSNR V %.2f X %.2f L %.2f dB (L - V %+.2f), true mask T %.2f dB (T - L %+.2f); "
                    "mean SSIM V %.3f X %.3f L %.3f "
                    "(L - V %+.3f); L within 1 dB of V or better in %d, caption left under 1 %% in %d\n",
                    half ? "kept aside" : "tuned on", h.n, h.psnr[0] / h.n, h.psnr[1] / h.n, h.psnr[2] / h.n,
                    (h.psnr[2] - h.psnr[0]) / h.n, h.truePsnr / h.n, (h.truePsnr - h.psnr[2]) / h.n, h.ssim[0] / h.n, h.ssim[1] / h.n, h.ssim[2] / h.n,
                    (h.ssim[2] - h.ssim[0]) / h.n, h.within1dB, h.clean);
    }
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
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    bool table = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-table")
            table = false;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (table)
        QualityTable();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
