// JPEG through libjpeg-turbo. As with libpng, errors arrive by longjmp, so the
// functions that call setjmp hold only plain C data.
#include "AtomicFile.h"
#include "Codec.h"
#include "JpegDecode.h"
#include "Limits.h"

#include <QFile>
#include <QTransform>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace platform {
namespace {

struct JpegErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
    int savedErrno;
};

void JpegFail(j_common_ptr c)
{
    auto* e = reinterpret_cast<JpegErrors*>(c->err);
    e->savedErrno = errno;
    std::longjmp(e->jump, 1);
}

void JpegQuiet(j_common_ptr, int) {}

struct JpegWriteJob {
    const uchar* bits;
    qsizetype stride;
    int width;
    int height;
    int quality;
    bool progressive;
    const SaveProgress* progress;
};

int WriteJpegCore(FILE* fp, const JpegWriteJob* job, int* savedErrno)
{
    jpeg_compress_struct cinfo;
    JpegErrors err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegFail;
    err.pub.emit_message = JpegQuiet;
    err.savedErrno = 0;
    if (setjmp(err.jump)) {
        const bool io = err.pub.msg_code == JERR_FILE_WRITE;
        *savedErrno = err.savedErrno;
        jpeg_destroy_compress(&cinfo);
        return io ? kCodecWriteFailed : kCodecEncoderFailed;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, fp);
    cinfo.image_width = static_cast<JDIMENSION>(job->width);
    cinfo.image_height = static_cast<JDIMENSION>(job->height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_BGRX; // our words as they lie in memory
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job->quality, TRUE);
    if (job->progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW rows[16];
    while (cinfo.next_scanline < cinfo.image_height) {
        const JDIMENSION first = cinfo.next_scanline;
        JDIMENSION n = cinfo.image_height - first;
        if (n > 16)
            n = 16;
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = const_cast<JSAMPROW>(job->bits + static_cast<qsizetype>(first + i) * job->stride);
        jpeg_write_scanlines(&cinfo, rows, n);
        if (job->progress && *job->progress && (first & 127) == 0)
            (*job->progress)(static_cast<int>(cinfo.next_scanline), job->height);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return kCodecOk;
}

// ---- decoding ------------------------------------------------------------

struct ScanLimit {
    jpeg_progress_mgr pub;
    int maxScans;
};

// A progressive file may hold any number of scans, each of which makes the
// decoder pass over the whole coefficient buffer: a small file with
// thousands of them takes minutes. libjpeg-turbo's own tools stop at a limit.
void CheckScans(j_common_ptr c)
{
    auto* d = reinterpret_cast<j_decompress_ptr>(c);
    auto* limit = reinterpret_cast<ScanLimit*>(c->progress);
    if (c->is_decompressor && d->input_scan_number > limit->maxScans) {
        c->err->msg_code = JERR_NOT_COMPILED; // any code: we only need to stop
        c->err->error_exit(c);
    }
}

struct DecodeTarget {
    uchar* bits;
    qsizetype stride;
};
using MakeDecodeTarget = bool (*)(void* ctx, uint32_t w, uint32_t h, DecodeTarget* t);

uint16_t Read16(const uint8_t* p, bool le) { return le ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]); }
uint32_t Read32(const uint8_t* p, bool le)
{
    return le ? (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24)
              : (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]));
}

// The Orientation tag (0x0112) of IFD0 in an Exif APP1 segment; 1 when absent.
int ExifOrientation(const uint8_t* d, size_t n)
{
    if (n < 14 || std::memcmp(d, "Exif\0\0", 6) != 0)
        return 1;
    const uint8_t* t = d + 6;
    const size_t tn = n - 6;
    bool le;
    if (t[0] == 'I' && t[1] == 'I')
        le = true;
    else if (t[0] == 'M' && t[1] == 'M')
        le = false;
    else
        return 1;
    const uint32_t ifd = Read32(t + 4, le);
    if (ifd > tn || tn - ifd < 2)
        return 1;
    const uint16_t count = Read16(t + ifd, le);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = ifd + 2 + size_t(i) * 12;
        if (e + 12 > tn)
            break;
        if (Read16(t + e, le) == 0x0112) {
            const int v = Read16(t + e + 8, le);
            return v >= 1 && v <= 8 ? v : 1;
        }
    }
    return 1;
}

// Every 8 x 8 block of every component costs at least one bit of coded data
// (its DC coefficient has no run-length form, in any scan). A file far
// smaller than that is a header with next to nothing behind it: decoding it
// would still cost the full picture's time and memory, so it is refused. A
// photograph cut short keeps far more than a sixteenth of this minimum.
size_t MinimumJpegBytes(const jpeg_decompress_struct* c)
{
    int maxH = 1, maxV = 1;
    for (int i = 0; i < c->num_components; ++i) {
        maxH = c->comp_info[i].h_samp_factor > maxH ? c->comp_info[i].h_samp_factor : maxH;
        maxV = c->comp_info[i].v_samp_factor > maxV ? c->comp_info[i].v_samp_factor : maxV;
    }
    uint64_t blocks = 0;
    for (int i = 0; i < c->num_components; ++i) {
        const uint64_t w = (uint64_t(c->image_width) * c->comp_info[i].h_samp_factor + maxH - 1) / maxH;
        const uint64_t h = (uint64_t(c->image_height) * c->comp_info[i].v_samp_factor + maxV - 1) / maxV;
        blocks += ((w + 7) / 8) * ((h + 7) / 8);
    }
    return static_cast<size_t>(blocks / 8);
}

int DecodeJpegCore(const uint8_t* data, size_t size, MakeDecodeTarget make, void* ctx,
                   int* orientation)
{
    jpeg_decompress_struct cinfo;
    JpegErrors err;
    ScanLimit limit;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegFail;
    err.pub.emit_message = JpegQuiet; // warnings (a truncated file among them) are not fatal
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 1;
    }
    jpeg_create_decompress(&cinfo);
    limit.pub.progress_monitor = CheckScans;
    limit.maxScans = kJpegMaxScans;
    cinfo.progress = &limit.pub;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (!PictureSizeAllowed(cinfo.image_width, cinfo.image_height))
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
    if (size < MinimumJpegBytes(&cinfo) / 16)
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);

    *orientation = 1;
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        if (m->marker == JPEG_APP0 + 1) {
            const int o = ExifOrientation(m->data, m->data_length);
            if (o != 1) {
                *orientation = o;
                break;
            }
        }

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA; // BGRA sets the fourth byte to 0xFF
    jpeg_start_decompress(&cinfo);
    DecodeTarget target{};
    if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height
        || cinfo.output_components != 4
        || !make(ctx, cinfo.output_width, cinfo.output_height, &target))
        ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        JDIMENSION n = cinfo.output_height - first;
        if (n > 16)
            n = 16;
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = target.bits + static_cast<qsizetype>(first + i) * target.stride;
        if (jpeg_read_scanlines(&cinfo, rows, n) == 0)
            break;
    }
    if (cmyk) {
        // Adobe writes CMYK inverted; others write it plain.
        const bool inverted = cinfo.saw_Adobe_marker;
        for (JDIMENSION y = 0; y < cinfo.output_height; ++y) {
            uint8_t* p = target.bits + static_cast<qsizetype>(y) * target.stride;
            for (JDIMENSION x = 0; x < cinfo.output_width; ++x, p += 4) {
                unsigned c = p[0], m = p[1], yy = p[2], k = p[3];
                if (!inverted) {
                    c = 255 - c; m = 255 - m; yy = 255 - yy; k = 255 - k;
                }
                const uint8_t r = uint8_t((c * k + 127) / 255), g = uint8_t((m * k + 127) / 255),
                              b = uint8_t((yy * k + 127) / 255);
                p[0] = b; p[1] = g; p[2] = r; p[3] = 255;
            }
        }
    }
    // A file that ends early has been padded by the decoder; what it held is shown.
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

bool IntoNewSurface(void* ctx, uint32_t w, uint32_t h, DecodeTarget* t)
{
    auto* out = static_cast<Surface*>(ctx);
    *out = MakeSurface(w, h);
    if (out->isNull())
        return false;
    *t = DecodeTarget{out->bits(), out->bytesPerLine()};
    return true;
}

} // namespace

int JpegQualityForRate(int rate)
{
    const int q = 101 - rate;
    return q < 1 ? 1 : (q > 100 ? 100 : q);
}

int DCSavetoJPEG(const Surface& dc, int32_t width, int32_t height, const QString& file, uint8_t rate,
                 bool progressive, const SaveProgress& progress, int* sysErrno)
{
    if (dc.isNull() || dc.format() != QImage::Format_RGB32 || width <= 0 || height <= 0
        || width > dc.width() || height > dc.height() || width > JPEG_MAX_DIMENSION
        || height > JPEG_MAX_DIMENSION)
        return kCodecBadArguments;
    AtomicFile out(file);
    if (!out.Open()) {
        if (sysErrno)
            *sysErrno = out.Errno();
        return kCodecCannotCreate;
    }
    const JpegWriteJob job{dc.constBits(), dc.bytesPerLine(), width, height,
                           JpegQualityForRate(rate), progressive, &progress};
    int savedErrno = 0;
    int rc = WriteJpegCore(out.Stream(), &job, &savedErrno);
    if (rc == kCodecOk && !out.Commit()) {
        rc = kCodecWriteFailed;
        savedErrno = out.Errno();
    }
    if (rc != kCodecOk && sysErrno)
        *sysErrno = savedErrno;
    if (rc == kCodecOk && progress)
        progress(height, height);
    return rc;
}

Surface ApplyExifOrientation(Surface image, int orientation)
{
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.transformed(QTransform().rotate(180));
    case 4: return image.mirrored(false, true);
    case 5: return image.mirrored(false, true).transformed(QTransform().rotate(90));
    case 6: return image.transformed(QTransform().rotate(90));
    case 7: return image.mirrored(true, false).transformed(QTransform().rotate(90));
    case 8: return image.transformed(QTransform().rotate(270));
    default: return image;
    }
}

bool DecodeJpeg(const uint8_t* data, size_t size, Surface& out)
{
    int orientation = 1;
    out = Surface();
    if (DecodeJpegCore(data, size, IntoNewSurface, &out, &orientation) != 0) {
        out = Surface();
        return false;
    }
    if (orientation != 1) {
        out = ApplyExifOrientation(std::move(out), orientation);
        if (!out.isNull() && out.format() != QImage::Format_RGB32)
            out = out.convertToFormat(QImage::Format_RGB32);
    }
    return !out.isNull();
}

} // namespace platform
