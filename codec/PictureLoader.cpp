#include "PictureLoader.h"

#include "JpegDecode.h"
#include "Limits.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <cstdlib>

namespace codec {
using namespace platform;
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

uint32_t Le32(const QByteArray& d, int at)
{
    return uint32_t(uchar(d[at])) | uint32_t(uchar(d[at + 1])) << 8 | uint32_t(uchar(d[at + 2])) << 16
        | uint32_t(uchar(d[at + 3])) << 24;
}

// A run-length bitmap (RLE8, or RLE4 when rle4) must reach its end-of-bitmap
// mark or its last row before the data ends: Qt's reader shows one cut short
// as if it were whole. Nor can it claim more pixels than its data could
// describe: two bytes code at most 255 pixels, and a 1-KB file claiming
// 16000 x 16000 would otherwise cost a gigabyte and seconds of filling.
bool RunLengthComplete(const QByteArray& d, uint32_t offset, int64_t width, int64_t height, bool rle4)
{
    if (offset >= uint32_t(d.size()) || width <= 0 || height <= 0)
        return false;
    const int64_t dataBytes = d.size() - int64_t(offset);
    if (width * height > std::max<int64_t>(65536, dataBytes * 128))
        return false;
    qsizetype p = qsizetype(offset);
    int64_t y = 0;
    while (p + 1 < d.size()) {
        const uchar count = uchar(d[p]), value = uchar(d[p + 1]);
        p += 2;
        if (count != 0)
            continue;
        switch (value) {
        case 0: ++y; break;      // end of line
        case 1: return true;     // end of bitmap
        case 2:                  // delta
            if (p + 2 > d.size())
                return false;
            y += uchar(d[p + 1]);
            p += 2;
            break;
        default: {               // an absolute run, padded to a whole word
            const qsizetype bytes = rle4 ? (value + 1) / 2 : value;
            p += (bytes + 1) & ~qsizetype(1);
            if (p > d.size())
                return false;
            break;
        }
        }
        if (y >= height)
            return true;
    }
    return false;
}

// Qt's reader shows an uncompressed bitmap that ends early with its missing
// rows blank, as if the file were whole. Refuse such a file instead.
bool BitmapComplete(QIODevice* device)
{
    const QByteArray h = device->peek(34);
    if (h.size() < 34 || Le32(h, 14) < 40)
        return true; // too short for our check, or an old header: Qt decides
    const uint32_t offset = Le32(h, 10);
    const int64_t width = int32_t(Le32(h, 18));
    const int64_t height = std::llabs(int64_t(int32_t(Le32(h, 22))));
    const uint32_t bits = uint32_t(uchar(h[28])) | uint32_t(uchar(h[29])) << 8;
    const uint32_t compression = Le32(h, 30);
    if (compression == 1 || compression == 2)
        return RunLengthComplete(device->peek(device->size()), offset, width, height, compression == 2);
    if (compression != 0 && compression != 3)
        return true;
    if (width <= 0 || bits == 0 || bits > 32)
        return false;
    const int64_t rowBytes = ((width * bits + 31) / 32) * 4;
    return device->size() >= int64_t(offset) + rowBytes * height;
}

// Checks a GIF up to the end of its first frame's data. Qt's reader shows a
// first frame that ends early as if it were whole, and makes a picture as
// large as the screen and frame sizes claim however little data follows:
// 36 bytes can ask for 178 megapixels and seconds of filling. LZW data of
// n bytes holds at most 8n/3 codes of at most 4096 pixels each, so a picture
// beyond that (and beyond 65536 pixels) cannot be what the file describes.
bool GifPlausible(QIODevice* device)
{
    const QByteArray d = device->peek(device->size());
    qsizetype p = 13;
    if (d.size() < p)
        return false;
    auto le16 = [&](qsizetype at) { return int64_t(uchar(d[at]) | uchar(d[at + 1]) << 8); };
    int64_t width = le16(6), height = le16(8);
    auto skipTable = [&](uchar flags) {
        if (flags & 0x80)
            p += 3 * (qsizetype(1) << ((flags & 7) + 1));
    };
    // Returns the bytes of data in the sub-blocks, or -1 when they end early.
    auto skipSubBlocks = [&]() -> int64_t {
        int64_t bytes = 0;
        while (p < d.size()) {
            const uchar n = uchar(d[p++]);
            if (n == 0)
                return bytes;
            p += n;
            bytes += n;
        }
        return -1;
    };
    skipTable(uchar(d[10]));
    while (p < d.size()) {
        const uchar b = uchar(d[p++]);
        if (b == 0x21) { // extension
            if (++p > d.size() || skipSubBlocks() < 0)
                return false;
        } else if (b == 0x2C) { // the first image
            if (p + 9 > d.size())
                return false;
            width = std::max(width, le16(p) + le16(p + 4));
            height = std::max(height, le16(p + 2) + le16(p + 6));
            const uchar flags = uchar(d[p + 8]);
            p += 9;
            skipTable(flags);
            ++p; // LZW minimum code size
            if (p > d.size())
                return false;
            const int64_t data = skipSubBlocks();
            if (data < 0)
                return false;
            return width * height <= std::max<int64_t>(65536, data * 8 / 3 * 4096);
        } else {
            return false;
        }
    }
    return false;
}

bool LoadWithQt(QIODevice* device, Surface& out, LoadReport& report)
{
    RaiseQtAllocationLimit();
    QImageReader reader(device);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    if (format != "bmp" && format != "gif" && format != "ico")
        return false;
    if (format == "bmp" && !BitmapComplete(device))
        return false;
    if (format == "gif" && !GifPlausible(device))
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
    if (size.isValid() && !PictureSizeAllowed(size.width(), size.height())) {
        report.tooLarge = true;
        return false;
    }
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
    // ARGB32 words lie in memory as blue, green, red, alpha: the PNG route's
    // layout, so both routes share one rounding.
    Surface out = image.convertToFormat(QImage::Format_ARGB32);
    if (out.isNull())
        return out;
    for (int y = 0; y < out.height(); ++y)
        CompositeOverWhite(out.scanLine(y), size_t(out.width()));
    return out.convertToFormat(QImage::Format_RGB32);
}

QString LoadFailureReason(const LoadReport& report)
{
    if (report.read != ReadStatus::Ok)
        return ReadStatusReason(report.read);
    if (report.tooLarge)
        return QStringLiteral("画像が大きすぎます。");
    if (report.noMemory)
        return QStringLiteral("メモリが足りません。");
    return QStringLiteral("対応していない形式か、壊れたファイルです。");
}

bool LoadRuntimePictureData(const QByteArray& data, Surface& out, LoadReport* report,
                            const SaveProgress& progress)
{
    LoadReport local;
    LoadReport& r = report ? *report : local;
    r = LoadReport{};
    out = Surface();
    if (LooksLikeJpeg(data)) {
        JpegDecodeInfo info;
        const bool ok = DecodeJpeg(reinterpret_cast<const uint8_t*>(data.constData()),
                                   static_cast<size_t>(data.size()), out, &info, progress);
        r.tooLarge = info.tooLarge;
        r.truncated = info.truncated;
        r.noMemory = info.noMemory;
        return ok;
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    if (!LoadWithQt(&buffer, out, r)) {
        out = Surface();
        return false;
    }
    return true;
}

} // namespace codec
