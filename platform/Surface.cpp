#include "Surface.h"

#include "Limits.h"

#include <algorithm>
#include <cstring>

namespace platform {

Surface MakeSurface(int64_t w, int64_t h)
{
    if (!PictureSizeAllowed(w, h))
        return {};
    Surface s(static_cast<int>(w), static_cast<int>(h), QImage::Format_RGB32);
    return s; // null when Qt could not allocate
}

void Cls(Surface& s, QColor colour)
{
    if (!s.isNull())
        s.fill(colour);
}

void BitBlt(Surface& dst, int dx, int dy, int w, int h, const Surface& src, int sx, int sy)
{
    if (dst.isNull() || src.isNull())
        return;
    // Clip against the source, then the destination, moving both corners.
    int64_t x0 = 0, y0 = 0, x1 = w, y1 = h; // block-relative
    x0 = std::max<int64_t>({x0, -int64_t(sx), -int64_t(dx)});
    y0 = std::max<int64_t>({y0, -int64_t(sy), -int64_t(dy)});
    x1 = std::min<int64_t>({x1, int64_t(src.width()) - sx, int64_t(dst.width()) - dx});
    y1 = std::min<int64_t>({y1, int64_t(src.height()) - sy, int64_t(dst.height()) - dy});
    if (x0 >= x1 || y0 >= y1)
        return;
    const size_t bytes = static_cast<size_t>(x1 - x0) * 4;
    const qsizetype srcStride = src.bytesPerLine();
    const qsizetype dstStride = dst.bytesPerLine();
    const uchar* s = src.constBits() + (sy + y0) * srcStride + (sx + x0) * 4;
    uchar* d = dst.bits() + (dy + y0) * dstStride + (dx + x0) * 4;
    for (int64_t y = y0; y < y1; ++y, s += srcStride, d += dstStride)
        std::memmove(d, s, bytes);
}

void StretchBlt(Surface& dst, int dx, int dy, const Surface& src, int sx, int sy, int sw, int sh,
                int scale)
{
    if (dst.isNull() || src.isNull() || sw <= 0 || sh <= 0 || scale <= 0)
        return;
    if (sx < 0 || sy < 0 || sx + int64_t(sw) > src.width() || sy + int64_t(sh) > src.height())
        return;
    for (int y = 0; y < sh * scale; ++y) {
        const int ty = dy + y;
        if (ty < 0 || ty >= dst.height())
            continue;
        const auto* s = reinterpret_cast<const uint32_t*>(src.constScanLine(sy + y / scale)) + sx;
        auto* d = reinterpret_cast<uint32_t*>(dst.scanLine(ty));
        for (int x = 0; x < sw * scale; ++x) {
            const int tx = dx + x;
            if (tx >= 0 && tx < dst.width())
                d[tx] = s[x / scale];
        }
    }
}

void CompositeOverWhite(uint8_t* px, size_t count)
{
    for (size_t i = 0; i < count; ++i, px += 4) {
        const uint32_t a = px[3];
        if (a != 255) {
            for (int c = 0; c < 3; ++c)
                px[c] = static_cast<uint8_t>((px[c] * a + 255 * (255 - a) + 127) / 255);
            px[3] = 255;
        }
    }
}

namespace {

bool BandFits(const Surface& s, int first, int last, size_t words)
{
    return !s.isNull() && s.format() == QImage::Format_RGB32 && first >= 0 && first <= last
        && last < s.height() && words >= size_t(s.width()) * size_t(last - first + 1);
}

} // namespace

bool ReadBottomUp(const Surface& s, int first, int last, uint32_t* out, size_t words)
{
    if (!BandFits(s, first, last, words))
        return false;
    const size_t w = static_cast<size_t>(s.width());
    for (int y = first; y <= last; ++y)
        std::memcpy(out + static_cast<size_t>(last - y) * w, s.constScanLine(y), w * 4);
    return true;
}

bool WriteBottomUp(Surface& s, int first, int last, const uint32_t* in, size_t words)
{
    if (!BandFits(s, first, last, words))
        return false;
    const size_t w = static_cast<size_t>(s.width());
    for (int y = first; y <= last; ++y)
        std::memcpy(s.scanLine(y), in + static_cast<size_t>(last - y) * w, w * 4);
    return true;
}

} // namespace platform
