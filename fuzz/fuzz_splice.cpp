// The splicer against the library's own reading: a JPEG from the input and
// a patch of MCUs placed and filled from its first bytes. When the splice
// succeeds, every block of the result outside the patch must be the
// source's, coefficient for coefficient, and every block inside it the
// patch's.
#include "JpegSplice.h"

#include <QByteArray>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>

namespace {

struct Errors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void Fail(j_common_ptr c) { std::longjmp(reinterpret_cast<Errors*>(c->err)->jump, 1); }
void Quiet(j_common_ptr, int) {}

// Every component's blocks, row after row, and the sampling; false when the
// library will not read the file whole.
struct Blocks {
    int components = 0, maxH = 1, maxV = 1;
    int h[4] = {}, v[4] = {}, wide[4] = {}, high[4] = {};
    std::vector<JCOEF> coef[4];
};

bool Read(const QByteArray& file, Blocks* b)
{
    jpeg_decompress_struct d;
    Errors e;
    std::memset(&d, 0, sizeof d);
    d.err = jpeg_std_error(&e.pub);
    e.pub.error_exit = Fail;
    e.pub.emit_message = Quiet;
    if (setjmp(e.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(file.constData()), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d, TRUE);
    if (d.num_components > 4 || uint64_t(d.image_width) * d.image_height > (1u << 22))
        Fail(reinterpret_cast<j_common_ptr>(&d));
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    b->components = d.num_components;
    b->maxH = d.max_h_samp_factor;
    b->maxV = d.max_v_samp_factor;
    for (int c = 0; c < d.num_components; ++c) {
        const jpeg_component_info& ci = d.comp_info[c];
        b->h[c] = ci.h_samp_factor;
        b->v[c] = ci.v_samp_factor;
        b->wide[c] = int(ci.width_in_blocks);
        b->high[c] = int(ci.height_in_blocks);
        for (JDIMENSION y = 0; y < ci.height_in_blocks; ++y) {
            JBLOCKARRAY row = d.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d), arrays[c], y, 1, FALSE);
            // The row's blocks lie end to end: read as one run of coefficients.
            const JCOEF* first = reinterpret_cast<const JCOEF*>(row[0]);
            b->coef[c].insert(b->coef[c].end(), first, first + 64 * size_t(ci.width_in_blocks));
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

[[noreturn]] void Broken(const char* what, int c, int x, int y)
{
    std::fprintf(stderr, "fuzz_splice: component %d block %d,%d: %s\n", c, x, y, what);
    std::abort();
}

} // namespace

// Input: 6 bytes (patch column, row, MCUs wide, MCUs high, coefficient seed
// and spread), then the JPEG.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6 + 4)
        return 0;
    const QByteArray source(reinterpret_cast<const char*>(data + 6), qsizetype(size - 6));
    Blocks a;
    if (!Read(source, &a))
        return 0;
    const bool single = a.components == 1;
    const int mcuBlocksX = single ? 1 : a.maxH, mcuBlocksY = single ? 1 : a.maxV;
    const int mcusX = (a.wide[0] * (single ? 1 : a.maxH / a.h[0]) + mcuBlocksX - 1) / mcuBlocksX;
    const int mcusY = (a.high[0] * (single ? 1 : a.maxV / a.v[0]) + mcuBlocksY - 1) / mcuBlocksY;
    if (mcusX < 1 || mcusY < 1)
        return 0;
    codec::BlockPatch patch;
    patch.mcuX = data[0] % mcusX;
    patch.mcuY = data[1] % mcusY;
    const int w = 1 + data[2] % std::min(4, mcusX - patch.mcuX), h = 1 + data[3] % std::min(4, mcusY - patch.mcuY);
    uint32_t seed = data[4] * 2654435761u + 1;
    const int spread = 1 + data[5] % 64;
    for (int c = 0; c < a.components; ++c) {
        codec::BlockPatch::Component pc;
        pc.blocksWide = w * (single ? 1 : a.h[c]);
        pc.blocksHigh = h * (single ? 1 : a.v[c]);
        pc.coef.resize(size_t(pc.blocksWide) * pc.blocksHigh * 64);
        for (int16_t& k : pc.coef) {
            seed = seed * 1103515245u + 12345u;
            k = int16_t(int(seed >> 16) % (2 * spread + 1) - spread);
        }
        patch.components.push_back(std::move(pc));
    }
    QByteArray out;
    if (!codec::SpliceSequentialJpeg(source, {patch}, {}, &out))
        return 0;
    Blocks b;
    if (!Read(out, &b) || b.components != a.components)
        Broken("the splice does not read back", -1, 0, 0);
    for (int c = 0; c < a.components; ++c) {
        if (b.wide[c] != a.wide[c] || b.high[c] != a.high[c])
            Broken("another size", c, 0, 0);
        const codec::BlockPatch::Component& pc = patch.components[size_t(c)];
        const int x0 = patch.mcuX * (single ? 1 : a.h[c]), y0 = patch.mcuY * (single ? 1 : a.v[c]);
        for (int y = 0; y < a.high[c]; ++y)
            for (int x = 0; x < a.wide[c]; ++x) {
                const JCOEF* got = &b.coef[c][(size_t(y) * a.wide[c] + x) * 64];
                const bool inside = x >= x0 && x < x0 + pc.blocksWide && y >= y0 && y < y0 + pc.blocksHigh;
                const JCOEF* want = inside ? &pc.coef[(size_t(y - y0) * pc.blocksWide + (x - x0)) * 64]
                                           : &a.coef[c][(size_t(y) * a.wide[c] + x) * 64];
                for (int k = 0; k < 64; ++k) {
                    // The patch is in natural order, as libjpeg's blocks are.
                    if (got[k] != want[k])
                        Broken(inside ? "not the patch's" : "not the source's", c, x, y);
                }
            }
    }
    return 0;
}
