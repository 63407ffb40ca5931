#include "Unblend.h"

#include "Parallel.h"
#include "Regions.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace retouch {
namespace {

// Fewer solid inner pixels than this: strokes too thin to tell coverage from
// opacity.
constexpr size_t kFewestInner = 40;
// Opacities outside this range keep the fill: an opaque mark hides the
// photo, a faint one leaves little to recover.
constexpr float kMostOpaque = 0.72f, kFaintest = 0.12f;
// A grey mark scales every channel's departure by the same opacity.
constexpr float kChannelSpread = 0.1f;
// At least this many tenths of a mark's inner pixels carry its opacity.
constexpr size_t kOpacitySpreadTenths = 3;
// Un-blended, a mark's edges keep no more than this share of their step.
// Finding a mark, the first: the photo's own specks must not pass. A part
// in the mask is repaired either way, the second deciding how: where the
// texture's own steps are as large as the mark's, its un-blended edges keep
// more than the first share, but the photo under it is still nearer than
// the fill's smooth guess (a mark over foliage that the user outlined).
constexpr double kEdgeLeft = 0.6, kRepairEdgeLeft = 0.8;

// Why a part is judged: whether it is a mark at all, or how to repair it.
enum class Purpose { Finding, Repairing };

// A background with less texture than this (levels, root mean square about
// the best plane) keeps the fill: it is as good there, and the inversion
// would magnify compression error by 1 / (1 − A).
constexpr float kSmooth = 6.f;
// A pixel whose coverage (the median about it) is above the first share of
// the mark's opacity is wholly covered, below the second not at all.
constexpr float kWhole = 0.75f, kNone = 0.18f;
// An edge pixel read this near the full opacity is whole: closer, the
// photo drawn through it errs as much.
constexpr float kEdgeWhole = 0.95f;
// Marks are white or black, or a little off: the greys tried, the first
// kept unless another leaves this share of its edges or less.
constexpr double kClearlyBetter = 0.85;
constexpr float kLightGreys[] = {255.f, 245.f, 235.f}, kDarkGreys[] = {0.f, 10.f, 20.f};

float Ch(uint32_t p, int c) { return float((p >> (8 * c)) & 255); }

// The rectangle's pixels, before (I) and after (B) the harmonic fill, row
// by row without a gap (copies: a pixel is then one index away, with no
// division into row and column in the loops that read millions of them).
struct Local {
    const uint32_t* before;
    const uint32_t* after;
    int w, h;
    const std::vector<uint8_t>& mask;
    // Zero between uses: marks a set of pixels without a picture-sized
    // allocation per part.
    std::vector<uint8_t>* scratch = nullptr;
    const std::vector<uint8_t>* inner = nullptr; // the mask shrunk by 2
    uint32_t I(int i) const { return before[i]; }
    uint32_t B(int i) const { return after[i]; }
    bool In(int x, int y) const { return x >= 0 && y >= 0 && x < w && y < h; }
    bool Masked(int x, int y) const { return In(x, y) && mask[size_t(y) * w + x]; }
};

// The pixels of rect in picture, row by row without a gap.
std::vector<uint32_t> Copied(const WordPicture& picture, const SelRect& rect)
{
    const int w = rect.X2 - rect.X1 + 1, h = rect.Y2 - rect.Y1 + 1;
    std::vector<uint32_t> out(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        std::copy_n(picture.words + (rect.Y1 + y) * picture.stride + rect.X1, w, out.begin() + ptrdiff_t(y) * w);
    return out;
}

// The 8-connected part of the mask holding `at`; seen marks its pixels.
std::vector<int32_t> PartAt(const Local& L, size_t at, std::vector<uint8_t>& seen)
{
    std::vector<int32_t> part{int32_t(at)};
    seen[at] = 1;
    const int w = L.w;
    // Away from the rectangle's edge, no bounds to test.
    const int32_t around[8] = {-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1};
    for (size_t head = 0; head < part.size(); ++head) {
        const int32_t i = part[head];
        const int x = i % w, y = i / w;
        if (x > 0 && y > 0 && x < w - 1 && y < L.h - 1) {
            for (const int32_t o : around) {
                const size_t k = size_t(i + o);
                if (L.mask[k] && !seen[k]) {
                    seen[k] = 1;
                    part.push_back(int32_t(k));
                }
            }
            continue;
        }
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const size_t k = size_t(y + dy) * L.w + (x + dx);
                if (L.Masked(x + dx, y + dy) && !seen[k]) {
                    seen[k] = 1;
                    part.push_back(int32_t(k));
                }
            }
    }
    return part;
}

// The mark's own pixels, wholly covered: those two pixels or more inside
// the mask (the mask is the strokes grown for their anti-aliased rims).
std::vector<int32_t> Core(const Local& L, const std::vector<int32_t>& part)
{
    std::vector<int32_t> core;
    for (int32_t i : part)
        if ((*L.inner)[size_t(i)])
            core.push_back(i);
    return core;
}

// The order in which to share parts out among workers: the largest first,
// so that no worker is left with one of them at the end.
std::vector<size_t> LargestFirst(const std::vector<std::vector<int32_t>>& parts)
{
    std::vector<size_t> order(parts.size());
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return parts[a].size() > parts[b].size(); });
    return order;
}

// The mask shrunk by 2 pixels (a square), outside the rectangle counting as
// unmasked: a running count along rows, then along columns.
std::vector<uint8_t> Shrunk(const std::vector<uint8_t>& mask, int w, int h)
{
    std::vector<uint8_t> rows(mask.size(), 0), out(mask.size(), 0);
    for (int y = 0; y < h; ++y) {
        int run = 0;
        for (int x = 0; x < w; ++x) {
            run = mask[size_t(y) * w + x] ? run + 1 : 0;
            if (run >= 5)
                rows[size_t(y) * w + (x - 2)] = 1;
        }
    }
    for (int x = 0; x < w; ++x) {
        int run = 0;
        for (int y = 0; y < h; ++y) {
            run = rows[size_t(y) * w + x] ? run + 1 : 0;
            if (run >= 5)
                out[size_t(y - 2) * w + x] = 1;
        }
    }
    return out;
}

// The pieces a part falls into once opened: its pixels three or more inside
// it (inner, the mask shrunk by 2, shrunk by a pixel more), 8-connected,
// each grown back by up to three pixels (a square) within the part, the
// nearest piece first. A line of the photo up to four pixels wide as the
// mask holds it (two, with a rim pixel either side) that joins a letter
// goes: a door frame's edge, a stalk. The letter keeps its shape.
std::vector<std::vector<int32_t>> Opened(int w, const std::vector<int32_t>& part, const std::vector<uint8_t>& inner)
{
    int x0 = part[0] % w, y0 = part[0] / w, x1 = x0, y1 = y0;
    for (int32_t k : part) {
        x0 = std::min(x0, k % w), x1 = std::max(x1, k % w);
        y0 = std::min(y0, k / w), y1 = std::max(y1, k / w);
    }
    // Over the part's bounds and a pixel of margin all round: no bounds to
    // test.
    const int bw = x1 - x0 + 3, bh = y1 - y0 + 3;
    auto local = [&](int32_t k) { return (k / w - y0 + 1) * bw + (k % w - x0 + 1); };
    auto global = [&](int32_t i) { return (i / bw - 1 + y0) * w + (i % bw - 1 + x0); };
    constexpr int32_t kOutside = -2, kUnclaimed = -1;
    std::vector<int32_t> label(size_t(bw) * size_t(bh), kOutside);
    for (int32_t k : part)
        label[size_t(local(k))] = kUnclaimed;
    const int32_t around[8] = {-bw - 1, -bw, -bw + 1, -1, 1, bw - 1, bw, bw + 1};
    // inner keeps clear of the rectangle's edge: its neighbours are in it
    // (a part's pixel on the edge is not, and its neighbours may not be).
    auto deep = [&](int32_t g) {
        if (!inner[size_t(g)])
            return false;
        for (const int32_t o : {-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1})
            if (!inner[size_t(g + o)])
                return false;
        return true;
    };
    std::vector<std::vector<int32_t>> pieces;
    for (int32_t k : part) {
        const int32_t at = local(k);
        if (label[size_t(at)] != kUnclaimed || !deep(k))
            continue;
        const auto id = int32_t(pieces.size());
        pieces.push_back({at});
        label[size_t(at)] = id;
        std::vector<int32_t>& piece = pieces.back();
        for (size_t head = 0; head < piece.size(); ++head)
            for (const int32_t o : around) {
                const int32_t q = piece[head] + o;
                if (label[size_t(q)] == kUnclaimed && deep(global(q))) {
                    label[size_t(q)] = id;
                    piece.push_back(q);
                }
            }
    }
    // Grown back a ring at a time, every piece at once.
    std::vector<int32_t> ring;
    for (const auto& piece : pieces)
        ring.insert(ring.end(), piece.begin(), piece.end());
    for (int step = 0; step < 3; ++step) {
        std::vector<int32_t> next;
        for (const int32_t i : ring)
            for (const int32_t o : around)
                if (label[size_t(i + o)] == kUnclaimed) {
                    label[size_t(i + o)] = label[size_t(i)];
                    pieces[size_t(label[size_t(i)])].push_back(i + o);
                    next.push_back(i + o);
                }
        ring = std::move(next);
    }
    for (auto& piece : pieces)
        for (int32_t& i : piece)
            i = global(i);
    return pieces;
}

// The core pixels whose four neighbours are core pixels too: strokes wide
// enough to have an inside.
size_t Solid(const Local& L, const std::vector<int32_t>& core)
{
    std::vector<uint8_t>& in = *L.scratch;
    for (int32_t i : core)
        in[size_t(i)] = 1;
    size_t solid = 0;
    for (int32_t i : core) {
        const int x = i % L.w, y = i / L.w;
        solid += x > 0 && y > 0 && x < L.w - 1 && y < L.h - 1 && in[size_t(i) - 1] && in[size_t(i) + 1]
               && in[size_t(i) - size_t(L.w)] && in[size_t(i) + size_t(L.w)];
    }
    for (int32_t i : core)
        in[size_t(i)] = 0;
    return solid;
}

// 1 − A = Σ(c − I) / Σ(c − B0) over the pixels and channels [from, to).
float Opacity(const Local& L, const std::vector<int32_t>& pixels, float c, int from, int to)
{
    double num = 0, den = 0;
    for (int32_t i : pixels)
        for (int k = from; k < to; ++k) {
            num += c - Ch(L.I(i), k);
            den += c - Ch(L.B(i), k);
        }
    return std::abs(den) < 1e-3 ? 0.f : float(1.0 - num / den);
}

// Opacity over each channel alone and over all three, in one pass (every
// term is a whole number, so the sums come out the same in any order).
std::array<float, 4> Opacities(const Local& L, const std::vector<int32_t>& pixels, float c)
{
    double num[3] = {0, 0, 0}, den[3] = {0, 0, 0};
    for (int32_t i : pixels)
        for (int k = 0; k < 3; ++k) {
            num[k] += c - Ch(L.I(i), k);
            den[k] += c - Ch(L.B(i), k);
        }
    auto opacity = [](double n, double d) { return std::abs(d) < 1e-3 ? 0.f : float(1.0 - n / d); };
    return {opacity(num[0], den[0]), opacity(num[1], den[1]), opacity(num[2], den[2]),
            opacity(num[0] + num[1] + num[2], den[0] + den[1] + den[2])};
}

// One pixel's opacity: its departure from the photo under it (the fill, or
// another estimate per channel) against the grey's; where that is nearly the
// grey itself, nothing tells, and fallback stands.
float PixelOpacity(uint32_t I, const std::array<float, 3>& B, float c, float fallback)
{
    float num = 0, den = 0;
    for (int k = 0; k < 3; ++k) {
        num += Ch(I, k) - B[size_t(k)];
        den += c - B[size_t(k)];
    }
    return std::abs(den) < 30 ? fallback : num / den;
}

float PixelOpacity(uint32_t I, uint32_t B, float c, float fallback)
{
    return PixelOpacity(I, {Ch(B, 0), Ch(B, 1), Ch(B, 2)}, c, fallback);
}

// How much of the step at the mark's edges a grey c at opacity A leaves once
// un-blended: from each edge pixel of the core to the first unmasked pixel
// straight out (at most 3 away). A mark of that grey and opacity leaves
// only the photo's own texture; -1 when there are too few edges to tell.
// The core is the mask shrunk by a square, which cuts deeper into a slanted
// side: a mark turned 25 to 65 degrees has next to no such edges. Then the
// diagonals are walked too; but a speck of texture with no straight side is
// told that way as well, and what is told only so counts as leaving twice
// as much (a slanted mark's edges still vanish well within the bound,
// texture's do not). wide: the mask holds the photo beside the strokes too
// (a brush's stroke), and a masked pixel the mark does not cover (its own
// opacity under a fifth of A) bounds the step as well.
double EdgeLeft(const Local& L, const std::vector<int32_t>& core, float c, float A, bool wide = false)
{
    auto bounds = [&](int x, int y) {
        return !L.Masked(x, y) || (wide && PixelOpacity(L.I(y * L.w + x), L.B(y * L.w + x), c, A) < kNone * A);
    };
    std::vector<uint8_t>& in = *L.scratch;
    for (int32_t i : core)
        in[size_t(i)] = 1;
    double before = 0, after = 0;
    size_t pairs = 0;
    constexpr std::pair<int, int> kWays[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    constexpr size_t kFewestPairs = 16;
    bool slanted = false;
    for (const auto& [from, to] : {std::pair{0, 4}, std::pair{4, 8}}) {
        if (pairs >= kFewestPairs)
            break;
        slanted = from > 0;
        for (int32_t i : core) {
            const int x = i % L.w, y = i / L.w;
            for (int way = from; way < to; ++way) {
                const auto [dx, dy] = kWays[way];
                if (!L.In(x + dx, y + dy) || in[size_t(y + dy) * L.w + (x + dx)])
                    continue;
                int k = 1;
                while (k <= 3 && L.In(x + k * dx, y + k * dy) && !bounds(x + k * dx, y + k * dy))
                    ++k;
                if (k > 3 || !L.In(x + k * dx, y + k * dy))
                    continue;
                const uint32_t p = L.I(i), q = L.I((y + k * dy) * L.w + (x + k * dx));
                for (int ch = 0; ch < 3; ++ch) {
                    before += std::abs(Ch(p, ch) - Ch(q, ch));
                    after += std::abs((Ch(p, ch) - A * c) / (1 - A) - Ch(q, ch));
                }
                ++pairs;
            }
        }
    }
    for (int32_t i : core)
        in[size_t(i)] = 0;
    if (pairs < kFewestPairs || before <= 0)
        return -1;
    return (slanted ? 2 : 1) * after / before;
}

// How much texture the photo has about the part: the root mean square
// departure of its unmasked pixels, over the part's bounds and 6 pixels
// around, from the plane that fits them best (a sky's gradient is no
// texture), over the three channels.
float Texture(const Local& L, const std::vector<int32_t>& part)
{
    int x0 = L.w, y0 = L.h, x1 = 0, y1 = 0;
    for (int32_t i : part) {
        x0 = std::min(x0, i % L.w);
        x1 = std::max(x1, i % L.w);
        y0 = std::min(y0, i / L.w);
        y1 = std::max(y1, i / L.w);
    }
    x0 = std::max(0, x0 - 6), y0 = std::max(0, y0 - 6), x1 = std::min(L.w - 1, x1 + 6), y1 = std::min(L.h - 1, y1 + 6);
    // Least squares for v = a + b·x + c·y, per channel, on centred
    // coordinates.
    const double cx = (x0 + x1) / 2.0, cy = (y0 + y1) / 2.0;
    double n = 0, sxx = 0, syy = 0, sxy = 0;
    std::array<double, 3> s{}, sx{}, sy{}, sv2{};
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            if (L.Masked(x, y))
                continue;
            const double dx = x - cx, dy = y - cy;
            n += 1;
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
            const uint32_t p = L.I(y * L.w + x);
            for (int c = 0; c < 3; ++c) {
                const double v = Ch(p, c);
                s[size_t(c)] += v;
                sx[size_t(c)] += v * dx;
                sy[size_t(c)] += v * dy;
                sv2[size_t(c)] += v * v;
            }
        }
    if (n < 16)
        return 0.f;
    // Residual sum of squares of the regression on (1, dx, dy); the
    // centred coordinates do not quite have zero mean over the unmasked
    // pixels, so the mean is taken out first.
    double mx = 0, my = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (!L.Masked(x, y))
                mx += x - cx, my += y - cy;
    mx /= n, my /= n;
    const double vxx = sxx - n * mx * mx, vyy = syy - n * my * my, vxy = sxy - n * mx * my;
    const double det = vxx * vyy - vxy * vxy;
    double rss = 0;
    for (size_t c = 0; c < 3; ++c) {
        const double mean = s[c] / n, tx = sx[c] - n * mx * mean, ty = sy[c] - n * my * mean;
        const double explained = std::abs(det) > 1e-9 ? (vyy * tx * tx - 2 * vxy * tx * ty + vxx * ty * ty) / det : 0;
        rss += std::max(0.0, sv2[c] - n * mean * mean - explained);
    }
    return float(std::sqrt(rss / (3 * n)));
}

// The pixels of the core that carry the mark: their own opacity within half
// of the core's median opacity either way. A found mask often holds some of
// the photo beside the strokes too, which carries none. wide: the mask
// holds more of the photo than of the mark (a brush's stroke), and the
// median would fall between the two: the most common opacity a mark can
// have is taken instead (in steps of 1/50, each with half its neighbours').
std::vector<int32_t> Strokes(const Local& L, const std::vector<int32_t>& core, float c, std::vector<float>* theirs = nullptr,
                             bool wide = false)
{
    std::vector<float> alpha(core.size());
    for (size_t k = 0; k < core.size(); ++k)
        alpha[k] = PixelOpacity(L.I(core[k]), L.B(core[k]), c, 0.f);
    float centre = 0.f;
    if (wide) {
        constexpr int kSteps = 50;
        std::array<double, kSteps + 2> count{};
        for (float a : alpha)
            if (a >= kFaintest && a <= kMostOpaque)
                count[size_t(std::lround(a * kSteps))] += 1;
        double most = 0;
        for (int b = 1; b <= kSteps; ++b) {
            const double here = count[size_t(b)] + (count[size_t(b - 1)] + count[size_t(b + 1)]) / 2;
            if (here > most)
                most = here, centre = float(b) / kSteps;
        }
    } else if (!alpha.empty()) {
        std::vector<float> sorted = alpha;
        std::nth_element(sorted.begin(), sorted.begin() + ptrdiff_t(sorted.size() / 2), sorted.end());
        centre = sorted[sorted.size() / 2];
    }
    std::vector<int32_t> strokes;
    if (theirs)
        theirs->clear();
    for (size_t k = 0; k < core.size(); ++k)
        if (std::abs(alpha[k] - centre) <= centre / 2) {
            strokes.push_back(core[k]);
            if (theirs)
                theirs->push_back(alpha[k]);
        }
    return strokes;
}

// The median of opacities (the pixels' own, as Strokes gives them).
float Median(std::vector<float> alpha)
{
    if (alpha.empty())
        return 0.f;
    std::nth_element(alpha.begin(), alpha.begin() + ptrdiff_t(alpha.size() / 2), alpha.end());
    return alpha[alpha.size() / 2];
}

// What both judgements of a part start from: its core, whether its strokes
// have an inside, and how far the core departs from the fill (summed over
// the channels; its sign tells light from dark).
struct Departure {
    std::vector<int32_t> core;
    bool solid = false;
    double departure = 0;
};

Departure Departs(const Local& L, const std::vector<int32_t>& part)
{
    Departure d{Core(L, part)};
    d.solid = Solid(L, d.core) >= kFewestInner;
    if (d.solid)
        for (int32_t i : d.core)
            for (int k = 0; k < 3; ++k)
                d.departure += Ch(L.I(i), k) - Ch(L.B(i), k);
    return d;
}

MarkEstimate Estimate(const Local& L, const std::vector<int32_t>& part, const Departure& from, Purpose purpose, bool wide,
                      float grey = -1)
{
    MarkEstimate e;
    const std::vector<int32_t>& core = from.core;
    const double departure = from.departure;
    // Strokes without an inside: anti-aliased, their coverage cannot be
    // told from their opacity.
    if (!from.solid) {
        if (Texture(L, part) >= kSmooth)
            e.refusal = Refusal::ThinOnTexture;
        return e;
    }
    // Of the greys on the side the mark departs to, the one whose edges
    // vanish best once un-blended (white or black unless another is clearly
    // better), its opacity taken over the pixels that carry the mark.
    // The greys are tried apart (side by side for a large part, each then
    // marking its pixels in a scratch of its own), and compared in order.
    const float* greys = departure > 0 ? kLightGreys : kDarkGreys;
    constexpr size_t kGreys = std::size(kLightGreys);
    // The core's pixels that hide the photo, were the mark of grey c.
    auto opaqueFor = [&](float c) {
        size_t opaque = 0;
        for (int32_t i : core)
            opaque += PixelOpacity(L.I(i), L.B(i), c, 0.f) > kMostOpaque;
        return opaque;
    };
    // Under a brush's stroke, opaque letters refuse it whatever the strokes
    // turn out to be (they are some of the core): the grey asked for, or
    // pure white or black where its edges cannot be told. Told before the
    // strokes are sought, which on a subtitle's outline cost as much again.
    if (wide) {
        const float pure = departure > 0 ? 255.f : 0.f;
        if (opaqueFor(pure) * 8 > core.size() && (grey == pure || opaqueFor(grey) * 8 > core.size())) {
            e.colour = pure;
            e.refusal = Refusal::Opaque;
            return e;
        }
    }
    std::array<std::vector<int32_t>, kGreys> carriers;
    std::array<float, kGreys> opacity{};
    std::array<double, kGreys> left{};
    const bool large = core.size() >= kParallelPixels;
    std::array<std::vector<uint8_t>, kGreys> scratch;
    InParallel(kGreys, [&](size_t g, unsigned) {
        left[g] = -1;
        if (grey >= 0 && greys[g] != grey)
            return;
        Local own = L;
        if (large && g > 0) {
            scratch[g].assign(L.mask.size(), 0);
            own.scratch = &scratch[g];
        }
        std::vector<float> alphas;
        carriers[g] = Strokes(own, core, greys[g], &alphas, wide);
        opacity[g] = Median(std::move(alphas));
        left[g] = opacity[g] <= 0 || opacity[g] >= 1 ? -1 : EdgeLeft(own, carriers[g], greys[g], opacity[g], wide);
    }, large ? 0u : 1u);
    double best = 2;
    std::vector<int32_t> strokes;
    for (size_t g = 0; g < kGreys; ++g)
        if (left[g] >= 0 && (best > 1 ? left[g] < best : left[g] < kClearlyBetter * best)) {
            best = left[g];
            e.colour = greys[g];
            e.opacity = opacity[g];
            strokes = std::move(carriers[g]);
        }
    if (best > 1) { // no grey's edges could be told: judge by pure white or black
        e.colour = departure > 0 ? 255.f : 0.f;
        e.opacity = Opacity(L, core, e.colour, 0, 3);
        strokes = Strokes(L, core, e.colour, nullptr, wide);
    }
    // A grey mark departs the same share in every channel; the photo the
    // mask also holds has no say in it.
    float spread = 0;
    const std::array<float, 4> opacities = Opacities(L, strokes, e.colour);
    for (int k = 0; k < 3; ++k)
        spread = std::max(spread, std::abs(opacities[size_t(k)] - opacities[3]));
    const size_t carrying = strokes.size();
    // Under a brush's stroke the opacity a mark can have is sought among the
    // photo's own pixels and the rims of opaque letters too: where an eighth
    // as many pixels as carry it hide the photo, it is opaque letters' (a
    // translucent mark's pixels pass for opaque only where the fill errs).
    const size_t opaque = wide ? opaqueFor(e.colour) : 0;
    if (opaque * 8 > carrying)
        e.refusal = Refusal::Opaque;
    else if (spread > kChannelSpread)
        e.refusal = Refusal::Coloured;
    else if (e.opacity > kMostOpaque)
        e.refusal = Refusal::Opaque;
    else if (e.opacity < kFaintest)
        e.refusal = Refusal::Faint;
    else if (!wide && carrying * 10 < core.size() * kOpacitySpreadTenths)
        e.refusal = Refusal::Uneven;
    else if (Texture(L, part) < kSmooth)
        e.refusal = Refusal::Smooth;
    else if (best > (purpose == Purpose::Finding ? kEdgeLeft : kRepairEdgeLeft))
        e.refusal = Refusal::EdgesStay;
    else
        e.refusal = Refusal::None;
    return e;
}

// The verdict on a part. To repair one that would be filled as faint,
// uneven or with edges that stay, it is judged again as the photo beside a
// mark under a brush's stroke, in the grey the first judgement chose: the
// mark's most common opacity, its edges bounded by the photo inside the
// mask as well. Only finding a mark asks the tight mask's verdict alone.
MarkEstimate Judge(const Local& L, const std::vector<int32_t>& part, Purpose purpose)
{
    const Departure from = Departs(L, part);
    const MarkEstimate tight = Estimate(L, part, from, purpose, false);
    const Refusal r = tight.refusal;
    if (purpose == Purpose::Finding || (r != Refusal::Faint && r != Refusal::Uneven && r != Refusal::EdgesStay))
        return tight;
    const MarkEstimate wide = Estimate(L, part, from, purpose, true, tight.colour);
    return wide.refusal == Refusal::None ? wide : tight;
}

// The photo under the part un-blended: per pixel its coverage is the median
// of the opacities of it and its four neighbours (unmasked pixels none), so
// the photo's texture under one pixel does not pass for the mark's edge,
// and a stroke's corner (three of the five) keeps its own.
std::vector<uint32_t> Unblended(const Local& L, const std::vector<int32_t>& part, const MarkEstimate& e)
{
    constexpr std::pair<int, int> kFour[] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    auto own = [&](int x, int y) {
        return L.Masked(x, y) ? PixelOpacity(L.I(y * L.w + x), L.B(y * L.w + x), e.colour, e.opacity) : 0.f;
    };
    auto median = [&](int x, int y) {
        std::array<float, 5> v{own(x, y)};
        size_t n = 1;
        for (const auto& [dx, dy] : kFour)
            v[n++] = own(x + dx, y + dy);
        std::nth_element(v.begin(), v.begin() + 2, v.end());
        return v[2];
    };
    auto whole = [&](int x, int y) { return L.Masked(x, y) && median(x, y) >= kWhole * e.opacity; };
    // The photo under pixel p in channel c, were its coverage a.
    auto under = [&](uint32_t p, int c, float a) { return (Ch(p, c) - a * e.colour) / (1.f - a); };
    // A whole pixel beside one that is not: the stroke's edge, covered in
    // part. Taken whole, it is un-blended too far and outlines the strokes
    // in the other shade; but its reading against the fill is no better
    // than the fill, which errs there as much. Told against the photo drawn
    // straight through it instead: the inside un-blended on one side, two
    // pixels out (past any rim) on the other.
    auto edge = [&](int x, int y) {
        for (const auto& [dx, dy] : kFour) {
            if (!L.In(x + 2 * dx, y + 2 * dy) || whole(x + dx, y + dy) || !whole(x - dx, y - dy))
                continue;
            const uint32_t in = L.I((y - dy) * L.w + x - dx), out = L.I((y + 2 * dy) * L.w + x + 2 * dx);
            std::array<float, 3> photo{};
            for (int c = 0; c < 3; ++c)
                photo[size_t(c)] = (under(in, c, e.opacity) * 2 + Ch(out, c)) / 3;
            const float a = PixelOpacity(L.I(y * L.w + x), photo, e.colour, e.opacity);
            return a >= kEdgeWhole * e.opacity ? e.opacity : std::max(a, kNone * e.opacity);
        }
        return e.opacity;
    };
    // A pixel beside a stroke's whole inside that reads as none: the rim's
    // faintest pixels, under the floor that keeps the photo beside the
    // strokes as it is, still show as a halo about them. Told against the
    // photo about it rather than the fill, which errs there as much as the
    // rim departs: the mean of the inside un-blended and the pixel across,
    // which a hard edge's photo matches and a rim does not. Up to the floor.
    auto rim = [&](int x, int y) {
        for (const auto& [dx, dy] : kFour) {
            if (!L.In(x - dx, y - dy) || !whole(x + dx, y + dy))
                continue;
            const uint32_t in = L.I((y + dy) * L.w + x + dx), across = L.I((y - dy) * L.w + x - dx);
            const float inside = edge(x + dx, y + dy);
            std::array<float, 3> photo{};
            for (int c = 0; c < 3; ++c)
                photo[size_t(c)] = (under(in, c, inside) + Ch(across, c)) / 2;
            return std::clamp(PixelOpacity(L.I(y * L.w + x), photo, e.colour, 0.f), 0.f, kNone * e.opacity);
        }
        return 0.f;
    };
    std::vector<uint32_t> out(part.size());
    for (size_t k = 0; k < part.size(); ++k) {
        const int32_t i = part[k];
        const int x = i % L.w, y = i / L.w;
        // The strokes are whole but for their anti-aliased rim: what is
        // near the full opacity is the full opacity, what is near none is
        // the photo beside them, which the mask also holds.
        const float m = median(x, y);
        float a = m >= kWhole * e.opacity ? e.opacity : m <= kNone * e.opacity ? 0.f : m;
        if (a == 0.f)
            a = rim(x, y);
        else if (a == e.opacity)
            a = edge(x, y);
        uint32_t px = 0xFF000000u;
        for (int c = 0; c < 3; ++c)
            px |= uint32_t(std::lround(std::clamp(under(L.I(i), c, a), 0.f, 255.f))) << (8 * c);
        out[k] = px;
    }
    return out;
}

// ---- finding translucent marks ---------------------------------------------

// The opacities told apart when looking for a mark, in steps of 1/50.
constexpr int kOpacitySteps = 50;
constexpr float kLeastOpacity = 0.12f, kMostOpacity = 0.72f;
constexpr float kMarkOpacity[2] = {kLeastOpacity, kMostOpacity};
// The opacities voted for: beyond the mark's own range on both sides, so
// that a peak near either end stands against the texture's real count
// there, not against an empty bin.
constexpr float kVotedOpacity[2] = {0.02f, 0.86f};
// A step between two pixels two apart (a rim pixel between them) counts as
// a mark's edge when every channel agrees on its opacity within this, and
// it is at least kLeastStep levels over the three channels.
constexpr float kChannelAgreement = 0.06f, kLeastStep = 24.f;
// A step up from black (every channel at most this) outlines no white
// mark: beside black, any grey pixel reads as white at its own level's
// opacity, and along an opaque caption's black outline the photo seen in
// its counters and between its letters would be outlined as a faint white
// mark. The votes still count such steps, so the blends tried stay the
// same: without them, a rectangle's other faint peaks come forward (a
// meadow's dark blades, the light between two dark wires). Not the other
// way round: a dark mark over a blown-out white is common, and its steps
// there are much of what outlines it; black captions outlined in white
// are rare.
constexpr float kBlack = 8.f;
// An edge is taken for the mark's own when its opacity lies within a share
// kSameShare of the mark's (kSameOpacity at the least), its rim pixel even
// a little past the step (by about an eighth of it), the channels agreeing
// within the looser kOutlineAgreement. Counted in the votes, such steps
// would blur the peak; but once the mark's blend is known they close its
// outline where the photo under the rim slopes against the step, where a
// rim covered in part or blurred keeps only part of the opacity (a share
// of it: strong marks stray further), where JPEG's colour at half
// resolution smears the rim (its channels then disagree by about a tenth),
// and where the photo under the inside pixel is not quite the outside
// pixel's colour (a coloured texture two pixels apart: as much again). The
// opacity window, not the channels, keeps the texture's own steps out. They
// crowd the low opacities, where the window stays as narrow as the least.
constexpr float kSameOpacity = 0.04f, kSameShare = 0.2f, kRimSlack = 0.15f, kOutlineAgreement = 0.2f;
// A mark's opacity must stand out of the texture's by this many edges.
constexpr int kLeastEdges = 40;
// ... and the rectangle hold this many times the steps at it that as much
// of the photo around holds. Highlights on stucco, stars, sparkle on water
// cluster: a rectangle's share of them swings far past a count's chance
// spread, but seldom to half again the ring's; a mark's edges add to them
// by more (over a painting's strokes a faint mark's may not).
constexpr double kAboveAround = 1.5;
// A hump is sought above this opacity: below, the photo's own faintest
// steps crowd.
constexpr float kAboveTexture = 0.16f;
// Pixels of the ring about the rectangle that tell the photo's own steps,
// however many the rectangle has.
constexpr size_t kEnoughAround = 10000;
// Parts smaller than this are specks of texture, not strokes.
constexpr size_t kFewestPixels = 30;
// A rectangle this many pixels across or more is also looked at halved.
constexpr int kLeastHalved = 40;
// A piece found only at half the resolution is taken when the picture's own
// reads it at more than this opacity, and, beside a mark found already,
// within this many of the outline's windows of that mark's opacity.
constexpr float kHalvedOpacity = 0.2f, kHalvedAgreement = 1.5f;
// Rectangles up to this many pixels are outlined for several blends at once.
constexpr size_t kSideBySidePixels = 4'000'000;
// A piece of stroke beside the outline is nearer the strokes' colour about it
// than their un-blended colour by this many levels (over the channels) and
// by this share of the latter distance; the strokes' colour is taken over a
// box of half the widest stroke, within these bounds.
constexpr float kAlikeMargin = 12.f, kAlikeShare = 0.5f;
constexpr int kAlikeBox[2] = {3, 16};

// The size of the step from p to q, over the channels; steep from
// kLeastStep levels: most pairs are not, and are no edge at all.
inline int Size(uint32_t p, uint32_t q)
{
    int step = 0;
    for (int k = 0; k < 24; k += 8)
        step += std::abs(int((p >> k) & 255) - int((q >> k) & 255));
    return step;
}
inline bool Steep(uint32_t p, uint32_t q) { return Size(p, q) >= int(kLeastStep); }

// A steep pair's step from q (outside) to p (inside), two apart, for the
// greys tried in turn: what does not depend on the grey, worked out once.
struct Step {
    float p[3], q[3];
    float num = 0; // Σ (p − q)
    bool between;  // the middle pixel m lies between the two (or, by slack,
                   // up to a share of the step past either: the photo's own
                   // slope under a rim pixel)

    Step(uint32_t P, uint32_t m, uint32_t Q, float slack = 0)
    {
        float order = 0, step = 0;
        for (int k = 0; k < 3; ++k) {
            p[k] = Ch(P, k), q[k] = Ch(Q, k);
            num += p[k] - q[k];
            order += (Ch(m, k) - q[k]) * (p[k] - Ch(m, k));
            step += (p[k] - q[k]) * (p[k] - q[k]);
        }
        between = order >= -slack * step;
    }

    // The step's opacity for grey c, or -1 when it is no blend towards c:
    // A such that p = A·c + (1 − A)·q in every channel (within agreement),
    // within range.
    float Opacity(float c, const float (&range)[2], float agreement = kChannelAgreement) const
    {
        float den = 0;
        for (int k = 0; k < 3; ++k)
            den += c - q[k];
        if (std::abs(den) < 60 || !between)
            return -1;
        const float A = num / den;
        if (A < range[0] || A > range[1])
            return -1;
        for (int k = 0; k < 3; ++k) {
            const float d = c - q[k];
            if (std::abs(d) >= 20 && std::abs((p[k] - q[k]) / d - A) > agreement)
                return -1;
        }
        return A;
    }
};

// mask (w x h) grown by a pixel (a square): along rows, then down columns.
std::vector<uint8_t> Grown(const std::vector<uint8_t>& mask, int w, int h)
{
    std::vector<uint8_t> across(mask.size(), 0), out(mask.size(), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            across[i] = mask[i] | (x > 0 ? mask[i - 1] : 0) | (x < w - 1 ? mask[i + 1] : 0);
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            out[i] = across[i] | (y > 0 ? across[i - size_t(w)] : 0) | (y < h - 1 ? across[i + size_t(w)] : 0);
        }
    return out;
}

// Sets the 4-connected unmasked regions of mask (L's own) that do not
// reach its border and hold at most `largest` pixels, but for those edged
// all round (nine in ten of their pixels beside the mask set in `edged`)
// that open(hole, ring) keeps open: the means per channel of the region's
// pixels and of the mask three pixels about them.
template <typename Open>
void FillHoles(const Local& L, std::vector<uint8_t>& mask, size_t largest, const std::vector<uint8_t>& edged, Open open)
{
    const int w = L.w, h = L.h;
    // The unmasked regions (the background around the strokes is one of a
    // million pixels, but of few runs).
    const Regions regions = FindRegions(mask, w, h, false, false);
    const std::vector<Regions::Run>& runs = regions.runs;
    auto root = [&](size_t r) { return regions.region[r]; };
    std::vector<size_t> size(runs.size(), 0);
    std::vector<uint8_t> border(runs.size(), 0);
    for (size_t r = 0; r < runs.size(); ++r) {
        const size_t top = root(r);
        size[top] += size_t(runs[r].x1 - runs[r].x0);
        border[top] |= runs[r].y == 0 || runs[r].y == h - 1 || runs[r].x0 == 0 || runs[r].x1 == w;
    }
    // The colours of the small regions and of the mask about them.
    struct Sums {
        double hole[3] = {0, 0, 0}, ring[3] = {0, 0, 0};
        size_t beside = 0;         // the ring's pixels
        size_t rim = 0, edges = 0; // the region's pixels beside the mask, and of them edged
    };
    std::vector<Sums> sums(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) {
        const size_t top = root(r);
        if (border[top] || size[top] > largest)
            continue;
        Sums& t = sums[top];
        const int y = runs[r].y;
        for (int x = runs[r].x0; x < runs[r].x1; ++x) {
            const int32_t i = y * w + x;
            for (int c = 0; c < 3; ++c)
                t.hole[c] += Ch(L.I(i), c);
            if (mask[size_t(i - 1)] || mask[size_t(i + 1)] || mask[size_t(i - w)] || mask[size_t(i + w)]) {
                ++t.rim;
                t.edges += edged[size_t(i)] != 0;
            }
            // Three pixels into the mask: past the strokes' rim, which
            // is as much the photo's as the mark's.
            for (const auto& [dx, dy] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
                if (!L.Masked(x + dx, y + dy) || !L.Masked(x + 2 * dx, y + 2 * dy) || !L.Masked(x + 3 * dx, y + 3 * dy))
                    continue;
                const int32_t j = i + 3 * (dy * w + dx);
                for (int c = 0; c < 3; ++c)
                    t.ring[c] += Ch(L.I(j), c);
                ++t.beside;
            }
        }
    }
    std::vector<uint8_t> fill(runs.size(), 0);
    for (size_t r = 0; r < runs.size(); ++r) {
        if (root(r) != r || border[r] || size[r] > largest)
            continue;
        const Sums& t = sums[r];
        fill[r] = 1;
        if (t.beside == 0 || t.edges * 10 < t.rim * 9)
            continue;
        double hole[3], ring[3];
        for (int c = 0; c < 3; ++c) {
            hole[c] = t.hole[c] / double(size[r]);
            ring[c] = t.ring[c] / double(t.beside);
        }
        fill[r] = !open(hole, ring);
    }
    for (size_t r = 0; r < runs.size(); ++r) {
        const size_t top = root(r);
        if (fill[top])
            std::fill_n(mask.begin() + ptrdiff_t(size_t(runs[r].y) * w + size_t(runs[r].x0)), runs[r].x1 - runs[r].x0, 1);
    }
}

} // namespace

namespace {

std::vector<uint8_t> VerdictsOn(const WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask, Purpose purpose,
                                std::vector<MarkEstimate>* estimates = nullptr);

// A grey and the opacity its steps peak at.
struct Blend {
    float grey, opacity;
};

// The pieces of stroke the outline missed beside the strokes kept (the
// mark's edge lost in the photo's texture, or a stroke's inside open to a
// counter through such a gap), joined to kept (1 the strokes, w x h; the
// pieces come back as 2). A pixel is a piece when it looks like the strokes
// about it rather than like them un-blended (the photo without the mark):
// a step of the mark's own size and direction tells the two apart where one
// colour alone would not. Within `far` of the strokes, through pixels alike.
// Growth that would outgrow the strokes by more than a third, or cover
// nearly the whole rectangle, is the photo's texture taken for the mark:
// none is joined then.
void JoinAlike(const Local& L, const std::vector<Blend>& blends, int far, std::vector<uint8_t>& kept)
{
    const int w = L.w, h = L.h;
    const size_t n = size_t(w) * h;
    const int r = std::clamp(far / 2, kAlikeBox[0], kAlikeBox[1]);
    // Rows with no stroke within r are passed over whole.
    std::vector<size_t> rowSeeds(size_t(h), 0);
    for (int y = 0; y < h; ++y)
        rowSeeds[size_t(y)] = size_t(std::count(kept.begin() + ptrdiff_t(size_t(y) * w), kept.begin() + ptrdiff_t(size_t(y + 1) * w), uint8_t(1)));
    // The strokes' colour about each pixel: sums over a box of 2r + 1, its
    // columns' sums carried down the rows.
    std::vector<std::array<int32_t, 4>> columns(size_t(w), std::array<int32_t, 4>{});
    auto add = [&](int y, int sign) {
        for (int x = 0; x < w && rowSeeds[size_t(y)]; ++x) {
            const size_t i = size_t(y) * w + x;
            if (kept[i] != 1)
                continue;
            for (int c = 0; c < 3; ++c)
                columns[size_t(x)][size_t(c)] += sign * int32_t(Ch(L.I(int(i)), c));
            columns[size_t(x)][3] += sign;
        }
    };
    std::vector<uint8_t> alike(n, 0);
    size_t near = 0;
    for (int y = 0; y < std::min(r, h); ++y)
        add(y, 1), near += rowSeeds[size_t(y)];
    for (int y = 0; y < h; ++y) {
        if (y + r < h)
            add(y + r, 1), near += rowSeeds[size_t(y + r)];
        if (y - r - 1 >= 0)
            add(y - r - 1, -1), near -= rowSeeds[size_t(y - r - 1)];
        if (near == 0)
            continue;
        std::array<int32_t, 4> box{};
        auto slide = [&](int x, int sign) {
            for (int c = 0; c < 4; ++c)
                box[size_t(c)] += sign * columns[size_t(x)][size_t(c)];
        };
        for (int x = 0; x < std::min(r, w); ++x)
            slide(x, 1);
        for (int x = 0; x < w; ++x) {
            if (x + r < w)
                slide(x + r, 1);
            if (x - r - 1 >= 0)
                slide(x - r - 1, -1);
            const size_t i = size_t(y) * w + x;
            if (kept[i] || box[3] < r)
                continue;
            alike[i] = std::any_of(blends.begin(), blends.end(), [&](const Blend& b) {
                float in = 0, away = 0;
                for (int c = 0; c < 3; ++c) {
                    const float I = Ch(L.I(int(i)), c), M = float(box[size_t(c)]) / float(box[3]);
                    in += std::abs(I - M);
                    away += std::abs(I - (M - b.opacity * b.grey) / (1 - b.opacity));
                }
                return in + kAlikeMargin < away && in < kAlikeShare * away;
            });
        }
    }
    std::vector<int32_t> front;
    std::vector<uint16_t> steps(n, 0);
    for (size_t i = 0; i < n; ++i)
        if (kept[i] == 1)
            front.push_back(int32_t(i));
    const size_t seeds = front.size();
    for (size_t at = 0; at < front.size(); ++at) {
        const size_t m = size_t(front[at]);
        if (steps[m] >= far)
            continue;
        const int x = int(m % size_t(w)), y = int(m / size_t(w));
        const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
        for (int d = 0; d < 4; ++d) {
            if (!L.In(x + dx[d], y + dy[d]))
                continue;
            const size_t p = size_t(y + dy[d]) * w + size_t(x + dx[d]);
            if (alike[p] && !kept[p]) {
                kept[p] = 2, steps[p] = uint16_t(steps[m] + 1);
                front.push_back(int32_t(p));
            }
        }
    }
    const size_t joined = front.size() - seeds;
    if (joined * 3 > seeds || front.size() * 4 >= n * 3)
        for (uint8_t& k : kept)
            k = k == 1;
}

// The edges of a mark of some blends, over a rectangle's copy: per inside
// pixel the directions (bits 1 << d, d 0 to 3 for +x, -x, +y, -y) in which
// the mark ends two pixels on (out); the rim pixel between belongs to the
// mark (rim), and the outside pixel bounds it (outside).
struct Outline {
    std::vector<uint8_t> out, rim, outside;
};

// The outlines of several sets of blends (a set none where it is not
// wanted), in one pass: each pair two apart is looked at once, both ways
// round, and its steps serve every set.
std::vector<Outline> Outlines(const std::vector<uint32_t>& pixels, int w, int h, const std::vector<std::vector<Blend>>& sets,
                              const std::vector<uint8_t>& wanted)
{
    const size_t n = size_t(w) * h;
    std::vector<Outline> outlines(sets.size());
    for (size_t t = 0; t < sets.size(); ++t)
        if (wanted[t])
            outlines[t] = {std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0), std::vector<uint8_t>(n, 0)};
    const uint32_t* I = pixels.data();
    auto edge = [&](size_t p, size_t m, size_t q, int d) {
        const Step step(I[p], I[m], I[q], kRimSlack);
        if (!step.between)
            return;
        const bool black = std::max({step.q[0], step.q[1], step.q[2]}) <= kBlack;
        for (size_t t = 0; t < sets.size(); ++t) {
            if (!wanted[t])
                continue;
            const bool ours = std::any_of(sets[t].begin(), sets[t].end(), [&](const Blend& b) {
                if (black && b.grey > 127)
                    return false;
                const float A = step.Opacity(b.grey, kMarkOpacity, kOutlineAgreement);
                return A >= 0 && std::abs(A - b.opacity) <= std::max(kSameOpacity, kSameShare * b.opacity);
            });
            if (!ours)
                continue;
            outlines[t].out[p] |= uint8_t(1 << d);
            outlines[t].rim[m] = 1;
            outlines[t].outside[q] = 1;
        }
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            if (x + 2 < w && Steep(I[i], I[i + 2])) {
                edge(i, i + 1, i + 2, 0);
                edge(i + 2, i + 1, i, 1);
            }
            if (y + 2 < h && Steep(I[i], I[i + 2 * size_t(w)])) {
                edge(i, i + size_t(w), i + 2 * size_t(w), 2);
                edge(i + 2 * size_t(w), i + size_t(w), i, 3);
            }
        }
    return outlines;
}

// The mark in rect, pixels its copy, edges the outline of blends: the
// pixels enclosed by the edges, the parts that pass as one mark.
std::vector<uint8_t> MarkOf(const WordPicture& pic, const SelRect& rect, const std::vector<uint32_t>& pixels, const std::vector<Blend>& blends,
                            Outline edges)
{
    const int w = rect.X2 - rect.X1 + 1, h = rect.Y2 - rect.Y1 + 1;
    const size_t n = size_t(w) * h;
    std::vector<uint8_t> mask = std::move(edges.rim);
    const std::vector<uint8_t> out = std::move(edges.out), outside = std::move(edges.outside);
    const Local L{pixels.data(), nullptr, w, h, mask};
    // The strokes' width: from each edge inwards to the stroke's far side
    // (the nearest edge facing it, fewer than 80 pixels back). Each sweep
    // runs along the rows in memory order: a column's last such edge is
    // kept per column, the widths counted by size.
    constexpr int kWidest = 80;
    std::array<size_t, kWidest> widths{};
    size_t measured = 0;
    constexpr int kNever = -(1 << 20);
    std::vector<int> last(static_cast<size_t>(w));
    auto measure = [&](int d, int at, int& behind, size_t i) {
        if ((out[i] & (1 << d)) && at - behind < kWidest) {
            ++widths[size_t(at - behind)];
            ++measured;
        }
        if (out[i] & (1 << (d ^ 1)))
            behind = at;
    };
    for (int y = 0; y < h; ++y) {
        int behind = kNever;
        for (int x = 0; x < w; ++x)
            measure(0, x, behind, size_t(y) * w + x);
        behind = kNever;
        for (int x = w - 1; x >= 0; --x)
            measure(1, -x, behind, size_t(y) * w + x);
    }
    std::fill(last.begin(), last.end(), kNever);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            measure(2, y, last[size_t(x)], size_t(y) * w + x);
    std::fill(last.begin(), last.end(), kNever);
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            measure(3, -y, last[size_t(x)], size_t(y) * w + x);
    if (measured < kFewestPixels)
        return mask;
    int median = 0;
    for (size_t below = 0; below + widths[size_t(median)] <= measured / 2; ++median)
        below += widths[size_t(median)];
    const int widest = 2 * median + 2;
    // Inside: edges of the mark ahead and behind along a row or a column,
    // each within the widest stroke, with no outside pixel between. The
    // distance to the nearest such edge ahead by a sweep against each
    // direction (down the columns row by row, a distance kept per column);
    // the second of an axis decides with the first's.
    std::vector<uint16_t> first(n), ahead(static_cast<size_t>(w));
    auto step = [&](int d, uint16_t& next, size_t i) {
        if (out[i] & (1 << d))
            next = 0;
        else if (outside[i])
            next = 0xFFFF;
        else if (next != 0xFFFF)
            next = uint16_t(std::min(0xFFFE, next + 1));
        if (d % 2 == 0)
            first[i] = next;
        else if (out[i] || (first[i] <= widest && next <= widest))
            mask[i] = 1;
    };
    for (int y = 0; y < h; ++y) {
        uint16_t next = 0xFFFF;
        for (int x = w - 1; x >= 0; --x)
            step(0, next, size_t(y) * w + x);
        next = 0xFFFF;
        for (int x = 0; x < w; ++x)
            step(1, next, size_t(y) * w + x);
    }
    std::fill(ahead.begin(), ahead.end(), uint16_t(0xFFFF));
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            step(2, ahead[size_t(x)], size_t(y) * w + x);
    std::fill(ahead.begin(), ahead.end(), uint16_t(0xFFFF));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            step(3, ahead[size_t(x)], size_t(y) * w + x);
    std::vector<uint8_t> raw = mask;
    // The majority of each 3 x 3: single pixels of texture go, strokes stay.
    // Counted along rows, then those counts summed down columns.
    std::vector<uint8_t> across(n, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            across[i] = uint8_t(raw[i] + (x > 0 ? raw[i - 1] : 0) + (x < w - 1 ? raw[i + 1] : 0));
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            mask[i] = across[i] + (y > 0 ? across[i - size_t(w)] : 0) + (y < h - 1 ? across[i + size_t(w)] : 0) >= 5;
        }
    // Holes of stroke size within the strokes are the mark too, where
    // neither an edge nor a ray told (a stroke's bend); left out, they
    // would keep their bit of mark and lead the fill astray about them.
    // Larger holes are the letters' own counters (an o's, a ©'s ring):
    // taken in, the photo in them thins the part's opacity until it passes
    // for faint. So is a smaller hole that the mark's edges close all round
    // and whose photo looks like the mask about it un-blended, not like the
    // mask as it is (a bold face's "a" over a shadow in the leaves): taken
    // in, it leads the fill under the strokes about it astray, and there
    // the mark passes for the photo beside it. A hole of texture within a
    // stroke (a bright patch under a dark mark) is seldom closed all round.
    FillHoles(L, mask, size_t(widest) * widest, outside, [&](const double (&hole)[3], const double (&ring)[3]) {
        double same = 0;
        for (int c = 0; c < 3; ++c)
            same += std::abs(hole[c] - ring[c]);
        return std::any_of(blends.begin(), blends.end(), [&](const Blend& b) {
            double bare = 0;
            for (int c = 0; c < 3; ++c)
                bare += std::abs(hole[c] - (ring[c] - b.opacity * b.grey) / (1 - b.opacity));
            return bare < same;
        });
    });
    const std::vector<uint8_t> strokes = mask;
    const std::vector<uint8_t> grown = Grown(mask, w, h);
    // Kept are the parts that pass as one mark of one grey and one opacity,
    // each judged over its own bounds and a ring (the fill of the whole
    // rectangle's candidates would cost as much as 文字補正's own); over a
    // smooth ground too, where the fill will repair them, but they are the
    // mark all the same.
    // Parts too thin to have an inside are refused before any fill: the
    // judge tells that from the mask alone (the square that shrinks the
    // mask never reaches across from one part to another).
    std::vector<uint8_t> scratch(n, 0);
    const std::vector<uint8_t> inner = Shrunk(grown, w, h);
    const Local G{pixels.data(), nullptr, w, h, grown, &scratch, &inner};
    const std::vector<std::vector<int32_t>> parts = Parts(grown, w, h, true);
    std::vector<uint8_t> thin;
    for (const auto& part : parts)
        thin.push_back(part.size() < kFewestPixels || Solid(G, Core(G, part)) < kFewestInner);
    auto judge = [&](const std::vector<int32_t>& part) {
        int x0 = w, y0 = h, x1 = 0, y1 = 0;
        for (int32_t k : part) {
            x0 = std::min(x0, k % w), x1 = std::max(x1, k % w);
            y0 = std::min(y0, k / w), y1 = std::max(y1, k / w);
        }
        x0 = std::max(0, x0 - 2), y0 = std::max(0, y0 - 2), x1 = std::min(w - 1, x1 + 2), y1 = std::min(h - 1, y1 + 2);
        const int bw = x1 - x0 + 1;
        std::vector<uint8_t> own(size_t(bw) * (y1 - y0 + 1), 0);
        for (int32_t k : part)
            own[size_t(k / w - y0) * bw + size_t(k % w - x0)] = 1;
        const SelRect bounds{rect.X1 + x0, rect.Y1 + y0, rect.X1 + x1, rect.Y1 + y1};
        const size_t at = size_t(part[0] / w - y0) * bw + size_t(part[0] % w - x0);
        return Refusal(VerdictsOn(pic, bounds, own, Purpose::Finding)[at]);
    };
    std::vector<Refusal> verdicts(parts.size(), Refusal::Thin);
    const std::vector<size_t> order = LargestFirst(parts);
    InParallel(parts.size(), [&](size_t j, unsigned) {
        if (!thin[order[j]])
            verdicts[order[j]] = judge(parts[order[j]]);
    }, n >= kParallelPixels ? 0u : 1u);
    // A part refused only as not one grey, found with parts that passed
    // (over a smooth ground too), is a letter of the same mark: where the
    // photo under it keeps a channel at the grey's own level (a red
    // flower's red under white) or the fill beside it errs in one channel
    // more than the others (a bright stalk, a dark ground's colour cast),
    // the channels disagree on the opacity. The fill repairs it. Alone, such
    // parts are more often the photo's coloured texture.
    const bool passed = std::any_of(verdicts.begin(), verdicts.end(), [](Refusal v) { return v == Refusal::None || v == Refusal::Smooth; });
    for (size_t p = 0; p < parts.size(); ++p) {
        const Refusal v = verdicts[p];
        const bool keep = v == Refusal::None || v == Refusal::Smooth || (passed && v == Refusal::Coloured);
        for (int32_t k : parts[p])
            mask[size_t(k)] = keep;
    }
    // A letter that touches a thin line of the photo (a door frame's edge)
    // is one part with it, and no one mark. Refused so, the part is opened
    // and its pieces judged on their own. They are letters the mark mostly
    // showed already: pieces that would add more than a third to the parts
    // that passed are the photo's texture (over foliage or gravel a few
    // specks pass, and opening their neighbours passes more).
    size_t shown = 0;
    for (size_t p = 0; p < parts.size(); ++p)
        shown += verdicts[p] == Refusal::None ? parts[p].size() : 0;
    // Opened in the order of a walk from the part's first pixel: where two
    // pieces grow back into the same pixel, the first one to reach it
    // takes it.
    std::vector<std::vector<int32_t>> pieces;
    std::vector<uint8_t> seen;
    for (size_t p = 0; p < parts.size() && shown > 0; ++p) {
        const Refusal v = verdicts[p];
        if (v != Refusal::EdgesStay && v != Refusal::Uneven && v != Refusal::Faint)
            continue;
        seen.resize(n, 0);
        std::vector<std::vector<int32_t>> own = Opened(w, PartAt(G, size_t(parts[p][0]), seen), inner);
        if (own.size() == 1 && own[0].size() == parts[p].size())
            continue;
        for (auto& piece : own)
            if (piece.size() >= kFewestPixels)
                pieces.push_back(std::move(piece));
    }
    std::vector<uint8_t> letter(pieces.size(), 0);
    const std::vector<size_t> byPieces = LargestFirst(pieces);
    InParallel(pieces.size(), [&](size_t j, unsigned) {
        const Refusal v = judge(pieces[byPieces[j]]);
        letter[byPieces[j]] = v == Refusal::None || v == Refusal::Smooth;
    }, n >= kParallelPixels ? 0u : 1u);
    size_t added = 0;
    for (size_t p = 0; p < pieces.size(); ++p)
        added += letter[p] ? pieces[p].size() : 0;
    if (added * 3 <= shown)
        for (size_t p = 0; p < pieces.size(); ++p)
            for (int32_t k : pieces[p])
                mask[size_t(k)] |= letter[p];
    std::vector<uint8_t> kept(n, 0);
    for (size_t i = 0; i < n; ++i)
        kept[i] = mask[i] && strokes[i];
    JoinAlike(L, blends, widest, kept);
    // Grown, the pieces JoinAlike marks 2 come out as 2 or 3: a mask is 0
    // or 1, and outlines are compared by their count of 1s.
    const std::vector<uint8_t> joined = Grown(kept, w, h);
    for (size_t i = 0; i < n; ++i)
        mask[i] = mask[i] || joined[i];
    return mask;
}

// An outline not taken, the blends it was outlined for and its pixels.
struct Outlined {
    std::vector<Blend> blends;
    std::vector<uint8_t> mask;
    size_t outlined;
};

// The mark in rect at the picture's own resolution (FindTranslucent, but
// for the look at half of it); found receives the blends outlined when a
// mark is, others the other outlines that could have been taken.
std::vector<uint8_t> FindAt(const WordPicture& pic, const SelRect& rect, std::vector<Blend>& found, std::vector<Outlined>& others)
{
    const int w = rect.X2 - rect.X1 + 1, h = rect.Y2 - rect.Y1 + 1;
    const size_t n = size_t(w) * h;
    const std::vector<uint32_t> pixels = Copied(pic, rect);
    // The opacities of the steps that blend towards light and dark greys:
    // a mark shows as a peak of one opacity, texture spreads.
    using Votes = std::array<std::array<int, kOpacitySteps + 1>, 6>;
    const float greys[6] = {255.f, 245.f, 235.f, 0.f, 10.f, 20.f};
    // The votes of the steps within a box (picture coordinates); returns
    // the pixels looked at. Large rectangles are sampled on every other
    // row: a histogram of a hundred thousand pixels tells no less.
    // Counted apart too, the steepest step of each run (no smaller than the
    // one a pixel before it, and larger than the one a pixel after): an
    // edge at a slant crosses a pixel in part on either side of its
    // steepest step, and those steps, read as a fainter blend, crowd the
    // faint opacities where the photo's own already do.
    const int every = n > 150000 ? 2 : 1;
    auto vote = [&](int x0, int y0, int x1, int y1, Votes& votes, Votes& steepest) {
        size_t sampled = 0;
        // A step towards the light greys brightens, towards the dark ones
        // darkens: only one kind can take it.
        auto count = [&](uint32_t p, uint32_t m, uint32_t q, int sum, bool top) {
            const Step step(p, m, q);
            if (!step.between)
                return;
            for (int g = sum > 0 ? 0 : 3, end = g + 3; g < end; ++g) {
                const float A = step.Opacity(greys[g], kVotedOpacity);
                if (A < 0)
                    continue;
                const size_t b = size_t(std::lround(A * kOpacitySteps));
                ++votes[size_t(g)][b];
                steepest[size_t(g)][b] += top;
            }
        };
        // Each pair two apart once, both ways round; rows sampled with
        // their pairs down to the next sampled row. Along the box's edge a
        // pair has no step before (first) or after (last) it to be steeper.
        auto pair = [&](const uint32_t* at, ptrdiff_t along, bool first, bool last) {
            const int size = Size(at[0], at[2 * along]);
            if (size < int(kLeastStep))
                return;
            const bool top = (first || size >= Size(at[-along], at[along])) && (last || size > Size(at[along], at[3 * along]));
            const int sum = int(Ch(at[0], 0) + Ch(at[0], 1) + Ch(at[0], 2) - Ch(at[2 * along], 0) - Ch(at[2 * along], 1) - Ch(at[2 * along], 2));
            count(at[0], at[along], at[2 * along], sum, top);
            count(at[2 * along], at[along], at[0], -sum, top);
        };
        const ptrdiff_t down = pic.stride;
        for (int y = y0; y <= y1; y += every) {
            const uint32_t* row = pic.words + ptrdiff_t(y) * down;
            for (int x = x0; x <= x1; ++x, ++sampled) {
                if (x + 2 <= x1)
                    pair(row + x, 1, x == x0, x + 3 > x1);
                if (y + 2 <= y1)
                    pair(row + x, down, y == y0, y + 3 > y1);
            }
        }
        return sampled;
    };
    // The photo's own steps, from strips around the rectangle, scaled to as
    // many pixels: a mark is what the rectangle has more of than they have.
    // Left out only where the picture's edge leaves too few of them to tell
    // (a quarter of the rectangle's, or kEnoughAround): a large rectangle in
    // a corner has a thin ring, and without it the photo's own steps, many
    // in a cloud or a rock at low opacities, outvote the mark.
    const int ring = std::clamp(std::min(w, h) / 3, 8, 40);
    const int boxes[4][4] = {{rect.X1 - ring, rect.Y1 - ring, rect.X2 + ring, rect.Y1 - 1},
                             {rect.X1 - ring, rect.Y2 + 1, rect.X2 + ring, rect.Y2 + ring},
                             {rect.X1 - ring, rect.Y1, rect.X1 - 1, rect.Y2},
                             {rect.X2 + 1, rect.Y1, rect.X2 + ring, rect.Y2}};
    Votes votes{}, around{}, steepest{}, steepestAround{};
    const size_t inside = vote(rect.X1, rect.Y1, rect.X2, rect.Y2, votes, steepest);
    size_t aroundArea = 0;
    for (const auto& bx : boxes) {
        const int x0 = std::max(0, bx[0]), y0 = std::max(0, bx[1]), x1 = std::min(pic.W - 1, bx[2]), y1 = std::min(pic.H - 1, bx[3]);
        if (x1 - x0 < 4 || y1 - y0 < 4)
            continue;
        aroundArea += vote(x0, y0, x1, y1, around, steepestAround);
    }
    const double scale = aroundArea * 4 >= inside || aroundArea >= kEnoughAround ? double(inside) / double(aroundArea) : 0.0;
    auto excessOf = [&](const Votes& in, const Votes& out, int g) {
        std::array<double, kOpacitySteps + 1> excess{};
        for (int b = 0; b <= kOpacitySteps; ++b)
            excess[size_t(b)] = in[size_t(g)][size_t(b)] - scale * out[size_t(g)][size_t(b)];
        return excess;
    };
    // The edges about opacity b: its own and half of each neighbour's (an
    // edge's opacity falls on either side of a step's boundary).
    auto gathered = [](const std::array<double, kOpacitySteps + 1>& excess, int b) {
        return excess[size_t(b)] + excess[size_t(b - 1)] / 2 + excess[size_t(b + 1)] / 2;
    };
    const int least = int(std::lround(kLeastOpacity * kOpacitySteps)), strongest = int(std::lround(kMostOpacity * kOpacitySteps));
    // Per grey, its opacities' highest peak above the spread about them of
    // what the photo around does not explain; the mark's is the grey that
    // peaks highest: the right grey gathers its mark's edges at one
    // opacity, a grey a little off smears them (over a bright ground white
    // and a 245 grey differ much).
    std::array<double, 6> height{};
    std::array<int, 6> bin{};
    for (int g = 0; g < 6; ++g) {
        const std::array<double, kOpacitySteps + 1> excess = excessOf(votes, around, g);
        const auto& v = votes[size_t(g)];
        for (int b = least; b <= strongest; ++b) {
            const double peak = gathered(excess, b);
            const double spread = std::max(0.0, excess[size_t(b - 4)]) + std::max(0.0, excess[size_t(b + 4)]);
            // And well above the count's own chance spread, and well above
            // the photo's own steps there.
            const double all = v[size_t(b)] + v[size_t(b - 1)] / 2.0 + v[size_t(b + 1)] / 2.0;
            const auto& o = around[size_t(g)];
            const double theirs = scale * (o[size_t(b)] + o[size_t(b - 1)] / 2.0 + o[size_t(b + 1)] / 2.0);
            if (peak > 2 * spread && peak - spread > std::max<double>(kLeastEdges, height[size_t(g)]) && peak > 4 * std::sqrt(all)
                && all >= kAboveAround * theirs) {
                height[size_t(g)] = peak - spread;
                bin[size_t(g)] = b;
            }
        }
    }
    const int grey = int(std::max_element(height.begin(), height.end()) - height.begin());
    if (height[size_t(grey)] <= 0)
        return std::vector<uint8_t>(n, 0);
    // Each grey of the mark's side (light or dark) that peaks at all, at its
    // own peak: over a varied ground the greys a little apart take turns to
    // gather the mark's edges, and one alone leaves its outline in pieces.
    std::vector<std::vector<Blend>> tries(1);
    for (int g = grey < 3 ? 0 : 3, end = g + 3; g < end; ++g)
        if (height[size_t(g)] > 0)
            tries[0].push_back({greys[g], float(bin[size_t(g)]) / kOpacitySteps});
    // A highest peak at the faintest opacity a mark may have is the photo's
    // own: its faint steps (specks, a sea's sparkle, a weave) crowd there,
    // and even a faint mark's edges gather above it. It is not outlined;
    // the humps below may still find a mark.
    const bool texturePeak = bin[size_t(grey)] <= least;
    // A mark over a rough ground (rock, a textured beach, a painted canvas),
    // or one at a slant, can peak nowhere: its edges spread into a hump,
    // while the photo's own steps peak among the faintest, on either side
    // (light or dark: a boardwalk's dark gaps under a dark mark), or on a
    // broad rise of the mark's own side. Its humps above the faintest
    // opacities are sought among the steepest steps only (a slanted edge's
    // partial steps fill the opacities below the hump). Where the peak is
    // that faint, each side's humps are tried, its own side first; after a
    // stronger peak, only its own side's, and only the greys whose steepest
    // steps gather more at the hump than at the peak (a clean mark's
    // steepest steps gather at its peak). A hump is weaker evidence than a
    // peak: what it outlines is taken only when it is more than anything
    // outlined before it, and less than three quarters of the rectangle (a
    // mark's strokes and counters leave more of even a tight rectangle; more
    // is the photo's own texture).
    const int faint = int(std::lround(kAboveTexture * kOpacitySteps));
    const bool faintPeak = bin[size_t(grey)] <= faint;
    for (const int side : {grey < 3 ? 0 : 3, grey < 3 ? 3 : 0}) {
        if (!faintPeak && (side < 3) != (grey < 3))
            continue;
        std::vector<Blend> humps;
        size_t repeats = 0;
        for (int g = side; g < side + 3; ++g) {
            const std::array<double, kOpacitySteps + 1> excess = excessOf(steepest, steepestAround, g);
            double top = 0;
            int at = 0;
            for (int b = faint; b <= strongest; ++b) {
                const double hump = gathered(excess, b);
                if (hump > std::max<double>(kLeastEdges, top))
                    top = hump, at = b;
            }
            if (!faintPeak && height[size_t(g)] > 0 && top <= gathered(excess, bin[size_t(g)]))
                continue;
            if (top > 0) {
                const float peak = float(bin[size_t(g)]) / kOpacitySteps, A = float(at) / kOpacitySteps;
                repeats += (g < 3) == (grey < 3) && height[size_t(g)] > 0
                         && std::abs(A - peak) <= std::max(kSameOpacity, kSameShare * peak);
                humps.push_back({greys[g], A});
            }
        }
        // Humps all within the outline's window about their greys' own
        // peaks would outline again the edges the peak already did.
        if (!humps.empty() && repeats < humps.size())
            tries.push_back(std::move(humps));
    }
    // Outlined side by side: each is as costly as the search before it.
    // Their edges are found first, in one pass over the rectangle for all.
    // Not on a rectangle of many megapixels, where each outline's own
    // working masks (tens of bytes a pixel) would add up at once: there
    // they are outlined one at a time, each finding its own edges.
    std::vector<std::vector<uint8_t>> outlines(tries.size());
    const bool together = n <= kSideBySidePixels;
    std::vector<uint8_t> wanted(tries.size(), 1);
    wanted[0] = !texturePeak;
    std::vector<Outline> edges = together ? Outlines(pixels, w, h, tries, wanted) : std::vector<Outline>(tries.size());
    InParallel(tries.size(), [&](size_t t, unsigned) {
        if (!wanted[t])
            outlines[t] = std::vector<uint8_t>(n, 0);
        else if (together)
            outlines[t] = MarkOf(pic, rect, pixels, tries[t], std::move(edges[t]));
        else
            outlines[t] = MarkOf(pic, rect, pixels, tries[t], std::move(Outlines(pixels, w, h, {tries[t]}, {1})[0]));
    },
               together && n >= kParallelPixels ? 0u : 1u);
    size_t most = size_t(std::count(outlines[0].begin(), outlines[0].end(), 1)), taken = 0;
    for (size_t t = 1; t < outlines.size(); ++t) {
        const size_t outlined = size_t(std::count(outlines[t].begin(), outlines[t].end(), 1));
        if (outlined > most && outlined * 4 < n * 3) {
            most = outlined;
            taken = t;
        }
    }
    if (most > 0)
        found = tries[taken];
    // Kept for a second thought (see FindWith): the other shade's outlines
    // at stronger opacities than the one taken.
    for (size_t t = 0; t < outlines.size() && most > 0; ++t) {
        const size_t outlined = size_t(std::count(outlines[t].begin(), outlines[t].end(), 1));
        if (t != taken && outlined > 0 && outlined * 4 < n * 3 && (tries[t][0].grey > 127) != (found[0].grey > 127)
            && tries[t][0].opacity > found[0].opacity)
            others.push_back({tries[t], std::move(outlines[t]), outlined});
    }
    return std::move(outlines[taken]);
}

// The picture about rect (margin pixels around it, as far as the picture
// goes) averaged over squares of 2 x 2, rect's first pixel the first of
// its square; rect in it (its last row or column a square cut short by the
// picture's edge goes).
struct Halved {
    std::vector<uint32_t> words;
    WordPicture pic{};
    SelRect rect{};
    int x0 = 0, y0 = 0; // the first square's first pixel in the picture

    Halved(const WordPicture& full, const SelRect& r, int margin)
    {
        x0 = std::max(0, r.X1 - margin), y0 = std::max(0, r.Y1 - margin);
        x0 += (r.X1 - x0) & 1, y0 += (r.Y1 - y0) & 1;
        const int w = (std::min(full.W - 1, r.X2 + margin) - x0 + 1) / 2, h = (std::min(full.H - 1, r.Y2 + margin) - y0 + 1) / 2;
        words.resize(size_t(w) * size_t(h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t* at = full.words + ptrdiff_t(y0 + 2 * y) * full.stride + (x0 + 2 * x);
                const uint32_t square[4] = {at[0], at[1], at[full.stride], at[full.stride + 1]};
                uint32_t mean = 0xFF000000u;
                for (int k = 0; k < 24; k += 8) {
                    uint32_t sum = 2;
                    for (const uint32_t p : square)
                        sum += (p >> k) & 255;
                    mean |= (sum / 4) << k;
                }
                words[size_t(y) * size_t(w) + size_t(x)] = mean;
            }
        pic = {words.data(), w, h, w};
        rect = {(r.X1 - x0) / 2, (r.Y1 - y0) / 2, std::min(w - 1, (r.X2 - x0) / 2), std::min(h - 1, (r.Y2 - y0) / 2)};
    }

    // The square of a pixel of the full rect, as an index into a mask of
    // this rect.
    size_t Of(int x, int y) const
    {
        const int hx = std::min(rect.X2, (x - x0) / 2) - rect.X1, hy = std::min(rect.Y2, (y - y0) / 2) - rect.Y1;
        return size_t(hy) * size_t(rect.X2 - rect.X1 + 1) + size_t(hx);
    }
};

} // namespace

namespace {

// FindTranslucent; blends receives those of the mark found, at the finest
// resolution that found one.
std::vector<uint8_t> FindWith(const WordPicture& pic, const SelRect& rect, std::vector<Blend>& blends)
{
    const int w = rect.X2 - rect.X1 + 1, h = rect.Y2 - rect.Y1 + 1;
    std::vector<Outlined> others;
    std::vector<uint8_t> mask = FindAt(pic, rect, blends, others);
    if (std::min(w, h) < kLeastHalved)
        return mask;
    // Over a rough ground (a canvas's weave, fibres, sand) the photo's own
    // steps between neighbours are as large as a faint mark's and hide its
    // outline; averaged over squares of two, the ground's steps shrink and
    // the mark's stay. So the mark is sought again at half the resolution
    // (and that look halves again), with the ring its search reads about
    // the rectangle.
    const Halved half(pic, rect, 2 * (std::clamp(std::min(w, h) / 6, 8, 40) + 2));
    std::vector<Blend> coarseBlends;
    const std::vector<uint8_t> coarse = FindWith(half.pic, half.rect, coarseBlends);
    // Over stucco or a weave the photo's own faint steps of one shade can
    // outline more than a mark of the other: at full resolution they are
    // taken. Averaged, they shrink and the mark stays; where the coarse
    // look finds the other shade and this one outlined that shade too, at
    // a stronger opacity than it took, that outline is the mark.
    auto light = [](const std::vector<Blend>& b) { return b[0].grey > 127; };
    if (!blends.empty() && !coarseBlends.empty() && light(blends) != light(coarseBlends)) {
        const auto mark = std::max_element(others.begin(), others.end(),
                                           [](const Outlined& a, const Outlined& b) { return a.outlined < b.outlined; });
        if (mark != others.end()) {
            mask = mark->mask;
            blends = mark->blends;
        }
    }
    // For the look above: the blends found here, or else below.
    const auto reported = [&] {
        if (blends.empty())
            blends = coarseBlends;
    };
    // What it adds is what lies a pixel apart from what was found already:
    // joined to it, a coarse piece would make a letter found cleanly a part
    // of another shape, and its verdict another. Only the pieces that add
    // anything are judged (the judging fills them, as costly as the search
    // on a long subtitle).
    const std::vector<uint8_t> near = Grown(mask, w, h);
    std::vector<uint8_t> more(mask.size(), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            more[size_t(y) * size_t(w) + size_t(x)] = coarse[half.Of(rect.X1 + x, rect.Y1 + y)];
    std::vector<std::vector<int32_t>> parts = Parts(more, w, h, true);
    std::erase_if(parts, [&](const std::vector<int32_t>& part) {
        const bool adds = std::any_of(part.begin(), part.end(), [&](int32_t i) { return !near[size_t(i)]; });
        if (!adds)
            for (int32_t i : part)
                more[size_t(i)] = 0;
        return !adds;
    });
    if (parts.empty()) {
        reported();
        return mask;
    }
    // Each piece judged again at the picture's own resolution: taken where
    // it has an inside there and reads as a mark over a rough ground (one
    // whose edges stay, or whose channels or strokes disagree, as a rough
    // ground makes them), neither faint nor opaque: stronger than the
    // photo's own faint steps that averaging gathers, and, beside a mark
    // found already, of that mark's grey and opacity. Over a smooth ground
    // the first look misses nothing a coarse one finds, and an opaque
    // letter's coarse piece would be the letter fattened.
    std::vector<MarkEstimate> estimates;
    VerdictsOn(pic, rect, more, Purpose::Finding, &estimates);
    for (size_t k = 0; k < parts.size(); ++k) {
        const MarkEstimate& e = estimates[k];
        const Refusal r = e.refusal;
        const bool agrees = blends.empty() || std::any_of(blends.begin(), blends.end(), [&](const Blend& b) {
            return (b.grey > 127) == (e.colour > 127)
                && std::abs(e.opacity - b.opacity) <= kHalvedAgreement * std::max(kSameOpacity, kSameShare * b.opacity);
        });
        const bool rough = r == Refusal::None || r == Refusal::EdgesStay || r == Refusal::Coloured || r == Refusal::Uneven;
        if (rough && e.opacity > kHalvedOpacity && agrees)
            for (int32_t i : parts[k])
                mask[size_t(i)] |= !near[size_t(i)];
    }
    reported();
    return mask;
}

} // namespace

std::vector<uint8_t> FindTranslucent(const WordPicture& pic, const SelRect& rect)
{
    std::vector<Blend> blends;
    return FindWith(pic, rect, blends);
}

namespace {

// Per pixel of a part, its refusal; unmasked pixels this.
constexpr uint8_t kOutside = 0xFF;

using Results = std::vector<std::pair<std::vector<int32_t>, std::vector<uint32_t>>>;

// The verdict on every part of mask, judged on contiguous copies of the
// rectangle before and after the harmonic fill: per pixel its part's
// Refusal (kOutside where unmasked). results, when given, receives each
// translucent part un-blended; all are judged before any is written, as
// each reads the fill about it.
std::vector<uint8_t> Verdicts(const std::vector<uint32_t>& before, const std::vector<uint32_t>& after, int w, int h,
                              const std::vector<uint8_t>& mask, Purpose purpose, std::vector<MarkEstimate>* estimates,
                              Results* results)
{
    std::vector<uint8_t> scratch(mask.size(), 0), verdicts(mask.size(), kOutside), inner;
    std::vector<std::vector<int32_t>> parts;
    // Side by side: both only read the mask.
    InParallel(2, [&](size_t t, unsigned) {
        if (t == 0)
            inner = Shrunk(mask, w, h);
        else
            parts = Parts(mask, w, h, true);
    }, mask.size() >= kParallelPixels ? 0u : 1u);
    // One scratch for all: a part marks and reads only its own pixels.
    const Local L{before.data(), after.data(), w, h, mask, &scratch, &inner};
    size_t masked = 0;
    for (const auto& part : parts)
        masked += part.size();
    const std::vector<size_t> order = LargestFirst(parts);
    std::vector<MarkEstimate> judged(parts.size());
    std::vector<std::vector<uint32_t>> unblended(parts.size());
    InParallel(parts.size(), [&](size_t j, unsigned) {
        const size_t k = order[j];
        judged[k] = Judge(L, parts[k], purpose);
        if (judged[k].refusal == Refusal::None && results)
            unblended[k] = Unblended(L, parts[k], judged[k]);
    }, masked >= kParallelPixels ? 0u : 1u);
    for (size_t k = 0; k < parts.size(); ++k) {
        if (estimates)
            estimates->push_back(judged[k]);
        for (int32_t i : parts[k])
            verdicts[size_t(i)] = uint8_t(judged[k].refusal);
        if (judged[k].refusal == Refusal::None && results)
            results->emplace_back(std::move(parts[k]), std::move(unblended[k]));
    }
    return verdicts;
}

void Write(const Results& results, WordPicture& picture, const SelRect& rect)
{
    const int w = rect.X2 - rect.X1 + 1;
    for (const auto& [part, out] : results)
        for (size_t k = 0; k < part.size(); ++k)
            picture.words[(rect.Y1 + part[k] / w) * picture.stride + rect.X1 + part[k] % w] = out[k];
}

std::vector<uint8_t> Repairs(const std::vector<uint8_t>& verdicts)
{
    std::vector<uint8_t> repair(verdicts.size());
    for (size_t i = 0; i < verdicts.size(); ++i)
        repair[i] = verdicts[i] == kOutside ? kUnmasked : verdicts[i] == uint8_t(Refusal::None) ? kUnblended : kFilled;
    return repair;
}

// The verdicts on mask with the picture left as it is: the fill made on a
// copy of the rectangle and the ring that fixes it.
std::vector<uint8_t> VerdictsOn(const WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask, Purpose purpose,
                                std::vector<MarkEstimate>* estimates)
{
    const int x0 = std::max(0, rect.X1 - 1), y0 = std::max(0, rect.Y1 - 1);
    const int x1 = std::min(pic.W - 1, rect.X2 + 1), y1 = std::min(pic.H - 1, rect.Y2 + 1);
    std::vector<uint32_t> ring = Copied(pic, {x0, y0, x1, y1});
    WordPicture filled{ring.data(), x1 - x0 + 1, y1 - y0 + 1, x1 - x0 + 1};
    const SelRect local{rect.X1 - x0, rect.Y1 - y0, rect.X2 - x0, rect.Y2 - y0};
    FillHarmonic(filled, local, mask);
    return Verdicts(Copied(pic, rect), Copied(filled, local), rect.X2 - rect.X1 + 1, rect.Y2 - rect.Y1 + 1, mask, purpose,
                    estimates, nullptr);
}

} // namespace

std::vector<uint8_t> UnblendTranslucent(const WordPicture& original, WordPicture& filled, const SelRect& rect,
                                        const std::vector<uint8_t>& mask, bool apply, std::vector<MarkEstimate>* estimates)
{
    Results results;
    const std::vector<uint8_t> verdicts = Verdicts(Copied(original, rect), Copied(filled, rect), rect.X2 - rect.X1 + 1,
                                                   rect.Y2 - rect.Y1 + 1, mask, Purpose::Repairing, estimates,
                                                   apply ? &results : nullptr);
    Write(results, filled, rect);
    return Repairs(verdicts);
}

bool FillLetters(WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask, const std::function<bool()>& keepGoing)
{
    // The rectangle as it is, before the fill writes over it.
    const std::vector<uint32_t> before = Copied(pic, rect);
    if (!FillHarmonic(pic, rect, mask, keepGoing))
        return false;
    Results results;
    Verdicts(before, Copied(pic, rect), rect.X2 - rect.X1 + 1, rect.Y2 - rect.Y1 + 1, mask, Purpose::Repairing, nullptr,
             &results);
    Write(results, pic, rect);
    return true;
}

std::vector<uint8_t> MarkLike(const WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask)
{
    std::vector<uint8_t> like = VerdictsOn(pic, rect, mask, Purpose::Finding);
    for (uint8_t& v : like) {
        const auto r = Refusal(v);
        v = v != kOutside && (r == Refusal::None || r == Refusal::Opaque || r == Refusal::Smooth || r == Refusal::Thin);
    }
    return like;
}

std::vector<uint8_t> RepairWays(const WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask)
{
    return Repairs(VerdictsOn(pic, rect, mask, Purpose::Repairing));
}

} // namespace retouch
