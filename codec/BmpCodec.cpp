#include "AtomicFile.h"
#include "Codec.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace codec {
using namespace platform;
namespace {

void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

} // namespace

int SaveBitmapFile(const Surface& dc, const QString& file, const SaveProgress& progress, int* sysErrno)
{
    if (dc.isNull() || dc.format() != QImage::Format_RGB32)
        return kCodecBadArguments;
    const uint32_t w = static_cast<uint32_t>(dc.width());
    const uint32_t h = static_cast<uint32_t>(dc.height());
    const uint32_t rowBytes = (w * 3 + 3) & ~3u;
    const uint64_t imageBytes = uint64_t(rowBytes) * h;
    if (imageBytes + 54 > 0xFFFFFFFFu)
        return kCodecBadArguments;

    AtomicFile out(file);
    if (!out.Open()) {
        if (sysErrno)
            *sysErrno = out.Errno();
        return kCodecCannotCreate;
    }
    uint8_t header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, uint32_t(54 + imageBytes));
    Put32(header + 10, 54);
    Put32(header + 14, 40);
    Put32(header + 18, w);
    Put32(header + 22, h); // positive: bottom row first
    Put16(header + 26, 1);
    Put16(header + 28, 24);
    Put32(header + 34, uint32_t(imageBytes));
    Put32(header + 38, 3780); // 96 dots per inch
    Put32(header + 42, 3780);

    FILE* fp = out.Stream();
    bool ok = std::fwrite(header, 1, sizeof header, fp) == sizeof header;
    std::vector<uint8_t> row(rowBytes, 0);
    for (uint32_t i = 0; ok && i < h; ++i) {
        const uint8_t* src = dc.constScanLine(int(h - 1 - i));
        for (uint32_t x = 0; x < w; ++x)
            std::memcpy(&row[x * 3], src + x * 4, 3);
        ok = std::fwrite(row.data(), 1, rowBytes, fp) == rowBytes;
        if (progress && (i & 127) == 127 && !progress(int(i + 1), int(h)))
            return kCodecCancelled; // the temporary file goes with `out`
    }
    const int writeErrno = errno;
    if (!ok || !out.Commit()) {
        if (sysErrno)
            *sysErrno = out.Errno() ? out.Errno() : writeErrno;
        return kCodecWriteFailed;
    }
    if (progress)
        progress(int(h), int(h));
    return kCodecOk;
}

} // namespace codec
