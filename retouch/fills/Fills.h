#pragma once
#include "PixelBuffer.h"
#include "SelRect.h"

namespace retouch {

// The three repaint algorithms. Each takes a normalised rectangle
// (X1 <= X2, Y1 <= Y2, all inside the W x H picture) and rewrites it in place
// from the pixels that border it. A rectangle that is not normalised, lies
// outside the picture, or a buffer smaller than W x H words leaves the buffer
// untouched. Byte 3 of every word is never written.
//
// The results are bit-exact with the column-by-column definition: running
// values in single precision advanced by repeated addition, increments
// formed in double and stored as float, round half to even.

// A ramp down every column, from the pixel above the rectangle to the one below.
void FillVertical(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H);
// A ramp along every row, from the pixel left of the rectangle to the one right of it.
void FillHorizontal(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H);
// The horizontal ramp, then a vertical ramp averaged with it.
void FillCross(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H);

// The instruction set the fills use: AVX2 where the processor has it. Both
// give the same bits; tests set each in turn.
enum class SimdLevel { Sse2, Avx2 };
SimdLevel FillSimdLevel();
void SetFillSimdLevel(SimdLevel level);

// True when the fills accept rect for a W x H picture.
bool FillRectValid(const SelRect& rect, int32_t W, int32_t H);

} // namespace retouch
