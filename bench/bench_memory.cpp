// Peak resident memory of the whole job on a 50-megapixel photograph: load
// (JPEG), retouch (3000 x 2000, cross fill), save (JPEG and PNG). The job
// runs in a fresh child process so that its high-water mark is its own.
// The budget is the working picture plus one pixel buffer.
#include "Codec.h"
#include "PictureFiles.h"
#include "Retouch.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kW = 8660, kH = 5774;

long PeakOfChild(const std::function<int()>& job, int* status)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(job());
    int st = 0;
    rusage usage{};
    wait4(pid, &st, 0, &usage);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return usage.ru_maxrss; // kilobytes
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString jpg = dir.filePath("photo50.jpg");
    int status = 0;
    // Make the photograph in a child of its own.
    PeakOfChild([&] {
        platform::Surface s = platform::MakeSurface(kW, kH);
        for (int y = 0; y < kH; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(s.scanLine(y));
            for (int x = 0; x < kW; ++x)
                row[x] = 0xFF000000u | uint32_t((x / 7) & 0xFF) << 16 | uint32_t((y / 5) & 0xFF) << 8 | uint32_t(((x + y) / 9) & 0xFF);
        }
        return platform::DCSavetoJPEG(s, kW, kH, jpg, 20, false);
    }, &status);
    if (status != 0)
        return 1;

    const long idle = PeakOfChild([] { return 0; }, &status);
    const long job = PeakOfChild([&] {
        platform::Surface picture;
        if (files::LoadPictureFile(jpg, picture) != 0)
            return 2;
        retouch::SelRect sel{1000, 1000, 3999, 2999};
        if (retouch::Retouch(picture, sel, retouch::FillMode::Cross) != retouch::RetouchResult::Done)
            return 3;
        if (platform::DCSavetoJPEG(picture, kW, kH, dir.filePath("out.jpg"), 50, true) != 0)
            return 4;
        if (platform::DCSavetoPNG(picture, kW, kH, dir.filePath("out.png"), 1) != 0)
            return 5;
        return 0;
    }, &status);
    const double pictureMb = double(kW) * kH * 4 / (1 << 20);
    std::printf("50-megapixel job (load JPEG, cross fill 3000x2000, save JPEG and PNG): status %d\n", status);
    std::printf("peak resident: %.0f MiB; process at rest: %.0f MiB; working picture %.0f MiB + pixel buffer %.0f MiB = %.0f MiB\n",
                job / 1024.0, idle / 1024.0, pictureMb, pictureMb, 2 * pictureMb);
    std::printf("ratio (peak - rest) / (picture + buffer): %.2f\n", (job - idle) / 1024.0 / (2 * pictureMb));
    if (status != 0)
        return status;

    // The largest pictures the limit allows load: 23000 x 23000 (529 megapixels).
    const QString huge = dir.filePath("huge.png");
    PeakOfChild([&] {
        platform::Surface s = platform::MakeSurface(23000, 23000);
        if (s.isNull())
            return 2;
        for (int y = 0; y < 23000; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(s.scanLine(y));
            for (int x = 0; x < 23000; ++x)
                row[x] = 0xFF000000u | uint32_t((x >> 6) & 0xFF) << 8 | uint32_t((y >> 6) & 0xFF);
        }
        return platform::DCSavetoPNG(s, 23000, 23000, huge, 1);
    }, &status);
    if (status != 0)
        return 6;
    const long hugePeak = PeakOfChild([&] {
        platform::Surface s;
        if (files::LoadPictureFile(huge, s) != 0 || s.size() != QSize(23000, 23000))
            return 7;
        return (s.pixel(22999, 22999) & 0xFFFFFF) == ((((22999 >> 6) & 0xFF) << 8) | ((22999 >> 6) & 0xFF)) ? 0 : 8;
    }, &status);
    std::printf("23000 x 23000 PNG: %s, peak resident %.0f MiB (picture %.0f MiB)\n",
                status == 0 ? "loaded" : "FAILED", hugePeak / 1024.0, 23000.0 * 23000 * 4 / (1 << 20));
    return status;
}
