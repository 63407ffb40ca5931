#pragma once
#include "Surface.h"

#include <cstddef>
#include <cstdint>

namespace platform {

// Progressive scans after which a JPEG is refused.
inline constexpr int kJpegMaxScans = 500;

// Decodes JPEG bytes into a Format_RGB32 surface with the Exif orientation
// applied. A file that ends early gives what it holds. False for anything
// that is no JPEG, a picture beyond the size limit, or too many scans.
bool DecodeJpeg(const uint8_t* data, size_t size, Surface& out);

// The picture turned upright by an Exif orientation value 1..8.
Surface ApplyExifOrientation(Surface image, int orientation);

} // namespace platform
