#pragma once
// Reading picture files into the working picture, and writing it out.
#include "Metadata.h"
#include "PictureLoader.h"
#include "Surface.h"

#include <QRect>
#include <QString>

#include <functional>

#include <cstdint>
#include <vector>

class QWidget;

namespace files {

// A load or save that lasts longer than this shows a progress dialog.
inline constexpr int kProgressDelayMs = 500;

// Long work of the window's (a 文字補正) on a thread of its own, as loads and
// saves run: the busy cursor at once, after delayMs a progress dialog with
// キャンセル, whose press the work's callback answers with false.
int RunShowingProgress(QWidget* owner, int delayMs, const QString& label, const QString& title,
                       const std::function<int(const platform::SaveProgress&)>& work);

// Reads the file into picture: names ending ".PNG" (any case) through
// ReadPngFile, every other name through the run-time picture loader.
// 0 when loaded; 1 when not, and picture is then empty.
int16_t LoadPictureFile(const QString& path, platform::Surface& picture);

// The same into a new picture, null when it did not load; report says why,
// or that a JPEG ended early (what it held is loaded). origin receives where
// the picture came from and the file's metadata.
platform::Surface LoadPicture(const QString& path, platform::LoadReport* report = nullptr,
                              const platform::SaveProgress& progress = {}, platform::PictureOrigin* origin = nullptr);

// LoadPicture with the busy cursor, and a progress dialog when it lasts
// longer than progressDelayMs.
platform::Surface LoadPictureShowingProgress(QWidget* owner, const QString& path, platform::LoadReport* report,
                                             int progressDelayMs = kProgressDelayMs,
                                             platform::PictureOrigin* origin = nullptr);

// The PNG route: signature check, the size from the header (the full 32-bit
// width and height), then the decoder into a surface of that size.
// True on success; false leaves picture empty.
bool ReadPngFile(platform::Surface& picture, const QString& path);

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

// Where the picture on view came from and what has been retouched since:
// what a save needs to keep the file's metadata and its untouched blocks.
struct PictureSource {
    platform::PictureOrigin origin;
    std::vector<QRect> retouched; // picture pixels, in the order retouched
};

// Writes picture to name in the format ext names (".JPG", ".PNG", ".BMP"),
// with source's metadata where the format holds it. A JPEG of a JPEG source
// is made by keeping the source's untouched blocks when options ask for it
// and the source allows; otherwise by the rate (0..255: the callers refuse
// or clamp any other). A kCodec result; keptBlocks tells which way the JPEG
// was made.
int WritePicture(const platform::Surface& picture, const QString& name, const QString& ext,
                 const SaveOptions& options, const PictureSource* source, const platform::SaveProgress& progress,
                 int* err, bool* keptBlocks = nullptr);

// File-state codes.
enum FileState : int16_t {
    kFileExists = 0,
    kFileNameEmpty = 1,
    kFileMissing = 2,
    kFileEmpty = 3,
    kFileStateError = -1, // an unexpected error, already reported to the user
};

// 0 exists and is not empty, 1 blank name, 2 no such file, 3 empty file.
// Any other error is shown in the "システムエラー" box and gives -1.
int16_t FileStatus(const QString& path, QWidget* owner = nullptr);

enum class SaveOutcome { NothingToSave, Cancelled, Declined, Saved, Failed, SystemError };

// The save command: the Save dialog, the extension completed from the
// chosen filter, the overwrite question, the write by extension. Failures
// are told in a "保存エラー" box; the file that was there stays untouched.
// A save that lasts longer than progressDelayMs shows a progress dialog.
// savedName receives the name written after a successful save. After a
// save that kept the source's blocks, source names the saved file, which
// holds every retouch so far.
SaveOutcome SaveImageFile(QWidget* owner, const platform::Surface& picture, const SaveOptions& options,
                          int progressDelayMs = kProgressDelayMs, QString* savedName = nullptr,
                          PictureSource* source = nullptr);

// The name completed from the chosen filter (1 all pictures, 2 BMP, 3 JPEG,
// 4 PNG); ext receives the upper-case extension that decides the format.
QString CompleteName(const QString& name, int32_t filterIndex, QString* ext);

// The save filter list handed to the dialog.
QString SaveFilterPattern();

} // namespace files
