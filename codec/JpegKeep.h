#pragma once
// A JPEG saved from the JPEG it was opened from, re-encoding only what a
// retouch changed.
#include "Codec.h"
#include "Metadata.h"
#include "Surface.h"

#include <QPoint>
#include <QRect>

#include <vector>

namespace codec {

// Writes file from the source named by origin: its DCT coefficients are
// copied, and only the MCUs under the retouched rectangles (in the picture's
// upright pixels) are encoded again from picture, with the source's own
// quantisation tables, Huffman choice, restart interval and progression. The
// Exif orientation stays (the blocks stay in their stored order); the
// source's metadata is written with its thumbnail dropped.
// kCodecNotApplicable, with nothing written, for a source this cannot serve:
// not a JPEG, CMYK or YCCK, arithmetic coding, other than 8-bit, a file that
// changed since it was read, or a picture of another size.
int SaveJpegKeepingBlocks(const Surface& picture, const PictureOrigin& origin, const std::vector<QRect>& retouched,
                          const QString& file, const SaveProgress& progress = {}, int* sysErrno = nullptr);

// Where the stored pixel p of a stored width x height picture is shown once
// the Exif orientation is applied, and back.
QPoint StoredToUpright(int orientation, int width, int height, QPoint p);
QPoint UprightToStored(int orientation, int width, int height, QPoint p);

} // namespace codec
