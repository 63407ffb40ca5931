#include "Metadata.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace codec {
using namespace platform;
namespace {

const char kExifId[] = "Exif\0\0";                        // 6 bytes
const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";     // and a NUL: 29 bytes
const char kIccId[] = "ICC_PROFILE";                      // and a NUL: 12 bytes
const char kXmpKeyword[] = "XML:com.adobe.xmp";
constexpr int kApp1 = 0xE1, kApp2 = 0xE2, kCom = 0xFE;
constexpr qsizetype kIccChunk = 65519; // 65533 less the 14-byte chunk header
constexpr uLong kMaxProfile = 16u << 20;

bool StartsWith(const QByteArray& data, const char* id, qsizetype n)
{
    return data.size() >= n && std::memcmp(data.constData(), id, size_t(n)) == 0;
}

uint32_t Get(const uint8_t* p, int bytes, bool le)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= uint32_t(p[le ? i : bytes - 1 - i]) << (8 * i);
    return v;
}

void Put(uint8_t* p, int bytes, bool le, uint32_t v)
{
    for (int i = 0; i < bytes; ++i)
        p[le ? i : bytes - 1 - i] = uint8_t(v >> (8 * i));
}

// The TIFF header's byte order and IFD0's offset; false for no TIFF data.
bool TiffHeader(const uint8_t* t, size_t n, bool* le, uint32_t* ifd0)
{
    if (n < 8 || !((t[0] == 'I' && t[1] == 'I') || (t[0] == 'M' && t[1] == 'M')))
        return false;
    *le = t[0] == 'I';
    if (Get(t + 2, 2, *le) != 42)
        return false;
    *ifd0 = Get(t + 4, 4, *le);
    return true;
}

// The entries of the IFD at offset, and where its link to the next one lies;
// false when the IFD does not fit in the data.
bool IfdBounds(size_t n, const uint8_t* t, bool le, uint32_t offset, uint32_t* count, size_t* link)
{
    if (offset > n || n - offset < 2)
        return false;
    *count = Get(t + offset, 2, le);
    *link = size_t(offset) + 2 + size_t(*count) * 12;
    return *link + 4 <= n;
}

QByteArray Inflate(const char* data, qsizetype n)
{
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        return {};
    QByteArray out;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    s.avail_in = uInt(n);
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < qsizetype(kMaxProfile)) {
        const qsizetype at = out.size();
        out.resize(at + 65536);
        s.next_out = reinterpret_cast<Bytef*>(out.data() + at);
        s.avail_out = 65536;
        rc = inflate(&s, Z_NO_FLUSH);
        out.resize(at + 65536 - qsizetype(s.avail_out));
    }
    inflateEnd(&s);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QByteArray Deflate(const QByteArray& data)
{
    uLongf n = compressBound(uLong(data.size()));
    QByteArray out(qsizetype(n), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.constData()),
                  uLong(data.size()), 9) != Z_OK)
        return {};
    out.resize(qsizetype(n));
    return out;
}

void ReadJpegSegments(const uint8_t* d, size_t n, PictureOrigin& origin)
{
    size_t pos = 2;
    while (pos + 4 <= n) {
        if (d[pos] != 0xFF) {
            ++pos; // a stray byte: the decoder skips to the next marker too
            continue;
        }
        const int marker = d[pos + 1];
        if (marker == 0xFF) {
            ++pos; // fill byte
            continue;
        }
        pos += 2;
        if (marker == 0x00) // no marker: the decoder passes over the pair too
            continue;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        if (marker == 0xDA || marker == 0xD9)
            return; // the pixels begin: metadata comes before them
        const size_t len = size_t(d[pos]) << 8 | d[pos + 1];
        if (len < 2 || len > n - pos)
            return;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC && len >= 8)
            origin.jpegComponents = d[pos + 7];
        const QByteArray payload(reinterpret_cast<const char*>(d + pos + 2), qsizetype(len - 2));
        if ((marker == kApp1 && (StartsWith(payload, kExifId, 6) || StartsWith(payload, kXmpId, 29)))
            || (marker == kApp2 && StartsWith(payload, kIccId, 12) && payload.size() > 14) || marker == kCom)
            origin.jpegSegments.push_back({marker, payload});
        pos += len;
    }
}

void ReadPngChunks(const uint8_t* d, size_t n, PictureOrigin& origin)
{
    static const char* const kept[] = {"iCCP", "sRGB", "gAMA", "cHRM", "pHYs", "tEXt", "zTXt", "iTXt", "eXIf"};
    size_t pos = 8;
    while (pos + 12 <= n) {
        const size_t len = Get(d + pos, 4, false);
        if (len > n - pos - 12)
            return;
        const QByteArray type(reinterpret_cast<const char*>(d + pos + 4), 4);
        if (type == "IEND")
            return;
        for (const char* k : kept)
            if (type == k)
                origin.pngChunks.push_back({type, QByteArray(reinterpret_cast<const char*>(d + pos + 8), qsizetype(len))});
        pos += len + 12;
    }
}

// Whether an ICC profile describes RGB colours (its data colour space);
// an RGB picture may carry no other.
bool RgbProfile(const QByteArray& icc)
{
    return icc.size() >= 128 && icc.mid(16, 4) == "RGB ";
}

// An XMP packet less its embedded previews (xmp:Thumbnails), which would
// still show what was erased.
QByteArray WithoutThumbnails(QByteArray xmp)
{
    for (qsizetype from = xmp.indexOf("<xmp:Thumbnails"); from >= 0; from = xmp.indexOf("<xmp:Thumbnails", from)) {
        const qsizetype open = xmp.indexOf('>', from);
        if (open < 0)
            return {}; // cut short: no telling what it holds
        if (xmp[open - 1] == '/') {
            xmp.remove(from, open + 1 - from);
            continue;
        }
        const qsizetype close = xmp.indexOf("</xmp:Thumbnails>", open);
        if (close < 0)
            return {};
        xmp.remove(from, close + qsizetype(sizeof "</xmp:Thumbnails>") - 1 - from);
    }
    return xmp;
}

// The XMP packet of a PNG's iTXt chunk, when it is stored uncompressed.
QByteArray XmpOfPng(const PictureOrigin& origin)
{
    for (const PngChunk& c : origin.pngChunks) {
        const qsizetype k = qsizetype(sizeof kXmpKeyword); // the keyword and its NUL
        if (c.type != "iTXt" || !StartsWith(c.data, kXmpKeyword, k) || c.data.size() < k + 2 || c.data[k] != 0)
            continue;
        const qsizetype lang = c.data.indexOf('\0', k + 2);
        const qsizetype translated = lang < 0 ? -1 : c.data.indexOf('\0', lang + 1);
        if (translated >= 0)
            return c.data.mid(translated + 1);
    }
    return {};
}

QByteArray ExifOfPng(const PictureOrigin& origin)
{
    for (const PngChunk& c : origin.pngChunks)
        if (c.type == "eXIf")
            return c.data;
    return {};
}

// Where IFD0's Orientation value lies and how many bytes it has: one rule
// for reading and rewriting it, any integer type with one value. False when
// IFD0 cannot be walked whole; *bytes 0 when it holds no such tag.
bool OrientationValue(const uint8_t* t, size_t n, bool* le, size_t* at, int* bytes)
{
    uint32_t ifd0, count;
    size_t link;
    *bytes = 0;
    if (!TiffHeader(t, n, le, &ifd0) || !IfdBounds(n, t, *le, ifd0, &count, &link))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = t + ifd0 + 2 + size_t(i) * 12;
        if (Get(e, 2, *le) != 0x0112 || Get(e + 4, 4, *le) != 1)
            continue;
        const uint32_t type = Get(e + 2, 2, *le);
        const int size = type == 1 || type == 6 ? 1 : type == 3 || type == 8 ? 2 : type == 4 || type == 9 ? 4 : 0;
        if (size) {
            *at = size_t(e - t) + 8;
            *bytes = size;
            return true;
        }
    }
    return true;
}

} // namespace

int ExifOrientation(const uint8_t* d, size_t n)
{
    if (n < 14 || std::memcmp(d, kExifId, 6) != 0)
        return 1;
    bool le;
    size_t at;
    int bytes;
    if (!OrientationValue(d + 6, n - 6, &le, &at, &bytes) || bytes == 0)
        return 1;
    const uint32_t v = Get(d + 6 + at, bytes, le);
    return v >= 1 && v <= 8 ? int(v) : 1;
}

QByteArray ExifForSave(QByteArray tiff, bool orientationToOne)
{
    auto* t = reinterpret_cast<uint8_t*>(tiff.data());
    const size_t n = size_t(tiff.size());
    bool le;
    size_t value;
    int valueBytes;
    // An IFD0 that cannot be walked whole may hold an orientation some
    // reader would apply: no Exif is better than a picture turned again.
    if (!OrientationValue(t, n, &le, &value, &valueBytes))
        return {};
    if (orientationToOne && valueBytes)
        Put(t + value, valueBytes, le, 1);
    uint32_t ifd0 = 0, count = 0;
    size_t link = 0;
    TiffHeader(t, n, &le, &ifd0);
    IfdBounds(n, t, le, ifd0, &count, &link);
    const uint32_t ifd1 = Get(t + link, 4, le);
    if (ifd1 == 0)
        return tiff;
    // IFD1 describes the thumbnail: its picture is blanked and nothing
    // points to it any more.
    Put(t + link, 4, le, 0);
    uint32_t count1;
    size_t link1;
    if (!IfdBounds(n, t, le, ifd1, &count1, &link1))
        return tiff;
    uint32_t at = 0, length = 0;
    for (uint32_t i = 0; i < count1; ++i) {
        const uint8_t* e = t + ifd1 + 2 + size_t(i) * 12;
        const uint32_t tag = Get(e, 2, le);
        const uint32_t value = Get(e + 2, 2, le) == 3 ? Get(e + 8, 2, le) : Get(e + 8, 4, le);
        if (tag == 0x0201)
            at = value;
        else if (tag == 0x0202)
            length = value;
    }
    if (at != 0 && at <= n && length <= n - at) {
        std::memset(t + at, 0, length);
        if (at + length == n)
            tiff.truncate(qsizetype(at));
    }
    return tiff;
}

void ReadMetadata(const QByteArray& bytes, PictureOrigin& origin)
{
    origin.jpegSegments.clear();
    origin.pngChunks.clear();
    origin.orientation = 1;
    origin.jpegComponents = 0;
    const auto* d = reinterpret_cast<const uint8_t*>(bytes.constData());
    const size_t n = size_t(bytes.size());
    static const uint8_t png[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) {
        origin.format = SourceFormat::Jpeg;
        ReadJpegSegments(d, n, origin);
        // The decoder applies the first Exif orientation other than 1.
        for (const MarkerSegment& m : origin.jpegSegments)
            if (m.marker == kApp1) {
                const int o = ExifOrientation(reinterpret_cast<const uint8_t*>(m.data.constData()), size_t(m.data.size()));
                if (o != 1) {
                    origin.orientation = o;
                    break;
                }
            }
    } else if (n >= 8 && std::memcmp(d, png, 8) == 0) {
        origin.format = SourceFormat::Png;
        ReadPngChunks(d, n, origin);
    } else {
        origin.format = SourceFormat::Other;
    }
}

QByteArray IccProfile(const PictureOrigin& origin)
{
    if (origin.format == SourceFormat::Png) {
        for (const PngChunk& c : origin.pngChunks) {
            const qsizetype nul = c.data.indexOf('\0');
            if (c.type == "iCCP" && nul > 0 && nul + 2 <= c.data.size() && c.data[nul + 1] == 0)
                return Inflate(c.data.constData() + nul + 2, c.data.size() - nul - 2);
        }
        return {};
    }
    // A JPEG splits its profile over numbered APP2 segments, in any order.
    std::map<int, QByteArray> parts;
    int total = 0;
    for (const MarkerSegment& m : origin.jpegSegments)
        if (m.marker == kApp2) {
            const int seq = uint8_t(m.data[12]), count = uint8_t(m.data[13]);
            if (seq < 1 || seq > count || (total && count != total) || parts.count(seq))
                return {};
            total = count;
            parts[seq] = m.data.mid(14);
        }
    if (total == 0 || int(parts.size()) != total)
        return {};
    QByteArray profile;
    for (const auto& [seq, part] : parts)
        profile += part;
    return profile;
}

std::vector<MarkerSegment> JpegSegmentsFor(const PictureOrigin& origin, bool upright)
{
    std::vector<MarkerSegment> out;
    auto exif = [&](const QByteArray& tiff, bool toOne) {
        const QByteArray kept = ExifForSave(tiff, toOne);
        const QByteArray data = QByteArray(kExifId, 6) + kept;
        if (!kept.isEmpty() && data.size() <= 65533)
            out.push_back({kApp1, data});
    };
    if (origin.format == SourceFormat::Jpeg) {
        // Encoded again, the picture is RGB; its blocks kept, it has the
        // source's colours, grey or YCbCr (RGB).
        const QByteArray icc = IccProfile(origin);
        const bool profileFits = RgbProfile(icc)
            || (!upright && origin.jpegComponents == 1 && icc.size() >= 128 && icc.mid(16, 4) == "GRAY");
        for (const MarkerSegment& m : origin.jpegSegments) {
            if (m.marker == kApp1 && StartsWith(m.data, kExifId, 6))
                exif(m.data.mid(6), upright && origin.orientation != 1);
            else if (m.marker == kApp1 && StartsWith(m.data, kXmpId, 29)) {
                if (const QByteArray xmp = WithoutThumbnails(m.data.mid(29)); !xmp.isEmpty())
                    out.push_back({kApp1, QByteArray(kXmpId, 29) + xmp});
            }
            else if (m.marker != kApp2 || profileFits)
                out.push_back(m);
        }
        return out;
    }
    if (origin.format != SourceFormat::Png)
        return out;
    // A PNG's orientation is not applied when it is read: its pixels are
    // written as they were shown, so a JPEG of them says 1 and opens so.
    if (const QByteArray tiff = ExifOfPng(origin); !tiff.isEmpty())
        exif(tiff, true);
    if (const QByteArray xmp = WithoutThumbnails(XmpOfPng(origin)); !xmp.isEmpty() && xmp.size() <= 65533 - 29)
        out.push_back({kApp1, QByteArray(kXmpId, 29) + xmp});
    QByteArray icc = IccProfile(origin);
    if (!RgbProfile(icc))
        icc.clear();
    const qsizetype parts = (icc.size() + kIccChunk - 1) / kIccChunk;
    for (qsizetype i = 0; i < parts && parts <= 255; ++i) {
        QByteArray head(kIccId, 12);
        head += char(i + 1);
        head += char(parts);
        out.push_back({kApp2, head + icc.mid(i * kIccChunk, kIccChunk)});
    }
    return out;
}

std::vector<PngChunk> PngChunksFor(const PictureOrigin& origin)
{
    std::vector<PngChunk> out;
    if (origin.format == SourceFormat::Png) {
        for (const PngChunk& c : origin.pngChunks) {
            if (c.type == "eXIf") {
                if (const QByteArray kept = ExifForSave(c.data, false); !kept.isEmpty())
                    out.push_back({c.type, kept});
            } else if (c.type == "iCCP") {
                if (RgbProfile(IccProfile(origin)))
                    out.push_back(c);
            } else if (c.type == "iTXt" && StartsWith(c.data, kXmpKeyword, sizeof kXmpKeyword)) {
                if (const QByteArray kept = WithoutThumbnails(c.data); !kept.isEmpty())
                    out.push_back({c.type, kept});
            } else {
                out.push_back(c);
            }
        }
        return out;
    }
    if (origin.format != SourceFormat::Jpeg)
        return out;
    if (const QByteArray icc = IccProfile(origin); RgbProfile(icc))
        if (const QByteArray packed = Deflate(icc); !packed.isEmpty())
            out.push_back({"iCCP", QByteArray("ICC profile", 12) + '\0' + packed});
    for (const MarkerSegment& m : origin.jpegSegments) {
        if (m.marker == kApp1 && StartsWith(m.data, kExifId, 6)) {
            if (const QByteArray kept = ExifForSave(m.data.mid(6), origin.orientation != 1); !kept.isEmpty())
                out.push_back({"eXIf", kept});
        } else if (m.marker == kApp1 && StartsWith(m.data, kXmpId, 29)) {
            if (const QByteArray xmp = WithoutThumbnails(m.data.mid(29)); !xmp.isEmpty())
                out.push_back({"iTXt", QByteArray(kXmpKeyword, sizeof kXmpKeyword) + QByteArray(4, '\0') + xmp});
        }
    }
    return out;
}

} // namespace codec
