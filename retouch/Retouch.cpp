#include "Retouch.h"

#include "Fills.h"
#include "Transfer.h"

#include <new>
#include <utility>

namespace retouch {

bool OrderAndClamp(SelRect& s, int32_t W, int32_t H)
{
    if (s.X1 > s.X2)
        std::swap(s.X1, s.X2);
    if (s.Y1 > s.Y2)
        std::swap(s.Y1, s.Y2);
    auto clamp = [](int32_t& v, int32_t hi) {
        if (v < 0)
            v = 0;
        if (v > hi)
            v = hi;
    };
    clamp(s.X1, W - 1);
    clamp(s.X2, W - 1);
    clamp(s.Y1, H - 1);
    clamp(s.Y2, H - 1);
    return (s.X1 != 0 || s.X2 != 0) && (s.Y1 != 0 || s.Y2 != 0);
}

RetouchResult Retouch(platform::Surface& picture, SelRect& sel, FillMode mode)
{
    const int32_t W = picture.width();
    const int32_t H = picture.height();
    if (!OrderAndClamp(sel, W, H))
        return RetouchResult::NoSelection;
    PixelBuffer buffer;
    // A failed read would fill the rectangle from a zeroed buffer and write
    // black over the whole picture: stop before anything is written back.
    if (GetPixels(picture, buffer) < 0)
        return RetouchResult::TransferFailed;
    try {
        switch (mode) {
        case FillMode::Vertical: FillVertical(sel, buffer, W, H); break;
        case FillMode::Horizontal: FillHorizontal(sel, buffer, W, H); break;
        case FillMode::Cross: FillCross(sel, buffer, W, H); break;
        }
    } catch (const std::bad_alloc&) {
        return RetouchResult::TransferFailed;
    }
    if (SetPixels(picture, buffer) < 0)
        return RetouchResult::TransferFailed;
    return RetouchResult::Done;
}

} // namespace retouch
