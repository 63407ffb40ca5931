// Loading pictures into the working picture: the route by name, the PNG
// header, every format of the loader, real photographs, and files that are
// damaged or hostile (tests/data/refused: every one must be refused).
#include "Codec.h"
#include "PictureFiles.h"
#include "PictureLoader.h"
#include "TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QDirIterator>
#include <QTest>

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

// A JPEG with an Exif APP1 segment saying orientation.
QByteArray WithOrientation(const QByteArray& jpeg, int orientation)
{
    return jpeg.left(2) + Segment(0xE1, QByteArray("Exif\0\0", 6) + MakeExif(orientation, false)) + jpeg.mid(2);
}

} // namespace

class TestLoading : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    // Loads path our way into ours, and returns what Qt's reader makes of it,
    // turned upright as ours is.
    static QImage OursAndQts(const QString& path, platform::Surface& ours)
    {
        ours = files::LoadPicture(path);
        if (ours.isNull())
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
        QVERIFY(codec::DCSavetoPNG(pic, 20, 10, dir.filePath("a.png"), 1) == 0);
        const QByteArray png = ReadAll(dir.filePath("a.png"));
        platform::Surface out;
        for (const char* name : {"b.png", "c.PNG", "d.Png"}) {
            QVERIFY(!(out = files::LoadPicture(file(name, png))).isNull());
            QCOMPARE(FirstDifference(out, pic), QString());
        }
        // .jpeg and names without an extension take the loader route.
        QVERIFY(!(out = files::LoadPicture(file("photo.jpeg", Encode(pic, "JPG")))).isNull());
        QCOMPARE(out.size(), QSize(20, 10));
        QVERIFY(!(out = files::LoadPicture(file("x", Encode(pic, "BMP")))).isNull());
        QVERIFY((out = files::LoadPicture(QString())).isNull());
        QVERIFY(out.isNull());
    }

    void pngSizeIsTheFull32BitHeader()
    {
        // 65636 x 10: the low 16 bits alone would say 100 x 10.
        platform::Surface wide = platform::MakeSurface(65636, 10);
        wide.fill(0x123456);
        QCOMPARE(codec::DCSavetoPNG(wide, 65636, 10, dir.filePath("65636x10.png"), 1), int(codec::kCodecOk));
        platform::Surface out;
        QVERIFY(!(out = files::LoadPicture(dir.filePath("65636x10.png"))).isNull());
        QCOMPARE(out.size(), QSize(65636, 10));
        QCOMPARE(out.pixel(65635, 9) & 0xFFFFFF, 0x123456u);
    }

    // The loader's formats: a bitmap; the largest image of an icon; the
    // first frame of a GIF; run-length bitmaps (with or without their end
    // mark); a rotated CMYK JPEG (colours converted, pixels upright).
    // Transparency shows over white.
    void loaderFormats()
    {
        auto load = [](const QString& name) {
            return files::LoadPicture(DataPath("data/loads/" + name));
        };
        platform::Surface out;
        QVERIFY(codec::LoadRuntimePictureData(Encode(MakePicture(30, 20, 2), "BMP"), out));
        QCOMPARE(FirstDifference(out, MakePicture(30, 20, 2)), QString());
        out = load("three-sizes.ico");
        QCOMPARE(out.size(), QSize(48, 48));
        QCOMPARE(out.pixel(1, 1) & 0xFFFFFF, 0x0A1430u);
        QCOMPARE(out.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(load("two-frames.gif").size(), QSize(2, 1));
        QCOMPARE(load("two-frames.gif").pixel(0, 0) & 0xFFFFFF, 0xFF0000u);
        QCOMPARE(load("two-frames-first-clear.gif").pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);
        for (const char* rle : {"rle.bmp", "rle-no-end-mark.bmp"}) {
            out = load(rle);
            QCOMPARE(out.size(), QSize(300, 7));
            QCOMPARE(out.pixel(0, 6) & 0xFFFFFF, 0u); // bottom-up: the last row is coded first
            QCOMPARE(out.pixel(0, 5) & 0xFFFFFF, 0xFFFFFFu);
            QCOMPARE(out.pixel(299, 6) & 0xFFFFFF, 0xFFFFFFu);
        }
        // Stored quadrants red, green / blue, grey; turned a quarter
        // clockwise, stored (x, y) shows at (31 - y, x).
        out = load("cmyk-orientation-6.jpg");
        QCOMPARE(out.size(), QSize(32, 64));
        const QRgb want[4] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(128, 128, 128)};
        for (int quad = 0; quad < 4; ++quad) {
            const QRgb got = out.pixel(31 - (quad / 2 ? 24 : 8), quad % 2 ? 48 : 16);
            QVERIFY2(std::abs(qRed(got) - qRed(want[quad])) <= 6 && std::abs(qGreen(got) - qGreen(want[quad])) <= 6
                         && std::abs(qBlue(got) - qBlue(want[quad])) <= 6,
                     qPrintable(QString("quadrant %1: %2").arg(quad).arg(got, 8, 16)));
        }
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

    // A JPEG cut short shows what it holds and says that it ended early; a
    // photograph cut to a tenth still loads.
    void truncatedJpeg()
    {
        const QByteArray jpg = Encode(MakePicture(64, 64, 6), "JPG");
        codec::LoadReport report;
        const platform::Surface whole = files::LoadPicture(file("whole.jpg", jpg), &report);
        QVERIFY(!whole.isNull() && !report.truncated);
        const platform::Surface cut = files::LoadPicture(file("cut.jpg", jpg.left(jpg.size() * 2 / 3)), &report);
        QVERIFY(report.truncated);
        QCOMPARE(FirstDifference(cut.copy(0, 0, 64, 16), whole.copy(0, 0, 64, 16)), QString());
        // Cut, then ended with an EOI marker as if whole: still damaged.
        files::LoadPicture(file("cut-eoi.jpg", jpg.left(jpg.size() * 2 / 3) + QByteArray("\xFF\xD9", 2)), &report);
        QVERIFY(report.truncated);
        const QByteArray photo = ReadAll(PhotoPath("nature/Aqua.jpg"));
        QCOMPARE(files::LoadPicture(file("tenth.jpg", photo.left(photo.size() / 10)), &report).size(), QSize(2560, 1600));
    }

    // Damaged and hostile files, among them headers claiming pictures beyond
    // the limit and files the fuzzer found: refused, the too large ones said
    // to be too large.
    void refusedFiles()
    {
        QStringList paths{DataPath("fuzz-corpus/loader/regression-tiny-jpeg-huge-frame.jpg"),
                          DataPath("fuzz-corpus/loader/regression-tiny-gif-huge-frame.gif")};
        for (QDirIterator it(DataPath("data/refused"), QDir::Files); it.hasNext();)
            paths << it.next();
        QVERIFY(paths.size() > 30);
        for (const QString& path : paths) {
            codec::LoadReport report;
            QVERIFY2(files::LoadPicture(path, &report).isNull(), qPrintable(path));
            const QString name = QFileInfo(path).fileName();
            QVERIFY2(report.tooLarge == QStringList({"huge.png", "tall.png", "wide.png", "huge.jpg"}).contains(name), qPrintable(path));
        }
    }

    void manyScansStopAtTheLimit()
    {
        // A progressive JPEG with thousands of (empty refinement) scans.
        QVERIFY(codec::DCSavetoJPEG(MakePicture(16, 16), 16, 16, dir.filePath("p.jpg"), 50, true) == 0);
        QByteArray jpg = ReadAll(dir.filePath("p.jpg"));
        const qsizetype sos = jpg.lastIndexOf("\xFF\xDA");
        const qsizetype eoi = jpg.lastIndexOf("\xFF\xD9");
        const QByteArray lastScan = jpg.mid(sos, eoi - sos);
        QByteArray many = jpg.left(eoi);
        for (int i = 0; i < 5000; ++i)
            many += lastScan;
        many += QByteArray("\xFF\xD9", 2);
        platform::Surface out;
        QVERIFY((out = files::LoadPicture(file("scans.jpg", many))).isNull());
    }
};

QTEST_MAIN(TestLoading)
#include "tst_loading.moc"
