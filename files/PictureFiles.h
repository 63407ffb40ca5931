#pragma once
// Reading picture files into the working picture, and writing it out.
#include "Metadata.h"
#include "PictureLoader.h"
#include "Surface.h"

#include <QRect>
#include <QString>

#include <cstdint>
#include <vector>

namespace files {

// Reads the file into a new picture: names ending ".PNG" (any case) by the
// PNG decoder, every other name by the run-time picture loader. Null when it
// did not load; report says why, or that a JPEG ended early (what it held is
// loaded). origin receives where the picture came from and its metadata.
// Memory running out fails the load and says so; nothing is thrown.
platform::Surface LoadPicture(const QString& path, codec::LoadReport* report = nullptr,
                              const codec::SaveProgress& progress = {}, codec::PictureOrigin* origin = nullptr);

// The PNG route on bytes in memory (the fuzzer's entry): the same checks,
// then the decoder.
bool ReadPngData(platform::Surface& picture, const QByteArray& data);

// The options the save command writes with (the settings' values).
struct SaveOptions {
    int16_t JpegRate = 50;
    int16_t JpegPrgrs = 0;
    int16_t PngRate = 1;
    int16_t JpegKeep = 1; // a JPEG of a JPEG keeps the blocks no retouch touched
};

// Where the picture came from and which of its pixels differ from that file:
// what a save needs to keep the file's metadata and its untouched blocks.
struct PictureSource {
    codec::PictureOrigin origin;
    std::vector<QRect> retouched; // picture pixels that may differ from origin's file
};

// Writes picture to name in the format ext names (".JPG", ".PNG", ".BMP"),
// with source's metadata where the format holds it. A JPEG of a JPEG source
// is made by keeping the source's untouched blocks when options ask for it
// and the source allows; otherwise by the rate (0..255: the callers refuse
// or clamp any other). A kCodec result; keptBlocks tells which way the JPEG
// was made.
int WritePicture(const platform::Surface& picture, const QString& name, const QString& ext,
                 const SaveOptions& options, const PictureSource* source, const codec::SaveProgress& progress,
                 int* err, bool* keptBlocks = nullptr);

// File-state codes.
enum FileState : int16_t {
    kFileExists = 0,
    kFileNameEmpty = 1,
    kFileMissing = 2,
    kFileEmpty = 3,
    kFileStateError = -1, // an unexpected error
};

// 0 exists and is not empty, 1 blank name, 2 no such file, 3 empty file.
// Any other error gives -1, and errorNumber the run-time error number.
int16_t FileStatus(const QString& path, int* errorNumber = nullptr);

// Why WritePicture failed with status (err its errno), in the words of the
// "保存エラー" box.
QString WriteFailureReason(int status, int err);

// The name completed from the chosen filter (1 all pictures, 2 BMP, 3 JPEG,
// 4 PNG); ext receives the upper-case extension that decides the format.
QString CompleteName(const QString& name, int32_t filterIndex, QString* ext);

// The save filter list handed to the dialog.
QString SaveFilterPattern();

} // namespace files
