// JPEG through libjpeg-turbo. As with libpng, errors arrive by longjmp, so the
// functions that call setjmp hold only plain C data.
#include "AtomicFile.h"
#include "Codec.h"
#include "JpegDecode.h"
#include "Limits.h"
#include "Metadata.h"

#include <QFile>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace codec {
using namespace platform;
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
    const std::vector<MarkerSegment>* segments;
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
        const int code = err.pub.msg_code;
        *savedErrno = err.savedErrno;
        jpeg_destroy_compress(&cinfo);
        return code == JERR_FILE_WRITE ? kCodecWriteFailed : code == JERR_OUT_OF_MEMORY ? kCodecNoMemory : kCodecEncoderFailed;
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
    if (job->segments)
        for (const MarkerSegment& m : *job->segments)
            if (m.data.size() <= 65533)
                jpeg_write_marker(&cinfo, m.marker, reinterpret_cast<const JOCTET*>(m.data.constData()),
                                  unsigned(m.data.size()));
    JSAMPROW rows[16];
    while (cinfo.next_scanline < cinfo.image_height) {
        const JDIMENSION first = cinfo.next_scanline;
        JDIMENSION n = cinfo.image_height - first;
        if (n > 16)
            n = 16;
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = const_cast<JSAMPROW>(job->bits + static_cast<qsizetype>(first + i) * job->stride);
        jpeg_write_scanlines(&cinfo, rows, n);
        if (job->progress && *job->progress && (first & 127) == 0
            && !(*job->progress)(static_cast<int>(cinfo.next_scanline), job->height)) {
            jpeg_destroy_compress(&cinfo);
            return kCodecCancelled;
        }
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

} // namespace

bool JpegDataLost(int msgCode)
{
    // A file cut short and then ended with an EOI marker says "premature end
    // of data segment", not end of file.
    switch (msgCode) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL: return true;
    default: return false;
    }
}

namespace {

struct DecodeErrors {
    JpegErrors base;
    bool truncated;
};

// A warning that data was lost: the caller decides whether such a picture
// is acceptable.
void NoteWarning(j_common_ptr c, int level)
{
    if (level < 0 && JpegDataLost(c->err->msg_code))
        reinterpret_cast<DecodeErrors*>(c->err)->truncated = true;
}

// Where decoded rows go. The picture is made in its upright size and the
// decoded rows (in stored order) are placed by the Exif orientation, so a
// rotated photo never exists twice in memory.
struct DecodeSink {
    Surface* out;
    int orientation;
    const SaveProgress* progress;
};

// Places n decoded rows from stored row y0 on (each width pixels, in strip)
// into the upright picture; width and height are the stored sizes.
void PlaceRows(Surface& out, int orientation, const uint32_t* strip, int width, int height, int y0, int n)
{
    auto px = [&out](int x, int y) -> uint32_t& { return reinterpret_cast<uint32_t*>(out.scanLine(y))[x]; };
    for (int i = 0; i < n; ++i) {
        const int y = y0 + i;
        const uint32_t* row = strip + static_cast<size_t>(i) * width;
        switch (orientation) {
        case 2: for (int x = 0; x < width; ++x) px(width - 1 - x, y) = row[x]; break;
        case 3: for (int x = 0; x < width; ++x) px(width - 1 - x, height - 1 - y) = row[x]; break;
        case 4: std::memcpy(out.scanLine(height - 1 - y), row, size_t(width) * 4); break;
        case 5: for (int x = 0; x < width; ++x) px(y, x) = row[x]; break;
        case 6: for (int x = 0; x < width; ++x) px(height - 1 - y, x) = row[x]; break;
        case 7: for (int x = 0; x < width; ++x) px(height - 1 - y, width - 1 - x) = row[x]; break;
        case 8: for (int x = 0; x < width; ++x) px(y, width - 1 - x) = row[x]; break;
        default: std::memcpy(out.scanLine(y), row, size_t(width) * 4); break;
        }
    }
}

// CMYK as decoded into four-byte words, to blue, green, red, 0xFF in place.
// Adobe writes CMYK inverted; others write it plain.
void CmykToBgrx(uint8_t* p, size_t count, bool inverted)
{
    for (size_t i = 0; i < count; ++i, p += 4) {
        unsigned c = p[0], m = p[1], yy = p[2], k = p[3];
        if (!inverted) {
            c = 255 - c; m = 255 - m; yy = 255 - yy; k = 255 - k;
        }
        const uint8_t r = uint8_t((c * k + 127) / 255), g = uint8_t((m * k + 127) / 255),
                      b = uint8_t((yy * k + 127) / 255);
        p[0] = b; p[1] = g; p[2] = r; p[3] = 255;
    }
}

bool MakeUpright(Surface* out, int orientation, uint32_t w, uint32_t h)
{
    *out = orientation >= 5 ? MakeSurface(h, w) : MakeSurface(w, h);
    return !out->isNull();
}

// 0 when decoded, 1 for an undecodable file, 2 for a picture beyond the
// limit, 3 when the progress callback stopped it, 4 when memory ran out.
int DecodeJpegCore(const uint8_t* data, size_t size, DecodeSink* sink, bool* truncated)
{
    jpeg_decompress_struct cinfo;
    DecodeErrors err;
    ScanLimit limit;
    uint32_t* volatile strip = nullptr;
    volatile int tooLarge = 0;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.base.pub);
    err.base.pub.error_exit = JpegFail;
    err.base.pub.emit_message = NoteWarning; // warnings (a truncated file among them) are not fatal
    err.truncated = false;
    if (setjmp(err.base.jump)) {
        std::free(strip);
        const bool noMemory = err.base.pub.msg_code == JERR_OUT_OF_MEMORY;
        jpeg_destroy_decompress(&cinfo);
        return tooLarge ? 2 : noMemory ? 4 : 1;
    }
    jpeg_create_decompress(&cinfo);
    limit.pub.progress_monitor = CheckScans;
    limit.maxScans = kJpegMaxScans;
    cinfo.progress = &limit.pub;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (!PictureSizeAllowed(cinfo.image_width, cinfo.image_height)) {
        tooLarge = 1;
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);
    }
    if (size < MinimumJpegBytes(&cinfo) / 16)
        ERREXIT(&cinfo, JERR_IMAGE_TOO_BIG);

    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        if (m->marker == JPEG_APP0 + 1) {
            const int o = ExifOrientation(m->data, m->data_length);
            if (o != 1) {
                sink->orientation = o;
                break;
            }
        }

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA; // BGRA sets the fourth byte to 0xFF
    jpeg_start_decompress(&cinfo);
    const int width = static_cast<int>(cinfo.output_width), height = static_cast<int>(cinfo.output_height);
    if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height
        || cinfo.output_components != 4
        || !MakeUpright(sink->out, sink->orientation, cinfo.output_width, cinfo.output_height))
        ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
    // Upright and plain colour: straight into the picture's rows; otherwise
    // through a strip of 16 rows.
    const bool direct = sink->orientation == 1 && !cmyk;
    if (!direct) {
        strip = static_cast<uint32_t*>(std::malloc(size_t(width) * 16 * 4));
        if (!strip)
            ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
    }
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        const int first = static_cast<int>(cinfo.output_scanline);
        const int n = height - first > 16 ? 16 : height - first;
        for (int i = 0; i < n; ++i)
            rows[i] = direct ? sink->out->scanLine(first + i) : reinterpret_cast<JSAMPROW>(strip + size_t(i) * width);
        int got = 0;
        while (got < n) {
            const JDIMENSION r = jpeg_read_scanlines(&cinfo, rows + got, JDIMENSION(n - got));
            if (r == 0)
                break;
            got += int(r);
        }
        if (!direct) {
            if (cmyk)
                CmykToBgrx(reinterpret_cast<uint8_t*>(strip), size_t(width) * size_t(got), cinfo.saw_Adobe_marker);
            PlaceRows(*sink->out, sink->orientation, strip, width, height, first, got);
        }
        if (got < n)
            break;
        if (sink->progress && *sink->progress && !(*sink->progress)(first + n, height)) {
            std::free(strip);
            jpeg_destroy_decompress(&cinfo);
            return 3;
        }
    }
    *truncated = err.truncated;
    std::free(strip);
    // A file that ends early has been padded by the decoder; what it held is shown.
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

} // namespace

int ClampJpegRate(int rate) { return rate < 1 ? 1 : (rate > 100 ? 100 : rate); }

int JpegQualityForRate(int rate) { return 101 - ClampJpegRate(rate); }

int DCSavetoJPEG(const Surface& dc, int32_t width, int32_t height, const QString& file, uint8_t rate,
                 bool progressive, const SaveProgress& progress, int* sysErrno,
                 const std::vector<MarkerSegment>* segments)
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
                           JpegQualityForRate(rate), progressive, &progress, segments};
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

bool DecodeJpeg(const uint8_t* data, size_t size, Surface& out, JpegDecodeInfo* info,
                const SaveProgress& progress)
{
    out = Surface();
    DecodeSink sink{&out, 1, &progress};
    bool truncated = false;
    const int rc = DecodeJpegCore(data, size, &sink, &truncated);
    if (info)
        *info = JpegDecodeInfo{rc == 2, rc == 0 && truncated, rc == 4};
    if (rc != 0) {
        out = Surface();
        return false;
    }
    return true;
}

} // namespace codec
