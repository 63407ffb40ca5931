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

// The surface's words, bottom row first, into out (W x H words).
bool ReadBottomUp(const Surface& s, uint32_t* out, size_t words);
// The reverse of ReadBottomUp.
bool WriteBottomUp(Surface& s, const uint32_t* in, size_t words);

} // namespace platform
