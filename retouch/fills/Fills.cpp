#include "Fills.h"

#include <emmintrin.h>
#include <immintrin.h>

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

// The running values and increments of a vertical pass, one entry per
// column, each kept in an array of its own so that neighbouring columns lie
// next to each other.
struct Columns {
    __m128* run;
    const __m128* inc;
};

// One row of a vertical ramp: writes the rounded running values of each
// column, then advances them.
void VerticalRow(uint32_t* row, Columns c, int32_t cols)
{
    int32_t i = 0;
    for (; i + 4 <= cols; i += 4) {
        const __m128i fresh = PackInts4(Rounded(c.run[i]), Rounded(c.run[i + 1]),
                                        Rounded(c.run[i + 2]), Rounded(c.run[i + 3]));
        auto* p = reinterpret_cast<__m128i*>(row + i);
        _mm_storeu_si128(p, Merge(fresh, _mm_loadu_si128(p)));
        for (int k = 0; k < 4; ++k)
            c.run[i + k] = _mm_add_ps(c.run[i + k], c.inc[i + k]);
    }
    for (; i < cols; ++i) {
        row[i] = Merge1(PackInt1(Rounded(c.run[i])), row[i]);
        c.run[i] = _mm_add_ps(c.run[i], c.inc[i]);
    }
}

// One row of the averaging pass of the cross fill.
void AveragedRow(uint32_t* row, Columns c, int32_t cols)
{
    int32_t i = 0;
    for (; i + 4 <= cols; i += 4) {
        auto* p = reinterpret_cast<__m128i*>(row + i);
        const __m128i old = _mm_loadu_si128(p);
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo16 = _mm_unpacklo_epi8(old, zero);
        const __m128i hi16 = _mm_unpackhi_epi8(old, zero);
        const __m128i fresh = PackInts4(Averaged(_mm_unpacklo_epi16(lo16, zero), c.run[i]),
                                        Averaged(_mm_unpackhi_epi16(lo16, zero), c.run[i + 1]),
                                        Averaged(_mm_unpacklo_epi16(hi16, zero), c.run[i + 2]),
                                        Averaged(_mm_unpackhi_epi16(hi16, zero), c.run[i + 3]));
        _mm_storeu_si128(p, Merge(fresh, old));
        for (int k = 0; k < 4; ++k)
            c.run[i + k] = _mm_add_ps(c.run[i + k], c.inc[i + k]);
    }
    for (; i < cols; ++i) {
        row[i] = Merge1(PackInt1(Averaged(BytesToInts(row[i]), c.run[i])), row[i]);
        c.run[i] = _mm_add_ps(c.run[i], c.inc[i]);
    }
}

// The same two row steps eight pixels at a time with AVX2, where the
// processor has it. A 256-bit register holds two pixels' values; packing works
// within 128-bit halves, so one permutation restores the pixel order. The
// arithmetic is the same IEEE single and double precision as above.
#define PIXMEND_AVX2 __attribute__((target("avx2")))

PIXMEND_AVX2 inline __m256i Pack8(__m256i a, __m256i b, __m256i c, __m256i d)
{
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

PIXMEND_AVX2 inline __m256i Merge8(__m256i fresh, __m256i old)
{
    const __m256i colour = _mm256_set1_epi32(0x00FFFFFF);
    return _mm256_or_si256(_mm256_and_si256(fresh, colour), _mm256_andnot_si256(colour, old));
}

PIXMEND_AVX2 inline __m256 Run2(Columns c, int32_t i) { return _mm256_loadu_ps(reinterpret_cast<const float*>(c.run + i)); }

PIXMEND_AVX2 inline void Advance8(Columns c, int32_t i)
{
    for (int k = 0; k < 8; k += 2) {
        float* r = reinterpret_cast<float*>(c.run + i + k);
        _mm256_storeu_ps(r, _mm256_add_ps(_mm256_loadu_ps(r), _mm256_loadu_ps(reinterpret_cast<const float*>(c.inc + i + k))));
    }
}

PIXMEND_AVX2 void VerticalRowAvx2(uint32_t* row, Columns c, int32_t cols)
{
    int32_t i = 0;
    for (; i + 8 <= cols; i += 8) {
        const __m256i fresh = Pack8(_mm256_cvtps_epi32(Run2(c, i)), _mm256_cvtps_epi32(Run2(c, i + 2)),
                                    _mm256_cvtps_epi32(Run2(c, i + 4)), _mm256_cvtps_epi32(Run2(c, i + 6)));
        auto* p = reinterpret_cast<__m256i*>(row + i);
        _mm256_storeu_si256(p, Merge8(fresh, _mm256_loadu_si256(p)));
        Advance8(c, i);
    }
    VerticalRow(row + i, Columns{c.run + i, c.inc + i}, cols - i);
}

// round(h + v) / 2 for two pixels: h their bytes, v their running values.
// With h a whole number, the sum's rounding is h + round(v), except where v
// lies exactly halfway between two integers: there the tie goes to the even
// one of h + floor(v) and h + floor(v) + 1, which depends on h. A tie needs
// v >= 0.5, where h + v is exact in double, so this gives the bits of the
// double-precision sum without converting to double.
PIXMEND_AVX2 inline __m256i Averaged2(const uint32_t* px, __m256 v)
{
    const __m256i h = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(px)));
    const __m256 fl = _mm256_floor_ps(v);
    const __m256 tie = _mm256_cmp_ps(_mm256_sub_ps(v, fl), _mm256_set1_ps(0.5f), _CMP_EQ_OQ);
    const __m256i below = _mm256_add_epi32(h, _mm256_cvtps_epi32(fl));
    const __m256i even = _mm256_add_epi32(below, _mm256_and_si256(below, _mm256_set1_epi32(1)));
    const __m256i nearest = _mm256_add_epi32(h, _mm256_cvtps_epi32(v));
    const __m256i sum = _mm256_blendv_epi8(nearest, even, _mm256_castps_si256(tie));
    return _mm256_srai_epi32(sum, 1);
}

PIXMEND_AVX2 void AveragedRowAvx2(uint32_t* row, Columns c, int32_t cols)
{
    int32_t i = 0;
    for (; i + 8 <= cols; i += 8) {
        auto* p = reinterpret_cast<__m256i*>(row + i);
        const __m256i old = _mm256_loadu_si256(p);
        const __m256i fresh = Pack8(Averaged2(row + i, Run2(c, i)), Averaged2(row + i + 2, Run2(c, i + 2)),
                                    Averaged2(row + i + 4, Run2(c, i + 4)), Averaged2(row + i + 6, Run2(c, i + 6)));
        _mm256_storeu_si256(p, Merge8(fresh, old));
        Advance8(c, i);
    }
    AveragedRow(row + i, Columns{c.run + i, c.inc + i}, cols - i);
}

PIXMEND_AVX2 void ZeroUpper() { _mm256_zeroupper(); }

using RowStep = void (*)(uint32_t*, Columns, int32_t);

SimdLevel g_level = [] {
    __builtin_cpu_init(); // needed before __builtin_cpu_supports during static initialisation
    return __builtin_cpu_supports("avx2") ? SimdLevel::Avx2 : SimdLevel::Sse2;
}();

void VerticalPass(const SelRect& rect, PixelBuffer& buffer, int32_t W, int32_t H, bool average)
{
    //   row a  (near sample: Y1 - 1, or 0 at the top edge)   <- written with itself
    //   Y1 ... Y2                                           <- the ramp
    //   row b  (far sample: Y2 + 1, or H - 1 at the bottom)  <- never written
    // The divisor is always Y2 - Y1 + 2, also where an edge moved a or b.
    const int32_t a = rect.Y1 < 1 ? 0 : rect.Y1 - 1;
    const int32_t b = (H - 1 > rect.Y2) ? rect.Y2 + 1 : H - 1;
    const float n = static_cast<float>(rect.Y2 - rect.Y1 + 2);
    const int32_t cols = rect.X2 - rect.X1 + 1;

    // Before any pixel is written.
    struct Lane {
        __m128 v;
    };
    std::vector<Lane> runs(static_cast<size_t>(cols)), incs(static_cast<size_t>(cols));
    __m128* run = &runs.data()->v;
    __m128* inc = &incs.data()->v;
    uint32_t* px = buffer.data();
    const uint32_t* nearRow = px + PixelIndex(rect.X1, a, W, H);
    const uint32_t* farRow = px + PixelIndex(rect.X1, b, W, H);
    for (int32_t i = 0; i < cols; ++i) {
        const Ramp r = MakeRamp(nearRow[i], farRow[i], n);
        run[i] = r.run;
        inc[i] = r.inc;
    }
    const bool avx2 = g_level == SimdLevel::Avx2;
    const RowStep step = average ? (avx2 ? AveragedRowAvx2 : AveragedRow) : (avx2 ? VerticalRowAvx2 : VerticalRow);

    // Strips of columns whose running values stay in the first-level cache
    // while every row of the strip passes by.
    constexpr int32_t kStrip = 256;
    for (int32_t first = 0; first < cols; first += kStrip) {
        const int32_t count = std::min(kStrip, cols - first);
        const Columns c{run + first, inc + first};
        for (int32_t y = a; y <= b - 1; ++y)
            step(px + PixelIndex(rect.X1 + first, y, W, H), c, count);
    }
    if (avx2)
        ZeroUpper(); // the SSE code that follows would pay for dirty upper halves
}

} // namespace

SimdLevel FillSimdLevel() { return g_level; }

void SetFillSimdLevel(SimdLevel level)
{
    if (level == SimdLevel::Avx2 && !__builtin_cpu_supports("avx2"))
        level = SimdLevel::Sse2;
    g_level = level;
}

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
        VerticalPass(rect, buffer, W, H, false);
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
    VerticalPass(rect, buffer, W, H, true);
}

} // namespace retouch
