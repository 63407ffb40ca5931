// libjpeg reports errors by longjmp: PatchCore and CoefficientCore hold only
// plain data, and whatever they allocate lives in a scratch record their
// caller owns.
#include "JpegKeep.h"

#include "AtomicFile.h"
#include "FileRead.h"
#include "JpegDecode.h"
#include "JpegSplice.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace codec {
using namespace platform;
namespace {

struct KeepErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
    int savedErrno;
    bool warned;
};

void KeepFail(j_common_ptr c)
{
    auto* e = reinterpret_cast<KeepErrors*>(c->err);
    e->savedErrno = errno;
    std::longjmp(e->jump, 1);
}

void NoteWarning(j_common_ptr c, int level)
{
    // A stray byte before a marker is no damage; lost data is.
    if (level < 0 && JpegDataLost(c->err->msg_code))
        reinterpret_cast<KeepErrors*>(c->err)->warned = true;
}

struct KeepJob {
    const uint8_t* source;
    size_t sourceSize;
    const uchar* bits; // the picture, upright
    qsizetype stride;
    int uprightWidth, uprightHeight;
    int orientation;
    const QRect* rects; // in stored pixels, inside the picture
    size_t rectCount;
    const MarkerSegment* segments;
    size_t segmentCount;
    FILE* out;
    const SaveProgress* progress; // done of kProgressSteps; false: cancel
};

// The save's progress in steps: reading the source and coding the patches
// first, then the splice or the coefficient route, then writing.
constexpr int kProgressSteps = 1000;

bool KeepGoing(const KeepJob* job, int done)
{
    return !job->progress || !*job->progress || (*job->progress)(done, kProgressSteps);
}

// libjpeg's progress through the coefficient route, turned into ours; a
// cancel leaves by the error exit.
struct KeepMonitor {
    jpeg_progress_mgr pub;
    const KeepJob* job;
    int from, span; // of kProgressSteps
    bool cancelled;
};

void MonitorProgress(j_common_ptr c)
{
    auto* m = reinterpret_cast<KeepMonitor*>(c->progress);
    const jpeg_progress_mgr& p = m->pub;
    const double pass = p.pass_limit > 0 ? double(p.pass_counter) / double(p.pass_limit) : 0.0;
    const double whole = p.total_passes > 0 ? (p.completed_passes + pass) / p.total_passes : pass;
    if (!KeepGoing(m->job, m->from + int(whole * m->span))) {
        m->cancelled = true;
        ERREXIT(c, JERR_NOT_COMPILED);
    }
}

// What the cores allocate, owned here so that a longjmp leaks nothing.
struct KeepScratch {
    uint32_t* crop = nullptr;
    unsigned char* encoded = nullptr;
    unsigned long encodedSize = 0;
    std::vector<BlockPatch> patches;
    ~KeepScratch()
    {
        std::free(crop);
        std::free(encoded);
    }
};

bool SameTable(const JHUFF_TBL* a, const JHUFF_TBL* b)
{
    if (!a || !b || std::memcmp(a->bits, b->bits, sizeof a->bits) != 0)
        return false;
    int symbols = 0;
    for (int i = 1; i <= 16; ++i)
        symbols += a->bits[i];
    return std::memcmp(a->huffval, b->huffval, size_t(std::min(symbols, 256))) == 0;
}

// Whether the source's Huffman tables are its own (optimised) rather than
// the standard ones that dst holds after its defaults were set.
bool OptimisedTables(const jpeg_decompress_struct* src, const jpeg_compress_struct* dst)
{
    for (int i = 0; i < src->num_components; ++i) {
        const int d = src->comp_info[i].dc_tbl_no, a = src->comp_info[i].ac_tbl_no;
        if (d > 1 || a > 1 || !SameTable(src->dc_huff_tbl_ptrs[d], dst->dc_huff_tbl_ptrs[d])
            || !SameTable(src->ac_huff_tbl_ptrs[a], dst->ac_huff_tbl_ptrs[a]))
            return true;
    }
    return false;
}

void InitErrors(KeepErrors* err)
{
    jpeg_std_error(&err->pub);
    err->pub.error_exit = KeepFail;
    err->pub.emit_message = NoteWarning;
    err->savedErrno = 0;
    err->warned = false;
}

// Reads the source's header and judges whether this route can serve it;
// an error here means it cannot.
void ReadSourceHeader(jpeg_decompress_struct* src, const KeepJob* job)
{
    jpeg_create_decompress(src);
    jpeg_mem_src(src, job->source, static_cast<unsigned long>(job->sourceSize));
    jpeg_read_header(src, TRUE);
    const bool plain = (src->jpeg_color_space == JCS_YCbCr && src->num_components == 3)
                       || (src->jpeg_color_space == JCS_GRAYSCALE && src->num_components == 1);
    const bool turned = job->orientation >= 5;
    const int W = int(src->image_width), H = int(src->image_height);
    if (!plain || src->arith_code || src->data_precision != 8
        || (turned ? H : W) != job->uprightWidth || (turned ? W : H) != job->uprightHeight)
        ERREXIT(src, JERR_NOT_COMPILED);
}

// The MCU-aligned block of stored pixels around r, encoded alone with the
// source's parameters, and its coefficients kept as a patch. An encoder's
// block grid starts at its own top-left corner and every component's blocks
// lie inside their MCU, so a crop that starts on an MCU boundary gives the
// very coefficients a whole-picture encode would, padding blocks included.
// Holds nothing that a longjmp out of it would have to destroy.
void EncodePatch(jpeg_decompress_struct* src, jpeg_compress_struct* enc, jpeg_decompress_struct* tmp,
                 const KeepJob* job, const QRect& r, KeepScratch* scratch)
{
    const int W = int(src->image_width), H = int(src->image_height);
    const int mcuW = 8 * src->max_h_samp_factor, mcuH = 8 * src->max_v_samp_factor;
    const int x0 = r.left() / mcuW * mcuW, y0 = r.top() / mcuH * mcuH;
    const int x1 = std::min(W, (r.right() / mcuW + 1) * mcuW), y1 = std::min(H, (r.bottom() / mcuH + 1) * mcuH);
    const int cw = x1 - x0, ch = y1 - y0;
    scratch->crop = static_cast<uint32_t*>(std::malloc(size_t(cw) * size_t(ch) * 4));
    if (!scratch->crop)
        ERREXIT(src, JERR_OUT_OF_MEMORY);
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            const QPoint u = StoredToUpright(job->orientation, W, H, QPoint(x0 + x, y0 + y));
            scratch->crop[size_t(y) * cw + x] =
                reinterpret_cast<const uint32_t*>(job->bits + u.y() * job->stride)[u.x()];
        }

    jpeg_create_compress(enc);
    jpeg_mem_dest(enc, &scratch->encoded, &scratch->encodedSize);
    jpeg_copy_critical_parameters(src, enc);
    enc->image_width = JDIMENSION(cw);
    enc->image_height = JDIMENSION(ch);
    enc->input_components = 4;
    enc->in_color_space = JCS_EXT_BGRX;
    enc->write_JFIF_header = FALSE;
    jpeg_start_compress(enc, TRUE);
    while (enc->next_scanline < enc->image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(scratch->crop + size_t(enc->next_scanline) * cw);
        jpeg_write_scanlines(enc, &row, 1);
    }
    jpeg_finish_compress(enc);
    jpeg_destroy_compress(enc);
    std::free(scratch->crop);
    scratch->crop = nullptr;

    jpeg_create_decompress(tmp);
    jpeg_mem_src(tmp, scratch->encoded, scratch->encodedSize);
    jpeg_read_header(tmp, TRUE);
    jvirt_barray_ptr* fresh = jpeg_read_coefficients(tmp);
    BlockPatch& patch = scratch->patches.emplace_back();
    patch.mcuX = x0 / mcuW;
    patch.mcuY = y0 / mcuH;
    patch.components.resize(size_t(src->num_components));
    const int mcusWide = (cw + mcuW - 1) / mcuW, mcusHigh = (ch + mcuH - 1) / mcuH;
    for (int c = 0; c < src->num_components; ++c) {
        // One component alone is coded block by block: its MCU is one block.
        const bool single = src->num_components == 1;
        const int h = single ? 1 : tmp->comp_info[c].h_samp_factor, v = single ? 1 : tmp->comp_info[c].v_samp_factor;
        BlockPatch::Component& pc = patch.components[size_t(c)];
        pc.blocksWide = single ? int(tmp->comp_info[c].width_in_blocks) : mcusWide * h;
        pc.blocksHigh = single ? int(tmp->comp_info[c].height_in_blocks) : mcusHigh * v;
        pc.coef.resize(size_t(pc.blocksWide) * size_t(pc.blocksHigh) * 64);
        for (int by = 0; by < pc.blocksHigh; ++by) {
            JBLOCKARRAY row = tmp->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(tmp), fresh[c], JDIMENSION(by), 1, FALSE);
            std::memcpy(pc.coef.data() + size_t(by) * size_t(pc.blocksWide) * 64, row[0],
                        size_t(pc.blocksWide) * sizeof(JBLOCK));
        }
    }
    jpeg_finish_decompress(tmp);
    jpeg_destroy_decompress(tmp);
    std::free(scratch->encoded);
    scratch->encoded = nullptr;
    scratch->encodedSize = 0;
}

// The patches for every rectangle; kCodecNotApplicable when the source
// cannot be served.
int PatchCore(const KeepJob* job, KeepScratch* scratch, int* savedErrno)
{
    jpeg_decompress_struct src, tmp;
    jpeg_compress_struct enc;
    KeepErrors err;
    std::memset(&src, 0, sizeof src);
    std::memset(&tmp, 0, sizeof tmp);
    std::memset(&enc, 0, sizeof enc);
    InitErrors(&err);
    src.err = tmp.err = enc.err = &err.pub;
    volatile int stage = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&tmp);
        jpeg_destroy_compress(&enc);
        jpeg_destroy_decompress(&src);
        *savedErrno = err.savedErrno;
        // Out of memory the save fails as such, even before the source was
        // read: coding the whole picture again instead would need more.
        if (err.pub.msg_code == JERR_OUT_OF_MEMORY)
            return kCodecNoMemory;
        return stage == 0 ? kCodecNotApplicable : kCodecEncoderFailed;
    }
    ReadSourceHeader(&src, job);
    stage = 1;
    for (size_t i = 0; i < job->rectCount; ++i) {
        if (!KeepGoing(job, 20 + int(30 * i / job->rectCount))) {
            jpeg_destroy_decompress(&src);
            return kCodecCancelled;
        }
        EncodePatch(&src, &enc, &tmp, job, job->rects[i], scratch);
    }
    jpeg_destroy_decompress(&src);
    return kCodecOk;
}

// The full route: every coefficient of the source decoded, the patches laid
// over them, and the whole file coded again from them.
int CoefficientCore(const KeepJob* job, const KeepScratch* scratch, int* savedErrno)
{
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    KeepErrors err;
    KeepMonitor monitor;
    std::memset(&src, 0, sizeof src);
    std::memset(&dst, 0, sizeof dst);
    std::memset(&monitor, 0, sizeof monitor);
    InitErrors(&err);
    src.err = dst.err = &err.pub;
    monitor.pub.progress_monitor = MonitorProgress;
    monitor.job = job;
    monitor.from = 50;
    monitor.span = 450;
    volatile int stage = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&dst);
        jpeg_destroy_decompress(&src);
        *savedErrno = err.savedErrno;
        if (static_cast<volatile bool&>(monitor.cancelled)) // set through libjpeg since setjmp
            return kCodecCancelled;
        if (err.pub.msg_code == JERR_OUT_OF_MEMORY)
            return kCodecNoMemory;
        if (stage == 0)
            return kCodecNotApplicable;
        return err.pub.msg_code == JERR_FILE_WRITE ? kCodecWriteFailed : kCodecEncoderFailed;
    }
    ReadSourceHeader(&src, job);
    src.progress = &monitor.pub;
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
    if (err.warned) // damaged data: what the window showed is no copy of it
        ERREXIT(&src, JERR_NOT_COMPILED);
    stage = 1;
    for (const BlockPatch& p : scratch->patches)
        for (int c = 0; c < src.num_components; ++c) {
            const jpeg_component_info& ci = src.comp_info[c];
            const BlockPatch::Component& pc = p.components[size_t(c)];
            const bool single = src.num_components == 1;
            const JDIMENSION bx0 = JDIMENSION(p.mcuX * (single ? 1 : ci.h_samp_factor));
            const JDIMENSION by0 = JDIMENSION(p.mcuY * (single ? 1 : ci.v_samp_factor));
            if (bx0 >= ci.width_in_blocks)
                continue;
            const JDIMENSION n = std::min(JDIMENSION(pc.blocksWide), ci.width_in_blocks - bx0);
            for (JDIMENSION by = 0; by < JDIMENSION(pc.blocksHigh) && by0 + by < ci.height_in_blocks; ++by) {
                JBLOCKARRAY to = src.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&src), coefs[c], by0 + by, 1, TRUE);
                std::memcpy(to[0] + bx0, pc.coef.data() + size_t(by) * size_t(pc.blocksWide) * 64, size_t(n) * sizeof(JBLOCK));
            }
        }

    jpeg_create_compress(&dst);
    monitor.from = 500;
    monitor.span = 500;
    dst.progress = &monitor.pub;
    jpeg_stdio_dest(&dst, job->out);
    jpeg_copy_critical_parameters(&src, &dst);
    dst.optimize_coding = OptimisedTables(&src, &dst) ? TRUE : FALSE;
    dst.restart_interval = src.restart_interval;
    if (src.progressive_mode)
        jpeg_simple_progression(&dst);
    jpeg_write_coefficients(&dst, coefs);
    for (size_t i = 0; i < job->segmentCount; ++i) {
        const MarkerSegment& m = job->segments[i];
        if (m.data.size() <= 65533)
            jpeg_write_marker(&dst, m.marker, reinterpret_cast<const JOCTET*>(m.data.constData()),
                              unsigned(m.data.size()));
    }
    jpeg_finish_compress(&dst);
    jpeg_destroy_compress(&dst);
    jpeg_finish_decompress(&src);
    jpeg_destroy_decompress(&src);
    return kCodecOk;
}

} // namespace

QPoint StoredToUpright(int orientation, int w, int h, QPoint p)
{
    const int x = p.x(), y = p.y();
    switch (orientation) {
    case 2: return {w - 1 - x, y};
    case 3: return {w - 1 - x, h - 1 - y};
    case 4: return {x, h - 1 - y};
    case 5: return {y, x};
    case 6: return {h - 1 - y, x};
    case 7: return {h - 1 - y, w - 1 - x};
    case 8: return {y, w - 1 - x};
    default: return p;
    }
}

QPoint UprightToStored(int orientation, int w, int h, QPoint u)
{
    const int x = u.x(), y = u.y();
    switch (orientation) {
    case 2: return {w - 1 - x, y};
    case 3: return {w - 1 - x, h - 1 - y};
    case 4: return {x, h - 1 - y};
    case 5: return {y, x};
    case 6: return {y, h - 1 - x};
    case 7: return {w - 1 - y, h - 1 - x};
    case 8: return {w - 1 - y, x};
    default: return u;
    }
}

int SaveJpegKeepingBlocks(const Surface& picture, const PictureOrigin& origin, const std::vector<QRect>& retouched,
                          const QString& file, const SaveProgress& progress, int* sysErrno)
{
    if (origin.format != SourceFormat::Jpeg || picture.isNull() || picture.format() != QImage::Format_RGB32
        || picture.size() != origin.size)
        return kCodecNotApplicable;
    QByteArray source;
    FileStamp stamp;
    if (ReadRegularFile(origin.path, source, -1, nullptr, &stamp) != ReadStatus::Ok || !(stamp == origin.stamp))
        return kCodecNotApplicable;
    if (progress && !progress(20, kProgressSteps))
        return kCodecCancelled;
    const int o = origin.orientation;
    const bool turned = o >= 5;
    const int W = turned ? picture.height() : picture.width(), H = turned ? picture.width() : picture.height();
    std::vector<QRect> stored;
    for (const QRect& r : retouched) {
        const QRect inside = r.normalized() & picture.rect();
        if (inside.isEmpty())
            continue;
        const QPoint a = UprightToStored(o, W, H, inside.topLeft()), b = UprightToStored(o, W, H, inside.bottomRight());
        stored.push_back(QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                               QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y()))));
    }
    const std::vector<MarkerSegment> segments = JpegSegmentsFor(origin, false);
    AtomicFile out(file);
    if (!out.Open()) {
        if (sysErrno)
            *sysErrno = out.Errno();
        return kCodecCannotCreate;
    }
    const KeepJob job{reinterpret_cast<const uint8_t*>(source.constData()), size_t(source.size()),
                      picture.constBits(), picture.bytesPerLine(), picture.width(), picture.height(), o,
                      stored.data(), stored.size(), segments.data(), segments.size(), out.Stream(), &progress};
    KeepScratch scratch;
    int savedErrno = 0;
    int rc = PatchCore(&job, &scratch, &savedErrno);
    if (rc == kCodecOk) {
        QByteArray spliced;
        bool cancelled = false;
        auto splicing = [&](int64_t done, int64_t total) {
            return !progress || progress(50 + int(done * 750 / std::max<int64_t>(1, total)), kProgressSteps);
        };
        if (SpliceSequentialJpeg(source, scratch.patches, segments, &spliced, splicing, &cancelled)) {
            // Written in pieces, so that a cancel is heard on a slow disk too.
            constexpr qsizetype kPiece = 4 << 20;
            for (qsizetype at = 0; rc == kCodecOk && at < spliced.size(); at += kPiece) {
                const size_t n = size_t(std::min(kPiece, spliced.size() - at));
                if (std::fwrite(spliced.constData() + at, 1, n, out.Stream()) != n) {
                    rc = kCodecWriteFailed;
                    savedErrno = errno;
                } else if (progress && !progress(800 + int(at * 200 / spliced.size()), kProgressSteps)) {
                    rc = kCodecCancelled;
                }
            }
        } else if (cancelled) {
            rc = kCodecCancelled;
        } else {
            rc = CoefficientCore(&job, &scratch, &savedErrno);
        }
    }
    // The last chance to stop before the target is replaced.
    if (rc == kCodecOk && progress && !progress(kProgressSteps - 1, kProgressSteps))
        rc = kCodecCancelled;
    if (rc == kCodecOk && !out.Commit()) {
        rc = kCodecWriteFailed;
        savedErrno = out.Errno();
    }
    if (rc != kCodecOk && sysErrno)
        *sysErrno = savedErrno;
    if (rc == kCodecOk && progress)
        progress(kProgressSteps, kProgressSteps);
    return rc;
}

} // namespace codec
