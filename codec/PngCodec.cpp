// PNG through libpng. libpng reports errors by longjmp: the functions that
// call setjmp below hold only plain C data, so the jump never skips a C++
// destructor. Everything with a destructor lives in their callers.
#include "AtomicFile.h"
#include "Codec.h"
#include "FileRead.h"
#include "Limits.h"
#include "PngWriter.h"

#include <QFile>

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace codec {
using namespace platform;
namespace {

struct MemorySource {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n)
{
    auto* src = static_cast<MemorySource*>(png_get_io_ptr(png));
    if (n > src->size - src->pos)
        png_error(png, "truncated");
    std::memcpy(out, src->data + src->pos, n);
    src->pos += n;
}

// What the decoder needs to know about its destination; plain data only.
struct PngTarget {
    uchar* bits;     // the surface's first row, or null to ask for a surface
    qsizetype stride;
    int width;
    int height;
};

// Callback that makes the destination once the header is known (the memory
// route sizes its surface from the file). Returns false to refuse the size.
using MakeTarget = bool (*)(void* ctx, uint32_t w, uint32_t h, PngTarget* t);

int ReadPngCore(MemorySource* mem, MakeTarget make, void* ctx, const SaveProgress* progress)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (!png)
        return 2;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return 2;
    }
    png_bytep* volatile rows = nullptr;
    uint8_t* volatile scratch = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        std::free(rows);
        std::free(scratch);
        png_destroy_read_struct(&png, &info, nullptr);
        return 3;
    }
    png_set_read_fn(png, mem, ReadFromMemory);
    // A damaged chunk means a damaged file, also where it is an ancillary one.
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_ERROR_QUIT);
    // Bound what a text or profile chunk may make us allocate.
    png_set_chunk_malloc_max(png, 16u << 20);
    png_set_user_limits(png, 0x7fffffffu, 0x7fffffffu);
    png_read_info(png, info);

    png_uint_32 w = 0, h = 0;
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &colour, &interlace, nullptr, nullptr);
    if (!PictureSizeAllowed(w, h))
        png_error(png, "too large");
    PngTarget target{};
    if (!make(ctx, w, h, &target) || !target.bits)
        png_error(png, "no surface");

    png_set_expand(png); // palette and low grey depths to 8 bits, tRNS to alpha
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    const bool hasAlpha = (colour & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    if (!hasAlpha)
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(w) * 4)
        png_error(png, "unexpected row size");

    const bool direct = target.width == static_cast<int>(w) && target.height == static_cast<int>(h);
    if (direct) {
        rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
        if (!rows)
            png_error(png, "out of memory");
        for (png_uint_32 y = 0; y < h; ++y)
            rows[y] = target.bits + static_cast<qsizetype>(y) * target.stride;
    } else {
        // Decode whole, then copy the part that fits the surface.
        scratch = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(w) * h * 4));
        rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
        if (!scratch || !rows)
            png_error(png, "out of memory");
        for (png_uint_32 y = 0; y < h; ++y)
            rows[y] = scratch + static_cast<size_t>(y) * w * 4;
    }
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) {
            png_read_row(png, rows[y], nullptr);
            if (progress && *progress && (y & 63) == 63
                && !(*progress)(static_cast<int>((uint64_t(pass) * h + y + 1) / passes), static_cast<int>(h)))
                png_error(png, "cancelled");
        }
    png_read_end(png, nullptr);

    const int copyW = static_cast<int>(w) < target.width ? static_cast<int>(w) : target.width;
    const int copyH = static_cast<int>(h) < target.height ? static_cast<int>(h) : target.height;
    for (int y = 0; y < copyH; ++y) {
        uint8_t* dst = target.bits + static_cast<qsizetype>(y) * target.stride;
        if (!direct)
            std::memcpy(dst, rows[y], static_cast<size_t>(copyW) * 4);
        CompositeOverWhite(dst, static_cast<size_t>(copyW));
    }
    std::free(rows);
    std::free(scratch);
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
}

bool IntoExisting(void* ctx, uint32_t, uint32_t, PngTarget* t)
{
    auto* dc = static_cast<Surface*>(ctx);
    if (dc->isNull() || dc->format() != QImage::Format_RGB32)
        return false;
    *t = PngTarget{dc->bits(), dc->bytesPerLine(), dc->width(), dc->height()};
    return true;
}

bool IntoNew(void* ctx, uint32_t w, uint32_t h, PngTarget* t)
{
    auto* out = static_cast<Surface*>(ctx);
    *out = MakeSurface(w, h);
    if (out->isNull())
        return false;
    *t = PngTarget{out->bits(), out->bytesPerLine(), out->width(), out->height()};
    return true;
}

} // namespace

int PngLevelForRate(int rate)
{
    switch (rate) {
    case 1: return 1;
    case 2: return 9;
    default: return 6;
    }
}

int PngFiltersForLevel(int level)
{
    // The fastest level is about speed: the adaptive filter search costs more
    // than it saves there.
    return level <= 1 ? PNG_FILTER_SUB : PNG_ALL_FILTERS;
}

int16_t DCReadPNG(const QString& file, Surface& dc)
{
    QByteArray data;
    if (ReadRegularFile(file, data) != ReadStatus::Ok)
        return 1;
    MemorySource src{reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()), 0};
    return static_cast<int16_t>(ReadPngCore(&src, IntoExisting, &dc, nullptr));
}

int16_t DecodePng(const uint8_t* data, size_t size, Surface& out, const SaveProgress& progress)
{
    MemorySource src{data, size, 0};
    const int rc = ReadPngCore(&src, IntoNew, &out, &progress);
    if (rc != 0)
        out = Surface();
    return static_cast<int16_t>(rc);
}

int DCSavetoPNG(const Surface& dc, int32_t width, int32_t height, const QString& file, uint8_t rate,
                const SaveProgress& progress, int* sysErrno, const std::vector<PngChunk>* chunks)
{
    if (dc.isNull() || dc.format() != QImage::Format_RGB32 || width <= 0 || height <= 0
        || width > dc.width() || height > dc.height())
        return kCodecBadArguments;
    AtomicFile out(file);
    if (!out.Open()) {
        if (sysErrno)
            *sysErrno = out.Errno();
        return kCodecCannotCreate;
    }
    errno = 0;
    int rc = WriteParallelPng(out.Stream(), dc.constBits(), dc.bytesPerLine(), width, height, rate, &progress, chunks);
    if (rc == kCodecOk && !out.Commit())
        rc = kCodecWriteFailed;
    if (rc != kCodecOk && sysErrno)
        *sysErrno = out.Errno() ? out.Errno() : errno;
    if (rc == kCodecOk && progress)
        progress(height, height);
    return rc;
}

} // namespace codec
