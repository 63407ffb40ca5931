#pragma once
#include <cstdint>

namespace platform {

// The byte size of a picture's pixels must fit a signed 32-bit integer:
// W x H x 4 <= 2^31 - 1, so W x H <= 536,870,911.
inline constexpr int64_t kMaxPixels = 536870911;

// True when a picture of w x h pixels may be allocated at all.
constexpr bool PictureSizeAllowed(int64_t w, int64_t h)
{
    return w > 0 && h > 0 && w <= kMaxPixels && h <= kMaxPixels && w * h <= kMaxPixels;
}

} // namespace platform
