#pragma once
// The pixel transfer between the working picture and a PixelBuffer.
#include "PixelBuffer.h"
#include "Surface.h"

#include <cstdint>

namespace retouch {

// Reads the band of rows first..last of the holder into buffer
// (re-dimensioned to W x (last - first + 1) words, bottom row first). The
// number of words, or -1 when the read failed (no picture, beyond the size
// limit, no memory, rows outside it); the buffer is then zero-filled or empty.
int32_t GetPixelRows(const platform::Surface& holder, int32_t first, int32_t last, PixelBuffer& buffer);
// Writes buffer back into those rows, which must have the size GetPixelRows
// saw. 0, or -1 when the write failed (the picture is then unchanged).
int32_t SetPixelRows(platform::Surface& holder, int32_t first, int32_t last, const PixelBuffer& buffer);

} // namespace retouch
