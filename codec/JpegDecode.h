#pragma once
#include "Codec.h"
#include "Surface.h"

#include <cstddef>
#include <cstdint>

namespace codec {

// Progressive scans after which a JPEG is refused.
inline constexpr int kJpegMaxScans = 500;

struct JpegDecodeInfo {
    bool tooLarge = false;  // refused: the picture is beyond the size limit
    bool truncated = false; // the data ended early; the rest was padded
    bool noMemory = false;  // the picture's memory could not be had
};

// Whether a libjpeg warning means entropy-coded data was lost or is
// corrupt (the decoder then pads or guesses); bytes skipped between
// segments lose nothing.
bool JpegDataLost(int msgCode);

// Decodes JPEG bytes into a Format_RGB32 surface with the Exif orientation
// applied. A file that ends early gives what it holds (info says so). False
// for anything that is no JPEG, a picture beyond the size limit, or too many
// scans. progress gets decoded rows and the picture's height.
bool DecodeJpeg(const uint8_t* data, size_t size, Surface& out, JpegDecodeInfo* info = nullptr,
                const SaveProgress& progress = {});

} // namespace codec
