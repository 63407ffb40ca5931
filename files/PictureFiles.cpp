#include "PictureFiles.h"

#include "Codec.h"
#include "JpegKeep.h"
#include "Limits.h"
#include "PictureLoader.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <new>
#include <sys/stat.h>
#include <utility>

namespace files {

platform::Surface LoadPictureOrThrow(const QString& path, codec::LoadReport& r, const codec::SaveProgress& progress,
                                     codec::PictureOrigin* origin);
int WritePictureOrThrow(const platform::Surface& picture, const QString& name, const QString& ext,
                        const SaveOptions& options, const PictureSource* source, const codec::SaveProgress& progress,
                        int* err, bool* keptBlocks);

namespace {

const uint8_t kPngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

} // namespace

namespace {

// The signature, then the header's full big-endian 32-bit width and height;
// an empty size when the bytes are no PNG or the size is not allowed.
QSize PngHeaderSize(const uint8_t* head, qint64 got, bool* tooLarge)
{
    if (got < 8)
        return {};
    for (int i = 0; i < 8; ++i)
        if (head[i] != kPngSignature[i])
            return {};
    if (got < 24)
        return {}; // no header to size the picture from
    const uint32_t w = uint32_t(head[16]) << 24 | uint32_t(head[17]) << 16 | uint32_t(head[18]) << 8 | head[19];
    const uint32_t h = uint32_t(head[20]) << 24 | uint32_t(head[21]) << 16 | uint32_t(head[22]) << 8 | head[23];
    if (!platform::PictureSizeAllowed(w, h)) {
        *tooLarge = w != 0 && h != 0;
        return {};
    }
    return QSize(int(w), int(h));
}

} // namespace

namespace {

platform::Surface DecodePngBytes(const QByteArray& data, codec::LoadReport& report,
                                 const codec::SaveProgress& progress)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
    platform::Surface picture;
    if (PngHeaderSize(bytes, data.size(), &report.tooLarge).isEmpty())
        return picture;
    if (codec::DecodePng(bytes, size_t(data.size()), picture, progress) != 0)
        picture = platform::Surface();
    return picture;
}

} // namespace

bool ReadPngData(platform::Surface& picture, const QByteArray& data)
{
    codec::LoadReport report;
    try {
        picture = DecodePngBytes(data, report, {});
    } catch (const std::bad_alloc&) {
        picture = platform::Surface();
    }
    return !picture.isNull();
}

platform::Surface LoadPicture(const QString& path, codec::LoadReport* report,
                              const codec::SaveProgress& progress, codec::PictureOrigin* origin)
{
    codec::LoadReport local;
    codec::LoadReport& r = report ? *report : local;
    r = codec::LoadReport{};
    // Memory running out anywhere in a load fails this load, and says so.
    try {
        return LoadPictureOrThrow(path, r, progress, origin);
    } catch (const std::bad_alloc&) {
        r = codec::LoadReport{};
        r.noMemory = true;
        if (origin)
            *origin = codec::PictureOrigin{};
        return platform::Surface();
    }
}

platform::Surface LoadPictureOrThrow(const QString& path, codec::LoadReport& r, const codec::SaveProgress& progress,
                                     codec::PictureOrigin* origin)
{
    platform::Surface picture;
    QByteArray data;
    platform::FileStamp stamp;
    r.read = platform::ReadRegularFile(path, data, -1, nullptr, &stamp);
    if (r.read != platform::ReadStatus::Ok)
        return picture;
    if (basFunc::LastFourUpper(path) == QLatin1String(".PNG"))
        picture = DecodePngBytes(data, r, progress);
    else if (!codec::LoadRuntimePictureData(data, picture, &r, progress))
        picture = platform::Surface();
    if (origin) {
        *origin = codec::PictureOrigin{};
        if (!picture.isNull()) {
            origin->path = path;
            origin->stamp = stamp;
            origin->size = picture.size();
            codec::ReadMetadata(data, *origin);
        }
    }
    return picture;
}

int16_t FileStatus(const QString& path, int* errorNumber)
{
    if (basFunc::TrimBlanks(path).isEmpty())
        return kFileNameEmpty;
    struct stat st;
    int err = 0;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR; // a folder has no length to test
    else
        return st.st_size == 0 ? kFileEmpty : kFileExists;
    const int number = platform::RuntimeErrorFromErrno(err);
    if (number == platform::kErrFileNotFound)
        return kFileMissing;
    if (errorNumber)
        *errorNumber = number;
    return kFileStateError;
}

QString WriteFailureReason(int status, int err)
{
    switch (status) {
    case codec::kCodecBadArguments: return QStringLiteral("保存する画像がありません。");
    case codec::kCodecEncoderFailed: return QStringLiteral("画像を符号化できませんでした。");
    case codec::kCodecNoMemory: return QStringLiteral("メモリが足りません。");
    default: return platform::SystemErrorReason(err);
    }
}

QString SaveFilterPattern()
{
    const QChar nul(0);
    QString s;
    for (const char16_t* part : {u"画像ファイル", u"*.bmp;*.jpg;*.jpeg;*.png", u"ビットマップファイル", u"*.bmp",
                                 u"ＪＰＥＧファイル", u"*.jpg;*.jpeg", u"ＰＮＧファイル", u"*.png"})
        s += QString::fromUtf16(part) + nul;
    return s;
}

QString CompleteName(const QString& name, int32_t filterIndex, QString* extOut)
{
    QString result = name;
    // ".jpeg" names JPEG as ".jpg" does.
    QString ext = basFunc::IsJpegName(name) ? QStringLiteral(".JPG") : basFunc::LastFourUpper(name);
    auto force = [&](const char* wanted) {
        if (ext != QLatin1String(wanted)) {
            result += QLatin1String(wanted);
            ext = QLatin1String(wanted);
        }
    };
    switch (filterIndex) {
    case 2: force(".BMP"); break;
    case 3: force(".JPG"); break;
    case 4: force(".PNG"); break;
    default:
        if (ext != QLatin1String(".BMP") && ext != QLatin1String(".JPG") && ext != QLatin1String(".PNG"))
            force(".BMP");
        break;
    }
    if (extOut)
        *extOut = ext;
    return result;
}

int WritePicture(const platform::Surface& picture, const QString& name, const QString& ext,
                 const SaveOptions& options, const PictureSource* source, const codec::SaveProgress& progress,
                 int* err, bool* keptBlocks)
{
    if (keptBlocks)
        *keptBlocks = false;
    // Memory running out anywhere in a save fails it; the unfinished file
    // goes with the writer, and the target stays as it was.
    try {
        return WritePictureOrThrow(picture, name, ext, options, source, progress, err, keptBlocks);
    } catch (const std::bad_alloc&) {
        return codec::kCodecNoMemory;
    }
}

int WritePictureOrThrow(const platform::Surface& picture, const QString& name, const QString& ext,
                        const SaveOptions& options, const PictureSource* source, const codec::SaveProgress& progress,
                        int* err, bool* keptBlocks)
{
    const codec::PictureOrigin none;
    const codec::PictureOrigin& origin = source ? source->origin : none;
    if (ext == QLatin1String(".JPG")) {
        if (source && options.JpegKeep != 0) {
            const int rc = codec::SaveJpegKeepingBlocks(picture, origin, source->retouched, name, progress, err);
            if (rc != codec::kCodecNotApplicable) {
                if (keptBlocks)
                    *keptBlocks = rc == codec::kCodecOk;
                return rc;
            }
        }
        const std::vector<codec::MarkerSegment> segments = codec::JpegSegmentsFor(origin, true);
        return codec::DCSavetoJPEG(picture, picture.width(), picture.height(), name, uint8_t(options.JpegRate),
                                      options.JpegPrgrs != 0, progress, err, &segments);
    }
    if (ext == QLatin1String(".PNG")) {
        const std::vector<codec::PngChunk> chunks = codec::PngChunksFor(origin);
        return codec::DCSavetoPNG(picture, picture.width(), picture.height(), name, uint8_t(options.PngRate),
                                     progress, err, &chunks);
    }
    return codec::SaveBitmapFile(picture, name, progress, err);
}

} // namespace files
