#pragma once
// The retouch command's engine: order and clamp the committed rectangle,
// transfer the picture into a buffer, fill, transfer it back.
#include "SelRect.h"
#include "Surface.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace retouch {

// Letters: only the caption's own pixels, by a harmonic fill (文字補正).
enum class FillMode { Vertical, Horizontal, Cross, Letters };

enum class RetouchResult {
    Done,           // the picture was repainted
    NoSelection,    // nothing was committed; nothing changed
    TransferFailed, // the picture could not be read or written; nothing changed
    Cancelled,      // stopped by keepGoing; nothing changed
    NothingFound,   // 文字補正 found no letters to repaint; nothing changed
};

// Orders the corners and clamps them into a W x H picture, in place. True
// when the result counts as a selection: a rectangle lying wholly in column 0
// or wholly in row 0 does not.
bool OrderAndClamp(SelRect& sel, int32_t W, int32_t H);

// Repaints sel of picture with the chosen fill. sel is left ordered and
// clamped. Only the pixels inside it change (undo relies on that); those
// around it are read. The caller repaints the view when the result is Done.
// letters: for 文字補正, the mask of the ordered and clamped sel to fill (the
// one the view showed), instead of finding it again.
// keepGoing (文字補正 only) is asked now and then whether to go on.
RetouchResult Retouch(platform::Surface& picture, SelRect& sel, FillMode mode,
                      const std::vector<uint8_t>* letters = nullptr, const std::function<bool()>& keepGoing = {});

} // namespace retouch
