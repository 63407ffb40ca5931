#include "Reductions.h"

#include <QPainter>

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

void HalvePart(const platform::Surface& full, platform::Surface& half, int x0, int y0, int x1, int y1)
{
    const int W = full.width(), H = full.height();
    for (int y = y0; y <= y1; ++y) {
        const auto* a = reinterpret_cast<const uint32_t*>(full.constScanLine(2 * y));
        const auto* b = 2 * y + 1 < H ? reinterpret_cast<const uint32_t*>(full.constScanLine(2 * y + 1)) : nullptr;
        auto* out = reinterpret_cast<uint32_t*>(half.scanLine(y));
        int x = x0;
        if (b) {
            // Four blocks at a time: the rows averaged, then the pairs across
            // (each average rounds up, so a mean may come out one level
            // high: nothing a reduced view shows).
            const __m128i opaque = _mm_set1_epi32(int(0xFF000000u));
            for (; x + 3 <= x1 && 2 * x + 7 < W; x += 4) {
                const __m128i v0 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * x)),
                                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * x)));
                const __m128i v1 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * x + 4)),
                                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * x + 4)));
                const __m128 f0 = _mm_castsi128_ps(v0), f1 = _mm_castsi128_ps(v1);
                const __m128i even = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
                const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_avg_epu8(even, odd), opaque));
            }
        }
        if (b) // whole 2 x 2 blocks: red and blue, then green, summed side by side in one word
            for (; x <= x1 && 2 * x + 1 < W; ++x) {
                const uint32_t p = a[2 * x], q = a[2 * x + 1], r = b[2 * x], t = b[2 * x + 1];
                const uint32_t rb = (p & 0x00FF00FF) + (q & 0x00FF00FF) + (r & 0x00FF00FF) + (t & 0x00FF00FF) + 0x00020002;
                const uint32_t g = (p & 0x0000FF00) + (q & 0x0000FF00) + (r & 0x0000FF00) + (t & 0x0000FF00) + 0x00000200;
                out[x] = 0xFF000000u | ((rb >> 2) & 0x00FF00FF) | ((g >> 2) & 0x0000FF00);
            }
        for (; x <= x1; ++x) { // blocks cut by the picture's edge
            const bool right = 2 * x + 1 < W;
            const int n = (1 + int(right)) * (b ? 2 : 1);
            uint32_t result = 0xFF000000u;
            for (int shift : {0, 8, 16}) {
                int sum = int(a[2 * x] >> shift & 255);
                if (right)
                    sum += int(a[2 * x + 1] >> shift & 255);
                if (b) {
                    sum += int(b[2 * x] >> shift & 255);
                    if (right)
                        sum += int(b[2 * x + 1] >> shift & 255);
                }
                result |= uint32_t((sum + n / 2) / n) << shift;
            }
            out[x] = result;
        }
    }
}

void Reductions::Build(const platform::Surface& picture, int smallest)
{
    levels_.clear();
    const platform::Surface* from = &picture;
    while (!from->isNull() && std::max(from->width(), from->height()) > smallest) {
        platform::Surface half = platform::MakeSurface((from->width() + 1) / 2, (from->height() + 1) / 2);
        if (half.isNull())
            break; // no memory for it: the view scales from what there is
        // Bands of rows on every core: this is the one pass over the whole
        // picture that opening it costs.
        const int threads = int(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 8));
        const int rows = half.height(), band = (rows + threads - 1) / threads;
        std::vector<std::thread> pool;
        pool.reserve(size_t(threads)); // (its growth cannot throw with threads running)
        for (int t = 1; t < threads && t * band < rows; ++t) {
            auto part = [&, t] { HalvePart(*from, half, 0, t * band, half.width() - 1, std::min(rows, (t + 1) * band) - 1); };
            try {
                pool.emplace_back(part);
            } catch (...) { // std::system_error, or bad_alloc for a thread's state
                part(); // no thread to be had: this band here
            }
        }
        HalvePart(*from, half, 0, 0, half.width() - 1, std::min(rows, band) - 1);
        for (std::thread& t : pool)
            t.join();
        levels_.push_back(std::move(half));
        from = &levels_.back();
    }
}

void Reductions::Update(const platform::Surface& picture, const QRect& changed)
{
    QRect r = changed & picture.rect();
    const platform::Surface* from = &picture;
    for (platform::Surface& level : levels_) {
        if (r.isEmpty())
            return;
        r = QRect(QPoint(r.left() / 2, r.top() / 2), QPoint(r.right() / 2, r.bottom() / 2));
        HalvePart(*from, level, r.left(), r.top(), r.right(), r.bottom());
        from = &level;
    }
}


void PaintZoomed(platform::Surface& view, const platform::Surface& picture, const Reductions& reductions,
                 double scale, int h, int v)
{
    const platform::Surface* src = &picture;
    double rel = scale;  // view pixels per pixel of src
    double share = 1.0;  // src pixels per picture pixel
    for (const platform::Surface& level : reductions.levels()) {
        if (rel * 2 > 1.0 + 1e-9)
            break;
        src = &level;
        rel *= 2;
        share /= 2;
    }
    const int W = src->width(), H = src->height();
    // The view pixels that show the picture.
    const int64_t contentW = int64_t(std::ceil(picture.width() * scale)), contentH = int64_t(std::ceil(picture.height() * scale));
    const int w = int(std::clamp<int64_t>(contentW - h, 0, view.width()));
    const int hgt = int(std::clamp<int64_t>(contentH - v, 0, view.height()));
    if (w == 0 || hgt == 0)
        return;
    if (rel < 1.0 - 1e-9) {
        // Qt's bilinear drawing is vectorised; the view's own pixels are
        // the painter's (its device-pixel ratio set aside while painting).
        const double ratio = view.devicePixelRatio();
        view.setDevicePixelRatio(1);
        {
            QPainter p(&view);
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.setClipRect(0, 0, w, hgt);
            // The picture's own extent (a copy's last pixel may cover less),
            // drawn over every view pixel it reaches.
            p.drawImage(QRectF(-h, -v, double(contentW), double(contentH)), *src,
                        QRectF(0, 0, picture.width() * share, picture.height() * share));
        }
        view.setDevicePixelRatio(ratio);
        return;
    }
    auto* out0 = reinterpret_cast<uint32_t*>(view.bits());
    const qsizetype stride = view.bytesPerLine() / 4;
    std::vector<int> col;
    col.resize(size_t(w));
    // Scrolled before the picture's start, its first pixel is view pixel -h.
    const int x0 = std::clamp(-h, 0, w), y0 = std::clamp(-v, 0, hgt);
    for (int x = x0; x < w; ++x)
        col[size_t(x)] = std::min(W - 1, int(std::floor((x + h) / rel)));
    for (int y = y0; y < hgt; ++y) {
        uint32_t* out = out0 + y * stride;
        const auto* row = reinterpret_cast<const uint32_t*>(src->constScanLine(std::min(H - 1, int(std::floor((y + v) / rel)))));
        for (int x = x0; x < w; ++x)
            out[x] = row[col[size_t(x)]];
    }
}
