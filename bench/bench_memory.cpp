// Peak resident memory of the whole job on a 50-megapixel photograph: load
// (JPEG), retouch (3000 x 2000, cross fill), save (JPEG and PNG). The job
// runs in a fresh child process so that its high-water mark is its own.
// The budget is the working picture plus one pixel buffer.
#include "Codec.h"
#include "PictureFiles.h"
#include "Retouch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <vector>
#include <sys/resource.h>

#include <jpeglib.h>
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

// A w x h JPEG of smooth colour, 4:4:4, progressive or baseline, with an
// Exif orientation tag when orientation != 1.
bool WriteTestJpeg(const QString& path, int w, int h, bool progressive, int orientation)
{
    FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f)
        return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 85, TRUE);
    for (int i = 0; i < c.num_components; ++i)
        c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    if (progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    if (orientation != 1) {
        const unsigned char exif[] = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 1,
                                      0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0};
        jpeg_write_marker(&c, JPEG_APP0 + 1, exif, sizeof exif);
    }
    std::vector<uint8_t> row(size_t(w) * 3);
    while (c.next_scanline < c.image_height) {
        const int y = int(c.next_scanline);
        for (int x = 0; x < w; ++x) {
            row[size_t(x) * 3] = uint8_t(x / 7);
            row[size_t(x) * 3 + 1] = uint8_t(y / 5);
            row[size_t(x) * 3 + 2] = uint8_t((x + y) / 9);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return std::fclose(f) == 0;
}

// Peak memory of loading each kind of large JPEG, against the picture itself
// and libjpeg's whole-picture coefficient buffer (progressive files only).
int DecodePeaks(const QTemporaryDir& dir, long idle)
{
    constexpr int W = 10000, H = 6000;
    const double picture = double(W) * H * 4 / (1 << 20);
    const double coefficients = double(W) * H * 3 * 2 / (1 << 20); // 4:4:4, 2 bytes a coefficient
    struct Kind {
        const char* name;
        bool progressive;
        int orientation;
    };
    for (const Kind& k : {Kind{"baseline", false, 1}, Kind{"baseline, Exif orientation 6", false, 6},
                          Kind{"progressive 4:4:4", true, 1}, Kind{"progressive 4:4:4, orientation 8", true, 8}}) {
        const QString path = dir.filePath("decode.jpg");
        if (!WriteTestJpeg(path, W, H, k.progressive, k.orientation))
            return 9;
        const double fileMb = double(QFileInfo(path).size()) / (1 << 20);
        int status = 0;
        const long peak = PeakOfChild([&] {
            const platform::Surface s = files::LoadPicture(path);
            return !s.isNull() && s.width() == (k.orientation >= 5 ? H : W) ? 0 : 1;
        }, &status);
        const double used = (peak - idle) / 1024.0;
        const double budget = 1.3 * picture + (k.progressive ? coefficients : 0);
        std::printf("%dx%d %s (file %.0f MiB): %s, peak above rest %.0f MiB = %.2f x picture; budget 1.3 x picture%s = %.0f MiB: %s\n",
                    W, H, k.name, fileMb, status == 0 ? "loaded" : "FAILED", used, used / picture,
                    k.progressive ? " + coefficients" : "", budget, used <= budget ? "within" : "OVER");
        if (status != 0)
            return 9;
    }
    return 0;
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
        return codec::DCSavetoJPEG(s, kW, kH, jpg, 20, false);
    }, &status);
    if (status != 0)
        return 1;

    const long idle = PeakOfChild([] { return 0; }, &status);
    const long job = PeakOfChild([&] {
        platform::Surface picture = files::LoadPicture(jpg);
        if (picture.isNull())
            return 2;
        retouch::SelRect sel{1000, 1000, 3999, 2999};
        if (retouch::Retouch(picture, sel, retouch::FillMode::Cross) != retouch::RetouchResult::Done)
            return 3;
        if (codec::DCSavetoJPEG(picture, kW, kH, dir.filePath("out.jpg"), 50, true) != 0)
            return 4;
        if (codec::DCSavetoPNG(picture, kW, kH, dir.filePath("out.png"), 1) != 0)
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
    if (const int rc = DecodePeaks(dir, idle))
        return rc;

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
        return codec::DCSavetoPNG(s, 23000, 23000, huge, 1);
    }, &status);
    if (status != 0)
        return 6;
    const long hugePeak = PeakOfChild([&] {
        const platform::Surface s = files::LoadPicture(huge);
        if (s.size() != QSize(23000, 23000))
            return 7;
        return (s.pixel(22999, 22999) & 0xFFFFFF) == ((((22999 >> 6) & 0xFF) << 8) | ((22999 >> 6) & 0xFF)) ? 0 : 8;
    }, &status);
    std::printf("23000 x 23000 PNG: %s, peak resident %.0f MiB (picture %.0f MiB)\n",
                status == 0 ? "loaded" : "FAILED", hugePeak / 1024.0, 23000.0 * 23000 * 4 / (1 << 20));
    return status;
}
