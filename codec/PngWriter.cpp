// The PNG writer: rows filtered as libpng would filter them, compressed with
// libdeflate in bands of rows on every core, the bands joined into one zlib
// stream. Each band is compressed on its own (a complete raw deflate stream);
// all but the last then lose the final-block flag of their last block and
// gain an empty stored block, which leaves them byte-aligned and open, so
// that the next band's blocks follow directly. The Adler-32 checksums of
// the bands are combined.
#include "PngWriter.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace codec {
using namespace platform;
namespace {

enum Filter : uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

inline int Paeth(int a, int b, int c)
{
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    const int ab = pb < pa ? b : a;
    return std::min(pa, pb) <= pc ? ab : c;
}

// One row of 3-byte pixels from our four-byte words (blue, green, red, x).
void ToRgb(const uchar* words, int width, uint8_t* rgb)
{
    for (int x = 0; x < width; ++x, words += 4, rgb += 3) {
        rgb[0] = words[2];
        rgb[1] = words[1];
        rgb[2] = words[0];
    }
}

// One filter over a row, each in a loop of its own so that the compiler can
// keep it simple; prev is the row above (zeros for the first row).
void ApplyFilter(Filter f, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out)
{
    constexpr size_t bpp = 3;
    const size_t head = std::min(n, bpp);
    switch (f) {
    case kNone:
        std::memcpy(out, cur, n);
        break;
    case kSub:
        std::memcpy(out, cur, head);
        for (size_t i = bpp; i < n; ++i)
            out[i] = uint8_t(cur[i] - cur[i - bpp]);
        break;
    case kUp:
        for (size_t i = 0; i < n; ++i)
            out[i] = uint8_t(cur[i] - prev[i]);
        break;
    case kAverage:
        for (size_t i = 0; i < head; ++i)
            out[i] = uint8_t(cur[i] - (prev[i] >> 1));
        for (size_t i = bpp; i < n; ++i)
            out[i] = uint8_t(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
        break;
    case kPaeth:
        for (size_t i = 0; i < head; ++i)
            out[i] = uint8_t(cur[i] - prev[i]); // a = c = 0: Paeth picks b
        for (size_t i = bpp; i < n; ++i)
            out[i] = uint8_t(cur[i] - Paeth(cur[i - bpp], prev[i], prev[i - bpp]));
        break;
    }
}

// libpng's choice among all five filters: the smallest sum of the filtered
// bytes taken as signed magnitudes.
uint64_t Cost(const uint8_t* row, size_t n)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += row[i] < 128 ? row[i] : 256 - row[i];
    return sum;
}

struct Band {
    std::vector<uint8_t> data; // deflate blocks, byte-aligned, open unless last
    uint32_t adler = 1;
    size_t rawBytes = 0;
    bool ready = false;
    bool failed = false;
};

// Clears the final-block flag of the last block of a complete raw deflate
// stream and closes it with an empty stored block, so that more blocks may
// follow. zlib's inflate stops at every block boundary (Z_BLOCK) to tell
// where the last block's header starts.
bool OpenStream(std::vector<uint8_t>& d)
{
    z_stream s{};
    // Nothing but memory can fail it here: told as such, not as a bad stream.
    if (inflateInit2(&s, -15) != Z_OK)
        throw std::bad_alloc();
    std::vector<uint8_t> sink(1 << 16);
    s.next_in = d.data();
    s.avail_in = uInt(d.size());
    uint64_t lastHeader = 0; // bit position of the current block's header
    uint64_t boundary = 0;   // bit position just after the last end-of-block
    bool found = false;
    int unused = -1; // bits left in the last byte after the last block
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        s.next_out = sink.data();
        s.avail_out = uInt(sink.size());
        rc = inflate(&s, Z_BLOCK);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        const uint64_t consumed = uint64_t(d.size() - s.avail_in) * 8 - (s.data_type & 7);
        if ((s.data_type & 128) && !(s.data_type & 64))
            boundary = consumed; // between blocks: the next header starts here
        if ((s.data_type & 64) && !found) {
            lastHeader = boundary;
            found = true;
        }
        // Stopped just after the last block, before the byte's padding is
        // dropped: the padding's length.
        if ((s.data_type & 128) && (s.data_type & 64))
            unused = s.data_type & 7;
    }
    inflateEnd(&s);
    // inflate takes its window only once it needs one, so memory can still
    // run out here: that is no damaged stream either.
    if (rc == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (rc != Z_STREAM_END || !found || unused < 0 || s.avail_in != 0)
        return false;
    d[lastHeader / 8] &= uint8_t(~(1u << (lastHeader % 8)));
    // An empty stored block: three zero bits, zeros to the byte boundary,
    // then LEN 0 and NLEN 0xFFFF. Bits fill a byte from its lowest.
    d.back() &= uint8_t((1u << (8 - unused)) - 1);
    if (unused < 3)
        d.push_back(0);
    d.insert(d.end(), {0x00, 0x00, 0xFF, 0xFF});
    return true;
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t n)
{
    const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), len, len + 4);
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    if (n)
        out.insert(out.end(), data, data + n);
    const uLong crc = crc32(0, out.data() + at, uInt(out.size() - at));
    const uint8_t c[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    out.insert(out.end(), c, c + 4);
}

bool WriteAll(FILE* fp, const std::vector<uint8_t>& v)
{
    return v.empty() || std::fwrite(v.data(), 1, v.size(), fp) == v.size();
}

} // namespace

PngRateSettings PngSettingsForRate(int rate)
{
    // Each no larger than the zlib levels 1, 6 and 9 these rates used, on
    // photographs (see bench_codec).
    switch (rate) {
    case 1: return {1, false};
    case 2: return {9, true};
    default: return {6, true};
    }
}

int WriteParallelPng(FILE* fp, const uchar* bits, qsizetype stride, int width, int height, int rate,
                     const SaveProgress* progress, const std::vector<PngChunk>* chunks)
{
    const PngRateSettings settings = PngSettingsForRate(rate);
    const size_t rowBytes = size_t(width) * 3 + 1;
    // Bands of about a megabyte of filtered rows: enough that joining costs
    // nothing measurable in size, few enough rows that memory stays small.
    const int bandRows = int(std::clamp<size_t>((size_t(1) << 20) / rowBytes, 16, 4096));
    const int bands = (height + bandRows - 1) / bandRows;
    const int threads = std::clamp(int(std::thread::hardware_concurrency()), 1, std::max(1, bands));
    int ahead = threads * 2; // bands compressed but not yet written, at most

    std::vector<Band> results(static_cast<size_t>(bands));
    std::mutex m;
    std::condition_variable cv;
    int nextBand = 0, written = 0;
    std::atomic<bool> stop{false};
    bool noMemory = false; // a worker ran out of memory: the save fails

    auto compress = [&] {
        const std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> owned(
            libdeflate_alloc_compressor(settings.level), libdeflate_free_compressor);
        libdeflate_compressor* c = owned.get();
        if (!c) // its only failure: the save runs out of memory, not of encoder
            throw std::bad_alloc();
        std::vector<uint8_t> raw, prevRgb(size_t(width) * 3), curRgb(size_t(width) * 3), trial(rowBytes);
        const std::vector<uint8_t> zeros(size_t(width) * 3, 0);
        for (;;) {
            int band;
            {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [&] { return stop || nextBand >= bands || nextBand < written + ahead; });
                if (stop || nextBand >= bands)
                    break;
                band = nextBand++;
            }
            Band& out = results[size_t(band)];
            const int y0 = band * bandRows, y1 = std::min(height, y0 + bandRows);
            raw.resize(size_t(y1 - y0) * rowBytes);
            if (y0 > 0)
                ToRgb(bits + qsizetype(y0 - 1) * stride, width, prevRgb.data());
            for (int y = y0; y < y1; ++y) {
                ToRgb(bits + qsizetype(y) * stride, width, curRgb.data());
                uint8_t* dst = raw.data() + size_t(y - y0) * rowBytes;
                const uint8_t* prev = y > 0 ? prevRgb.data() : zeros.data();
                if (!settings.adaptive) {
                    dst[0] = kSub;
                    ApplyFilter(kSub, curRgb.data(), prev, rowBytes - 1, dst + 1);
                } else {
                    uint64_t best = UINT64_MAX;
                    for (Filter f : {kNone, kSub, kUp, kAverage, kPaeth}) {
                        ApplyFilter(f, curRgb.data(), prev, rowBytes - 1, trial.data() + 1);
                        const uint64_t cost = Cost(trial.data() + 1, rowBytes - 1);
                        if (cost < best) {
                            best = cost;
                            trial[0] = f;
                            std::memcpy(dst, trial.data(), rowBytes);
                        }
                    }
                }
                std::swap(prevRgb, curRgb);
            }
            out.data.resize(libdeflate_deflate_compress_bound(c, raw.size()));
            const size_t n = libdeflate_deflate_compress(c, raw.data(), raw.size(), out.data.data(), out.data.size());
            out.data.resize(n);
            const bool ok = n > 0 && (band == bands - 1 || OpenStream(out.data));
            out.adler = uint32_t(adler32(1, raw.data(), uInt(raw.size())));
            out.rawBytes = raw.size();
            std::lock_guard<std::mutex> lock(m);
            out.failed = !ok;
            out.ready = true;
            cv.notify_all();
        }
    };
    // Nothing may leave a thread: memory running out ends the save instead.
    auto work = [&] {
        try {
            compress();
        } catch (const std::bad_alloc&) {
            std::lock_guard<std::mutex> lock(m);
            noMemory = true;
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(size_t(std::max(0, threads))); // (its growth cannot throw with threads running)
    try {
        for (int t = 0; t < threads; ++t)
            pool.emplace_back(work);
    } catch (...) { // std::system_error, or bad_alloc for a thread's state
        // Fewer threads than asked for will do; with none, every band is
        // compressed here before any is written.
    }
    if (pool.empty()) {
        ahead = bands;
        work();
    }

    // The file is written here, band by band in order, as they come.
    std::vector<uint8_t> head = {137, 80, 78, 71, 13, 10, 26, 10};
    const uint8_t ihdr[13] = {uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width),
                              uint8_t(height >> 24), uint8_t(height >> 16), uint8_t(height >> 8), uint8_t(height),
                              8, 2, 0, 0, 0};
    PutChunk(head, "IHDR", ihdr, sizeof ihdr);
    if (chunks)
        for (const PngChunk& c : *chunks)
            if (c.type.size() == 4 && c.data.size() < 0x7fffffff)
                PutChunk(head, c.type.constData(), reinterpret_cast<const uint8_t*>(c.data.constData()),
                         size_t(c.data.size()));
    const uint8_t zlibHeader[2] = {0x78, 0x9C};
    std::vector<uint8_t> chunk;
    PutChunk(chunk, "IDAT", zlibHeader, 2);
    head.insert(head.end(), chunk.begin(), chunk.end());
    int rc = WriteAll(fp, head) ? kCodecOk : kCodecWriteFailed;
    uLong adler = 1;
    for (int band = 0; band < bands && rc == kCodecOk; ++band) {
        Band& b = results[size_t(band)];
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return b.ready || noMemory; });
        }
        if (!b.ready) {
            rc = kCodecNoMemory;
            break;
        }
        if (b.failed) {
            rc = kCodecEncoderFailed;
            break;
        }
        adler = adler32_combine(adler, b.adler, z_off_t(b.rawBytes));
        if (band == bands - 1) {
            const uint8_t a[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
            b.data.insert(b.data.end(), a, a + 4);
        }
        chunk.clear();
        PutChunk(chunk, "IDAT", b.data.data(), b.data.size());
        if (!WriteAll(fp, chunk))
            rc = kCodecWriteFailed;
        std::vector<uint8_t>().swap(b.data);
        {
            std::lock_guard<std::mutex> lock(m);
            written = band + 1;
            cv.notify_all();
        }
        if (progress && *progress && !(*progress)(std::min(height, (band + 1) * bandRows), height))
            rc = kCodecCancelled;
    }
    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
        cv.notify_all();
    }
    for (std::thread& t : pool)
        t.join();
    if (rc == kCodecOk) {
        chunk.clear();
        PutChunk(chunk, "IEND", nullptr, 0);
        if (!WriteAll(fp, chunk))
            rc = kCodecWriteFailed;
    }
    return rc;
}

} // namespace codec
