#pragma once
// The PNG encoder behind DCSavetoPNG: filtered rows compressed with
// libdeflate on every core, joined into one valid zlib stream.
#include "Codec.h"

#include <QtGlobal>

#include <cstdio>

namespace codec {

// libdeflate's level and whether each row takes the best of the five
// filters (else Sub throughout) for a PNG rate: 1 fastest, 0 default, 2
// smallest.
struct PngRateSettings {
    int level;
    bool adaptive;
};
PngRateSettings PngSettingsForRate(int rate);

// Writes the width x height picture of four-byte words (blue, green, red,
// unused) as an 8-bit RGB PNG to fp, with chunks before the pixels. A
// kCodec result.
int WriteParallelPng(FILE* fp, const uchar* bits, qsizetype stride, int width, int height, int rate,
                     const SaveProgress* progress, const std::vector<PngChunk>* chunks = nullptr);

} // namespace codec
