#include "JpegSplice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace codec {
using namespace platform;
namespace {

// Zigzag position k holds the coefficient at natural position kNatural[k].
constexpr std::array<uint8_t, 64> kNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

constexpr int kLookahead = 10;

struct Huffman {
    bool defined = false;
    // Decoding: codes of up to kLookahead bits by table, longer ones by the
    // canonical limits of each length.
    std::array<uint8_t, 1 << kLookahead> fastLength{}; // 0: longer than kLookahead
    std::array<uint8_t, 1 << kLookahead> fastSymbol{};
    // Skipping an AC code and its value bits at once: all the bits it takes,
    // and how far it moves along the block (64: the end of the block).
    std::array<uint8_t, 1 << kLookahead> skipBits{};
    std::array<uint8_t, 1 << kLookahead> skipSteps{};
    std::array<int32_t, 18> maxCode{};
    std::array<int32_t, 17> valOffset{};
    std::array<uint8_t, 256> values{};
    // Encoding: code and length per symbol; length 0 for a symbol the table lacks.
    std::array<uint16_t, 256> code{};
    std::array<uint8_t, 256> length{};

    bool Build(const uint8_t* counts, const uint8_t* symbols, int total)
    {
        int k = 0, c = 0;
        for (int len = 1; len <= 16; ++len) {
            valOffset[size_t(len)] = k - c;
            for (int i = 0; i < counts[len - 1]; ++i, ++k, ++c) {
                if (c >= 1 << len)
                    return false; // more codes than the length allows
                const uint8_t s = symbols[k];
                values[size_t(k)] = s;
                if (length[s] != 0)
                    return false;
                code[s] = uint16_t(c);
                length[s] = uint8_t(len);
                if (len <= kLookahead)
                    for (int fill = 0; fill < 1 << (kLookahead - len); ++fill) {
                        const size_t at = size_t(c << (kLookahead - len) | fill);
                        fastLength[at] = uint8_t(len);
                        fastSymbol[at] = s;
                        skipBits[at] = uint8_t(len + (s & 15));
                        skipSteps[at] = uint8_t((s & 15) ? (s >> 4) + 1 : (s == 0xF0 ? 16 : 64));
                    }
            }
            maxCode[size_t(len)] = counts[len - 1] ? c - 1 : -1;
            c <<= 1;
        }
        maxCode[17] = 0x7fffffff;
        defined = k == total;
        return defined;
    }
};

struct BitReader {
    const uint8_t* data; // 8 readable bytes past the end
    uint64_t pos = 0, end = 0;

    uint32_t Peek() const
    {
        uint64_t w = 0;
        std::memcpy(&w, data + (pos >> 3), 8);
        w = __builtin_bswap64(w);
        return uint32_t((w << (pos & 7)) >> 32);
    }
    int Symbol(const Huffman& h)
    {
        const uint32_t bits = Peek();
        const size_t head = bits >> (32 - kLookahead);
        if (h.fastLength[head]) {
            pos += h.fastLength[head];
            return h.fastSymbol[head];
        }
        for (int len = kLookahead + 1; len <= 16; ++len) {
            const int32_t c = int32_t(bits >> (32 - len));
            if (c <= h.maxCode[size_t(len)]) {
                pos += uint64_t(len);
                return h.values[size_t(c + h.valOffset[size_t(len)])];
            }
        }
        return -1;
    }
    int Value(int s)
    {
        if (s == 0)
            return 0;
        const int v = int(Peek() >> (32 - s));
        pos += uint64_t(s);
        return v < 1 << (s - 1) ? v - (1 << s) + 1 : v;
    }
};

struct BitWriter {
    std::unique_ptr<uint8_t[]> out;
    size_t capacity = 0, size = 0;
    uint64_t acc = 0; // the last count bits are pending
    int count = 0;

    void Room(size_t more)
    {
        if (size + more <= capacity)
            return;
        capacity = (size + more) * 2;
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (size)
            std::memcpy(grown.get(), out.get(), size);
        out = std::move(grown);
    }
    void Put(uint32_t v, int n)
    {
        acc = acc << n | (v & ((uint64_t(1) << n) - 1));
        count += n;
        if (count >= 32) {
            count -= 32;
            Room(4);
            const uint32_t word = __builtin_bswap32(uint32_t(acc >> count));
            std::memcpy(out.get() + size, &word, 4);
            size += 4;
        }
    }
    void FlushBytes()
    {
        Room(8);
        for (; count >= 8; count -= 8)
            out[size++] = uint8_t(acc >> (count - 8));
    }
    void Copy(const BitReader& from, uint64_t a, uint64_t b)
    {
        if ((count & 7) == 0 && (a & 7) == 0 && b - a >= 64) {
            FlushBytes();
            const uint64_t bytes = (b - a) >> 3;
            Room(bytes);
            std::memcpy(out.get() + size, from.data + (a >> 3), bytes);
            size += bytes;
            a += bytes << 3;
        }
        BitReader r = from;
        for (r.pos = a; b - r.pos >= 32; r.pos += 32)
            Put(r.Peek(), 32);
        if (b > r.pos)
            Put(r.Peek() >> (32 - int(b - r.pos)), int(b - r.pos));
    }
    bool Encode(const Huffman& h, int symbol)
    {
        if (!h.length[size_t(symbol)])
            return false;
        Put(h.code[size_t(symbol)], h.length[size_t(symbol)]);
        return true;
    }
    bool Number(const Huffman& h, int value, int symbolHigh, int maxSize)
    {
        const int magnitude = value < 0 ? -value : value;
        const int s = magnitude ? 32 - __builtin_clz(uint32_t(magnitude)) : 0;
        if (s > maxSize || !Encode(h, symbolHigh << 4 | s))
            return false;
        if (s)
            Put(uint32_t(value < 0 ? value - 1 : value), s);
        return true;
    }
    // Ones to the byte's end, then everything out.
    void Finish()
    {
        if (count & 7)
            Put(0xFF, 8 - (count & 7));
        FlushBytes();
    }
};

// Moves reader past one block's AC codes. The codes are read from a 64-bit
// word, several to a load, since this loop is what a save of a big photo
// mostly waits on. False for data that cannot be a block.
bool SkipAc(BitReader& reader, const Huffman& ac)
{
    constexpr int kEnded = 128; // the end-of-block code's step
    uint64_t p = reader.pos;
    int k = 1;
    while (k < 64) {
        uint64_t w;
        std::memcpy(&w, reader.data + (p >> 3), 8);
        w = __builtin_bswap64(w) << (p & 7);
        const int avail = 64 - int(p & 7);
        int used = 0;
        bool slow = false;
        while (k < 64 && used + 25 <= avail) { // a code of up to 10 bits and its value
            const size_t head = size_t((w << used) >> (64 - kLookahead));
            if (!ac.skipBits[head]) {
                slow = true;
                break;
            }
            used += ac.skipBits[head];
            k += ac.skipSteps[head] == 64 ? kEnded : ac.skipSteps[head];
        }
        p += uint64_t(used);
        if (slow) {
            reader.pos = p;
            const int rs = reader.Symbol(ac);
            if (rs < 0)
                return false;
            if (rs & 15) {
                reader.pos += uint64_t(rs & 15);
                k += (rs >> 4) + 1;
            } else {
                k += rs == 0xF0 ? 16 : kEnded;
            }
            p = reader.pos;
        }
    }
    reader.pos = p;
    return k == 64 || k >= kEnded;
}

struct Component {
    int id = 0, h = 1, v = 1;
    int dc = 0, ac = 0;      // table numbers from the scan
    int blocksWide = 0;      // per row of MCUs times h
    std::vector<int32_t> patchOf; // per block: 1 + index of the patch that replaces it, or 0
};

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// What the segments before the scan say: the frame, the tables, the
// restart interval; and the segments to write again.
struct Layout {
    QByteArray head{"\xFF\xD8", 2}; // SOI and JFIF
    QByteArray tables;              // quantisation, Huffman, frame, scan header...
    std::vector<Component> comps;
    Huffman dcTables[4], acTables[4];
    int width = 0, height = 0, restart = 0;
    bool frame = false;
    int mcusX = 0, mcusY = 0;
    int64_t Mcus() const { return int64_t(mcusX) * mcusY; }
};

bool ReadFrame(const uint8_t* p, size_t plen, Layout& l)
{
    if (l.frame || plen < 6 || p[0] != 8)
        return false;
    l.height = Be16(p + 1);
    l.width = Be16(p + 3);
    const int count = p[5];
    if (count < 1 || count > 4 || plen < size_t(6 + 3 * count) || l.width == 0 || l.height == 0)
        return false;
    for (int i = 0; i < count; ++i) {
        Component c;
        c.id = p[6 + 3 * i];
        c.h = p[7 + 3 * i] >> 4;
        c.v = p[7 + 3 * i] & 15;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4)
            return false;
        l.comps.push_back(c);
    }
    l.frame = true;
    return true;
}

bool ReadHuffmanTables(const uint8_t* p, size_t plen, Layout& l)
{
    size_t at = 0;
    while (at < plen) {
        if (plen - at < 17)
            return false;
        const int cls = p[at] >> 4, id = p[at] & 15;
        int total = 0;
        for (int i = 0; i < 16; ++i)
            total += p[at + 1 + size_t(i)];
        if (cls > 1 || id > 3 || total > 256 || plen - at - 17 < size_t(total))
            return false;
        Huffman& h = cls ? l.acTables[id] : l.dcTables[id];
        h = Huffman{};
        if (!h.Build(p + at + 1, p + at + 17, total))
            return false;
        at += 17 + size_t(total);
    }
    return true;
}

// One scan of every component in the frame's order, sequential, with
// tables defined before it.
bool ReadScanHeader(const uint8_t* p, size_t plen, Layout& l)
{
    if (!l.frame || plen < 1 || p[0] != l.comps.size() || plen < size_t(4 + 2 * p[0]))
        return false;
    for (size_t i = 0; i < l.comps.size(); ++i) {
        Component& c = l.comps[i];
        if (p[1 + 2 * i] != c.id)
            return false; // another order: leave it to the library
        c.dc = p[2 + 2 * i] >> 4;
        c.ac = p[2 + 2 * i] & 15;
        if (c.dc > 3 || c.ac > 3 || !l.dcTables[c.dc].defined || !l.acTables[c.ac].defined)
            return false;
    }
    const uint8_t* q = p + 1 + 2 * l.comps.size();
    return q[0] == 0 && q[1] == 63 && q[2] == 0;
}

// The segments up to the scan: JFIF first, then the metadata, then the
// tables and the frame as they were. pos is left at the scan's data.
bool ReadLayout(const uint8_t* d, size_t n, size_t& pos, Layout& l)
{
    pos = 2;
    for (;;) {
        // Stray bytes before a marker are skipped, as the library does.
        while (pos < n && d[pos] != 0xFF)
            ++pos;
        if (pos + 4 > n)
            return false;
        const int marker = d[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        // A zero after 0xFF is no marker: the library passes over the pair
        // as it does over stray bytes. Read as a segment, its "length" would
        // swallow tables the library reads.
        if (marker == 0x00) {
            pos += 2;
            continue;
        }
        // Markers without a length (TEM), and codes the library refuses
        // outright: it does not read them as we would.
        if (marker < 0xC0 || (marker >= 0xF0 && marker <= 0xFD))
            return false;
        const size_t len = Be16(d + pos + 2);
        if (len < 2 || pos + 2 + len > n)
            return false;
        const uint8_t* p = d + pos + 4;
        const size_t plen = len - 2;
        const QByteArray whole(reinterpret_cast<const char*>(d + pos), qsizetype(len + 2));
        pos += len + 2;
        bool ok = true;
        if (marker == 0xE0) {
            // JFIF stays; a JFXX extension holds a thumbnail that would
            // still show what was erased.
            if (plen >= 5 && std::memcmp(p, "JFIF\0", 5) == 0)
                l.head += whole;
            continue;
        }
        if ((marker >= 0xE1 && marker <= 0xEF) || marker == 0xFE) {
            if (marker == 0xEE)
                l.tables += whole; // Adobe: how the colours are coded
            continue;
        }
        if (marker == 0xC0 || marker == 0xC1)
            ok = ReadFrame(p, plen, l);
        else if (marker >= 0xC2 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8)
            ok = false; // progressive, lossless or arithmetic-coded (DAC too): the full route
        else if (marker == 0xC4)
            ok = ReadHuffmanTables(p, plen, l);
        else if (marker == 0xDD)
            ok = plen >= 2 && (l.restart = Be16(p), true);
        else if (marker == 0xDA)
            ok = ReadScanHeader(p, plen, l);
        else if (marker == 0xD9 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7))
            ok = false;
        if (!ok)
            return false;
        l.tables += whole; // DQT and anything else before the scan too
        if (marker == 0xDA)
            return true;
    }
}

// The MCU grid; false for a layout the splice does not take.
bool SizeGrid(Layout& l)
{
    int hMax = 1, vMax = 1;
    for (const Component& c : l.comps) {
        hMax = std::max(hMax, c.h);
        vMax = std::max(vMax, c.v);
    }
    if (l.comps.size() == 1 && (hMax != 1 || vMax != 1))
        return false;
    l.mcusX = (l.width + 8 * hMax - 1) / (8 * hMax);
    l.mcusY = (l.height + 8 * vMax - 1) / (8 * vMax);
    if (l.comps.size() == 1) // one component: its MCU is one block
        l.comps[0].h = l.comps[0].v = 1;
    return true;
}

// The scan's data without its stuffed zeros, cut at its restart markers.
struct CleanScan {
    std::unique_ptr<uint8_t[]> data;
    std::vector<uint64_t> intervalEnd;                 // in clean bytes
    std::vector<std::pair<size_t, size_t>> stuffed;    // each interval's bytes in the source
};

bool Unstuff(const uint8_t* d, size_t n, size_t pos, CleanScan& scan)
{
    scan.data.reset(new uint8_t[n - pos + 512]);
    uint8_t* clean = scan.data.get();
    size_t cleanSize = 0;
    size_t start = pos;
    int nextRst = 0;
    for (;;) {
        const void* ff = pos < n ? std::memchr(d + pos, 0xFF, n - pos) : nullptr;
        if (!ff)
            return false;
        const size_t run = size_t(static_cast<const uint8_t*>(ff) - (d + pos));
        std::memcpy(clean + cleanSize, d + pos, run);
        cleanSize += run;
        pos += run;
        if (pos + 1 >= n)
            return false;
        const uint8_t m = d[pos + 1];
        if (m == 0x00) {
            clean[cleanSize++] = 0xFF;
            pos += 2;
        } else if (m == 0xFF) {
            ++pos;
        } else if ((m >= 0xD0 && m <= 0xD7) || m == 0xD9) {
            if (m != 0xD9 && m != 0xD0 + nextRst)
                return false;
            nextRst = (nextRst + 1) & 7;
            scan.intervalEnd.push_back(cleanSize);
            scan.stuffed.emplace_back(start, pos);
            if (m == 0xD9)
                break;
            pos += 2;
            start = pos;
        } else {
            return false; // another scan or a DNL: the full route
        }
    }
    // The zeros after the data give the reader room to run past the end
    // within one damaged block (at most 64 codes of 16 bits and their 11
    // bits) before it is stopped.
    std::memset(clean + cleanSize, 0, 512);
    return true;
}

// Which blocks the patches replace, per component, and which MCUs they touch.
bool PlacePatches(Layout& l, const std::vector<BlockPatch>& patches, std::vector<uint8_t>& mcuChanged)
{
    mcuChanged.assign(size_t(l.Mcus()), 0);
    for (Component& c : l.comps) {
        c.blocksWide = l.mcusX * c.h;
        c.patchOf.assign(size_t(c.blocksWide) * size_t(l.mcusY * c.v), 0);
    }
    for (size_t i = 0; i < patches.size(); ++i) {
        const BlockPatch& p = patches[i];
        if (p.components.size() != l.comps.size())
            return false;
        for (size_t ci = 0; ci < l.comps.size(); ++ci) {
            Component& c = l.comps[ci];
            const BlockPatch::Component& pc = p.components[ci];
            const int bx0 = p.mcuX * c.h, by0 = p.mcuY * c.v;
            if (pc.blocksWide % c.h || pc.blocksHigh % c.v || bx0 + pc.blocksWide > c.blocksWide
                || by0 + pc.blocksHigh > l.mcusY * c.v || pc.coef.size() != size_t(pc.blocksWide) * pc.blocksHigh * 64)
                return false;
            for (int y = 0; y < pc.blocksHigh; ++y)
                for (int x = 0; x < pc.blocksWide; ++x) {
                    c.patchOf[size_t(by0 + y) * c.blocksWide + size_t(bx0 + x)] = int32_t(i + 1);
                    mcuChanged[size_t((by0 + y) / c.v) * l.mcusX + size_t((bx0 + x) / c.h)] = 1;
                }
        }
    }
    return true;
}

// A replaced block's 64 coefficients (natural order), its DC as a step
// from pred.
bool EncodeBlock(BitWriter& w, const Huffman& dcT, const Huffman& acT, const int16_t* coef, int& pred)
{
    if (!w.Number(dcT, coef[0] - pred, 0, 11))
        return false;
    pred = coef[0];
    int run = 0;
    for (int k = 1; k < 64; ++k) {
        const int v = coef[kNatural[size_t(k)]];
        if (v == 0) {
            ++run;
            continue;
        }
        for (; run > 15; run -= 16)
            if (!w.Encode(acT, 0xF0))
                return false;
        if (!w.Number(acT, v, run, 10))
            return false;
        run = 0;
    }
    return !run || w.Encode(acT, 0x00);
}

// The MCUs first..last of one restart interval coded again into w: a
// replaced block from its patch, the block after one with its new DC step,
// every other block's bits copied. stop is asked every 4096 MCUs.
bool RecodeInterval(const Layout& l, const std::vector<BlockPatch>& patches, BitReader& reader, BitWriter& w,
                    int64_t first, int64_t last, const std::function<bool(int64_t)>& stop)
{
    int predIn[4] = {}, predOut[4] = {};
    uint64_t pending = reader.pos; // bits from here on are copied as they are
    for (int64_t m = first; m < last; ++m) {
        if (m > first && (m & 4095) == 0 && stop(m))
            return false;
        const int mx = int(m % l.mcusX), my = int(m / l.mcusX);
        for (size_t ci = 0; ci < l.comps.size(); ++ci) {
            const Component& c = l.comps[ci];
            const Huffman& dcT = l.dcTables[c.dc];
            const Huffman& acT = l.acTables[c.ac];
            for (int by = 0; by < c.v; ++by)
                for (int bx = 0; bx < c.h; ++bx) {
                    const uint64_t blockStart = reader.pos;
                    const int s = reader.Symbol(dcT);
                    if (s < 0 || s > 11)
                        return false;
                    const int before = predIn[ci];
                    predIn[ci] += reader.Value(s);
                    const uint64_t acStart = reader.pos;
                    if (!SkipAc(reader, acT) || reader.pos > reader.end)
                        return false;
                    const int32_t patch = c.patchOf[size_t(my * c.v + by) * c.blocksWide + size_t(mx * c.h + bx)];
                    if (!patch && predOut[ci] == before) {
                        predOut[ci] = predIn[ci]; // the same bits: left in the pending copy
                        continue;
                    }
                    w.Copy(reader, pending, blockStart);
                    if (patch) {
                        const BlockPatch& p = patches[size_t(patch - 1)];
                        const BlockPatch::Component& pc = p.components[ci];
                        const int16_t* coef = pc.coef.data()
                            + (size_t(my * c.v + by - p.mcuY * c.v) * size_t(pc.blocksWide)
                               + size_t(mx * c.h + bx - p.mcuX * c.h)) * 64;
                        if (!EncodeBlock(w, dcT, acT, coef, predOut[ci]))
                            return false;
                    } else {
                        // Unchanged, but after a replaced block its DC step
                        // is another; the rest is copied.
                        if (!w.Number(dcT, predIn[ci] - predOut[ci], 0, 11))
                            return false;
                        predOut[ci] = predIn[ci];
                        w.Copy(reader, acStart, reader.pos);
                    }
                    pending = reader.pos;
                }
        }
    }
    w.Copy(reader, pending, reader.pos);
    w.Finish();
    return true;
}

// Every 0xFF of the data is followed by a stuffed zero.
void AppendStuffed(std::vector<char>& body, const BitWriter& w)
{
    const uint8_t* at = w.out.get();
    const uint8_t* const end = at + w.size;
    while (at < end) {
        const void* ff = std::memchr(at, 0xFF, size_t(end - at));
        const uint8_t* upTo = ff ? static_cast<const uint8_t*>(ff) + 1 : end;
        body.insert(body.end(), at, upTo);
        if (ff)
            body.push_back(0);
        at = upTo;
    }
}

} // namespace

bool SpliceSequentialJpeg(const QByteArray& source, const std::vector<BlockPatch>& patches,
                          const std::vector<MarkerSegment>& segments, QByteArray* out,
                          const std::function<bool(int64_t, int64_t)>& keepGoing, bool* cancelled)
{
    const auto* d = reinterpret_cast<const uint8_t*>(source.constData());
    const size_t n = size_t(source.size());
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    Layout l;
    size_t pos = 0;
    CleanScan scan;
    std::vector<uint8_t> mcuChanged;
    if (!ReadLayout(d, n, pos, l) || !SizeGrid(l) || !Unstuff(d, n, pos, scan))
        return false;
    const int64_t mcus = l.Mcus();
    if (l.restart ? int64_t(scan.intervalEnd.size()) != (mcus + l.restart - 1) / l.restart : scan.intervalEnd.size() != 1)
        return false;
    if (!PlacePatches(l, patches, mcuChanged))
        return false;
    QByteArray head = l.head;
    for (const MarkerSegment& m : segments) {
        const int len = int(m.data.size()) + 2;
        if (len > 65535)
            continue;
        head += char(0xFF);
        head += char(m.marker);
        head += char(len >> 8);
        head += char(len & 255);
        head += m.data;
    }
    head += l.tables;

    std::vector<char> body;
    body.reserve(n + n / 64);
    BitReader reader{scan.data.get()};
    const int64_t perInterval = l.restart ? l.restart : mcus;
    // A cancel is looked for at every restart interval and every 4096 MCUs.
    const std::function<bool(int64_t)> stop = [&](int64_t done) {
        if (!keepGoing || keepGoing(done, mcus))
            return false;
        if (cancelled)
            *cancelled = true;
        return true;
    };
    for (size_t iv = 0; iv < scan.intervalEnd.size(); ++iv) {
        const int64_t first = int64_t(iv) * perInterval, last = std::min(mcus, first + perInterval);
        if (stop(first))
            return false;
        if (iv > 0) {
            body.push_back(char(0xFF));
            body.push_back(char(0xD0 + int((iv - 1) & 7)));
        }
        if (std::none_of(mcuChanged.begin() + first, mcuChanged.begin() + last, [](uint8_t c) { return c; })) {
            body.insert(body.end(), source.constData() + scan.stuffed[iv].first, source.constData() + scan.stuffed[iv].second);
            continue;
        }
        reader.pos = iv ? scan.intervalEnd[iv - 1] * 8 : 0;
        reader.end = scan.intervalEnd[iv] * 8;
        BitWriter w;
        w.Room(size_t(scan.intervalEnd[iv] - (iv ? scan.intervalEnd[iv - 1] : 0)) + 64);
        if (!RecodeInterval(l, patches, reader, w, first, last, stop))
            return false;
        AppendStuffed(body, w);
    }
    out->reserve(head.size() + qsizetype(body.size()) + 2);
    *out = head;
    out->append(body.data(), qsizetype(body.size()));
    out->append("\xFF\xD9", 2);
    return true;
}

} // namespace codec
