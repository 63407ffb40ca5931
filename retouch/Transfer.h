#pragma once
// The pixel transfer between the working picture and a PixelBuffer.
#include "PixelBuffer.h"
#include "Surface.h"

#include <cstdint>

namespace retouch {

// Reads the holder's W x H pixels into buffer (re-dimensioned to W x H words,
// bottom row first). W x H, or -1 when the read failed (no picture, beyond the
// size limit, no memory); the buffer is then zero-filled or empty.
int32_t GetPixels(const platform::Surface& holder, PixelBuffer& buffer);

// Writes buffer back into the holder, which must have the size GetPixels saw.
// 0, or -1 when the write failed (the picture is then unchanged).
int32_t SetPixels(platform::Surface& holder, const PixelBuffer& buffer);

// The same for the band of rows first..last only: the buffer then holds a
// picture W wide and last - first + 1 high, in the same layout.
int32_t GetPixelRows(const platform::Surface& holder, int32_t first, int32_t last, PixelBuffer& buffer);
int32_t SetPixelRows(platform::Surface& holder, int32_t first, int32_t last, const PixelBuffer& buffer);

} // namespace retouch
