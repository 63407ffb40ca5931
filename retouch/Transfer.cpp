#include "Transfer.h"

#include "Limits.h"

namespace retouch {

int32_t GetPixelRows(const platform::Surface& holder, int32_t first, int32_t last, PixelBuffer& buffer)
{
    buffer.Release();
    const int64_t W = holder.width();
    const int64_t H = holder.height();
    // The limit is tested before anything is allocated.
    if (holder.isNull() || !platform::PictureSizeAllowed(W, H) || first < 0 || first > last || last >= H)
        return -1;
    const int64_t rows = int64_t(last) - first + 1;
    const size_t words = static_cast<size_t>(W * rows);
    if (!buffer.Redim(words))
        return -1;
    if (!platform::ReadBottomUp(holder, first, last, buffer.data(), words)) {
        buffer.ZeroFill();
        return -1;
    }
    return static_cast<int32_t>(W * rows);
}

int32_t SetPixelRows(platform::Surface& holder, int32_t first, int32_t last, const PixelBuffer& buffer)
{
    if (holder.isNull() || first < 0 || first > last || last >= holder.height())
        return -1;
    return platform::WriteBottomUp(holder, first, last, buffer.data(), buffer.size()) ? 0 : -1;
}

} // namespace retouch
