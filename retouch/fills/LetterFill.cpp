#include "LetterFill.h"
#include "Parallel.h"
#include "Regions.h"
#include "Unblend.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

namespace retouch {
namespace {

// ---- the harmonic fill: multigrid on the masked cells ----------------------

// A cell's three channels (and an unused fourth), worked on together.
typedef float Px __attribute__((vector_size(16)));

// A grid of cells. Free cells are unknowns; the others hold fixed values (on
// the finest grid the picture's, on coarser grids the correction, zero).
struct Level {
    int w = 0, h = 0;
    std::vector<uint8_t> free;
    std::vector<uint8_t> sides; // which of left, right, up, down lie in the grid
    std::vector<Px> u;
    std::vector<Px> f; // the right-hand side; none (zero) on the finest grid
    std::vector<int32_t> cells[2]; // the free cells, by (x + y) parity
    std::vector<int32_t> rows[2]; // where each row's cells begin in cells, and where the last ends
    std::vector<int> bands; // rows [bands[w], bands[w + 1]) are worker w's; none: one worker
};

// One large part (a subtitle's outline joins its letters into one) is
// solved by a Crew: each step over a large grid is shared out in bands of
// rows. Within a step no cell's value depends on another band's, and each
// sum is taken in the order one worker takes it: the same bits. A part
// this large gets a crew, and a grid with this many cells its bands:
// below, a step costs less than handing it out.
constexpr size_t kCrewCells = 1 << 16, kBandCells = 1 << 15;

// Bands of about as many cells each, every one starting on an even row (a
// coarse row's residual then comes from one band, summed in the same order).
std::vector<int> Bands(const Level& L, unsigned workers)
{
    const size_t total = L.cells[0].size() + L.cells[1].size();
    std::vector<int> bands(workers + 1, L.h);
    bands[0] = 0;
    int y = 0;
    for (unsigned k = 1; k < workers; ++k) {
        const size_t want = total * k / workers;
        while (y < L.h && size_t(L.rows[0][size_t(y)]) + size_t(L.rows[1][size_t(y)]) < want)
            ++y;
        bands[k] = std::max(bands[k - 1], y & ~1);
    }
    return bands;
}

// body(firstRow, endRow) over the level's rows: by its crew's bands, or all
// at once.
template <typename Body>
void ByRows(const Level& L, Crew* crew, Body&& body)
{
    if (crew && !L.bands.empty())
        crew->Run([&](unsigned w) { body(L.bands[w], L.bands[w + 1]); });
    else
        body(0, L.h);
}

constexpr uint8_t kLeft = 1, kRight = 2, kUp = 4, kDown = 8, kAll = kLeft | kRight | kUp | kDown;

void Index(Level& L)
{
    L.sides.assign(size_t(L.w) * L.h, 0);
    for (int parity = 0; parity < 2; ++parity) {
        L.cells[parity].clear();
        L.rows[parity].assign(1, 0);
    }
    for (int y = 0; y < L.h; ++y) {
        for (int x = 0; x < L.w; ++x) {
            const size_t i = size_t(y) * L.w + x;
            L.sides[i] = uint8_t((x > 0 ? kLeft : 0) | (x + 1 < L.w ? kRight : 0) | (y > 0 ? kUp : 0)
                                 | (y + 1 < L.h ? kDown : 0));
            if (L.free[i])
                L.cells[(x + y) & 1].push_back(int32_t(i));
        }
        for (int parity = 0; parity < 2; ++parity)
            L.rows[parity].push_back(int32_t(L.cells[parity].size()));
    }
}

// The sum of a cell's neighbours in the grid, and how many there are.
inline __attribute__((always_inline)) Px Neighbours(const Level& L, int32_t i, int& count)
{
    const uint8_t s = L.sides[size_t(i)];
    const Px* u = L.u.data();
    if (s == kAll) {
        count = 4;
        return u[i - 1] + u[i + 1] + u[i - L.w] + u[i + L.w];
    }
    Px sum{0, 0, 0, 0};
    count = 0;
    for (const int32_t j : {s & kLeft ? i - 1 : -1, s & kRight ? i + 1 : -1, s & kUp ? i - L.w : -1, s & kDown ? i + L.w : -1})
        if (j >= 0) {
            sum += u[j];
            ++count;
        }
    return sum;
}

// How far past the mean of its neighbours a cell is moved. A mask of
// strokes keeps few whole cells on the coarser grids, so their correction
// leaves a smooth error along the strokes' edges that plain Gauss-Seidel
// wears down slowly: a cycle shrinks the change to about a third. Over-
// relaxed, to 0.1-0.2, and the fills of a whole caption set take about a
// quarter less work (1.2 to 1.5 all do about as well).
constexpr float kOverRelax = 1.4f;

// Successive over-relaxation over the cells of one parity from index
// `from` to `to` of their list: each moves towards the mean of its
// neighbours (plus its share of f), and kOverRelax past it. Cells of one
// parity have no neighbours among themselves, so the order within a pass
// does not matter.
void Relax(Level& L, int parity, int32_t from, int32_t to)
{
    Px* u = L.u.data();
    const bool withF = !L.f.empty();
    const int32_t* cells = L.cells[parity].data();
    for (int32_t n = from; n < to; ++n) {
        const int32_t i = cells[n];
        int count;
        const Px sum = Neighbours(L, i, count);
        const Px total = withF ? L.f[size_t(i)] + sum : sum;
        const Px mean = count == 4 ? total * 0.25f : total * (1.0f / float(count));
        u[i] += kOverRelax * (mean - u[i]);
    }
}

// Passes of both parities. The odd cells of a row follow the even cells of
// the row below, whose neighbours they are last: the same values as a pass
// over each parity in turn, for one trip through the grid's memory.
void Smooth(Level& L, int passes, Crew* crew = nullptr)
{
    const std::vector<int32_t>&even = L.rows[0], &odd = L.rows[1];
    if (crew && !L.bands.empty()) {
        for (int p = 0; p < passes; ++p)
            for (int parity = 0; parity < 2; ++parity)
                ByRows(L, crew, [&](int y0, int y1) { Relax(L, parity, L.rows[parity][size_t(y0)], L.rows[parity][size_t(y1)]); });
        return;
    }
    for (int p = 0; p < passes; ++p) {
        for (int y = 0; y < L.h; ++y) {
            Relax(L, 0, even[size_t(y)], even[size_t(y) + 1]);
            if (y > 0)
                Relax(L, 1, odd[size_t(y) - 1], odd[size_t(y)]);
        }
        Relax(L, 1, odd[size_t(L.h) - 1], odd[size_t(L.h)]);
    }
}

// The coarser grid: a cell is free when all of its (up to four) cells are.
Level Coarsen(const Level& fine)
{
    Level c;
    c.w = (fine.w + 1) / 2;
    c.h = (fine.h + 1) / 2;
    c.free.assign(size_t(c.w) * c.h, 1);
    for (int y = 0; y < fine.h; ++y) {
        const uint8_t* row = fine.free.data() + size_t(y) * fine.w;
        uint8_t* coarse = c.free.data() + size_t(y / 2) * c.w;
        for (int x = 0; x < fine.w; ++x)
            coarse[x / 2] &= row[x];
    }
    c.u.assign(c.free.size(), Px{0, 0, 0, 0});
    c.f.assign(c.free.size(), Px{0, 0, 0, 0});
    Index(c);
    return c;
}

// The value at fine cell (x, y) of grid C's values v, bilinear from its own
// coarse cell and the nearest ones across, down and diagonally (9, 3, 3 and
// 1 sixteenths; the own one again where the grid ends).
inline Px Bilinear(const Level& C, const std::vector<Px>& v, int x, int y)
{
    const int cx = x / 2, cy = y / 2;
    const int ox = std::clamp(cx + (x & 1 ? 1 : -1), 0, C.w - 1), oy = std::clamp(cy + (y & 1 ? 1 : -1), 0, C.h - 1);
    const Px* own = v.data() + size_t(cy) * C.w;
    const Px* other = v.data() + size_t(oy) * C.w;
    return (9 * own[cx] + 3 * own[ox] + 3 * other[cx] + other[ox]) / 16;
}

void Cycle(std::vector<Level>& levels, size_t k, Crew* crew = nullptr)
{
    Level& L = levels[k];
    if (k + 1 == levels.size()) {
        Smooth(L, 30, crew);
        return;
    }
    Smooth(L, 2, crew);
    Level& C = levels[k + 1];
    // Only the free cells: the fixed ones hold zero from the start, and
    // nothing writes them (a mask of strokes leaves most of a grid fixed).
    for (int parity = 0; parity < 2; ++parity)
        for (const int32_t i : C.cells[parity])
            C.u[size_t(i)] = C.f[size_t(i)] = Px{0, 0, 0, 0};
    // The residual, summed into the coarse cells (their spacing is twice as
    // large, so their equation takes four times the residual's mean).
    // Each fine cell's own coarse cell is the one at half its coordinates.
    const bool withF = !L.f.empty();
    ByRows(L, crew, [&](int y0, int y1) {
        for (int parity = 0; parity < 2; ++parity) {
            const int32_t* cells = L.cells[parity].data();
            for (int y = y0; y < y1; ++y) {
                const int32_t row = (y / 2) * C.w;
                for (int32_t n = L.rows[parity][size_t(y)]; n < L.rows[parity][size_t(y) + 1]; ++n) {
                    const int32_t i = cells[n], ci = row + (i - y * L.w) / 2;
                    if (!C.free[size_t(ci)])
                        continue;
                    int count;
                    const Px sum = Neighbours(L, i, count);
                    C.f[size_t(ci)] += (withF ? L.f[size_t(i)] + sum : sum) - float(count) * L.u[size_t(i)];
                }
            }
        }
    });
    // Twice (a W-cycle): a mask of strokes keeps few whole cells on the
    // coarser grids, so one visit leaves their correction rough, and a
    // second costs less than the fine-grid cycles it saves.
    Cycle(levels, k + 1, crew);
    if (k + 2 < levels.size())
        Cycle(levels, k + 1, crew);
    // Bilinear: the coarse grid's fixed cells hold a correction of zero.
    ByRows(L, crew, [&](int y0, int y1) {
        for (int parity = 0; parity < 2; ++parity) {
            const int32_t* cells = L.cells[parity].data();
            for (int y = y0; y < y1; ++y) {
                for (int32_t n = L.rows[parity][size_t(y)]; n < L.rows[parity][size_t(y) + 1]; ++n) {
                    const int32_t i = cells[n];
                    L.u[size_t(i)] += Bilinear(C, C.u, i - y * L.w, y);
                }
            }
        }
    });
    Smooth(L, 1, crew);
}

// A first guess for the free cells: along each row and each column, the
// straight line between the fixed cells that bound the run, the two averaged.
// Both read only fixed cells, so each writes its line into the free cells as
// it goes; the columns are walked row by row, each remembering where its run
// began.
void Guess(Level& L)
{
    std::vector<uint8_t> guessed(L.free.size(), 0);
    const size_t w = size_t(L.w);
    // A run of free cells at places start .. end - 1 of a line limit long,
    // the first at index first, each next one step on: the straight line
    // between the fixed cells before and after it (the one there is, at
    // the line's end).
    auto run = [&](size_t first, int start, int end, int limit, size_t step) {
        const bool before = start > 0, after = end < limit;
        if (!before && !after)
            return;
        const size_t last = first + size_t(end - start) * step; // the cell after the run
        const Px a = before ? L.u[first - step] : L.u[last];
        const Px b = after ? L.u[last] : a;
        for (int q = start; q < end; ++q) {
            const float t = before && after ? float(q - start + 1) / float(end - start + 1) : (before ? 0.f : 1.f);
            const Px v = a + (b - a) * t;
            const size_t i = first + size_t(q - start) * step;
            L.u[i] = guessed[i] ? (L.u[i] + v) / 2.f : v;
            guessed[i] = 1;
        }
    };
    for (int y = 0; y < L.h; ++y) {
        const size_t row = size_t(y) * w;
        for (int x = 0; x < L.w;) {
            if (!L.free[row + size_t(x)]) {
                ++x;
                continue;
            }
            const int start = x;
            while (x < L.w && L.free[row + size_t(x)])
                ++x;
            run(row + size_t(start), start, x, L.w, 1);
        }
    }
    std::vector<int> begun(w, -1);
    for (int y = 0; y <= L.h; ++y)
        for (size_t x = 0; x < w; ++x) {
            if (y < L.h && L.free[size_t(y) * w + x]) {
                if (begun[x] < 0)
                    begun[x] = y;
            } else if (begun[x] >= 0) {
                run(size_t(begun[x]) * w + x, begun[x], y, L.h, w);
                begun[x] = -1;
            }
        }
}

// The first guess for the finest grid's free cells, from the coarser grids
// up (full multigrid): each grid's own problem, its fixed cells holding the
// mean of the fixed cells of the finer grid they cover, is solved by a cycle
// from the guess the grid below carries up (on the coarsest, the straight
// lines), so that the finest starts near the answer, not just near its
// edges.
void FirstGuess(std::vector<Level>& levels, Crew* crew)
{
    const size_t top = levels.size() - 1;
    if (top == 0) {
        Guess(levels[0]);
        return;
    }
    std::vector<std::vector<Px>> values(levels.size());
    values[0] = std::move(levels[0].u);
    for (size_t k = 1; k <= top; ++k) {
        const Level& F = levels[k - 1];
        const Level& C = levels[k];
        values[k].assign(C.free.size(), Px{0, 0, 0, 0});
        std::vector<uint8_t> count(C.free.size(), 0);
        for (int y = 0; y < F.h; ++y)
            for (int x = 0; x < F.w; ++x) {
                const size_t i = size_t(y) * F.w + x, c = size_t(y / 2) * C.w + size_t(x / 2);
                if (!F.free[i] && !C.free[c]) {
                    values[k][c] += values[k - 1][i];
                    ++count[c];
                }
            }
        for (size_t c = 0; c < count.size(); ++c)
            if (count[c])
                values[k][c] = values[k][c] / float(count[c]);
    }
    // A grid solves its own problem with no right-hand side, in place of
    // the correction it holds in a cycle of the finest.
    auto solving = [&](size_t k, auto&& work) {
        std::vector<Px> f;
        std::swap(levels[k].u, values[k]);
        std::swap(levels[k].f, f);
        work(levels[k]);
        std::swap(levels[k].f, f);
        std::swap(levels[k].u, values[k]);
    };
    solving(top, [](Level& L) {
        Guess(L);
        Smooth(L, 40);
    });
    for (size_t k = top; k-- > 0;) {
        const Level& F = levels[k];
        const Level& C = levels[k + 1];
        const std::vector<Px>& coarse = values[k + 1];
        for (int y = 0; y < F.h; ++y)
            for (int x = 0; x < F.w; ++x)
                if (F.free[size_t(y) * F.w + x])
                    values[k][size_t(y) * F.w + x] = Bilinear(C, coarse, x, y);
        if (k > 0)
            solving(k, [&](Level&) { Cycle(levels, k, crew); });
    }
    levels[0].u = std::move(values[0]);
}

// ---- finding the letters --------------------------------------------------

struct Box {
    int x0, y0, x1, y1; // inclusive
    int w() const { return x1 - x0 + 1; }
    int h() const { return y1 - y0 + 1; }
    bool empty() const { return x1 < x0 || y1 < y0; }
};

Box Clip(Box b, int W, int H) { return {std::max(0, b.x0), std::max(0, b.y0), std::min(W - 1, b.x1), std::min(H - 1, b.y1)}; }

float Channel(uint32_t p, int ch) { return float((p >> (8 * ch)) & 255); }

// How far each pixel of b stands above (up) and below (down) a smooth fill
// of b from the pixels around it (the mean of the row and column ramps), in
// its most departing channel.
void Departures(const WordPicture& pic, const Box& b, std::vector<float>& up, std::vector<float>& down)
{
    const int w = b.w(), h = b.h();
    up.assign(size_t(w) * h, 0.f);
    down.assign(up.size(), 0.f);
    const bool left = b.x0 > 0, right = b.x1 + 1 < pic.W, top = b.y0 > 0, bottom = b.y1 + 1 < pic.H;
    const bool across = left || right, downward = top || bottom;
    if (!across && !downward)
        return;
    const float n = float(int(across) + int(downward)), dw = float(w + 1), dh = float(h + 1);
    // A channel at a time along a row, so that the loops run over whole
    // rows of floats.
    std::vector<float> at(static_cast<size_t>(w)), here(static_cast<size_t>(w)), first[3], last[3];
    for (int x = 0; x < w; ++x)
        at[size_t(x)] = float(x + 1);
    for (int ch = 0; ch < 3; ++ch) {
        first[ch].resize(size_t(w));
        last[ch].resize(size_t(w));
        if (downward)
            for (int x = 0; x < w; ++x) {
                first[ch][size_t(x)] = Channel(pic.At(b.x0 + x, top ? b.y0 - 1 : b.y1 + 1), ch);
                last[ch][size_t(x)] = Channel(pic.At(b.x0 + x, bottom ? b.y1 + 1 : b.y0 - 1), ch);
            }
    }
    for (int y = 0; y < h; ++y) {
        const uint32_t* row = pic.words + ptrdiff_t(b.y0 + y) * pic.stride + b.x0;
        float* hi = up.data() + size_t(y) * w;
        float* lo = down.data() + size_t(y) * w;
        const float below = float(y + 1); // rows from the top edge
        for (int ch = 0; ch < 3; ++ch) {
            const float a = across ? Channel(pic.At(left ? b.x0 - 1 : b.x1 + 1, b.y0 + y), ch) : 0.f;
            const float c = across ? Channel(pic.At(right ? b.x1 + 1 : b.x0 - 1, b.y0 + y), ch) : 0.f;
            const float* t = first[ch].data();
            const float* u = last[ch].data();
            for (int x = 0; x < w; ++x)
                here[size_t(x)] = float((row[x] >> (8 * ch)) & 255);
            for (int x = 0; x < w; ++x) {
                const float along = a + (c - a) * at[size_t(x)] / dw;
                const float sum = across && downward ? along + (t[x] + (u[x] - t[x]) * below / dh)
                                  : across           ? along
                                                     : t[x] + (u[x] - t[x]) * below / dh;
                const float d = here[size_t(x)] - sum / n;
                hi[x] = std::max(hi[x], d);
                lo[x] = std::max(lo[x], -d);
            }
        }
    }
}

// Running minimum or maximum over 2r + 1 cells, along rows then columns,
// at a constant cost per cell whatever r (van Herk / Gil-Werman: running
// values from the start and from the end of blocks of 2r + 1 cells). The
// column pass works on whole rows at a time, reading memory in order.
void MinMax(std::vector<float>& v, int w, int h, int r, bool max)
{
    const int k = 2 * r + 1;
    const float none = max ? -1e30f : 1e30f;
    auto better = [max](float a, float b) { return max ? std::max(a, b) : std::min(a, b); };
    {
        // Along a row, by doubling: windows of 2, 4 ... m cells (m the
        // largest power of two within k), then two of those that overlap to
        // cover the 2r + 1. Whole rows at a time, no cell waits on another.
        int m = 1;
        while (2 * m <= k)
            m *= 2;
        const size_t n = size_t(w) + size_t(k) + size_t(m);
        std::vector<float> line(n), next(n);
        for (int y = 0; y < h; ++y) {
            float* row = v.data() + size_t(y) * w;
            std::fill(line.begin(), line.end(), none);
            std::copy(row, row + w, line.begin() + r);
            for (size_t span = 1; span < size_t(m); span *= 2) {
                for (size_t i = 0; i + span < n; ++i)
                    next[i] = better(line[i], line[i + span]);
                std::swap(line, next);
            }
            // The window of x covers padded cells x .. x + 2r.
            const float* a = line.data();
            const float* b = line.data() + (2 * r - m + 1);
            for (int x = 0; x < w; ++x)
                row[x] = better(a[x], b[x]);
        }
    }
    // Down the columns a block of k rows at a time, whole rows at once. Row y
    // takes the tail of its block and the head of row y + 2r's, the same
    // block or the next: two blocks at a time are all that is kept.
    const int blocks = (h + 2 * r + k - 1) / k;
    const size_t W = size_t(w);
    std::vector<float> head(2 * size_t(k) * W), tail(2 * size_t(k) * W), blank(W, none);
    std::vector<float> out(size_t(k) * W); // a block's rows of the result
    auto src = [&](int p) -> const float* { // padded row p: row p - r of v, or none
        const int y = p - r;
        return y >= 0 && y < h ? v.data() + size_t(y) * W : blank.data();
    };
    auto block = [&](int b) { // head and tail of block b, into slot b % 2
        float* hd = head.data() + size_t(b % 2) * k * W;
        float* tl = tail.data() + size_t(b % 2) * k * W;
        std::copy(src(b * k), src(b * k) + W, hd);
        for (int p = 1; p < k; ++p) {
            const float* in = src(b * k + p);
            float* o = hd + size_t(p) * W;
            const float* prev = o - W;
            for (size_t x = 0; x < W; ++x)
                o[x] = better(prev[x], in[x]);
        }
        std::copy(src(b * k + k - 1), src(b * k + k - 1) + W, tl + size_t(k - 1) * W);
        for (int p = k - 2; p >= 0; --p) {
            const float* in = src(b * k + p);
            float* o = tl + size_t(p) * W;
            const float* next = o + W;
            for (size_t x = 0; x < W; ++x)
                o[x] = better(next[x], in[x]);
        }
    };
    block(0);
    for (int b = 0; b * k < h; ++b) {
        if (b + 1 < blocks)
            block(b + 1);
        const int rows = std::min(k, h - b * k);
        for (int j = 0; j < rows; ++j) {
            const int y = b * k + j, p = y + 2 * r;
            const float* t = tail.data() + size_t(b % 2) * k * W + size_t(j) * W;
            const float* hd = head.data() + size_t((p / k) % 2) * k * W + size_t(p % k) * W;
            float* o = out.data() + size_t(j) * W;
            for (size_t x = 0; x < W; ++x)
                o[x] = better(t[x], hd[x]);
        }
        // Written over v once block b + 1, the last to read these rows, is made.
        std::copy(out.begin(), out.begin() + ptrdiff_t(size_t(rows) * W), v.begin() + ptrdiff_t(size_t(b) * k * W));
    }
}

// Thin bright strokes (white top-hat: the brightness less its opening) and
// thin dark ones (black top-hat), for the pixels of b, worked out on b and a
// margin around it so that strokes at b's edge are judged whole.
void TopHats(const WordPicture& pic, const Box& b, int r, std::vector<float>& bright, std::vector<float>& dark)
{
    const Box m = Clip({b.x0 - r, b.y0 - r, b.x1 + r, b.y1 + r}, pic.W, pic.H);
    std::vector<float> lum(size_t(m.w()) * m.h());
    for (int y = m.y0; y <= m.y1; ++y)
        for (int x = m.x0; x <= m.x1; ++x) {
            const uint32_t p = pic.At(x, y);
            lum[size_t(y - m.y0) * m.w() + (x - m.x0)] = 0.114f * Channel(p, 0) + 0.587f * Channel(p, 1) + 0.299f * Channel(p, 2);
        }
    std::vector<float> open = lum, close = lum;
    MinMax(open, m.w(), m.h(), r, false);
    MinMax(open, m.w(), m.h(), r, true);
    MinMax(close, m.w(), m.h(), r, true);
    MinMax(close, m.w(), m.h(), r, false);
    bright.assign(size_t(b.w()) * b.h(), 0.f);
    dark.assign(bright.size(), 0.f);
    for (int y = b.y0; y <= b.y1; ++y)
        for (int x = b.x0; x <= b.x1; ++x) {
            const size_t j = size_t(y - m.y0) * m.w() + (x - m.x0), i = size_t(y - b.y0) * b.w() + (x - b.x0);
            bright[i] = lum[j] - open[j];
            dark[i] = close[j] - lum[j];
        }
}

// How often each value from 0 to 255 occurs, in quarter levels.
using Counts = std::array<uint32_t, 1025>;

void Count(Counts& c, float x) { ++c[size_t(std::clamp(x * 4.f, 0.f, 1024.f))]; }

// The q-quantile of the counted values, at least floor.
float Quantile(const Counts& counts, double q, float floor)
{
    uint64_t total = 0;
    for (uint32_t c : counts)
        total += c;
    if (!total)
        return floor * 2;
    const uint64_t want = uint64_t(double(total) * q);
    uint64_t seen = 0;
    for (size_t b = 0; b < counts.size(); ++b) {
        seen += counts[b];
        if (seen > want)
            return std::max(floor, float(b) / 4.f);
    }
    return std::max(floor, 256.f);
}

int Bin(uint32_t p) { return int((p >> 4) & 15) | int((p >> 12) & 15) << 4 | int((p >> 20) & 15) << 8; }

} // namespace

namespace {

// Evidence this strong marks a letter on its own; a part of the mask with
// less than this share of such pixels is texture.
constexpr float kStrong = 1.5f;
constexpr double kLeastStrongShare = 0.25;

// The evidence a ring pixel needs for the mask to reach it a second pixel
// out.
constexpr float kHaloEvidence = 0.6f;

// The signals: departure above and below the smooth fill, thin strokes
// (up to 7 pixels across) and thicker ones (up to 15), bright and dark.
constexpr int kSignals = 6;
using Signals = std::array<std::vector<float>, kSignals>;
using Limits = std::array<float, kSignals>;

void Measure(const WordPicture& pic, const Box& b, Signals& out)
{
    Departures(pic, b, out[0], out[1]);
    TopHats(pic, b, 3, out[2], out[3]);
    TopHats(pic, b, 7, out[4], out[5]);
}

// What this background looks like without a caption: strips beside the
// rectangle (a little apart from it), as long as its sides and as deep as
// it, up to 100,000 pixels each (more tell nothing new and cost time), cut
// by the picture's edges but not to slivers.
std::vector<Box> StripsBeside(const WordPicture& pic, const Box& R)
{
    constexpr int gap = 3;
    constexpr int64_t most = 100000;
    // (Not std::clamp: a caption is often less than 16 pixels high.)
    const int deepV = int(std::min<int64_t>(std::max<int64_t>(most / R.w(), 16), R.h()));
    const int deepH = int(std::min<int64_t>(std::max<int64_t>(most / R.h(), 16), R.w()));
    std::vector<Box> strips;
    for (const Box& s : {Box{R.x0, R.y0 - gap - deepV, R.x1, R.y0 - gap - 1}, Box{R.x0, R.y1 + gap + 1, R.x1, R.y1 + gap + deepV},
                         Box{R.x0 - gap - deepH, R.y0, R.x0 - gap - 1, R.y1}, Box{R.x1 + gap + 1, R.y0, R.x1 + gap + deepH, R.y1}}) {
        const Box c = Clip(s, pic.W, pic.H);
        if (!c.empty() && c.w() >= std::min(s.w(), 8) && c.h() >= std::min(s.h(), 8))
            strips.push_back(c);
    }
    return strips;
}

// The background's own extremes: what lies beyond them is evidence. A long
// rectangle often crosses backgrounds of another kind: a smooth sky beside
// grass, a blurred field beside sharp fibres. So each stretch of it, a
// rectangle's depth long, is judged by the strip pixels across from it and
// half a stretch either side, so that texture at one end does not hide a
// caption at the other. Never more leniently than the whole, and never much
// more strictly: a few thousand smooth pixels put their extreme too low, and
// the photograph's own detail would go. whole receives the whole strips'.
std::vector<Limits> StretchLimits(const Box& R, const std::vector<Box>& strips, const std::vector<Signals>& beside,
                                  Limits& whole)
{
    constexpr double q = 0.995;
    constexpr float floors[kSignals] = {10, 10, 8, 8, 10, 10};
    const bool wide = R.w() >= R.h();
    const int length = wide ? R.w() : R.h(), depth = std::max(wide ? R.h() : R.w(), 32);
    const int stretches = std::max(1, length / depth);
    // The strip pixels counted in blocks along the rectangle (at most 256),
    // each stretch's window then being a sum of blocks.
    int first = wide ? R.x0 : R.y0, last = wide ? R.x1 : R.y1;
    for (const Box& b : strips) {
        first = std::min(first, wide ? b.x0 : b.y0);
        last = std::max(last, wide ? b.x1 : b.y1);
    }
    const int block = std::max(std::max(1, depth / 2), (last - first + 256) / 256);
    std::vector<std::array<Counts, kSignals>> blocks(size_t((last - first) / block + 1));
    for (size_t s = 0; s < strips.size(); ++s) {
        const Box& b = strips[s];
        for (int y = b.y0; y <= b.y1; ++y)
            for (int x = b.x0; x <= b.x1; ++x) {
                std::array<Counts, kSignals>& c = blocks[size_t(((wide ? x : y) - first) / block)];
                const size_t i = size_t(y - b.y0) * b.w() + (x - b.x0);
                for (int k = 0; k < kSignals; ++k)
                    Count(c[size_t(k)], beside[s][size_t(k)][i]);
            }
    }
    auto extremes = [&](int lo, int hi, uint64_t fewest) { // of the blocks that hold lo .. hi; 0: too few to tell
        std::array<Counts, kSignals> sum{};
        for (int j = std::max(0, (lo - first) / block); j <= std::min(int(blocks.size()) - 1, (hi - first) / block); ++j)
            for (int k = 0; k < kSignals; ++k)
                for (size_t v = 0; v < sum[0].size(); ++v)
                    sum[size_t(k)][v] += blocks[size_t(j)][size_t(k)][v];
        Limits limit;
        uint64_t total = 0;
        for (uint32_t c : sum[0])
            total += c;
        for (int k = 0; k < kSignals; ++k)
            limit[size_t(k)] = total < fewest ? 0.f : Quantile(sum[size_t(k)], q, floors[k]);
        return limit;
    };
    const Limits limit = extremes(first, last, 0); // with no strips at all, twice the floors
    whole = limit;
    std::vector<Limits> limits(size_t(stretches), limit);
    for (int t = 0; t < stretches && stretches > 1; ++t) {
        const int from = (wide ? R.x0 : R.y0) + int(int64_t(length) * t / stretches),
                  to = (wide ? R.x0 : R.y0) + int(int64_t(length) * (t + 1) / stretches) - 1;
        const Limits local = extremes(from - depth / 2, to + depth / 2, 2000);
        for (int k = 0; k < kSignals; ++k)
            if (local[size_t(k)] > 0.f)
                limits[size_t(t)][size_t(k)] = std::clamp(local[size_t(k)], 0.7f * limit[size_t(k)], limit[size_t(k)]);
    }
    return limits;
}

// Colours the surroundings hold (a ring around the rectangle and the
// strips), widened by one step of the 16-level grid; empty when there are
// none to go by.
std::vector<uint8_t> ColoursAround(const WordPicture& pic, const Box& R, const std::vector<Box>& strips)
{
    std::vector<uint8_t> seen(4096, 0), near(4096, 0);
    const Box ring = Clip({R.x0 - 4, R.y0 - 4, R.x1 + 4, R.y1 + 4}, pic.W, pic.H);
    for (int y = ring.y0; y <= ring.y1; ++y)
        for (int x = ring.x0; x <= ring.x1; ++x)
            if (x < R.x0 || x > R.x1 || y < R.y0 || y > R.y1)
                seen[size_t(Bin(pic.At(x, y)))] = 1;
    for (const Box& s : strips)
        for (int y = s.y0; y <= s.y1; ++y)
            for (int x = s.x0; x <= s.x1; ++x)
                seen[size_t(Bin(pic.At(x, y)))] = 1;
    if (std::count(seen.begin(), seen.end(), 1) == 0)
        return {};
    for (int b = 0; b < 4096; ++b)
        if (seen[size_t(b)])
            for (int dz = -1; dz <= 1; ++dz)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int x = (b & 15) + dx, y = (b >> 4 & 15) + dy, z = (b >> 8) + dz;
                        if (x >= 0 && x < 16 && y >= 0 && y < 16 && z >= 0 && z < 16)
                            near[size_t(x | y << 4 | z << 8)] = 1;
                    }
    return near;
}

// Evidence per pixel, in units of the background's extremes; a colour the
// surroundings do not hold counts as strong. strokes receives the thin and
// thick strokes' evidence alone.
std::vector<float> Evidence(const WordPicture& pic, const Box& R, const Signals& here, const std::vector<Limits>& limits,
                            const std::vector<uint8_t>& near, std::vector<float>& strokes)
{
    const bool wide = R.w() >= R.h();
    const int length = wide ? R.w() : R.h();
    const int64_t stretches = int64_t(limits.size());
    std::vector<float> score(size_t(R.w()) * R.h());
    strokes.assign(score.size(), 0.f);
    for (int y = R.y0; y <= R.y1; ++y)
        for (int x = R.x0; x <= R.x1; ++x) {
            const size_t i = size_t(y - R.y0) * R.w() + (x - R.x0);
            const int along = wide ? x - R.x0 : y - R.y0;
            const Limits& lim = limits[size_t(int64_t(along) * stretches / length)];
            float s = 0;
            for (int k = 2; k < kSignals; ++k)
                s = std::max(s, here[size_t(k)][i] / lim[size_t(k)]);
            strokes[i] = s;
            for (int k = 0; k < 2; ++k)
                s = std::max(s, here[size_t(k)][i] / lim[size_t(k)]);
            if (!near.empty() && !near[size_t(Bin(pic.At(x, y)))])
                s = std::max(s, 1.5f);
            score[i] = s;
        }
    return score;
}

// take(k) for each of the 8 neighbours k of cell j of R's mask that lie in
// R, row by row from the top left; away from R's edge, with no bounds to
// test.
template <typename Take>
inline void EachNeighbour(const Box& R, int32_t j, Take&& take)
{
    const int w = R.w(), x = j % w, y = j / w;
    const int32_t around[8] = {-w - 1, -w, -w + 1, -1, 1, w - 1, w, w + 1};
    const bool inside = x > 0 && y > 0 && x < w - 1 && y < R.h() - 1;
    for (int n = 0; n < 8; ++n) {
        if (!inside) {
            const int xx = x + (n == 0 || n == 3 || n == 5 ? -1 : n == 1 || n == 6 ? 0 : 1);
            const int yy = y + (n < 3 ? -1 : n < 5 ? 0 : 1);
            if (xx < 0 || yy < 0 || xx >= w || yy >= R.h())
                continue;
        }
        take(size_t(j + around[n]));
    }
}

// take(part) for each 8-connected part of R's mask (4-connected without
// corners): its cells, row by row; the parts in the order of their first
// cell.
template <typename Take>
void EachPart(const Box& R, const std::vector<uint8_t>& mask, Take&& take, bool corners = true)
{
    for (const std::vector<int32_t>& part : Parts(mask, R.w(), R.h(), corners))
        take(part);
}

// Weak evidence counts where it joins strong evidence. Where the
// background itself is weak evidence nearly all over (grain, noise: a third
// of the strips or more, near where such pixels join up from edge to edge),
// only within a few steps of the strong, or it would spread over the whole
// rectangle. Photographs stay far below that.
std::vector<uint8_t> JoinWeakToStrong(const Box& R, const std::vector<float>& score, const std::vector<Signals>& beside,
                                      const Limits& limit)
{
    constexpr float strong = kStrong, weak = 0.75f;
    size_t weakBeside = 0, besideCount = 0;
    for (const Signals& one : beside)
        for (size_t i = 0; i < one[0].size(); ++i, ++besideCount) {
            float v = 0;
            for (int k = 0; k < kSignals; ++k)
                v = std::max(v, one[size_t(k)][i] / limit[size_t(k)]);
            weakBeside += v >= weak;
        }
    const uint16_t reach = weakBeside * 3 > besideCount ? 4 : 0xFFFF;
    const size_t n = score.size();
    std::vector<uint8_t> mask(n, 0);
    std::vector<uint16_t> steps(n, 0);
    std::vector<int32_t> queue;
    for (size_t i = 0; i < n; ++i)
        if (score[i] >= strong) {
            mask[i] = 1;
            queue.push_back(int32_t(i));
        }
    for (size_t head = 0; head < queue.size(); ++head) {
        const int32_t j = queue[head];
        if (steps[size_t(j)] == reach)
            continue;
        EachNeighbour(R, j, [&](size_t k) {
            if (!mask[k] && score[k] >= weak) {
                mask[k] = 1;
                steps[k] = uint16_t(std::min<int>(0xFFFE, steps[size_t(j)] + 1));
                queue.push_back(int32_t(k));
            }
        });
    }
    return mask;
}

// mask (w x h, 0 or 1) dilated by a square of 2r + 1: along rows, then down
// columns, a running count of the set cells within r either way.
std::vector<uint8_t> Dilated(const std::vector<uint8_t>& mask, int w, int h, int r)
{
    std::vector<uint8_t> across(mask.size(), 0), out(mask.size(), 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* in = mask.data() + size_t(y) * w;
        uint8_t* o = across.data() + size_t(y) * w;
        int count = 0;
        for (int x = 0; x < std::min(r, w); ++x)
            count += in[x];
        for (int x = 0; x < w; ++x) {
            if (x + r < w)
                count += in[x + r];
            if (x - r - 1 >= 0)
                count -= in[x - r - 1];
            o[x] = count > 0;
        }
    }
    std::vector<int> count(size_t(w), 0);
    for (int y = 0; y < std::min(r, h); ++y)
        for (int x = 0; x < w; ++x)
            count[size_t(x)] += across[size_t(y) * w + x];
    for (int y = 0; y < h; ++y) {
        const uint8_t* add = y + r < h ? across.data() + size_t(y + r) * w : nullptr;
        const uint8_t* drop = y - r - 1 >= 0 ? across.data() + size_t(y - r - 1) * w : nullptr;
        uint8_t* o = out.data() + size_t(y) * w;
        for (int x = 0; x < w; ++x) {
            count[size_t(x)] += (add ? add[x] : 0) - (drop ? drop[x] : 0);
            o[x] = count[size_t(x)] > 0;
        }
    }
    return out;
}

// A caption's part of the mask is mostly strong evidence; texture that only
// touches a speck of it (a stain, a clump of grass, a cloud's bright side)
// is mostly weak. Parts with too small a share of strong evidence go, once
// the un-blending's judge finds no mark in them either (a faint caption
// over a smooth ground, or one too thin to judge, makes weak evidence too).
void DropWeakParts(const WordPicture& pic, const Box& R, std::vector<uint8_t>& mask, const std::vector<float>& score)
{
    std::vector<uint8_t> weak(mask.size(), 0);
    bool any = false;
    EachPart(R, mask, [&](const std::vector<int32_t>& part) {
        size_t strong = 0;
        for (int32_t k : part)
            strong += score[size_t(k)] >= kStrong;
        if (double(strong) < kLeastStrongShare * double(part.size())) {
            any = true;
            for (int32_t k : part)
                weak[size_t(k)] = 1;
        }
    });
    if (!any)
        return;
    // All of them judged at once, grown by a pixel as the mask will be (one
    // fill over the rectangle costs less than one for each part's bounds).
    const std::vector<uint8_t> judged = Dilated(weak, R.w(), R.h(), 1);
    const std::vector<uint8_t> like = MarkLike(pic, {R.x0, R.y0, R.x1, R.y1}, judged);
    for (size_t i = 0; i < mask.size(); ++i)
        if (weak[i] && !like[i])
            mask[i] = 0;
}

// Out of focus, a leaf, a lamp's glow or a glass stands out of the strips
// beside as much as a caption does; but no caption is drawn thick with
// edges that soft. The parts of the mask wider than 2 kBlobRadius + 1
// every way, whose steepest steps (between pixels two apart) fall short of
// kSharpShare of their contrast with the unmasked pixels around, go, but
// for the strokes across them (strong evidence of a stroke's own).
constexpr int kBlobRadius = 8;
constexpr float kSharpShare = 0.35f, kSteepestShare = 0.03f;

void DropSoftBlobs(const WordPicture& pic, const Box& R, std::vector<uint8_t>& mask, const std::vector<float>& strokes)
{
    const int w = R.w(), h = R.h();
    const size_t n = mask.size();
    // Most masks have no run of 2 kBlobRadius + 1 along a row: nothing to
    // open.
    bool wide = false;
    for (int y = 0, run = 0; y < h && !wide; ++y, run = 0)
        for (int x = 0; x < w && !wide; ++x)
            wide = (run = mask[size_t(y) * w + x] ? run + 1 : 0) > 2 * kBlobRadius;
    if (!wide)
        return;
    std::vector<uint8_t> unmasked(n);
    for (size_t i = 0; i < n; ++i)
        unmasked[i] = !mask[i];
    // The mask opened: eroded, then grown back, by a square of kBlobRadius.
    std::vector<uint8_t> thick = Dilated(unmasked, w, h, kBlobRadius);
    bool any = false;
    for (size_t i = 0; i < n; ++i)
        any |= (thick[i] = !thick[i]);
    if (!any)
        return;
    std::vector<uint8_t> blob = Dilated(thick, w, h, kBlobRadius);
    for (size_t i = 0; i < n; ++i)
        blob[i] &= mask[i];
    auto at = [&](int x, int y) { return pic.At(R.x0 + x, R.y0 + y); };
    // Whether the step across (x, y), along a row or down a column, reaches
    // `least` levels in any channel (the rectangle's edge pixels standing
    // for those beyond).
    auto steep = [&](int x, int y, float least) {
        const uint32_t l = at(std::max(0, x - 1), y), r = at(std::min(w - 1, x + 1), y);
        const uint32_t u = at(x, std::max(0, y - 1)), d = at(x, std::min(h - 1, y + 1));
        for (int c = 0; c < 3; ++c)
            if (std::abs(Channel(l, c) - Channel(r, c)) >= least || std::abs(Channel(u, c) - Channel(d, c)) >= least)
                return true;
        return false;
    };
    // Blob by blob in the order of their first pixel: a blob that goes
    // leaves the mask about the next ones.
    EachPart(R, blob, [&](const std::vector<int32_t>& part) {
        int x0 = w, y0 = h, x1 = 0, y1 = 0;
        double inside[3] = {};
        size_t thickCount = 0;
        for (const int32_t j : part) {
            const int x = j % w, y = j / w;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            if (thick[size_t(j)]) {
                ++thickCount;
                for (int c = 0; c < 3; ++c)
                    inside[c] += Channel(at(x, y), c);
            }
        }
        // Its contrast: the mean of its thick middle against the unmasked
        // pixels of its bounds and a margin (every other one each way).
        double around[3] = {};
        size_t aroundCount = 0;
        for (int y = std::max(0, y0 - kBlobRadius); y <= std::min(h - 1, y1 + kBlobRadius); y += 2)
            for (int x = std::max(0, x0 - kBlobRadius); x <= std::min(w - 1, x1 + kBlobRadius); x += 2)
                if (!mask[size_t(y) * w + x]) {
                    ++aroundCount;
                    for (int c = 0; c < 3; ++c)
                        around[c] += Channel(at(x, y), c);
                }
        if (!aroundCount || !thickCount)
            return;
        float contrast = 0;
        for (int c = 0; c < 3; ++c)
            contrast = std::max(contrast, float(std::abs(inside[c] / double(thickCount) - around[c] / double(aroundCount))));
        // Sharp: kSteepestShare of the pixels of its bounds and 3 around
        // (every other one each way) step by kSharpShare of it or more.
        const int sx0 = std::max(0, x0 - 3), sy0 = std::max(0, y0 - 3), sx1 = std::min(w - 1, x1 + 3), sy1 = std::min(h - 1, y1 + 3);
        const size_t looked = size_t((sx1 - sx0) / 2 + 1) * size_t((sy1 - sy0) / 2 + 1);
        const size_t enough = looked - size_t(double(looked) * (1.0 - kSteepestShare));
        size_t steps = 0;
        for (int y = sy0; y <= sy1 && steps < enough; y += 2)
            for (int x = sx0; x <= sx1 && steps < enough; x += 2)
                steps += steep(x, y, kSharpShare * contrast);
        if (steps < enough)
            for (int32_t k : part)
                mask[size_t(k)] = strokes[size_t(k)] >= kStrong;
    }, false);
}

// Each strip beside holds its share of the background's extremes (the
// limits are a quantile of their signals), and so does a rectangle of the
// same ground: a star field, a sea's sparkle or grit stand out of the
// limits in specks as often inside as beside. Where the strips hold many
// such specks (kFewestSpecks or more), the rectangle's parts no larger
// than most of theirs (kSpeckQuantile of them) are the ground's own, unless
// the rectangle holds many more of them than the strips would over its
// area (kMoreSpecks times): then they are a caption's, a small face's
// letters or the dots of a date.
constexpr size_t kFewestSpecks = 20;
constexpr double kSpeckQuantile = 0.8, kMoreSpecks = 2.0;

void DropGroundSpecks(const Box& R, const std::vector<Box>& strips, const std::vector<Signals>& beside, const Limits& limit,
                      std::vector<uint8_t>& mask)
{
    std::vector<size_t> sizes;
    size_t area = 0;
    for (size_t s = 0; s < strips.size(); ++s) {
        const Box b{0, 0, strips[s].w() - 1, strips[s].h() - 1};
        const size_t n = size_t(b.w()) * b.h();
        area += n;
        std::vector<float> score(n, 0.f);
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < kSignals; ++k)
                score[i] = std::max(score[i], beside[s][size_t(k)][i] / limit[size_t(k)]);
        EachPart(b, JoinWeakToStrong(b, score, {}, limit), [&](const std::vector<int32_t>& part) { sizes.push_back(part.size()); });
    }
    if (sizes.size() < kFewestSpecks)
        return;
    std::nth_element(sizes.begin(), sizes.begin() + ptrdiff_t(kSpeckQuantile * double(sizes.size())), sizes.end());
    const size_t largest = sizes[size_t(kSpeckQuantile * double(sizes.size()))];
    const double expected = double(sizes.size()) * double(R.w()) * R.h() / double(area);
    std::vector<int32_t> specks;
    size_t count = 0;
    EachPart(R, mask, [&](const std::vector<int32_t>& part) {
        if (part.size() <= largest) {
            ++count;
            specks.insert(specks.end(), part.begin(), part.end());
        }
    });
    if (double(count) > kMoreSpecks * expected)
        return;
    for (int32_t k : specks)
        mask[size_t(k)] = 0;
}

// A wire, a board's gap, a ripple, a horizon: lines of the photo across the
// rectangle. A letter's stroke is at most a few tens of its width long, the
// longest a dash or a bar of a thin face; a part of the mask whose bounds'
// diagonal is kLineLength times its mean width or more (its area over that
// diagonal, a straight line's width) is none, and goes. A letter joined to
// such a line keeps it: the part's area is then the letter's too.
constexpr double kLineLength = 40;

void DropLines(const Box& R, std::vector<uint8_t>& mask)
{
    const int w = R.w();
    std::vector<int32_t> line;
    EachPart(R, mask, [&](const std::vector<int32_t>& part) {
        int x0 = w, y0 = R.h(), x1 = 0, y1 = 0;
        for (int32_t k : part)
            x0 = std::min(x0, k % w), x1 = std::max(x1, k % w), y0 = std::min(y0, k / w), y1 = std::max(y1, k / w);
        // diagonal / (area / diagonal) >= kLineLength
        const double dx = x1 - x0 + 1, dy = y1 - y0 + 1;
        if (dx * dx + dy * dy >= kLineLength * double(part.size()))
            line.insert(line.end(), part.begin(), part.end());
    });
    for (int32_t k : line)
        mask[size_t(k)] = 0;
}

// A petal, a wave's crest, a stick's shadow that the rectangle cuts runs on
// beyond its edge; a caption lies within the rectangle drawn about it (a
// letter the rectangle cuts through is left where it runs on). A masked
// pixel on the edge, beyond the background's extremes (kObjectEvidence),
// whose colour runs on outside for kBeyond pixels (within kAlikeColour over
// the channels, straight out or one beside: a slanted object) is such an
// object's, and so is every masked pixel beyond the extremes joined to it
// whose colour is still alike (an object keeps its colour; a letter it
// touches has its own). They leave the mask, and so do the weak pixels that
// only they held. Fewer than kFewestCut such edge pixels are chance.
constexpr int kBeyond = 4, kAlikeColour = 60;
constexpr float kObjectEvidence = 1.f;
constexpr size_t kFewestCut = 3;

bool Alike(uint32_t a, uint32_t b)
{
    int d = 0;
    for (int c = 0; c < 24; c += 8)
        d += std::abs(int((a >> c) & 255) - int((b >> c) & 255));
    return d <= kAlikeColour;
}

// Whether the colour of the picture's pixel (x, y) runs on from it along
// (dx, dy) for kBeyond pixels, straight out or one beside (a slanted
// object), each of them inside `within` and one that `also` takes, given
// it and how far out it lies.
template <typename Also>
bool RunsOn(const WordPicture& pic, const Box& within, int x, int y, int dx, int dy, Also&& also)
{
    const uint32_t p = pic.At(x, y);
    for (int d = 1; d <= kBeyond; ++d) {
        bool any = false;
        for (int s = -1; s <= 1 && !any; ++s) {
            const int qx = x + d * dx + s * dy, qy = y + d * dy + s * dx;
            if (qx < within.x0 || qy < within.y0 || qx > within.x1 || qy > within.y1)
                return false;
            any = Alike(p, pic.At(qx, qy)) && also(qx, qy, d);
        }
        if (!any)
            return false;
    }
    return true;
}

void DropCutObjects(const WordPicture& pic, const Box& R, const std::vector<float>& score, std::vector<uint8_t>& mask)
{
    const int w = R.w(), h = R.h();
    const size_t n = mask.size();
    const Box whole{0, 0, pic.W - 1, pic.H - 1};
    auto runsOn = [&](int x, int y, int dx, int dy) { return RunsOn(pic, whole, x, y, dx, dy, [](int, int, int) { return true; }); };
    std::vector<int32_t> cut;
    auto edge = [&](int x, int y, int dx, int dy) {
        const size_t i = size_t(y) * w + x;
        if (mask[i] && score[i] >= kObjectEvidence && runsOn(R.x0 + x, R.y0 + y, dx, dy))
            cut.push_back(int32_t(i));
    };
    for (int x = 0; x < w; ++x) {
        edge(x, 0, 0, -1);
        edge(x, h - 1, 0, 1);
    }
    for (int y = 0; y < h; ++y) {
        edge(0, y, -1, 0);
        edge(w - 1, y, 1, 0);
    }
    if (cut.size() < kFewestCut)
        return;
    // Each joined pixel compared with the colour of the edge pixel it was
    // reached from: alike step by step, an anti-aliased rim would lead from
    // the ground into the letters.
    std::vector<uint8_t> object(n, 0);
    std::vector<uint32_t> colour(n, 0);
    for (int32_t i : cut) {
        object[size_t(i)] = 1;
        colour[size_t(i)] = pic.At(R.x0 + i % w, R.y0 + i / w);
    }
    for (size_t head = 0; head < cut.size(); ++head) {
        const int32_t j = cut[head];
        EachNeighbour(R, j, [&](size_t k) {
            if (object[k] || !mask[k])
                return;
            const uint32_t p = pic.At(R.x0 + int(k % size_t(w)), R.y0 + int(k / size_t(w)));
            if (score[k] >= kObjectEvidence && Alike(colour[size_t(j)], p)) {
                object[k] = 1;
                colour[k] = colour[size_t(j)];
                cut.push_back(int32_t(k));
            }
        });
    }
    // What is left of the mask stays where a strong pixel of its own holds it.
    std::vector<uint8_t> rest(n);
    for (size_t i = 0; i < n; ++i)
        rest[i] = mask[i] && !object[i];
    std::fill(mask.begin(), mask.end(), 0);
    EachPart(R, rest, [&](const std::vector<int32_t>& part) {
        if (std::any_of(part.begin(), part.end(), [&](int32_t k) { return score[size_t(k)] >= kStrong; }))
            for (int32_t k : part)
                mask[size_t(k)] = 1;
    });
}

// A blade of grass, a petal, a lit rim inside the rectangle stands out of
// the strips beside only in part: where its colour is furthest from
// theirs it is masked, and the rest of it runs on past the mask's edge,
// still holding some of the evidence. A letter's edge gives way to the
// ground, and a translucent mark's mostly does too (over a ground of its
// own shade up to about two thirds of its edge runs on). A part of the
// mask whose strong edge pixels (kObjectEvidence) nearly all (kRunOnShare,
// kFewestCut at least) have their colour run on past it for kBeyond pixels
// of the rectangle, each holding kRunOnEvidence or more, is such an
// object's, and goes.
constexpr double kRunOnShare = 0.8;
constexpr float kRunOnEvidence = 0.5f;

void DropRunningObjects(const WordPicture& pic, const Box& R, const std::vector<float>& score, std::vector<uint8_t>& mask)
{
    const int w = R.w(), h = R.h();
    // The pixel next to the edge is its anti-aliased rim: only its colour counts.
    auto evident = [&](int x, int y, int d) { return d == 1 || score[size_t(y - R.y0) * size_t(w) + size_t(x - R.x0)] >= kRunOnEvidence; };
    std::vector<int32_t> objects;
    EachPart(R, mask, [&](const std::vector<int32_t>& part) {
        size_t edges = 0, runs = 0;
        for (int32_t k : part) {
            if (score[size_t(k)] < kObjectEvidence)
                continue;
            const int x = k % w, y = k / w;
            // Out through its first unmasked side.
            for (const auto& [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
                const int nx = x + dx, ny = y + dy;
                if (nx < 0 || ny < 0 || nx >= w || ny >= h || mask[size_t(ny) * w + nx])
                    continue;
                ++edges;
                runs += RunsOn(pic, R, R.x0 + x, R.y0 + y, dx, dy, evident);
                break;
            }
        }
        if (edges >= kFewestCut && double(runs) >= kRunOnShare * double(edges))
            objects.insert(objects.end(), part.begin(), part.end());
    });
    for (int32_t k : objects)
        mask[size_t(k)] = 0;
}

// Grown by 1 pixel for the anti-aliased edge, and by a second where that
// ring still shows some evidence (an outline, a halo, a blurred edge): a
// clean edge keeps the photograph beside it. Nearly all of the rectangle:
// the whole of it.
void GrowForHalos(const Box& R, std::vector<uint8_t>& mask, const std::vector<float>& score)
{
    const size_t n = mask.size();
    const std::vector<uint8_t> one = Dilated(mask, R.w(), R.h(), 1), two = Dilated(mask, R.w(), R.h(), 2);
    size_t covered = 0;
    for (size_t i = 0; i < n; ++i)
        covered += (mask[i] = one[i] || (two[i] && score[i] >= kHaloEvidence));
    if (covered * 10 > n * 9)
        std::fill(mask.begin(), mask.end(), 1);
}

} // namespace

std::vector<uint8_t> FindLetters(const WordPicture& pic, const SelRect& rect)
{
    const Box R{rect.X1, rect.Y1, rect.X2, rect.Y2};
    const unsigned workers = size_t(R.w()) * R.h() >= kParallelPixels ? 0u : 1u;
    // The opaque letters and the translucent marks are sought side by side.
    std::vector<uint8_t> mask, marks;
    InParallel(2, [&](size_t task, unsigned) {
        if (task == 1) {
            marks = FindTranslucent(pic, rect);
            return;
        }
        const std::vector<Box> strips = StripsBeside(pic, R);
        Signals here;
        std::vector<Signals> beside(strips.size());
        InParallel(strips.size() + 1, [&](size_t s, unsigned) {
            if (s < strips.size())
                Measure(pic, strips[s], beside[s]);
            else
                Measure(pic, R, here);
        }, workers);
        Limits whole;
        const std::vector<Limits> limits = StretchLimits(R, strips, beside, whole);
        std::vector<float> strokes;
        const std::vector<float> score = Evidence(pic, R, here, limits, ColoursAround(pic, R, strips), strokes);
        mask = JoinWeakToStrong(R, score, beside, whole);
        DropWeakParts(pic, R, mask, score);
        DropSoftBlobs(pic, R, mask, strokes);
        DropLines(R, mask);
        DropGroundSpecks(R, strips, beside, whole, mask);
        DropCutObjects(pic, R, score, mask);
        DropRunningObjects(pic, R, score, mask);
        GrowForHalos(R, mask, score);
    }, workers);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] |= marks[i];
    return mask;
}

void PaintDisc(std::vector<uint8_t>& mask, const SelRect& rect, int cx, int cy, int d, bool value)
{
    //  d odd: centred on the pixel;  4 (dx² + dy²) <= d² keeps a disc
    //  whose diameter counts d pixels across.
    const int r = d / 2;
    const int w = rect.X2 - rect.X1 + 1;
    for (int y = std::max(rect.Y1, cy - r); y <= std::min(rect.Y2, cy + r); ++y)
        for (int x = std::max(rect.X1, cx - r); x <= std::min(rect.X2, cx + r); ++x)
            if (4 * ((x - cx) * (x - cx) + (y - cy) * (y - cy)) <= d * d)
                mask[size_t(y - rect.Y1) * size_t(w) + size_t(x - rect.X1)] = value;
}

std::vector<uint8_t> PickLetter(const WordPicture& pic, const SelRect& rect, int x0, int y0)
{
    const Box R{rect.X1, rect.Y1, rect.X2, rect.Y2};
    const int w = R.w(), h = R.h();
    std::vector<uint8_t> region(size_t(w) * h, 0);
    if (x0 < R.x0 || x0 > R.x1 || y0 < R.y0 || y0 > R.y1)
        return region;
    // The background: the mean of the ramps down the column and along the
    // row between the pixels just outside the rectangle (its X補正).
    auto at = [&](int x, int y) { return pic.At(std::clamp(x, 0, pic.W - 1), std::clamp(y, 0, pic.H - 1)); };
    auto background = [&](int x, int y, int c) {
        const float t = float(y - R.y0 + 1) / float(h + 1), s = float(x - R.x0 + 1) / float(w + 1);
        const float v = (1 - t) * Channel(at(x, R.y0 - 1), c) + t * Channel(at(x, R.y1 + 1), c);
        const float u = (1 - s) * Channel(at(R.x0 - 1, y), c) + s * Channel(at(R.x1 + 1, y), c);
        return (u + v) / 2;
    };
    auto departure = [&](int x, int y) {
        std::array<float, 3> d;
        for (int c = 0; c < 3; ++c)
            d[size_t(c)] = Channel(pic.At(x, y), c) - background(x, y, c);
        return d;
    };
    const std::array<float, 3> seed = departure(x0, y0);
    const float size = std::max({std::abs(seed[0]), std::abs(seed[1]), std::abs(seed[2])});
    if (size < 12)
        return region; // the background itself: nothing to pick
    // Within a third of the seed's own departure (at least 12 levels) in
    // every channel: a letter's anti-aliased rim joins, the texture beside
    // it, departing otherwise, does not.
    const float tolerance = std::max(12.f, size / 3);
    std::vector<int32_t> queue{int32_t(size_t(y0 - R.y0) * w + (x0 - R.x0))};
    region[size_t(queue[0])] = 1;
    for (size_t head = 0; head < queue.size(); ++head) {
        const int x = R.x0 + queue[head] % w, y = R.y0 + queue[head] / w;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int xx = x + dx, yy = y + dy;
                if (xx < R.x0 || xx > R.x1 || yy < R.y0 || yy > R.y1)
                    continue;
                const size_t k = size_t(yy - R.y0) * w + (xx - R.x0);
                if (region[k])
                    continue;
                const std::array<float, 3> d = departure(xx, yy);
                bool alike = true;
                for (int c = 0; c < 3; ++c)
                    alike = alike && std::abs(d[size_t(c)] - seed[size_t(c)]) <= tolerance;
                if (alike) {
                    region[k] = 1;
                    queue.push_back(int32_t(k));
                }
            }
    }
    return region;
}

namespace {

// A group of the mask's 4-connected parts, filled on one grid: the fill of
// a part depends only on the pixels beside it, so parts apart are filled
// apart, each on a grid of its own bounds (a caption's rectangle is mostly
// photograph) and run only as long as it needs, in parallel. Small parts
// near each other share a grid, or a mask of specks would cost a grid a
// speck.
struct Group {
    Box bounds;
    size_t first, last; // its parts' cells, cells[first .. last)
};

// Parts of at least kOwnGrid cells get a grid of their own; smaller ones
// join the group before them while its grid (with its ring) has no more
// than four cells for each of theirs, or kSharedGridCells in all.
constexpr size_t kOwnGrid = 1024;
constexpr int64_t kSharedGridCells = 4096;

// The mask's cells (indices into rect), part after part, grouped.
std::vector<Group> Groups(const Box& R, const std::vector<uint8_t>& mask, std::vector<int32_t>& cells)
{
    const int w = R.w();
    std::vector<Group> groups;
    int64_t groupCells = 0;
    bool sharing = false; // the last group takes small parts
    cells.clear();
    // Row by row within each part: the solve and the writes after it then
    // go through the grid in memory order.
    for (const std::vector<int32_t>& part : Parts(mask, w, R.h(), false)) {
        const size_t first = cells.size();
        cells.insert(cells.end(), part.begin(), part.end());
        Box b{w, part.front() / w, -1, part.back() / w};
        for (int32_t i : part) {
            const int x = i % w;
            b.x0 = std::min(b.x0, x);
            b.x1 = std::max(b.x1, x);
        }
        const size_t size = part.size();
        if (size < kOwnGrid && sharing) {
            Group& g = groups.back();
            const Box u{std::min(g.bounds.x0, b.x0), std::min(g.bounds.y0, b.y0), std::max(g.bounds.x1, b.x1),
                        std::max(g.bounds.y1, b.y1)};
            const int64_t area = int64_t(u.w() + 2) * (u.h() + 2);
            if (area <= std::max(kSharedGridCells, 4 * (groupCells + int64_t(size)))) {
                g.bounds = u;
                g.last = cells.size();
                groupCells += int64_t(size);
                continue;
            }
        }
        groups.push_back({b, first, cells.size()});
        groupCells = int64_t(size);
        sharing = size < kOwnGrid;
    }
    return groups;
}

// The harmonic fill of the cells of R's mask given (indices into R, in
// bounds b), on a grid over b and the ring around it: their words in out,
// in the same order. False when go said stop, or with nothing fixed to
// fill from (a picture wholly masked).
bool Solve(const WordPicture& pic, const Box& R, const Box& b, const int32_t* cells, size_t count,
           const std::function<bool()>& go, uint32_t* out)
{
    const Box G = Clip({R.x0 + b.x0 - 1, R.y0 + b.y0 - 1, R.x0 + b.x1 + 1, R.y0 + b.y1 + 1}, pic.W, pic.H);
    Crew crew(count >= kCrewCells ? FreeCores() : 1);
    // job(from, to) over [0, n), in one share for each of the crew.
    auto shared = [&](size_t n, auto&& job) {
        crew.Run([&](unsigned w) { job(n * w / crew.Size(), n * (w + 1) / crew.Size()); });
    };
    std::vector<Level> levels(1);
    Level& L = levels[0];
    L.w = G.w();
    L.h = G.h();
    L.free.assign(size_t(L.w) * L.h, 0);
    L.u.resize(L.free.size());
    shared(size_t(L.h), [&](size_t from, size_t to) {
        for (int y = G.y0 + int(from); y < G.y0 + int(to); ++y)
            for (int x = G.x0; x <= G.x1; ++x) {
                const uint32_t p = pic.At(x, y);
                L.u[size_t(y - G.y0) * L.w + (x - G.x0)] = Px{Channel(p, 0), Channel(p, 1), Channel(p, 2), 0};
            }
    });
    const size_t gw = size_t(L.w); // (L goes with the levels' growth)
    auto at = [&, rw = R.w()](int32_t i) {
        const int y = i / rw;
        return size_t(R.y0 + y - G.y0) * gw + size_t(R.x0 + i - y * rw - G.x0);
    };
    for (size_t k = 0; k < count; ++k)
        L.free[at(cells[k])] = 1;
    if (L.free.size() == count)
        return false;
    Index(L);
    while (levels.back().w > 2 && levels.back().h > 2
           && !(levels.back().cells[0].empty() && levels.back().cells[1].empty()))
        levels.push_back(Coarsen(levels.back()));
    Level& fine = levels[0];
    if (crew.Size() > 1)
        for (Level& level : levels)
            if (level.cells[0].size() + level.cells[1].size() >= kBandCells)
                level.bands = Bands(level, crew.Size());
    FirstGuess(levels, &crew);
    std::vector<Px> before(count);
    std::vector<Px> most(crew.Size());
    const size_t evens = fine.cells[0].size();
    // Each cell's value before a cycle, the even cells first; kept as the
    // cycle's change is taken, for the next one.
    auto each = [&](int y0, int y1, auto&& take) {
        for (int parity = 0; parity < 2; ++parity)
            for (int32_t n = fine.rows[parity][size_t(y0)]; n < fine.rows[parity][size_t(y1)]; ++n)
                take(fine.cells[parity][size_t(n)], (parity ? evens : 0) + size_t(n));
    };
    ByRows(fine, &crew, [&](int y0, int y1) { each(y0, y1, [&](int32_t i, size_t k) { before[k] = fine.u[size_t(i)]; }); });
    float previous = 0, slowest = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        if (!go())
            return false;
        Cycle(levels, 0, &crew);
        std::fill(most.begin(), most.end(), Px{0, 0, 0, 0});
        // (Taken in a local: the workers' results share a cache line.)
        auto changed = [&](int y0, int y1, Px& result) {
            Px largest{0, 0, 0, 0};
            each(y0, y1, [&](int32_t i, size_t k) {
                const Px now = fine.u[size_t(i)], d = now - before[k];
                before[k] = now;
                largest = largest > d ? largest : d; // lane by lane, up and down
                largest = largest > -d ? largest : -d;
            });
            result = largest;
        };
        if (fine.bands.empty())
            changed(0, fine.h, most[0]);
        else
            crew.Run([&](unsigned w) { changed(fine.bands[w], fine.bands[w + 1], most[w]); });
        float change = 0;
        for (const Px& m : most)
            change = std::max({change, m[0], m[1], m[2]});
        // Each cycle shrinks the change by about the same rate: the changes
        // still to come add up to change · rate / (1 − rate), taken at the
        // slowest rate seen so far. Once that is under 1/100 of a level,
        // what is left can move only a value within 1/100 of a rounding
        // boundary. Before a rate is known (the first cycle), or where it is
        // half or more, the change itself must be that small: the fill never
        // stops later than that.
        if (cycle > 0)
            slowest = std::max(slowest, change / previous);
        previous = change;
        const float left = cycle > 0 && slowest < 0.5f ? change * slowest / (1 - slowest) : change;
        if (left < 1e-2f)
            break;
    }
    shared(count, [&](size_t from, size_t to) {
        for (size_t k = from; k < to; ++k) {
            const size_t i = at(cells[k]);
            uint32_t word = pic.At(G.x0 + int(i % gw), G.y0 + int(i / gw)) & 0xFF000000u;
            for (int ch = 0; ch < 3; ++ch)
                word |= uint32_t(std::clamp(std::nearbyint(fine.u[i][ch]), 0.f, 255.f)) << (8 * ch);
            out[k] = word;
        }
    });
    return true;
}

} // namespace

bool FillHarmonic(WordPicture& pic, const SelRect& rect, const std::vector<uint8_t>& mask,
                  const std::function<bool()>& keepGoing)
{
    const Box R{rect.X1, rect.Y1, rect.X2, rect.Y2};
    if (R.empty() || mask.size() != size_t(R.w()) * R.h())
        return true;
    std::vector<int32_t> cells;
    const std::vector<Group> groups = Groups(R, mask, cells);
    // The largest first, so that no worker is left with one at the end.
    std::vector<size_t> order(groups.size());
    for (size_t g = 0; g < order.size(); ++g)
        order[g] = g;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return groups[a].last - groups[a].first > groups[b].last - groups[b].first;
    });
    // The picture is written only at the end: a cancel leaves it as it was.
    // keepGoing is asked on the calling thread only; the others follow it.
    std::vector<uint32_t> out(cells.size());
    std::vector<uint8_t> solved(groups.size(), 0);
    std::atomic<bool> stopped{false};
    auto solve = [&](size_t k, unsigned worker) {
        const Group& g = groups[order[k]];
        const std::function<bool()> go = [&, worker] {
            if (worker == 0 && keepGoing && !keepGoing())
                stopped = true;
            return !stopped;
        };
        solved[order[k]] = Solve(pic, R, g.bounds, cells.data() + g.first, g.last - g.first, go, out.data() + g.first);
    };
    // A part large enough to share its own solve out (a subtitle's outline
    // joins its letters) is solved alone first, on every core; the rest
    // part by part, a part to a core.
    size_t alone = 0;
    while (FreeCores() > 1 && alone < order.size() && groups[order[alone]].last - groups[order[alone]].first >= kCrewCells)
        solve(alone++, 0);
    const size_t work = cells.size();
    InParallel(groups.size() - alone, [&](size_t k, unsigned worker) { solve(alone + k, worker); },
               work >= kParallelPixels ? 0u : 1u);
    // Asked once more: the other workers may have taken every part before
    // the calling thread took one, and a cancel then went unasked.
    if (stopped || (keepGoing && !keepGoing()))
        return false;
    for (size_t g = 0; g < groups.size(); ++g)
        if (solved[g])
            for (size_t k = groups[g].first; k < groups[g].last; ++k)
                pic.words[(R.y0 + cells[k] / R.w()) * pic.stride + R.x0 + cells[k] % R.w()] = out[k];
    return true;
}

} // namespace retouch
