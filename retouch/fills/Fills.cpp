#include "Fills.h"

#include <emmintrin.h>

#include <algorithm>
#include <vector>

// The definition walks column by column (vertical) or row by row
// (horizontal). Every column of a vertical ramp is independent of the others,
// so we walk the rows in the outer loop and keep one running value per
// column: the same additions happen in the same order, giving the same bits,
// while memory is read and written in order.
//
// A pixel's running values live in one SSE register as (blue, green, red, 0).
// SSE arithmetic is IEEE single precision like the scalar definition, and the
// float-to-integer conversions round half to even under the default MXCSR
// mode, exactly as the definition asks.

namespace retouch {
namespace {

struct Ramp {
    __m128 run; // running values
    __m128 inc; // increments
};

inline __m128 Channels(uint32_t word)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i v = _mm_cvtsi32_si128(static_cast<int>(word & 0x00FFFFFFu));
    v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
    return _mm_cvtepi32_ps(v);
}

// d = (Q - P) / n. The difference of two bytes is exact in single precision;
// the quotient is formed in double and stored as float.
inline __m128 Increment(__m128 p, __m128 q, float n)
{
    const __m128 diff = _mm_sub_ps(q, p);
    const __m128d nd = _mm_set1_pd(static_cast<double>(n));
    const __m128d lo = _mm_div_pd(_mm_cvtps_pd(diff), nd);
    const __m128d hi = _mm_div_pd(_mm_cvtps_pd(_mm_movehl_ps(diff, diff)), nd);
    return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
}

inline Ramp MakeRamp(uint32_t nearWord, uint32_t farWord, float n)
{
    const __m128 p = Channels(nearWord);
    return Ramp{p, Increment(p, Channels(farWord), n)};
}

// Keeps byte 3 of the old words; the new words supply bytes 0..2.
inline __m128i Merge(__m128i fresh, __m128i old)
{
    const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
    return _mm_or_si128(_mm_and_si128(fresh, colour), _mm_andnot_si128(colour, old));
}

inline uint32_t Merge1(uint32_t fresh, uint32_t old)
{
    return (fresh & 0x00FFFFFFu) | (old & 0xFF000000u);
}

// Integer lanes (one pixel per vector) to four packed pixel words.
// Saturation only matters for a value drifted a hair outside 0..255.
inline __m128i PackInts4(__m128i a, __m128i b, __m128i c, __m128i d)
{
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
}

inline uint32_t PackInt1(__m128i a)
{
    const __m128i w = _mm_packs_epi32(a, a);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(w, w)));
}

// Running values rounded half to even.
inline __m128i Rounded(__m128 v) { return _mm_cvtps_epi32(v); }

// round(h + v) / 2 with the remainder dropped: h is the byte already in the
// buffer, v the unrounded vertical ramp; the sum is formed in double.
inline __m128i Averaged(__m128i h, __m128 v)
{
    const __m128d lo = _mm_add_pd(_mm_cvtepi32_pd(h), _mm_cvtps_pd(v));
    const __m128d hi = _mm_add_pd(_mm_cvtepi32_pd(_mm_srli_si128(h, 8)),
                                  _mm_cvtps_pd(_mm_movehl_ps(v, v)));
    const __m128i sum = _mm_unpacklo_epi64(_mm_cvtpd_epi32(lo), _mm_cvtpd_epi32(hi));
    return _mm_srai_epi32(sum, 1); // truncates towards zero for the sums >= -1 that can occur
}

inline __m128i BytesToInts(uint32_t word)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i v = _mm_cvtsi32_si128(static_cast<int>(word));
    return _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
}

// One row of a vertical ramp: writes the rounded running values of each
// column, then advances them.
void VerticalRow(uint32_t* row, Ramp* ramps, int32_t cols)
{
    int32_t i = 0;
    for (; i + 4 <= cols; i += 4) {
        Ramp* r = ramps + i;
        const __m128i fresh = PackInts4(Rounded(r[0].run), Rounded(r[1].run),
                                        Rounded(r[2].run), Rounded(r[3].run));
        auto* p = reinterpret_cast<__m128i*>(row + i);
        _mm_storeu_si128(p, Merge(fresh, _mm_loadu_si128(p)));
        for (int k = 0; k < 4; ++k)
            r[k].run = _mm_add_ps(r[k].run, r[k].inc);
    }
    for (; i < cols; ++i) {
        row[i] = Merge1(PackInt1(Rounded(ramps[i].run)), row[i]);
        ramps[i].run = _mm_add_ps(ramps[i].run, ramps[i].inc);
    }
}

// One row of the averaging pass of the cross fill.
void AveragedRow(uint32_t* row, Ramp* ramps, int32_t cols)
{
    int32_t i = 0;
    for (; i + 4 <= cols; i += 4) {
        Ramp* r = ramps + i;
        auto* p = reinterpret_cast<__m128i*>(row + i);
        const __m128i old = _mm_loadu_si128(p);
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo16 = _mm_unpacklo_epi8(old, zero);
        const __m128i hi16 = _mm_unpackhi_epi8(old, zero);
        const __m128i fresh = PackInts4(Averaged(_mm_unpacklo_epi16(lo16, zero), r[0].run),
                                        Averaged(_mm_unpackhi_epi16(lo16, zero), r[1].run),
                                        Averaged(_mm_unpacklo_epi16(hi16, zero), r[2].run),
                                        Averaged(_mm_unpackhi_epi16(hi16, zero), r[3].run));
        _mm_storeu_si128(p, Merge(fresh, old));
        for (int k = 0; k < 4; ++k)
            r[k].run = _mm_add_ps(r[k].run, r[k].inc);
    }
    for (; i < cols; ++i) {
        row[i] = Merge1(PackInt1(Averaged(BytesToInts(row[i]), ramps[i].run)), row[i]);
        ramps[i].run = _mm_add_ps(ramps[i].run, ramps[i].inc);
    }
}

template <typename RowStep>
void VerticalPass(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H, RowStep step)
{
    //   row a  (near sample: Y1 - 1, or 0 at the top edge)   <- written with itself
    //   Y1 ... Y2                                           <- the ramp
    //   row b  (far sample: Y2 + 1, or H - 1 at the bottom)  <- never written
    // The divisor is always Y2 - Y1 + 2, also where an edge moved a or b.
    const int32_t a = rect.Y1 < 1 ? 0 : rect.Y1 - 1;
    const int32_t b = (H - 1 > rect.Y2) ? rect.Y2 + 1 : H - 1;
    const float n = static_cast<float>(rect.Y2 - rect.Y1 + 2);
    const int32_t cols = rect.X2 - rect.X1 + 1;

    std::vector<Ramp> ramps(static_cast<size_t>(cols)); // before any pixel is written
    uint32_t* px = buffer.data();
    const uint32_t* nearRow = px + PixelIndex(rect.X1, a, W, H);
    const uint32_t* farRow = px + PixelIndex(rect.X1, b, W, H);
    for (int32_t i = 0; i < cols; ++i)
        ramps[i] = MakeRamp(nearRow[i], farRow[i], n);

    // Strips of columns whose running values stay in the first-level cache
    // while every row of the strip passes by.
    constexpr int32_t kStrip = 256;
    for (int32_t first = 0; first < cols; first += kStrip) {
        const int32_t n = std::min(kStrip, cols - first);
        for (int32_t y = a; y <= b - 1; ++y)
            step(px + PixelIndex(rect.X1 + first, y, W, H), ramps.data() + first, n);
    }
}

} // namespace

bool FillRectValid(const SelRect& r, int32_t W, int32_t H)
{
    return W > 0 && H > 0 && r.X1 >= 0 && r.Y1 >= 0 && r.X1 <= r.X2 && r.Y1 <= r.Y2
        && r.X2 <= W - 1 && r.Y2 <= H - 1;
}

static bool Accepts(const SelRect& rect, const PixelBuffer& buffer, int32_t W, int32_t H)
{
    return FillRectValid(rect, W, H)
        && buffer.size() >= static_cast<size_t>(W) * static_cast<size_t>(H);
}

void FillVertical(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H)
{
    if (Accepts(rect, buffer, W, H))
        VerticalPass(rect, buffer, W, H, VerticalRow);
}

void FillHorizontal(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H)
{
    if (!Accepts(rect, buffer, W, H))
        return;
    // Columns a (near) to b (far) as in the vertical ramp, with rows and
    // columns exchanged. Each row's ramp is a chain of dependent additions,
    // so four rows go side by side to keep the adder busy.
    const int32_t a = rect.X1 < 1 ? 0 : rect.X1 - 1;
    const int32_t b = (W - 1 > rect.X2) ? rect.X2 + 1 : W - 1;
    const float n = static_cast<float>(rect.X2 - rect.X1 + 2);
    uint32_t* px = buffer.data();

    int32_t y = rect.Y1;
    for (; y + 3 <= rect.Y2; y += 4) {
        uint32_t* rows[4];
        Ramp r[4];
        for (int k = 0; k < 4; ++k) {
            rows[k] = px + PixelIndex(0, y + k, W, H);
            r[k] = MakeRamp(rows[k][a], rows[k][b], n);
        }
        alignas(16) uint32_t fresh[4];
        for (int32_t x = a; x < b; ++x) {
            _mm_store_si128(reinterpret_cast<__m128i*>(fresh),
                            PackInts4(Rounded(r[0].run), Rounded(r[1].run),
                                      Rounded(r[2].run), Rounded(r[3].run)));
            for (int k = 0; k < 4; ++k) {
                rows[k][x] = Merge1(fresh[k], rows[k][x]);
                r[k].run = _mm_add_ps(r[k].run, r[k].inc);
            }
        }
    }
    for (; y <= rect.Y2; ++y) {
        uint32_t* row = px + PixelIndex(0, y, W, H);
        Ramp r = MakeRamp(row[a], row[b], n);
        for (int32_t x = a; x < b; ++x) {
            row[x] = Merge1(PackInt1(Rounded(r.run)), row[x]);
            r.run = _mm_add_ps(r.run, r.inc);
        }
    }
}

void FillCross(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H)
{
    if (!Accepts(rect, buffer, W, H))
        return;
    FillHorizontal(rect, buffer, W, H);
    // The vertical pass takes its border samples from the buffer as the
    // horizontal pass left it.
    VerticalPass(rect, buffer, W, H, AveragedRow);
}

} // namespace retouch
