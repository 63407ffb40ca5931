#pragma once
// What a picture file says besides its pixels (Exif, XMP, the colour
// profile, comments, PNG's colour and text chunks) and where the picture
// came from. It travels beside the picture, never in it, and goes into a
// saved file wherever that format can hold it.
#include "Codec.h"
#include "FileRead.h"

#include <QSize>
#include <QString>

#include <vector>

namespace codec {

enum class SourceFormat { None, Jpeg, Png, Other };

struct PictureOrigin {
    QString path;
    SourceFormat format = SourceFormat::None;
    platform::FileStamp stamp; // the file as it was read
    QSize size;          // the picture as decoded (upright)
    int orientation = 1; // the Exif orientation the decoder applied
    int jpegComponents = 0; // a JPEG's colour components (1 grey, 3 YCbCr, 4 CMYK)
    std::vector<MarkerSegment> jpegSegments; // a JPEG's Exif, XMP, ICC and comment segments, in file order
    std::vector<PngChunk> pngChunks;         // a PNG's colour, density, text and eXIf chunks, in file order
};

// Fills origin's format and metadata from the file's bytes. What cannot be
// read is left out; this never fails.
void ReadMetadata(const QByteArray& bytes, PictureOrigin& origin);

// The metadata for a JPEG or a PNG written from a picture of origin.
// upright: the pixels are written as shown, so an Exif orientation that the
// decoder applied becomes 1; otherwise the source's blocks are kept, in its
// own colours. Embedded previews are dropped: they would still show what
// was erased. A colour profile goes only with pixels of its colour space.
std::vector<MarkerSegment> JpegSegmentsFor(const PictureOrigin& origin, bool upright);
std::vector<PngChunk> PngChunksFor(const PictureOrigin& origin);

// The Orientation tag (1..8) of an Exif APP1 payload ("Exif\0\0" and TIFF
// data); 1 when absent or unreadable.
int ExifOrientation(const uint8_t* app1, size_t n);

// TIFF-structured Exif data with its thumbnail removed and, if asked, its
// orientation set to 1. Data it cannot parse comes back as it was.
QByteArray ExifForSave(QByteArray tiff, bool orientationToOne);

// The whole ICC profile of origin; empty when it has none.
QByteArray IccProfile(const PictureOrigin& origin);

} // namespace codec
