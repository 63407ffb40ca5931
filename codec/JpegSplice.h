#pragma once
// The fast way to save a sequential JPEG with a few blocks replaced: the
// entropy-coded data of every other block is copied bit for bit, so only
// the replaced blocks (and the DC step of the block after each) are coded.
#include "Codec.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <vector>

namespace codec {

// New DCT coefficients for a run of whole MCUs, quantised, in natural
// order, 64 to a block. Per component the blocks of the MCUs, padding
// blocks at the picture's edge included.
struct BlockPatch {
    int mcuX = 0, mcuY = 0; // the first MCU
    struct Component {
        int blocksWide = 0, blocksHigh = 0;
        std::vector<int16_t> coef;
    };
    std::vector<Component> components;
};

// out receives source with the patches' blocks and segments (after any JFIF
// header) in place of its own Exif, XMP, ICC and comment segments. False,
// with out left in any state, when source is not a single-scan Huffman sequential
// 8-bit file, its data is damaged, or a patch needs a code its tables lack:
// then the caller takes the full coefficient route.
// keepGoing is asked now and then, with the MCUs done and their number;
// when it says no, the splice stops, false, and *cancelled is set.
bool SpliceSequentialJpeg(const QByteArray& source, const std::vector<BlockPatch>& patches,
                          const std::vector<MarkerSegment>& segments, QByteArray* out,
                          const std::function<bool(int64_t, int64_t)>& keepGoing = {}, bool* cancelled = nullptr);

} // namespace codec
