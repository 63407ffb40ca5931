// Loading pictures into the working picture: the route by name, the PNG
// signature and header checks, every format of the loader, real photographs,
// and files that are damaged or hostile.
#include "Codec.h"
#include "PictureFiles.h"
#include "PictureLoader.h"
#include "TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>
#include <QImageWriter>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

using namespace testsupport;

namespace {

QByteArray Encode(const QImage& img, const char* format)
{
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, format);
    return out;
}

// A JPEG with an Exif APP1 segment holding only the Orientation tag.
QByteArray WithOrientation(const QByteArray& jpeg, int orientation)
{
    QByteArray tiff("MM\x00\x2A\x00\x00\x00\x08", 8);
    tiff += QByteArray("\x00\x01", 2);                                  // one entry
    tiff += QByteArray("\x01\x12\x00\x03\x00\x00\x00\x01", 8);           // Orientation, SHORT, 1
    tiff += char(0) + QByteArray(1, char(orientation)) + QByteArray(2, 0);
    tiff += QByteArray(4, 0);                                           // no next IFD
    QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    const int len = int(app1.size()) + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment += char(len >> 8);
    segment += char(len & 0xFF);
    return jpeg.left(2) + segment + app1 + jpeg.mid(2);
}

// A PNG header (signature and IHDR only) claiming w x h.
QByteArray PngHeader(uint32_t w, uint32_t h)
{
    QByteArray d("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16);
    for (uint32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8)
            d += char((v >> s) & 0xFF);
    d += QByteArray("\x08\x02\x00\x00\x00", 5);
    d += QByteArray(4, 0); // CRC (wrong)
    d += QByteArray(1000, 'x');
    return d;
}

// Built by hand (Qt writes no GIF): a 2 x 1 GIF with two frames, red then
// green; with transparent, index 0 of the first frame is transparent.
QByteArray TwoFrameGif(bool transparent = false)
{
    QByteArray gif("GIF89a\x02\x00\x01\x00\x80\x00\x00", 13);
    gif += QByteArray("\xFF\x00\x00\x00\xFF\x00", 6); // palette: red, green
    gif += QByteArray("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    auto frame = [](char index, bool clear) {
        QByteArray f("\x21\xF9\x04", 3);
        f += char(clear ? 1 : 0);
        f += QByteArray("\x0A\x00\x00\x00", 4);
        f += QByteArray("\x2C\x00\x00\x00\x00\x02\x00\x01\x00\x00", 10);
        // LZW, minimum code size 2: clear (4), index, index, end (5), 3 bits each.
        const uchar a = uchar(index);
        f += char(2);
        f += char(2);
        f += char(uchar(4 | (a << 3) | (a << 6)));
        f += char(((a >> 2) & 1) | (5 << 1));
        f += char(0);
        return f;
    };
    return gif + frame(0, transparent) + frame(1, false) + QByteArray(";", 1);
}

// A w x h RLE8 bitmap of two colours (index 0 black, 1 white), each row
// coded as runs of at most 255; stopAfterRows cuts the data short there.
QByteArray Rle8Bitmap(int w, int h, int stopAfterRows = -1, bool endMark = true)
{
    QByteArray data;
    for (int y = 0; y < h && y != stopAfterRows; ++y) {
        for (int x = 0; x < w;) {
            const int n = std::min(255, w - x);
            data += char(n);
            data += char((y + x / 255) & 1);
            x += n;
        }
        data += QByteArray("\0\0", 2);
    }
    if (endMark && stopAfterRows < 0)
        data += QByteArray("\0\1", 2);
    auto le32 = [](uint32_t v) { return QByteArray(1, char(v)) + char(v >> 8) + char(v >> 16) + char(v >> 24); };
    QByteArray info = le32(40) + le32(uint32_t(w)) + le32(uint32_t(h)) + QByteArray("\1\0\x08\0", 4) + le32(1)
        + le32(uint32_t(data.size())) + le32(2835) + le32(2835) + le32(2) + le32(0);
    const QByteArray palette("\0\0\0\0\xFF\xFF\xFF\0", 8);
    const uint32_t offset = 14 + 40 + 8;
    return "BM" + le32(offset + uint32_t(data.size())) + le32(0) + le32(offset) + info + palette + data;
}

// A w x h CMYK JPEG (libjpeg marks it Adobe, so its bytes are stored
// inverted) of four flat quadrants.
QByteArray CmykJpeg(int w, int h, const uint8_t quadrants[4][4])
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(size_t(w) * 4);
    while (c.next_scanline < c.image_height) {
        const int y = int(c.next_scanline);
        for (int x = 0; x < w; ++x)
            std::memcpy(&row[size_t(x) * 4], quadrants[(y >= h / 2) * 2 + (x >= w / 2)], 4);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray out(reinterpret_cast<const char*>(mem), qsizetype(size));
    std::free(mem);
    return out;
}

} // namespace

class TestLoading : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    // Loads path our way into ours, and returns what Qt's reader makes of it,
    // turned upright as ours is.
    static QImage OursAndQts(const QString& path, platform::Surface& ours)
    {
        if (files::LoadPictureFile(path, ours) != 0)
            return {};
        QImageReader reader(path);
        reader.setAutoTransform(true);
        return reader.read();
    }
    QString file(const QString& name, const QByteArray& data)
    {
        const QString p = dir.filePath(name);
        WriteAll(p, data);
        return p;
    }

private slots:
    void routeByName()
    {
        const platform::Surface pic = MakePicture(20, 10, 1);
        QVERIFY(platform::DCSavetoPNG(pic, 20, 10, dir.filePath("a.png"), 1) == 0);
        const QByteArray png = ReadAll(dir.filePath("a.png"));
        platform::Surface out;
        for (const char* name : {"b.png", "c.PNG", "d.Png"}) {
            QCOMPARE(files::LoadPictureFile(file(name, png), out), int16_t(0));
            QCOMPARE(FirstDifference(out, pic), QString());
        }
        // A PNG named otherwise goes to the loader, which does not read PNG.
        QCOMPARE(files::LoadPictureFile(file("png-with-bmp-extension.bmp", png), out), int16_t(1));
        QVERIFY(out.isNull());
        // A BMP named .png fails the signature check.
        QCOMPARE(files::LoadPictureFile(file("bmp-with-png-extension.png", Encode(pic, "BMP")), out), int16_t(1));
        // .jpeg takes the loader route and loads there.
        QCOMPARE(files::LoadPictureFile(file("photo.jpeg", Encode(pic, "JPG")), out), int16_t(0));
        QCOMPARE(out.size(), QSize(20, 10));
        // Short names are compared whole.
        QCOMPARE(files::LoadPictureFile(file("x", Encode(pic, "BMP")), out), int16_t(0));
        QCOMPARE(files::LoadPictureFile(QString(), out), int16_t(1));
        QCOMPARE(files::LoadPictureFile(dir.filePath("missing.png"), out), int16_t(1));
    }

    void pngSizeIsTheFull32BitHeader()
    {
        // 65636 x 10: the low 16 bits alone would say 100 x 10.
        platform::Surface wide = platform::MakeSurface(65636, 10);
        wide.fill(0x123456);
        QCOMPARE(platform::DCSavetoPNG(wide, 65636, 10, dir.filePath("65636x10.png"), 1), int(platform::kCodecOk));
        platform::Surface out;
        QCOMPARE(files::LoadPictureFile(dir.filePath("65636x10.png"), out), int16_t(0));
        QCOMPARE(out.size(), QSize(65636, 10));
        QCOMPARE(out.pixel(65635, 9) & 0xFFFFFF, 0x123456u);
    }

    void loaderFormats()
    {
        QImage rgba(30, 20, QImage::Format_ARGB32);
        rgba.fill(qRgba(200, 100, 50, 255));
        for (int x = 0; x < 10; ++x)
            rgba.setPixel(x, 0, qRgba(0, 0, 0, 0)); // transparent: white after loading
        platform::Surface out;
        QVERIFY(platform::LoadRuntimePicture(file("t.bmp", Encode(rgba.convertToFormat(QImage::Format_RGB32), "BMP")), out));
        QCOMPARE(out.format(), QImage::Format_RGB32);
        QCOMPARE(out.pixel(0, 0) & 0xFFFFFF, 0x00000000u);

        // An icon with three sizes: the largest is taken.
        QList<QImage> sizes;
        for (int s : {16, 48, 32}) {
            QImage i(s, s, QImage::Format_ARGB32);
            i.fill(qRgba(10, 20, s, 255));
            i.setPixel(0, 0, qRgba(0, 0, 0, 0));
            sizes << i;
        }
        // Qt writes one image per file: join three into one directory.
        QByteArray head("\0\0\1\0\3\0", 6), entries, images;
        for (const QImage& i : sizes) {
            const QByteArray one = Encode(i, "ICO");
            QByteArray entry = one.mid(6, 16);
            const uint32_t offset = uint32_t(6 + 16 * 3 + images.size());
            for (int k = 0; k < 4; ++k)
                entry[12 + k] = char((offset >> (8 * k)) & 0xFF);
            entries += entry;
            images += one.mid(22);
        }
        const QByteArray ico = head + entries + images;
        QVERIFY(platform::LoadRuntimePicture(file("t.ico", ico), out));
        QCOMPARE(out.size(), QSize(48, 48));
        QCOMPARE(out.format(), QImage::Format_RGB32);
        QCOMPARE(out.pixel(1, 1) & 0xFFFFFF, 0x0A1430u);
        QCOMPARE(out.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu); // transparent over white
    }

    void animatedGifGivesFirstFrame()
    {
        platform::Surface out;
        QVERIFY(platform::LoadRuntimePicture(file("anim.gif", TwoFrameGif()), out));
        QCOMPARE(out.size(), QSize(2, 1));
        QCOMPARE(out.pixel(0, 0) & 0xFFFFFF, 0xFF0000u);
        QVERIFY(platform::LoadRuntimePicture(file("clear.gif", TwoFrameGif(true)), out));
        QCOMPARE(out.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu); // transparent over white
    }

    void photographsMatchQtReader_data()
    {
        QTest::addColumn<QString>("photo");
        QTest::newRow("progressive 5640x3172 exif") << "abstract/Elephants_5640x3172.jpg";
        QTest::newRow("baseline exif big-endian") << "nature/Wood.jpg";
        QTest::newRow("progressive") << "nature/FreshFlower.jpg";
        QTest::newRow("baseline gimp") << "nature/Aqua.jpg";
    }
    void photographsMatchQtReader()
    {
        QFETCH(QString, photo);
        const QString path = PhotoPath(photo);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        platform::Surface ours;
        const QImage qt = OursAndQts(path, ours);
        QCOMPARE(ours.size(), qt.size());
        int worst = 0;
        const double mean = MeanDifference(ours, qt, &worst);
        // Both are libjpeg-turbo underneath, with different upsampling and
        // DCT choices: a small tolerance.
        QVERIFY2(mean < 1.0 && worst <= 24, qPrintable(QString("mean %1 worst %2").arg(mean).arg(worst)));
    }

    void exifOrientationIsApplied_data()
    {
        QTest::addColumn<int>("orientation");
        for (int o = 1; o <= 8; ++o)
            QTest::newRow(qPrintable(QString::number(o))) << o;
    }
    void exifOrientationIsApplied()
    {
        QFETCH(int, orientation);
        // Four flat quadrants survive JPEG well enough to compare exactly-ish.
        QImage pic(64, 32, QImage::Format_RGB32);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 64; ++x)
                pic.setPixel(x, y, x < 32 ? (y < 16 ? 0xFF0000 : 0x00FF00) : (y < 16 ? 0x0000FF : 0xFFFF00));
        const QString path = file("o.jpg", WithOrientation(Encode(pic, "JPG"), orientation));
        platform::Surface ours;
        const QImage qt = OursAndQts(path, ours);
        QCOMPARE(ours.size(), qt.size());
        QCOMPARE(ours.size(), orientation >= 5 ? QSize(32, 64) : QSize(64, 32));
        QCOMPARE(FirstDifference(ours, qt, 40), QString());
    }

    void truncatedFiles()
    {
        const platform::Surface pic = MakePicture(64, 64, 6);
        const QByteArray jpg = Encode(pic, "JPG");
        platform::Surface out;
        // A truncated JPEG shows what it holds.
        platform::Surface whole;
        QCOMPARE(files::LoadPictureFile(file("whole.jpg", jpg), whole), int16_t(0));
        QCOMPARE(files::LoadPictureFile(file("truncated.jpg", jpg.left(jpg.size() * 2 / 3)), out), int16_t(0));
        QCOMPARE(out.size(), QSize(64, 64));
        QCOMPARE(FirstDifference(out.copy(0, 0, 64, 16), whole.copy(0, 0, 64, 16)), QString());
        // ... and says that it ended early; a whole one does not.
        platform::LoadReport report;
        QVERIFY(!files::LoadPicture(dir.filePath("truncated.jpg"), &report).isNull() && report.truncated);
        QVERIFY(!files::LoadPicture(dir.filePath("whole.jpg"), &report).isNull() && !report.truncated);
        // Others fail quietly, at any cut.
        const QByteArray bmp = Encode(pic, "BMP"), gif = TwoFrameGif(), ico = Encode(pic, "ICO");
        QVERIFY(!ico.isEmpty());
        QVERIFY(platform::DCSavetoPNG(pic, 64, 64, dir.filePath("full.png"), 1) == 0);
        const QByteArray png = ReadAll(dir.filePath("full.png"));
        for (double f : {0.1, 0.5, 0.9}) {
            QCOMPARE(files::LoadPictureFile(file("truncated.png", png.left(qsizetype(png.size() * f))), out), int16_t(1));
            QVERIFY(out.isNull());
            QCOMPARE(files::LoadPictureFile(file("truncated.bmp", bmp.left(qsizetype(bmp.size() * f))), out), int16_t(1));
            QCOMPARE(files::LoadPictureFile(file("truncated.gif", gif.left(qsizetype(57 * f))), out), int16_t(1)); // cut inside the first frame
            QCOMPARE(files::LoadPictureFile(file("truncated.ico", ico.left(qsizetype(ico.size() * f))), out), int16_t(1));
        }
        // Garbage of every kind.
        for (const char* name : {"junk.jpg", "junk.png", "junk.bmp", "junk.gif", "junk.ico"}) {
            QCOMPARE(files::LoadPictureFile(file(name, QByteArray(3000, '\x5A')), out), int16_t(1));
            QCOMPARE(files::LoadPictureFile(file(name, QByteArray()), out), int16_t(1));
        }
        QCOMPARE(files::LoadPictureFile(file("short.png", QByteArray("\x89PNG\r\n\x1a\n\0\0", 10)), out), int16_t(1));
    }

    // Run-length bitmaps: whole ones load; one cut short, or claiming far
    // more pixels than its data can code, is refused (and quickly).
    void runLengthBitmaps()
    {
        platform::Surface out;
        QCOMPARE(files::LoadPictureFile(file("rle.bmp", Rle8Bitmap(300, 7)), out), int16_t(0));
        QCOMPARE(out.size(), QSize(300, 7));
        QCOMPARE(out.pixel(0, 6) & 0xFFFFFF, 0u);       // bottom-up: the last row is coded first
        QCOMPARE(out.pixel(0, 5) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(out.pixel(299, 6) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(files::LoadPictureFile(file("cut.bmp", Rle8Bitmap(300, 7, 4)), out), int16_t(1));
        QCOMPARE(files::LoadPictureFile(file("nomark.bmp", Rle8Bitmap(300, 7, -1, false)), out), int16_t(0));
        QByteArray hostile = Rle8Bitmap(16, 16);
        for (int at : {18, 22}) // 16000 x 16000 claimed by a few hundred bytes
            hostile.replace(at, 4, QByteArray("\x80\x3E\0\0", 4));
        QElapsedTimer t;
        t.start();
        QCOMPARE(files::LoadPictureFile(file("hostile.bmp", hostile), out), int16_t(1));
        QVERIFY2(t.elapsed() < 2000, "refused only after decoding");
    }

    // CMYK and rotated pictures go through the decoder's strip: colours
    // converted, pixels placed upright.
    void cmykRotatedJpeg()
    {
        const uint8_t q[4][4] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 255, 128}};
        // Adobe-inverted CMYK: red = C * K / 255, and so on.
        const QRgb want[4] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(128, 128, 128)};
        platform::Surface out;
        QCOMPARE(files::LoadPictureFile(file("cmyk.jpg", WithOrientation(CmykJpeg(64, 32, q), 6)), out), int16_t(0));
        QCOMPARE(out.size(), QSize(32, 64));
        // Turned a quarter clockwise: stored (x, y) shows at (31 - y, x).
        for (int quad = 0; quad < 4; ++quad) {
            const int sx = quad % 2 ? 48 : 16, sy = quad / 2 ? 24 : 8;
            const QRgb got = out.pixel(31 - sy, sx);
            QVERIFY2(std::abs(qRed(got) - qRed(want[quad])) <= 6 && std::abs(qGreen(got) - qGreen(want[quad])) <= 6
                         && std::abs(qBlue(got) - qBlue(want[quad])) <= 6,
                     qPrintable(QString("quadrant %1: %2").arg(quad).arg(got, 8, 16)));
        }
    }

    void hostileHeadersAreRefusedBeforeAllocating()
    {
        platform::Surface out;
        // PNG headers claiming 60000 x 60000 and 1 x 600000000, and a zero side.
        QCOMPARE(files::LoadPictureFile(file("huge.png", PngHeader(60000, 60000)), out), int16_t(1));
        QCOMPARE(files::LoadPictureFile(file("tall.png", PngHeader(1, 600000000)), out), int16_t(1));
        QCOMPARE(files::LoadPictureFile(file("zero.png", PngHeader(0, 10)), out), int16_t(1));
        // A JPEG whose frame header claims 60000 x 60000.
        QByteArray jpg = Encode(MakePicture(16, 16), "JPG");
        const qsizetype sof = jpg.indexOf("\xFF\xC0");
        QVERIFY(sof > 0);
        jpg[sof + 5] = char(0xEA); jpg[sof + 6] = char(0x60); // height 60000
        jpg[sof + 7] = char(0xEA); jpg[sof + 8] = char(0x60); // width 60000
        QCOMPARE(files::LoadPictureFile(file("huge.jpg", jpg), out), int16_t(1));
        // A BMP claiming 60000 x 60000.
        QByteArray bmp = Encode(MakePicture(4, 4), "BMP");
        for (int at : {18, 22}) {
            bmp[at] = char(0x60); bmp[at + 1] = char(0xEA); bmp[at + 2] = 0; bmp[at + 3] = 0;
        }
        QCOMPARE(files::LoadPictureFile(file("huge.bmp", bmp), out), int16_t(1));
        // A GIF whose screen and frame claim 65535 x 65535.
        QByteArray gif = TwoFrameGif();
        gif[6] = gif[7] = gif[8] = gif[9] = char(0xFF);
        gif[48] = gif[49] = gif[50] = gif[51] = char(0xFF);
        QCOMPARE(files::LoadPictureFile(file("huge.gif", gif), out), int16_t(1));
        // An icon whose bitmap header claims 60000 x 120000.
        QByteArray ico = Encode(MakePicture(16, 16), "ICO");
        QVERIFY(ico.size() > 40);
        const qsizetype bmpAt = 22; // the one image's BITMAPINFOHEADER
        ico[bmpAt + 4] = char(0x60); ico[bmpAt + 5] = char(0xEA);
        ico[bmpAt + 8] = char(0xC0); ico[bmpAt + 9] = char(0xD4); ico[bmpAt + 10] = char(0x01);
        ico[6] = 0; ico[7] = 0; // the directory's 0 means 256
        QCOMPARE(files::LoadPictureFile(file("huge.ico", ico), out), int16_t(1));
    }

    void tinyJpegClaimingAHugePictureIsRefused()
    {
        // Found by the fuzzer: 151 bytes whose frame claims 8201 x 12840.
        const QString path = DataPath("fuzz-corpus/loader/regression-tiny-jpeg-huge-frame.jpg");
        QVERIFY(QFile::exists(path));
        QElapsedTimer clock;
        clock.start();
        platform::Surface out;
        QCOMPARE(files::LoadPictureFile(path, out), int16_t(1));
        QVERIFY(clock.elapsed() < 2000);
        // Also found by the fuzzer: 48 bytes of GIF whose frame lies at
        // (25344, 18759) and so asks for 9218 x 19368 pixels.
        QCOMPARE(files::LoadPictureFile(DataPath("fuzz-corpus/loader/regression-tiny-gif-huge-frame.gif"), out), int16_t(1));
        QVERIFY(clock.elapsed() < 2000);
        // A photograph cut to a tenth still loads.
        const QByteArray photo = ReadAll(PhotoPath("nature/Aqua.jpg"));
        QCOMPARE(files::LoadPictureFile(file("tenth.jpg", photo.left(photo.size() / 10)), out), int16_t(0));
        QCOMPARE(out.size(), QSize(2560, 1600));
    }

    void manyScansStopAtTheLimit()
    {
        // A progressive JPEG with thousands of (empty refinement) scans.
        QVERIFY(platform::DCSavetoJPEG(MakePicture(16, 16), 16, 16, dir.filePath("p.jpg"), 50, true) == 0);
        QByteArray jpg = ReadAll(dir.filePath("p.jpg"));
        const qsizetype sos = jpg.lastIndexOf("\xFF\xDA");
        const qsizetype eoi = jpg.lastIndexOf("\xFF\xD9");
        const QByteArray lastScan = jpg.mid(sos, eoi - sos);
        QByteArray many = jpg.left(eoi);
        for (int i = 0; i < 5000; ++i)
            many += lastScan;
        many += QByteArray("\xFF\xD9", 2);
        QElapsedTimer clock;
        clock.start();
        platform::Surface out;
        QCOMPARE(files::LoadPictureFile(file("scans.jpg", many), out), int16_t(1));
        QVERIFY(clock.elapsed() < 5000);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestLoading t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_loading.moc"
