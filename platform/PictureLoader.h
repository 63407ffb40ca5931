#pragma once
#include "Surface.h"

#include <QString>

namespace platform {

// The run-time picture loader: BMP, GIF (first frame), ICO (largest image)
// and JPEG (libjpeg-turbo, Exif orientation applied) into a Format_RGB32
// surface, transparency over white. Anything else, PNG included, fails.
// Pictures beyond the size limit fail before they are allocated.
bool LoadRuntimePicture(const QString& path, Surface& out);

// The same on bytes in memory (the fuzzer's entry).
bool LoadRuntimePictureData(const QByteArray& data, Surface& out);

// Composites a picture with alpha over white into Format_RGB32.
Surface OverWhite(const QImage& image);

} // namespace platform
