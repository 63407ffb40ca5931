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
#include <new>

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

// What the decoder writes into, made once the header is known (the surface
// is sized from the file); plain data only.
struct PngTarget {
    uchar* bits;
    qsizetype stride;
};

// A surface of w x h for the decoder; false when memory for it cannot be had.
bool MakeTarget(Surface* out, uint32_t w, uint32_t h, PngTarget* t)
{
    *out = MakeSurface(w, h);
    if (out->isNull())
        return false;
    *t = PngTarget{out->bits(), out->bytesPerLine()};
    return true;
}

// 0 decoded; 2 no decoder; 3 damaged, cut short, refused or cancelled;
// kPngNoMemory when the picture's memory cannot be had.
constexpr int kPngNoMemory = 4;

// libpng's own allocations (rows, inflate state, chunks) through malloc, so
// that one that fails is known as memory, not taken for a damaged file.
png_voidp PngMalloc(png_structp png, png_alloc_size_t n)
{
    void* p = std::malloc(n);
    if (!p)
        *static_cast<volatile bool*>(png_get_mem_ptr(png)) = true;
    return p;
}
void PngFree(png_structp, png_voidp p) { std::free(p); }

int ReadPngCore(MemorySource* mem, Surface* out, const SaveProgress* progress)
{
    volatile bool outOfMemory = false;
    png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning,
                                               const_cast<bool*>(&outOfMemory), PngMalloc, PngFree);
    if (!png)
        return 2;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return 2;
    }
    png_bytep* volatile rows = nullptr;
    volatile int failure = 3;
    if (setjmp(png_jmpbuf(png))) {
        std::free(rows);
        png_destroy_read_struct(&png, &info, nullptr);
        return outOfMemory ? kPngNoMemory : failure;
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
    if (!MakeTarget(out, w, h, &target)) {
        failure = kPngNoMemory;
        png_error(png, "no memory");
    }

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

    rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * h));
    if (!rows) {
        failure = kPngNoMemory;
        png_error(png, "no memory");
    }
    for (png_uint_32 y = 0; y < h; ++y)
        rows[y] = target.bits + static_cast<qsizetype>(y) * target.stride;
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y) {
            png_read_row(png, rows[y], nullptr);
            if (progress && *progress && (y & 63) == 63
                && !(*progress)(static_cast<int>((uint64_t(pass) * h + y + 1) / passes), static_cast<int>(h)))
                png_error(png, "cancelled");
        }
    png_read_end(png, nullptr);

    for (png_uint_32 y = 0; y < h; ++y)
        CompositeOverWhite(rows[y], static_cast<size_t>(w));
    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
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

int16_t DecodePng(const uint8_t* data, size_t size, Surface& out, const SaveProgress& progress)
{
    MemorySource src{data, size, 0};
    const int rc = ReadPngCore(&src, &out, &progress);
    if (rc != 0)
        out = Surface();
    if (rc == kPngNoMemory)
        throw std::bad_alloc(); // the loader's callers tell this from damage
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
