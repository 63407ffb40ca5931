#pragma once
// Picture surfaces: what the program expects of a device context with a
// persistent image, on QImage. Every surface is Format_RGB32, whose words are
// blue, green, red, 0xFF in memory order on the little-endian machines we
// build for.
#include <QColor>
#include <QImage>

#include <cstdint>

namespace platform {

using Surface = QImage;

// A w x h surface, or a null one when the size is beyond the picture limit
// or the memory cannot be had. The limit is tested before anything is allocated.
Surface MakeSurface(int64_t w, int64_t h);

// Fills the whole surface with colour.
void Cls(Surface& s, QColor colour);

// Copies the w x h block at (sx, sy) of src to (dx, dy) of dst, clipped to
// both surfaces.
void BitBlt(Surface& dst, int dx, int dy, int w, int h, const Surface& src, int sx, int sy);

// Copies the sw x sh block at (sx, sy) of src, enlarged by the whole factor
// `scale` without smoothing, to (dx, dy) of dst, clipped to dst. The source
// block must lie inside src.
void StretchBlt(Surface& dst, int dx, int dy, const Surface& src, int sx, int sy, int sw, int sh,
                int scale);

// Composites count pixels of blue, green, red, alpha bytes over white in
// place, leaving alpha 255: c' = (c a + 255 (255 - a)) / 255, rounded.
void CompositeOverWhite(uint8_t* bgra, size_t count);

// Rows first..last of the surface, the last of them first, into out
// ((last - first + 1) x W words): the bottom-up layout of that band.
bool ReadBottomUp(const Surface& s, int first, int last, uint32_t* out, size_t words);
// The reverse of ReadBottomUp.
bool WriteBottomUp(Surface& s, int first, int last, const uint32_t* in, size_t words);

} // namespace platform
