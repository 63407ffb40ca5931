// Interactive paths with a 50-megapixel picture on view in a 1920 x 1080
// view: a mouse move (loupe plus rubber band), a brush stroke's move over the
// letter mask, a scroll step, PaintView, the retouch command end to end, and
// undo/redo, beside memcpy of the whole picture.
#include "EditHistory.h"
#include "PictureView.h"
#include "Surface.h"
#include "ViewArea.h"
#include "basCommon.h"
#include "PictureFiles.h"
#include <QFileInfo>
#include "Codec.h"
#include "Reductions.h"

#include <algorithm>
#include "frmMain.h"

#include <QApplication>
#include <QRadioButton>
#include <QScrollBar>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr int kW = 8660, kH = 5774; // 50 megapixels

std::unique_ptr<frmMain> g_window; // destroyed before the application object

frmMain& Window()
{
    static QTemporaryDir dir;
    if (!g_window) g_window = [] {
        basCommon::LoadSettings(dir.path());
        auto f = std::make_unique<frmMain>();
        f->resize(1920 + 113 + 2, 1080 + 103 + 2);
        f->show();
        platform::Surface pic = platform::MakeSurface(kW, kH);
        for (int y = 0; y < kH; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(pic.scanLine(y));
            for (int x = 0; x < kW; ++x)
                row[x] = 0xFF000000u | uint32_t((x * 7) & 0xFF) << 16 | uint32_t((y * 3) & 0xFF) << 8 | uint32_t((x ^ y) & 0xFF);
        }
        f->View->Document()->SetPicture(std::move(pic));
        return f;
    }();
    return *g_window;
}

void BM_MemcpyWholePicture(benchmark::State& state)
{
    frmMain& w = Window();
    std::unique_ptr<uint8_t[]> dst(new uint8_t[size_t(kW) * kH * 4]);
    std::memset(dst.get(), 0, size_t(kW) * kH * 4);
    for (auto _ : state) {
        std::memcpy(dst.get(), w.View->Document()->PicImg().constBits(), size_t(kW) * kH * 4);
        benchmark::ClobberMemory();
    }
}

void BM_PaintView(benchmark::State& state)
{
    frmMain& w = Window();
    for (auto _ : state)
        w.View->PaintView();
    state.counters["view"] = w.AREA[0]->DrawWidth() * 10000.0 + w.AREA[0]->DrawHeight();
}

void BM_MouseMove(benchmark::State& state)
{
    frmMain& w = Window();
    w.View->AREA_MouseDown(0, 1, 0, 100, 100); // banding: loupe and rubber band
    float x = 0;
    for (auto _ : state) {
        w.View->AREA_MouseMove(0, 0, 0, 200 + x, 300);
        x = x > 500 ? 0 : x + 1;
    }
    w.View->AREA_MouseDown(0, 2, 0, 0, 0);
}

// One move of a brush stroke over 文字補正's mask of a 1000 x 300
// rectangle at 100 %: the disc painted into the mask, the view repainted
// with the overlay, the loupe and the brush's outline. BM_MouseMove is the
// baseline.
void BM_BrushStroke(benchmark::State& state)
{
    frmMain& w = Window();
    PictureView* v = w.View;
    v->ZoomTo(1.0, QPointF(0, 0));
    w.HSCR[0]->setValue(1900);
    w.VSCR[0]->setValue(1400);
    w.OPT[3]->setChecked(true);
    v->Commit({2000, 1500, 2999, 1799});
    v->ShowSelLines(true);
    v->Commit({2000, 1500, 2999, 1799});
    v->AREA_MouseDown(0, 1, 0, 200, 200);
    v->AREA_MouseMove(0, 0, 0, 210, 200);
    float x = 0;
    for (auto _ : state) {
        v->AREA_MouseMove(0, 0, 0, 200 + x, 200 + std::fmod(x, 50.f));
        x = x > 800 ? 0 : x + 3;
    }
    v->AREA_MouseUp(0, 1, 0, 200 + x, 200);
    w.OPT[0]->setChecked(true);
    v->CancelSelection();
}

void BM_ScrollStep(benchmark::State& state)
{
    frmMain& w = Window();
    QScrollBar* bar = w.HSCR[0];
    bar->setValue(1000);
    int step = 1;
    for (auto _ : state) {
        bar->setValue(bar->value() + step);
        step = -step;
    }
}

void BM_Retouch(benchmark::State& state)
{
    frmMain& w = Window();
    const int rw = int(state.range(0)), rh = int(state.range(1));
    for (auto _ : state) {
        w.View->Commit({2000, 1500, 2000 + rw - 1, 1500 + rh - 1});
        benchmark::DoNotOptimize(w.Retouch());
    }
}

// Undo and redo of a 400 x 60 caption after 50 such retouches: the time of
// the pair (each repaints the view), and the memory the 50 steps keep.
void BM_UndoRedoCaption(benchmark::State& state)
{
    frmMain& w = Window();
    document::EditHistory history;
    for (int i = 0; i < 50; ++i) {
        retouch::SelRect r{100 + 150 * i, 100 + 100 * i, 100 + 150 * i + 399, 100 + 100 * i + 59};
        history.Record(w.View->Document()->PicImg(), r);
        w.View->Commit(r);
        w.Retouch();
    }
    for (auto _ : state) {
        w.Undo();
        w.Redo();
    }
    state.counters["steps"] = double(history.Steps());
    state.counters["history_MiB"] = double(history.Bytes()) / (1 << 20);
    state.counters["picture_MiB"] = double(w.View->Document()->PicImg().sizeInBytes()) / (1 << 20);
}

} // namespace

// Zooming and scrolling below 100 %: the view painted from the reduced
// copies (1/2: a copy; 1/3 and the fit: bilinear from the next larger copy).
void BM_ZoomStep(benchmark::State& state)
{
    frmMain& w = Window();
    const double levels[2] = {1.0 / 3, 1.0 / 2};
    int i = 0;
    for (auto _ : state)
        w.View->ZoomStep(levels[i++ & 1] < w.View->Zoom() ? -1 : 1);
    w.View->ZoomTo(1.0, QPointF(0, 0));
}

void BM_ScrollStepZoomed(benchmark::State& state)
{
    frmMain& w = Window();
    if (state.range(0))
        w.View->ZoomTo(1.0 / 4, QPointF(0, 0));
    else
        w.View->ZoomFit();
    QScrollBar* bar = w.VSCR[0];
    int step = 1;
    for (auto _ : state) {
        if (bar->maximum() > 0)
            bar->setValue(bar->value() + step);
        else
            w.View->PaintView(); // the fit has nothing to scroll: one repaint
        step = -step;
    }
    state.SetLabel(state.range(0) ? "at 1/4" : "fitted");
    w.View->ZoomTo(1.0, QPointF(0, 0));
}

// Making the reduced copies once per opened picture, beside one copy of it.
void BM_BuildReductions(benchmark::State& state)
{
    frmMain& w = Window();
    Reductions r;
    for (auto _ : state)
        r.Build(w.View->Document()->PicImg());
}

// After a 3000 x 2000 retouch only that band of the reduced copies is
// worked out again.
void BM_ReductionsAfterRetouch(benchmark::State& state)
{
    frmMain& w = Window();
    Reductions r;
    r.Build(w.View->Document()->PicImg());
    for (auto _ : state)
        r.Update(w.View->Document()->PicImg(), QRect(2000, 1500, 3000, 2000));
}

// Opening the same picture, with a photograph's grain added, from a JPEG
// file of quality 91 (the baseline of making the reduced copies).
void BM_LoadJpeg50(benchmark::State& state)
{
    frmMain& w = Window();
    static QTemporaryDir dir;
    const QString path = dir.filePath("p50.jpg");
    if (!QFileInfo::exists(path)) {
        platform::Surface grainy = w.View->Document()->PicImg().copy();
        uint32_t seed = 1;
        for (int y = 0; y < kH; ++y) {
            auto* row = reinterpret_cast<uint8_t*>(grainy.scanLine(y));
            for (int x = 0; x < kW * 4; ++x) {
                seed = seed * 1664525u + 1013904223u;
                row[x] = uint8_t(std::clamp(int(row[x]) + int(seed >> 28) - 8, 0, 255));
            }
        }
        codec::DCSavetoJPEG(grainy, kW, kH, path, 10, false);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(files::LoadPicture(path));
}

BENCHMARK(BM_LoadJpeg50)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ReductionsAfterRetouch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZoomStep)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScrollStepZoomed)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BuildReductions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MemcpyWholePicture)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Retouch)->Args({400, 60})->Args({3000, 2000})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UndoRedoCaption)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_PaintView)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_MouseMove)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BrushStroke)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ScrollStep)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_window.reset();
    return 0;
}
