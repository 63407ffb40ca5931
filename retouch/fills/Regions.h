#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace retouch {

// The connected regions of a grid w x h of cells, set (nonzero) or not: the
// runs along each row of cells that are `set`, each joined to the runs it
// touches in the row above. A mask of hundreds of thousands of cells is of
// far fewer runs, so this costs far less than a walk from cell to cell.
struct Regions {
    struct Run {
        int y, x0, x1; // cells [x0, x1) of row y
    };
    std::vector<Run> runs;       // row by row, left to right
    std::vector<size_t> region;  // per run, the first run of its region
};

// corners: runs that meet only at a corner touch too (8-connected regions;
// otherwise 4-connected).
Regions FindRegions(const std::vector<uint8_t>& cells, int w, int h, bool set, bool corners);

// The cells (y * w + x) of each region of set cells, row by row, the regions
// in the order of their first cell. In memory order, the pixels of a
// subtitle's outline are read from the cache, not one at a time from
// memory.
std::vector<std::vector<int32_t>> Parts(const std::vector<uint8_t>& cells, int w, int h, bool corners);

} // namespace retouch
