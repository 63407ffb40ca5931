// The metadata of a JPEG or PNG carried into every kind of save, with the
// invariants a user relies on: what is written opens again, and a picture
// saved upright says orientation 1, so it never opens turned.
#include "Codec.h"
#include "JpegDecode.h"
#include "Metadata.h"

#include <QByteArray>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QByteArray ReadBack(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

[[noreturn]] void Broken(const char* what)
{
    std::fprintf(stderr, "fuzz_metadata: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString jpg = QStringLiteral("/tmp/fuzz_metadata_%1.jpg").arg(::getpid());
    static const QString png = QStringLiteral("/tmp/fuzz_metadata_%1.png").arg(::getpid());
    codec::PictureOrigin origin;
    codec::ReadMetadata(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), origin);
    const platform::Surface picture = platform::MakeSurface(16, 8);
    for (const bool upright : {true, false}) {
        const std::vector<codec::MarkerSegment> segments = codec::JpegSegmentsFor(origin, upright);
        if (codec::DCSavetoJPEG(picture, 16, 8, jpg, 50, false, {}, nullptr, &segments) != codec::kCodecOk)
            Broken("a JPEG with these segments could not be written");
        const QByteArray written = ReadBack(jpg);
        codec::PictureOrigin again;
        codec::ReadMetadata(written, again);
        if (upright && again.orientation != 1)
            Broken("a picture saved upright says another orientation");
        // Kept in stored order (the block route), it opens turned as its source did.
        platform::Surface back;
        const QSize shown = again.orientation >= 5 ? picture.size().transposed() : picture.size();
        if (!codec::DecodeJpeg(reinterpret_cast<const uint8_t*>(written.constData()), size_t(written.size()), back)
            || back.size() != shown)
            Broken("the JPEG written does not open as it was written");
    }
    const std::vector<codec::PngChunk> chunks = codec::PngChunksFor(origin);
    if (codec::DCSavetoPNG(picture, 16, 8, png, 1, {}, nullptr, &chunks) != codec::kCodecOk)
        Broken("a PNG with these chunks could not be written");
    const QByteArray written = ReadBack(png);
    platform::Surface back;
    if (codec::DecodePng(reinterpret_cast<const uint8_t*>(written.constData()), size_t(written.size()), back) != 0)
        Broken("the PNG written does not open");
    // A JPEG's orientation is applied while it is decoded: its PNG says 1.
    for (const codec::PngChunk& c : chunks) {
        const QByteArray exif = QByteArray("Exif\0\0", 6) + c.data;
        if (origin.format == codec::SourceFormat::Jpeg && c.type == "eXIf"
            && codec::ExifOrientation(reinterpret_cast<const uint8_t*>(exif.constData()), size_t(exif.size())) != 1)
            Broken("the PNG of a decoded JPEG keeps its orientation");
    }
    return 0;
}
