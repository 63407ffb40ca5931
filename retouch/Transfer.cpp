#include "Transfer.h"

#include "Limits.h"

namespace retouch {

int32_t GetPixels(const platform::Surface& holder, PixelBuffer& buffer)
{
    buffer.Release();
    const int64_t W = holder.width();
    const int64_t H = holder.height();
    // The limit is tested before anything is allocated.
    if (holder.isNull() || !platform::PictureSizeAllowed(W, H))
        return -1;
    const size_t words = static_cast<size_t>(W * H);
    if (!buffer.Redim(words))
        return -1;
    if (!platform::ReadBottomUp(holder, buffer.data(), words)) {
        buffer.ZeroFill();
        return -1;
    }
    return static_cast<int32_t>(W * H);
}

int32_t SetPixels(platform::Surface& holder, const PixelBuffer& buffer)
{
    const int64_t W = holder.width();
    const int64_t H = holder.height();
    if (holder.isNull() || !platform::PictureSizeAllowed(W, H)
        || buffer.size() < static_cast<size_t>(W * H))
        return -1;
    return platform::WriteBottomUp(holder, buffer.data(), buffer.size()) ? 0 : -1;
}

} // namespace retouch
