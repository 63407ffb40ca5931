// Each fill over a 3000 x 2000 rectangle of a 6000 x 4000 picture, and the
// transfer of the whole picture, beside memcpy of the same bytes.
#include "Fills.h"
#include "Transfer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>

namespace {

constexpr int W = 6000, H = 4000;
constexpr retouch::SelRect kRect{1500, 1000, 4499, 2999};
constexpr size_t kRectBytes = size_t(3000) * 2000 * 4;
constexpr size_t kPictureBytes = size_t(W) * H * 4;

retouch::PixelBuffer& Buffer()
{
    static retouch::PixelBuffer buf = [] {
        retouch::PixelBuffer b;
        b.Redim(size_t(W) * H);
        std::mt19937 rng(1);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = rng();
        return b;
    }();
    return buf;
}

void BM_MemcpyRect(benchmark::State& state)
{
    // The rectangle's bytes, row by row as they lie in the picture.
    retouch::PixelBuffer& buf = Buffer();
    std::vector<uint32_t> dst(size_t(W) * H);
    for (auto _ : state) {
        for (int y = kRect.Y1; y <= kRect.Y2; ++y) {
            const size_t off = retouch::PixelIndex(kRect.X1, y, W, H);
            std::memcpy(dst.data() + off, buf.data() + off, 3000 * 4);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRectBytes));
}

template <void (*Fill)(const retouch::SelRect&, retouch::PixelBuffer&, int32_t, int32_t)>
void BM_Fill(benchmark::State& state)
{
    retouch::PixelBuffer& buf = Buffer();
    for (auto _ : state) {
        Fill(kRect, buf, W, H);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRectBytes));
}

QImage& Picture()
{
    static QImage img = [] {
        QImage i(W, H, QImage::Format_RGB32);
        i.fill(0x336699);
        return i;
    }();
    return img;
}

void BM_MemcpyPictureFreshAllocation(benchmark::State& state)
{
    const QImage& img = Picture();
    for (auto _ : state) {
        std::unique_ptr<uint32_t[]> dst(new uint32_t[size_t(W) * H]);
        std::memcpy(dst.get(), img.constBits(), kPictureBytes);
        benchmark::DoNotOptimize(dst.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPictureBytes));
}

void BM_MemcpyPicture(benchmark::State& state)
{
    QImage& img = Picture();
    retouch::PixelBuffer& buf = Buffer();
    for (auto _ : state) {
        std::memcpy(img.bits(), buf.data(), kPictureBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPictureBytes));
}

void BM_GetPixels(benchmark::State& state)
{
    const QImage& img = Picture();
    for (auto _ : state) {
        retouch::PixelBuffer buf; // GetPixelRows allocates, like the baseline
        benchmark::DoNotOptimize(retouch::GetPixelRows(img, 0, img.height() - 1, buf));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPictureBytes));
}

void BM_SetPixels(benchmark::State& state)
{
    QImage& img = Picture();
    retouch::PixelBuffer& buf = Buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(retouch::SetPixelRows(img, 0, img.height() - 1, buf));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPictureBytes));
}

} // namespace

BENCHMARK(BM_MemcpyRect)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fill<retouch::FillVertical>)->Name("BM_FillVertical")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fill<retouch::FillHorizontal>)->Name("BM_FillHorizontal")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fill<retouch::FillCross>)->Name("BM_FillCross")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyPictureFreshAllocation)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetPixels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyPicture)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SetPixels)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
