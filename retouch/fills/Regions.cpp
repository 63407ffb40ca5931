#include "Regions.h"

#include <algorithm>

namespace retouch {

Regions FindRegions(const std::vector<uint8_t>& cells, int w, int h, bool set, bool corners)
{
    Regions out;
    std::vector<Regions::Run>& runs = out.runs;
    std::vector<size_t> rowStart(size_t(h) + 1);
    for (int y = 0; y < h; ++y) {
        rowStart[size_t(y)] = runs.size();
        const uint8_t* row = cells.data() + size_t(y) * w;
        for (int x = 0; x < w;) {
            if ((row[x] != 0) != set) {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x < w && (row[x] != 0) == set)
                ++x;
            runs.push_back({y, x0, x});
        }
    }
    rowStart[size_t(h)] = runs.size();
    std::vector<size_t>& parent = out.region;
    parent.resize(runs.size());
    for (size_t r = 0; r < parent.size(); ++r)
        parent[r] = r;
    auto root = [&](size_t r) {
        while (parent[r] != r)
            r = parent[r] = parent[parent[r]];
        return r;
    };
    // A run touches one above that overlaps it (or, with corners, that ends
    // a cell before it starts or starts a cell after it ends). The one that
    // ends first touches none further along the other row.
    const int reach = corners ? 1 : 0;
    for (int y = 1; y < h; ++y) {
        size_t a = rowStart[size_t(y) - 1], b = rowStart[size_t(y)];
        while (a < rowStart[size_t(y)] && b < rowStart[size_t(y) + 1]) {
            if (runs[a].x0 < runs[b].x1 + reach && runs[b].x0 < runs[a].x1 + reach) {
                const size_t ra = root(a), rb = root(b);
                parent[std::max(ra, rb)] = std::min(ra, rb);
            }
            if (runs[a].x1 < runs[b].x1)
                ++a;
            else
                ++b;
        }
    }
    for (size_t r = 0; r < parent.size(); ++r)
        parent[r] = root(r);
    return out;
}

std::vector<std::vector<int32_t>> Parts(const std::vector<uint8_t>& cells, int w, int h, bool corners)
{
    const Regions regions = FindRegions(cells, w, h, true, corners);
    const auto& runs = regions.runs;
    std::vector<size_t> partOf(runs.size()), sizes;
    for (size_t r = 0; r < runs.size(); ++r) {
        if (regions.region[r] == r)
            sizes.push_back(0), partOf[r] = sizes.size() - 1;
        else
            partOf[r] = partOf[regions.region[r]];
        sizes[partOf[r]] += size_t(runs[r].x1 - runs[r].x0);
    }
    std::vector<std::vector<int32_t>> parts(sizes.size());
    for (size_t p = 0; p < parts.size(); ++p)
        parts[p].reserve(sizes[p]);
    for (size_t r = 0; r < runs.size(); ++r)
        for (int x = runs[r].x0; x < runs[r].x1; ++x)
            parts[partOf[r]].push_back(runs[r].y * w + x);
    return parts;
}

} // namespace retouch
