// The codec beside libjpeg-turbo's TurboJPEG API and libpng's own API doing
// the same decode or encode straight to memory.
#include "Codec.h"
#include "PictureFiles.h"
#include "PictureLoader.h"
#include "Retouch.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <png.h>
#include <turbojpeg.h>

#include <vector>

namespace {

const char* kJpeg = PIXMEND_PHOTOS "/abstract/Elephants_5640x3172.jpg";

QTemporaryDir& Dir()
{
    static QTemporaryDir d;
    return d;
}

// 24 megapixels of photograph.
const platform::Surface& Photo24()
{
    static platform::Surface s = [] {
        const platform::Surface p = files::LoadPicture(kJpeg);
        return p.scaled(6000, 4000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB32);
    }();
    return s;
}

// 24 megapixels of four different photographs side by side: what a photo
// archive holds, not one picture enlarged.
const platform::Surface& Mosaic24()
{
    static platform::Surface s = [] {
        platform::Surface m = platform::MakeSurface(6000, 4000);
        const char* photos[4] = {"nature/Storm.jpg", "nature/Aqua.jpg", "abstract/Elephants_5640x3172.jpg",
                                 "nature/GreenMeadow.jpg"};
        QPainter painter(&m);
        for (int i = 0; i < 4; ++i) {
            const platform::Surface p = files::LoadPicture(QString(PIXMEND_PHOTOS "/") + photos[i]);
            if (p.isNull())
                return platform::Surface(); // a photograph missing: no benchmark
            painter.drawImage(QRect((i % 2) * 3000, (i / 2) * 2000, 3000, 2000), p);
        }
        return m;
    }();
    return s;
}

const QString& Png24()
{
    static QString path = [] {
        const QString p = Dir().filePath("photo24.png");
        codec::DCSavetoPNG(Photo24(), 6000, 4000, p, 1);
        return p;
    }();
    return path;
}

QByteArray ReadFile(const QString& p)
{
    QFile f(p);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void BM_LoadJpeg_Ours(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(files::LoadPicture(kJpeg));
    }
}

void BM_LoadJpeg_TurboJpeg(benchmark::State& state)
{
    const QByteArray data = ReadFile(kJpeg);
    tjhandle tj = tjInitDecompress();
    for (auto _ : state) {
        int w, h, sub, cs;
        tjDecompressHeader3(tj, reinterpret_cast<const uchar*>(data.constData()), data.size(), &w, &h, &sub, &cs);
        std::unique_ptr<uchar[]> out(new uchar[size_t(w) * h * 4]);
        tjDecompress2(tj, reinterpret_cast<const uchar*>(data.constData()), data.size(), out.get(), w, 0, h, TJPF_BGRX, 0);
        benchmark::DoNotOptimize(out.get());
    }
    tjDestroy(tj);
}

void BM_LoadPng_Ours(benchmark::State& state)
{
    const QString p = Png24();
    for (auto _ : state) {
        benchmark::DoNotOptimize(files::LoadPicture(p));
    }
}

void BM_LoadPng_Libpng(benchmark::State& state)
{
    const QByteArray data = ReadFile(Png24());
    for (auto _ : state) {
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_memory(&img, data.constData(), size_t(data.size()));
        img.format = PNG_FORMAT_BGRA;
        std::unique_ptr<uchar[]> out(new uchar[PNG_IMAGE_SIZE(img)]);
        png_image_finish_read(&img, nullptr, out.get(), 0, nullptr);
        benchmark::DoNotOptimize(out.get());
    }
}

void BM_SaveJpeg_Ours(benchmark::State& state)
{
    const platform::Surface& s = Photo24();
    const QString p = Dir().filePath("out.jpg");
    for (auto _ : state)
        benchmark::DoNotOptimize(codec::DCSavetoJPEG(s, 6000, 4000, p, 50, state.range(0) != 0));
}

void BM_SaveJpeg_TurboJpeg(benchmark::State& state)
{
    const platform::Surface& s = Photo24();
    tjhandle tj = tjInitCompress();
    for (auto _ : state) {
        uchar* out = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, s.constBits(), 6000, int(s.bytesPerLine()), 4000, TJPF_BGRX, &out, &size, TJSAMP_420,
                    codec::JpegQualityForRate(50), state.range(0) ? TJFLAG_PROGRESSIVE : 0);
        tjFree(out);
    }
    tjDestroy(tj);
}

void BM_SavePng_Ours(benchmark::State& state)
{
    const platform::Surface& s = Mosaic24();
    const QString p = Dir().filePath("out.png");
    for (auto _ : state)
        benchmark::DoNotOptimize(codec::DCSavetoPNG(s, 6000, 4000, p, uint8_t(state.range(0))));
    state.counters["MB"] = double(QFileInfo(p).size()) / 1e6;
}

void WriteToVector(png_structp png, png_bytep data, png_size_t n)
{
    auto* v = static_cast<std::vector<uchar>*>(png_get_io_ptr(png));
    v->insert(v->end(), data, data + n);
}

void BM_SavePng_Libpng(benchmark::State& state)
{
    const platform::Surface& s = Mosaic24();
    size_t bytes = 0;
    const int level = codec::PngLevelForRate(int(state.range(0)));
    for (auto _ : state) {
        std::vector<uchar> out;
        out.reserve(64 << 20);
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_set_write_fn(png, &out, WriteToVector, nullptr);
        png_set_compression_level(png, level);
        png_set_filter(png, PNG_FILTER_TYPE_BASE, codec::PngFiltersForLevel(level));
        png_set_IHDR(png, info, 6000, 4000, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                     PNG_FILTER_TYPE_BASE);
        png_write_info(png, info);
        png_set_bgr(png);
        png_set_filler(png, 0, PNG_FILLER_AFTER);
        for (int y = 0; y < 4000; ++y)
            png_write_row(png, s.constScanLine(y));
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        benchmark::DoNotOptimize(out.data());
        bytes = out.size();
    }
    state.counters["MB"] = double(bytes) / 1e6;
}

} // namespace

// A 24-megapixel camera-quality JPEG (quality 95) with one caption-sized
// retouch, saved again: by keeping the untouched blocks, and by the normal
// save at the same quality (the baseline).
struct KeptJpeg {
    files::PictureSource source;
    platform::Surface picture;
};
const KeptJpeg& Camera24()
{
    static KeptJpeg k = [] {
        KeptJpeg j;
        const QString path = Dir().filePath("camera24.jpg");
        codec::DCSavetoJPEG(Photo24(), 6000, 4000, path, 6, false);
        j.picture = files::LoadPicture(path, nullptr, {}, &j.source.origin);
        const QRect caption(4000, 3700, 400, 60);
        retouch::SelRect sel{caption.left(), caption.top(), caption.right(), caption.bottom()};
        retouch::Retouch(j.picture, sel, retouch::FillMode::Vertical);
        j.source.retouched.push_back(caption);
        return j;
    }();
    return k;
}

void BM_SaveCameraJpeg(benchmark::State& state)
{
    const KeptJpeg& k = Camera24();
    const QString out = Dir().filePath("camera24-out.jpg");
    files::SaveOptions options;
    options.JpegRate = 6;
    options.JpegKeep = int16_t(state.range(0));
    bool kept = false;
    for (auto _ : state) {
        int err = 0;
        files::WritePicture(k.picture, out, ".JPG", options, &k.source, {}, &err, &kept);
    }
    if (kept != (state.range(0) == 1))
        state.SkipWithError("the save did not take the expected route");
    state.SetLabel(state.range(0) ? "keeping blocks" : "normal save (baseline)");
    state.counters["KB"] = double(QFileInfo(out).size()) / 1024;
    state.counters["source_KB"] = double(QFileInfo(k.source.origin.path).size()) / 1024;
}

BENCHMARK(BM_SaveCameraJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadJpeg_TurboJpeg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadJpeg_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadPng_Libpng)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadPng_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveJpeg_TurboJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveJpeg_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SavePng_Libpng)->Arg(1)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_SavePng_Ours)->Arg(1)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
