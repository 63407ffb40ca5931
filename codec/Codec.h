#pragma once
// The picture codec: PNG reading, and JPEG, PNG and bitmap writing of our
// picture surfaces, on libpng and libjpeg-turbo. Writers replace their
// target only when the new file is complete (see AtomicFile).
#include "Surface.h"

#include <QByteArray>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace codec {

// The codecs read and write the platform's picture surfaces.
using platform::Surface;

// Rows written (or read) so far and the picture's height, called as the
// work goes; returning false stops it (the writer then leaves no file).
using SaveProgress = std::function<bool(int done, int total)>;

// Writer results. 0 is success.
enum CodecStatus : int {
    kCodecOk = 0,
    kCodecBadArguments = 1, // no picture, or a size that does not fit the surface
    kCodecCannotCreate = 2, // the temporary file could not be made (errno)
    kCodecWriteFailed = 3,  // writing, syncing or renaming failed (errno)
    kCodecEncoderFailed = 4,
    kCodecCancelled = 5, // the progress callback asked to stop; nothing was written
    kCodecNotApplicable = 6, // the block-keeping JPEG save cannot serve this source; nothing was written
    kCodecNoMemory = 7, // memory ran out; nothing was written
};

// Metadata written beside the pixels: a JPEG marker segment (APPn or COM,
// the payload without its length), or a PNG chunk (type and data).
struct MarkerSegment {
    int marker;
    QByteArray data;
};
struct PngChunk {
    QByteArray type;
    QByteArray data;
};

// Decodes PNG bytes into a surface of the PNG's own size, transparent pixels
// composited over white. 0 on success; non-zero for corrupt, truncated or
// CRC-failing data, or a picture beyond the size limit. Throws
// std::bad_alloc when the picture's memory cannot be had.
int16_t DecodePng(const uint8_t* data, size_t size, Surface& out, const SaveProgress& progress = {});

// JPEG from the width x height block at (0, 0) of dc. rate is a compression
// rate: quality = 101 - rate, clamped to 1..100.
// segments are written after the JFIF header.
int DCSavetoJPEG(const Surface& dc, int32_t width, int32_t height, const QString& file,
                 uint8_t rate, bool progressive, const SaveProgress& progress = {},
                 int* sysErrno = nullptr, const std::vector<MarkerSegment>* segments = nullptr);

// PNG from the same block. rate 1 is the fastest, 2 the smallest, 0 (and
// any other) between; each file no larger than zlib's levels 1, 6 and 9 would
// make it. The work is shared by every core. chunks go between the header
// and the pixels.
int DCSavetoPNG(const Surface& dc, int32_t width, int32_t height, const QString& file,
                uint8_t rate, const SaveProgress& progress = {}, int* sysErrno = nullptr,
                const std::vector<PngChunk>* chunks = nullptr);

// A 24-bit Windows bitmap file of the whole surface.
int SaveBitmapFile(const Surface& dc, const QString& file, const SaveProgress& progress = {},
                   int* sysErrno = nullptr);

// The JPEG quality for a compression rate: the rate is first clamped to
// 1..100, so no stored or typed value can wrap into another quality.
int ClampJpegRate(int rate);
int JpegQualityForRate(int rate);
// The zlib level and libpng row filters a plain libpng writer would use for a
// rate (the benchmark's baseline, which our files must not exceed).
int PngLevelForRate(int rate);
int PngFiltersForLevel(int level);

} // namespace codec
