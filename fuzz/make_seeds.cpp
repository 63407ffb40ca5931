// Writes the seed corpora of the fuzz targets: small valid files of every
// kind the readers take, and broken ones (truncated, bytes altered).
// Usage: make_seeds tests/fuzz-corpus
#include "Codec.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>

namespace {

QString g_root;

void Put(const QString& target, const QString& name, const QByteArray& data)
{
    QDir().mkpath(g_root + "/" + target);
    QFile f(g_root + "/" + target + "/" + name);
    f.open(QIODevice::WriteOnly);
    f.write(data);
}

void PutWithBroken(const QString& target, const QString& name, const QByteArray& data)
{
    Put(target, name, data);
    Put(target, "truncated-" + name, data.left(data.size() * 2 / 3));
    QByteArray flipped = data;
    if (flipped.size() > 40)
        flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x21);
    Put(target, "altered-" + name, flipped);
}

QByteArray Encode(const QImage& img, const char* format, int quality = -1)
{
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    QImageWriter w(&b, format);
    if (quality >= 0)
        w.setQuality(quality);
    w.write(img);
    return out;
}

QImage Picture(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgba(x * 30 % 256, y * 40 % 256, (x + y) * 20 % 256, (x * 50) % 256));
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2)
        return 2;
    g_root = QString::fromLocal8Bit(argv[1]);
    const QImage pic = Picture(9, 7);

    // PNG route.
    PutWithBroken("png", "argb.png", Encode(pic, "png"));
    PutWithBroken("png", "indexed.png", Encode(pic.convertToFormat(QImage::Format_Indexed8), "png"));
    PutWithBroken("png", "grey.png", Encode(pic.convertToFormat(QImage::Format_Grayscale8), "png"));
    PutWithBroken("png", "grey16.png", Encode(pic.convertToFormat(QImage::Format_Grayscale16), "png"));
    PutWithBroken("png", "mono.png", Encode(pic.convertToFormat(QImage::Format_Mono), "png"));
    PutWithBroken("png", "rgba64.png", Encode(pic.convertToFormat(QImage::Format_RGBA64), "png"));
    PutWithBroken("png", "rgb.png", Encode(pic.convertToFormat(QImage::Format_RGB32), "png"));

    // Loader route.
    PutWithBroken("loader", "rgb.bmp", Encode(pic.convertToFormat(QImage::Format_RGB32), "bmp"));
    PutWithBroken("loader", "indexed.bmp", Encode(pic.convertToFormat(QImage::Format_Indexed8), "bmp"));
    PutWithBroken("loader", "mono.bmp", Encode(pic.convertToFormat(QImage::Format_Mono), "bmp"));
    PutWithBroken("loader", "argb.ico", Encode(pic, "ico"));
    PutWithBroken("loader", "baseline.jpg", Encode(pic.convertToFormat(QImage::Format_RGB32), "jpg", 80));
    PutWithBroken("loader", "grey.jpg", Encode(pic.convertToFormat(QImage::Format_Grayscale8), "jpg", 80));
    {
        platform::Surface s = pic.convertToFormat(QImage::Format_RGB32);
        const QString tmp = g_root + "/progressive.tmp";
        codec::DCSavetoJPEG(s, s.width(), s.height(), tmp, 30, true);
        QFile f(tmp);
        f.open(QIODevice::ReadOnly);
        PutWithBroken("loader", "progressive.jpg", f.readAll());
        f.remove();
    }
    // A two-frame GIF, built by hand.
    QByteArray gif("GIF89a\x02\x00\x01\x00\x80\x00\x00\xFF\x00\x00\x00\xFF\x00", 19);
    gif += QByteArray("\x21\xF9\x04\x01\x0A\x00\x00\x00\x2C\x00\x00\x00\x00\x02\x00\x01\x00\x00\x02\x02\x04\x0A\x00", 23);
    gif += QByteArray("\x21\xF9\x04\x00\x0A\x00\x00\x00\x2C\x00\x00\x00\x00\x02\x00\x01\x00\x00\x02\x02\x4C\x0A\x00;", 24);
    PutWithBroken("loader", "two-frames.gif", gif);

    // Settings files.
    Put("ini", "defaults.ini", "[Image]\nFront=\n[JPEG]\nRate=50\nPrgrs=0\n[PNG]\nRate=1\n");
    Put("ini", "crlf.ini", "[Image]\r\nFront=/home/u/a b.png\r\n[JPEG]\r\nRate= 75.5 \r\nPrgrs=-1\r\n[PNG]\r\nRate=2\r\n");
    Put("ini", "odd.ini", "\xEF\xBB\xBF; comment\n[jpeg\nrate\n=\n[JPEG]]\nRATE=1e3\n[]\n=x\n[PNG] \n Rate = -32768 \n");
    Put("ini", "empty.ini", "");
    return 0;
}
