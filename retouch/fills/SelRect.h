#pragma once
#include <cstdint>

namespace retouch {

// A rectangle in picture pixels: (X1, Y1) and (X2, Y2) are two corners, in
// no particular order until Retouch normalises them.
struct SelRect {
    int32_t X1 = 0;
    int32_t Y1 = 0;
    int32_t X2 = 0;
    int32_t Y2 = 0;
    friend bool operator==(const SelRect&, const SelRect&) = default;
};

} // namespace retouch
