#include "PictureLoader.h"

#include "JpegDecode.h"
#include "Limits.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>

namespace platform {
namespace {

void RaiseQtAllocationLimit()
{
    // Qt refuses pictures over 128 MB unless told otherwise; our own limit is
    // the pixel buffer's (kMaxPixels words), and a reader must never allocate
    // more than that.
    static const bool once = [] {
        QImageReader::setAllocationLimit(int((kMaxPixels * 4) >> 20) + 1);
        return true;
    }();
    (void)once;
}

bool LooksLikeJpeg(const QByteArray& head)
{
    return head.size() >= 3 && uchar(head[0]) == 0xFF && uchar(head[1]) == 0xD8
        && uchar(head[2]) == 0xFF;
}

bool LoadWithQt(QIODevice* device, Surface& out)
{
    RaiseQtAllocationLimit();
    QImageReader reader(device);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    if (format != "bmp" && format != "gif" && format != "ico")
        return false;
    if (format == "ico") {
        // The largest image of the icon.
        int best = 0;
        qint64 bestArea = -1;
        const int count = reader.imageCount();
        for (int i = 0; i < count && i < 256; ++i) {
            if (!reader.jumpToImage(i))
                break;
            const QSize s = reader.size();
            const qint64 area = qint64(s.width()) * s.height();
            if (area > bestArea) {
                bestArea = area;
                best = i;
            }
        }
        if (!reader.jumpToImage(best))
            return false;
    }
    const QSize size = reader.size();
    if (size.isValid() && !PictureSizeAllowed(size.width(), size.height()))
        return false;
    QImage image = reader.read();
    if (image.isNull() || !PictureSizeAllowed(image.width(), image.height()))
        return false;
    out = OverWhite(image);
    return !out.isNull();
}

} // namespace

Surface OverWhite(const QImage& image)
{
    if (!image.hasAlphaChannel())
        return image.convertToFormat(QImage::Format_RGB32);
    Surface out = MakeSurface(image.width(), image.height());
    if (out.isNull())
        return out;
    out.fill(Qt::white);
    QPainter painter(&out);
    painter.drawImage(0, 0, image);
    return out;
}

bool LoadRuntimePictureData(const QByteArray& data, Surface& out)
{
    out = Surface();
    if (LooksLikeJpeg(data))
        return DecodeJpeg(reinterpret_cast<const uint8_t*>(data.constData()),
                          static_cast<size_t>(data.size()), out);
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    if (!LoadWithQt(&buffer, out)) {
        out = Surface();
        return false;
    }
    return true;
}

bool LoadRuntimePicture(const QString& path, Surface& out)
{
    out = Surface();
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.peek(3);
    if (LooksLikeJpeg(head)) {
        const qint64 size = file.size();
        if (size <= 0)
            return false;
        // Mapping avoids a copy of the compressed file.
        if (uchar* mapped = file.map(0, size))
            return DecodeJpeg(mapped, static_cast<size_t>(size), out);
        const QByteArray data = file.readAll();
        return DecodeJpeg(reinterpret_cast<const uint8_t*>(data.constData()),
                          static_cast<size_t>(data.size()), out);
    }
    if (!LoadWithQt(&file, out)) {
        out = Surface();
        return false;
    }
    return true;
}

} // namespace platform
