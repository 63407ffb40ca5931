#include "Retouch.h"

#include "Fills.h"
#include "LetterFill.h"
#include "Unblend.h"
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

RetouchResult Retouch(platform::Surface& picture, SelRect& sel, FillMode mode, const std::vector<uint8_t>* letters,
                      const std::function<bool()>& keepGoing)
{
    const int32_t W = picture.width();
    const int32_t H = picture.height();
    if (!OrderAndClamp(sel, W, H))
        return RetouchResult::NoSelection;
    if (mode == FillMode::Letters) {
        // Works on the picture in place: it reads well around the rectangle
        // and writes only the caption's pixels inside it.
        if (picture.isNull() || picture.format() != QImage::Format_RGB32)
            return RetouchResult::TransferFailed;
        try {
            WordPicture words{reinterpret_cast<uint32_t*>(picture.bits()), W, H, picture.bytesPerLine() / 4};
            const size_t n = size_t(sel.X2 - sel.X1 + 1) * size_t(sel.Y2 - sel.Y1 + 1);
            const bool done = letters && letters->size() == n ? FillLetters(words, sel, *letters, keepGoing)
                                                               : FillLetters(words, sel, FindLetters(words, sel), keepGoing);
            if (!done)
                return RetouchResult::Cancelled;
        } catch (const std::bad_alloc&) {
            return RetouchResult::TransferFailed;
        }
        return RetouchResult::Done;
    }
    // The fills touch only the rows from the one above the rectangle to the
    // one below it. Those rows alone, as a picture of their own, give the
    // same bits: the edge rules and the divisors come out the same, since the
    // band ends at the picture's edges exactly where the rectangle reaches
    // them. A caption on a 50-megapixel photo then moves kilobytes, not
    // 400 MB.
    const int32_t first = sel.Y1 < 1 ? 0 : sel.Y1 - 1;
    const int32_t last = (H - 1 > sel.Y2) ? sel.Y2 + 1 : H - 1;
    const SelRect band{sel.X1, sel.Y1 - first, sel.X2, sel.Y2 - first};
    const int32_t bandH = last - first + 1;
    PixelBuffer buffer;
    // A failed read would fill the rectangle from a zeroed buffer and write
    // black over the picture: stop before anything is written back.
    if (GetPixelRows(picture, first, last, buffer) < 0)
        return RetouchResult::TransferFailed;
    try {
        switch (mode) {
        case FillMode::Vertical: FillVertical(band, buffer, W, bandH); break;
        case FillMode::Horizontal: FillHorizontal(band, buffer, W, bandH); break;
        case FillMode::Cross: FillCross(band, buffer, W, bandH); break;
        case FillMode::Letters: break;
        }
    } catch (const std::bad_alloc&) {
        return RetouchResult::TransferFailed;
    }
    if (SetPixelRows(picture, first, last, buffer) < 0)
        return RetouchResult::TransferFailed;
    return RetouchResult::Done;
}

} // namespace retouch
