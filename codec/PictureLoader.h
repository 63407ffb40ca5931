#pragma once
#include "Codec.h"
#include "FileRead.h"
#include "Surface.h"

#include <QString>

namespace codec {

// What became of a load, for the message that tells the user.
struct LoadReport {
    platform::ReadStatus read = platform::ReadStatus::Ok; // the file itself
    bool tooLarge = false;            // the picture's size is beyond the limit
    bool truncated = false;           // the data ended early; what it held was loaded
    bool cancelled = false;           // the user stopped it (set by whoever asked)
    bool noMemory = false;            // memory ran out while it was read
};

// Why a load failed, in the words of the message box.
QString LoadFailureReason(const LoadReport& report);

// The run-time picture loader: BMP, GIF (first frame), ICO (largest image)
// and JPEG (libjpeg-turbo, Exif orientation applied) into a Format_RGB32
// surface, transparency over white. Anything else, PNG included, fails.
// Pictures beyond the size limit fail before they are allocated. A JPEG
// that ends early loads what it holds, and report says so.
bool LoadRuntimePictureData(const QByteArray& data, Surface& out, LoadReport* report = nullptr,
                            const SaveProgress& progress = {});

// Composites a picture with alpha over white into Format_RGB32.
Surface OverWhite(const QImage& image);

} // namespace codec
