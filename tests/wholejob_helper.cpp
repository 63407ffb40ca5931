// Helper of the whole-job test in a real X server:
//   wholejob_helper prepare PHOTO OUT.png         a 400 x 300 part of a photograph, as PNG
//   wholejob_helper check ORIG.png SAVED.png X1 Y1 X2 Y2
//                                                 SAVED must be ORIG with the vertical fill applied
#include "Codec.h"
#include "Fills.h"
#include "PictureLoader.h"
#include "Transfer.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList a = app.arguments();
    if (a.size() == 4 && a[1] == "prepare") {
        platform::Surface photo;
        if (!platform::LoadRuntimePicture(a[2], photo))
            return 2;
        const platform::Surface part = photo.copy(200, 200, 400, 300);
        return platform::DCSavetoPNG(part, 400, 300, a[3], 1) == 0 ? 0 : 3;
    }
    if (a.size() == 8 && a[1] == "check") {
        platform::Surface orig = platform::MakeSurface(400, 300), saved = platform::MakeSurface(400, 300);
        if (platform::DCReadPNG(a[2], orig) != 0 || platform::DCReadPNG(a[3], saved) != 0)
            return 2;
        retouch::PixelBuffer buf;
        retouch::GetPixels(orig, buf);
        retouch::FillVertical({a[4].toInt(), a[5].toInt(), a[6].toInt(), a[7].toInt()}, buf, 400, 300);
        retouch::SetPixels(orig, buf);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x)
                if ((orig.pixel(x, y) ^ saved.pixel(x, y)) & 0xFFFFFF) {
                    std::fprintf(stderr, "differs at %d,%d\n", x, y);
                    return 1;
                }
        if (orig.copy(20, 30, 101, 61) == platform::MakeSurface(400, 300).copy(20, 30, 101, 61))
            return 1;
        return 0;
    }
    std::fprintf(stderr, "usage: wholejob_helper prepare PHOTO OUT | check ORIG SAVED X1 Y1 X2 Y2\n");
    return 2;
}
