// Saves that change the file only where the picture was retouched: the JPEG
// block route on camera-style files made with cjpeg, and metadata carried
// across formats.
#include "JpegKeep.h"
#include "Metadata.h"
#include "PictureFiles.h"
#include "Retouch.h"
#include "TestSupport.h"

#include <QProcess>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include <jpeglib.h>

using namespace testsupport;

namespace {

// Every component's DCT blocks, row by row.
struct Coefficients {
    int width = 0, height = 0; // stored pixels
    std::vector<std::vector<std::vector<JCOEF>>> comps; // 64 a block
    std::vector<QSize> blockSize; // a block's extent in stored pixels, per component
};

Coefficients ReadCoefficients(const QByteArray& file)
{
    Coefficients c;
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char*>(file.constData()), file.size());
    jpeg_read_header(&d, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    c.width = int(d.image_width);
    c.height = int(d.image_height);
    for (int i = 0; i < d.num_components; ++i) {
        const jpeg_component_info& ci = d.comp_info[i];
        c.blockSize.push_back(QSize(8 * d.max_h_samp_factor / ci.h_samp_factor, 8 * d.max_v_samp_factor / ci.v_samp_factor));
        auto& rows = c.comps.emplace_back();
        for (JDIMENSION y = 0; y < ci.height_in_blocks; ++y) {
            JBLOCKARRAY r = d.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&d), arrays[i], y, 1, FALSE);
            rows.emplace_back(r[0][0], r[0][0] + 64 * ci.width_in_blocks);
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return c;
}

// Bytes that pass for a profile of the given colour space.
QByteArray FakeProfile(int size, const char* space = "RGB ")
{
    QByteArray p(size, 0);
    for (int i = 0; i < size; ++i)
        p[i] = char(i * 7 + i / 251);
    return p.replace(16, 4, space);
}

// The profile in APP2 chunks of at most 65519 bytes, as a PNG's is carried into JPEG.
QByteArray IccSegments(const QByteArray& profile)
{
    codec::PictureOrigin png;
    png.format = codec::SourceFormat::Png;
    png.pngChunks.push_back({"iCCP", QByteArray("x\0\0", 3) + qCompress(profile).mid(4)});
    QByteArray out;
    for (const codec::MarkerSegment& m : codec::JpegSegmentsFor(png, true))
        out += Segment(m.marker, m.data);
    return out;
}

// The picture turned from upright into stored order for an orientation.
QImage Stored(const QImage& upright, int orientation)
{
    return orientation == 1 ? upright : upright.transformed(QTransform().rotate(orientation == 6 ? -90 : 90));
}

} // namespace

class KeepSavingTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString Path(const QString& name) const { return dir_.filePath(name); }

    // cjpeg's file of picture (stored order) with metadata after its header.
    QByteArray Cjpeg(const QImage& stored, const QStringList& args, const QByteArray& metadata)
    {
        const QString ppm = Path("in.ppm");
        stored.save(ppm, "PPM");
        QProcess p;
        p.start(QStringLiteral("cjpeg"), args + QStringList{ppm});
        if (!p.waitForFinished() || p.exitCode() != 0)
            return {};
        QByteArray jpg = p.readAllStandardOutput();
        return jpg.insert(20, metadata); // after SOI and cjpeg's 18-byte JFIF segment
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("cjpeg")).isEmpty())
            QSKIP("cjpeg (libjpeg-turbo-progs) is not installed");
    }

    void blocksOutsideTheRetouchStay_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("size"); // upright
        QTest::newRow("4:2:0 standard tables, quality 98") << QStringList{"-quality", "98", "-sample", "2x2"} << 1 << QSize(1003, 701);
        QTest::newRow("4:2:2, restarts") << QStringList{"-quality", "90", "-sample", "2x1", "-restart", "2"} << 1 << QSize(999, 640);
        QTest::newRow("optimised tables") << QStringList{"-quality", "90", "-optimize"} << 1 << QSize(1001, 667);
        QTest::newRow("4:4:4 progressive") << QStringList{"-quality", "95", "-sample", "1x1", "-progressive"} << 1 << QSize(800, 533);
        QTest::newRow("grey, odd size") << QStringList{"-quality", "92", "-grayscale"} << 1 << QSize(641, 479);
        QTest::newRow("orientation 6") << QStringList{"-quality", "95", "-sample", "2x2"} << 6 << QSize(533, 803);
        QTest::newRow("orientation 8, progressive") << QStringList{"-quality", "85", "-progressive"} << 8 << QSize(601, 907);
    }

    void blocksOutsideTheRetouchStay()
    {
        QFETCH(QStringList, args);
        QFETCH(int, orientation);
        QFETCH(QSize, size);
        const QImage photo = QImage(PhotoPath("nature/Storm.jpg")).scaled(size).convertToFormat(QImage::Format_RGB32);
        QVERIFY(!photo.isNull());
        QByteArray metadata = Segment(0xE1, QByteArray("Exif\0\0", 6) + MakeExif(orientation, false))
                            + Segment(0xE1, QByteArray("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 42))
                            + IccSegments(FakeProfile(3000)) + Segment(0xFE, "made by the test");
        const QByteArray source = Cjpeg(Stored(photo, orientation), args, metadata);
        QVERIFY(!source.isEmpty() && WriteAll(Path("src.jpg"), source));

        files::PictureSource src;
        platform::Surface picture = files::LoadPicture(Path("src.jpg"), nullptr, {}, &src.origin);
        QCOMPARE(picture.size(), size);
        const QImage decodedSource = picture.copy();
        // A caption-sized retouch off the MCU grid, and one at the corner
        // where the picture's partial MCUs lie.
        const QRect caption(137, 203, 400 * size.width() / 1003, 60);
        const QRect corner(size.width() - 30, size.height() - 20, 30, 20);
        for (const QRect& r : {caption, corner}) {
            retouch::SelRect sel{r.left(), r.top(), r.right(), r.bottom()};
            retouch::Retouch(picture, sel, retouch::FillMode::Vertical);
            src.retouched.push_back(r);
        }
        int err = 0;
        bool kept = false;
        QCOMPARE(files::WritePicture(picture, Path("out.jpg"), ".JPG", files::SaveOptions{}, &src, {}, &err, &kept), 0);
        QVERIFY(kept);
        const QByteArray out = ReadAll(Path("out.jpg"));
        QVERIFY2(std::abs(out.size() - source.size()) <= source.size() / 50,
                 qPrintable(QString("%1 bytes from %2").arg(out.size()).arg(source.size())));

        // Every block outside the MCUs under the two rectangles has the
        // source's coefficients.
        const Coefficients a = ReadCoefficients(source), b = ReadCoefficients(out);
        QCOMPARE(b.comps.size(), a.comps.size());
        int changed = 0;
        for (size_t c = 0; c < a.comps.size(); ++c) {
            const QSize s = a.blockSize[c];
            for (size_t by = 0; by < a.comps[c].size(); ++by)
                for (size_t bx = 0; bx < a.comps[c][by].size() / 64; ++bx) {
                    if (std::memcmp(&a.comps[c][by][bx * 64], &b.comps[c][by][bx * 64], sizeof(JBLOCK)) == 0)
                        continue;
                    ++changed;
                    const QPoint p = codec::StoredToUpright(orientation, a.width, a.height, QPoint(int(bx) * s.width(), int(by) * s.height()));
                    const QPoint q = codec::StoredToUpright(orientation, a.width, a.height, QPoint(int(bx + 1) * s.width() - 1, int(by + 1) * s.height() - 1));
                    bool near = false;
                    for (const QRect& r : {caption, corner}) // within the MCUs (at most 16 pixels) around r
                        near = near || QRect(p, q).normalized().intersects(r.adjusted(-15, -15, 15, 15));
                    QVERIFY2(near, qPrintable(QString("component %1 block %2,%3 changed").arg(c).arg(bx).arg(by)));
                }
        }
        QVERIFY(changed > 0);

        // The retouched pixels decode as well as a whole encode with cjpeg's
        // own settings would give them.
        QVERIFY(WriteAll(Path("ref.jpg"), Cjpeg(Stored(picture, orientation), args, QByteArray())));
        QImage reference = Stored(QImage(Path("ref.jpg")).convertToFormat(QImage::Format_RGB32), orientation == 1 ? 1 : 14 - orientation);
        const QImage saved = files::LoadPicture(Path("out.jpg"));
        for (const QRect& r : {caption, corner})
            QVERIFY(MeanDifference(saved.copy(r), picture.copy(r)) <= 1.1 * MeanDifference(reference.copy(r), picture.copy(r)) + 0.05);
        QCOMPARE(FirstDifference(saved.copy(0, 0, 60, 60), decodedSource.copy(0, 0, 60, 60)), QString()); // untouched

        // The metadata segments are the source's, byte for byte.
        codec::PictureOrigin o;
        codec::ReadMetadata(out, o);
        QCOMPARE(o.jpegSegments.size(), src.origin.jpegSegments.size());
        for (size_t i = 0; i < o.jpegSegments.size(); ++i)
            QCOMPARE(o.jpegSegments[i].data, src.origin.jpegSegments[i].data);
    }

    // A source the block route cannot serve, and the setting off: the rate's
    // save, quietly.
    void fallsBackToTheRatesSave()
    {
        const QImage photo = QImage(PhotoPath("nature/Storm.jpg")).scaled(320, 240).convertToFormat(QImage::Format_RGB32);
        const QByteArray source = Cjpeg(photo, {"-quality", "97"}, QByteArray());
        const QByteArray cmyk = ReadAll(DataPath("data/loads/cmyk-orientation-6.jpg"));
        // "replaced": another file put in its place with the same size and
        // times to the nanosecond (cp, touch -r, mv).
        for (const auto& [name, bytes, touch, keep] : {std::tuple{"changed on disk", source, 1, true}, std::tuple{"replaced", source, 2, true},
                                                       std::tuple{"CMYK", cmyk, 0, true}, std::tuple{"setting off", source, 0, false}}) {
            QVERIFY(WriteAll(Path("src.jpg"), bytes));
            files::PictureSource src;
            platform::Surface picture = files::LoadPicture(Path("src.jpg"), nullptr, {}, &src.origin);
            src.retouched.push_back(QRect(10, 10, 20, 20));
            struct stat st;
            QVERIFY(::stat(QFile::encodeName(Path("src.jpg")).constData(), &st) == 0);
            const timespec times[2] = {st.st_atim, touch == 1 ? timespec{100000, 0} : st.st_mtim};
            if (touch == 2)
                QVERIFY(WriteAll(Path("new.jpg"), QByteArray(bytes).replace(bytes.size() - 40, 1, "\x5A")));
            if (touch)
                QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(Path(touch == 2 ? "new.jpg" : "src.jpg")).constData(), times, 0) == 0);
            if (touch == 2)
                QVERIFY(::rename(QFile::encodeName(Path("new.jpg")).constData(), QFile::encodeName(Path("src.jpg")).constData()) == 0);
            files::SaveOptions options;
            options.JpegKeep = keep ? 1 : 0;
            options.JpegRate = 60;
            int err = 0;
            bool kept = true;
            QCOMPARE(files::WritePicture(picture, Path("out.jpg"), ".JPG", options, &src, {}, &err, &kept), 0);
            QVERIFY2(!kept, name);
            QVERIFY2(ReadAll(Path("out.jpg")).size() < bytes.size() * 3 / 4 || bytes == cmyk, name);
            QCOMPARE(QImage(Path("out.jpg")).size(), picture.size());
        }
    }

    // キャンセル at any point of a block-keeping save, by the splice and by
    // the coefficient route: the target stays byte for byte as it was, and
    // no temporary file is left.
    void cancelLeavesTheTargetAsItWas()
    {
        const QImage photo = QImage(PhotoPath("nature/Storm.jpg")).scaled(1200, 800).convertToFormat(QImage::Format_RGB32);
        for (const QStringList& args : {QStringList{"-quality", "90"}, QStringList{"-quality", "90", "-progressive"}}) {
            QTemporaryDir d;
            QVERIFY(WriteAll(d.filePath("src.jpg"), Cjpeg(photo, args, QByteArray())));
            files::PictureSource src;
            const platform::Surface picture = files::LoadPicture(d.filePath("src.jpg"), nullptr, {}, &src.origin);
            src.retouched.push_back(QRect(100, 100, 301, 61));
            QVERIFY(WriteAll(d.filePath("out.jpg"), "the old file"));
            int points = 0;
            for (int stopAt : {1, 2, 3, 4, 5, 8, 30, 100, 1 << 30}) {
                int asked = 0;
                const int rc = codec::SaveJpegKeepingBlocks(picture, src.origin, src.retouched, d.filePath("out.jpg"),
                                                               [&](int, int) { return ++asked < stopAt; });
                if (rc == codec::kCodecOk) { // done before it was told to stop
                    QVERIFY(asked < stopAt);
                    break;
                }
                ++points;
                QCOMPARE(rc, int(codec::kCodecCancelled));
                QCOMPARE(ReadAll(d.filePath("out.jpg")), QByteArray("the old file"));
                QCOMPARE(QDir(d.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"out.jpg", "src.jpg"}));
            }
            QVERIFY2(points >= 4, qPrintable(args.join(' ')));
        }
    }

    // Exif, XMP and the colour profile from JPEG into PNG and back, and
    // PNG's own chunks from PNG to PNG.
    void metadataAcrossFormats()
    {
        const QImage photo = QImage(PhotoPath("nature/Storm.jpg")).scaled(96, 64).convertToFormat(QImage::Format_RGB32);
        const QByteArray profile = FakeProfile(70000); // more than one APP2 segment holds
        const QByteArray jpg = Cjpeg(Stored(photo, 6), {"-quality", "90"},
                                     Segment(0xE1, QByteArray("Exif\0\0", 6) + MakeExif(6, true)) + IccSegments(profile));
        QVERIFY(WriteAll(Path("a.jpg"), jpg));
        files::PictureSource src;
        const platform::Surface picture = files::LoadPicture(Path("a.jpg"), nullptr, {}, &src.origin);
        QCOMPARE(codec::IccProfile(src.origin), profile);
        int err = 0;
        QCOMPARE(files::WritePicture(picture, Path("b.png"), ".PNG", files::SaveOptions{}, &src, {}, &err), 0);

        files::PictureSource png;
        QCOMPARE(files::LoadPicture(Path("b.png"), nullptr, {}, &png.origin), picture);
        QCOMPARE(codec::IccProfile(png.origin), profile);
        QByteArray exif;
        for (const codec::PngChunk& c : png.origin.pngChunks)
            if (c.type == "eXIf")
                exif = c.data;
        // Upright pixels say orientation 1; the thumbnail (which would show
        // the erased caption) is gone; the rest is the source's.
        QCOMPARE(exif, MakeExif(1, true).left(68).replace(34, 4, QByteArray(4, '\0')));

        // PNG to PNG keeps the chunks; PNG to JPEG carries Exif and the profile.
        QCOMPARE(files::WritePicture(picture, Path("c.png"), ".PNG", files::SaveOptions{}, &png, {}, &err), 0);
        codec::PictureOrigin again;
        codec::ReadMetadata(ReadAll(Path("c.png")), again);
        QCOMPARE(again.pngChunks.size(), png.origin.pngChunks.size());
        for (size_t i = 0; i < again.pngChunks.size(); ++i)
            QCOMPARE(again.pngChunks[i].data, png.origin.pngChunks[i].data);
        QCOMPARE(files::WritePicture(picture, Path("d.jpg"), ".JPG", files::SaveOptions{}, &png, {}, &err), 0);
        codec::ReadMetadata(ReadAll(Path("d.jpg")), again);
        QCOMPARE(codec::IccProfile(again), profile);
        QCOMPARE(again.jpegSegments.front().data, QByteArray("Exif\0\0", 6) + exif);
        QCOMPARE(again.orientation, 1);
    }

    // Hostile metadata through the block route, a re-encode and PNG: a
    // stray byte before APP1 loses nothing; previews (JFXX, XMP) that would
    // still show the caption are gone; a grey or CMYK profile does not go
    // with RGB pixels. (The Orientation rules are the metadata fuzzer's.)
    void hostileMetadata()
    {
        const QImage photo = QImage(PhotoPath("nature/Storm.jpg")).scaled(96, 64).convertToFormat(QImage::Format_RGB32);
        const QByteArray xmp = QByteArray("http://ns.adobe.com/xap/1.0/", 29) // with its NUL
            + "<x:xmpmeta><xmp:Thumbnails><rdf:li xmpGImg:image=\"U0hPV1NUSEVDQVBUSU9O\"/></xmp:Thumbnails><dc:title>kept</dc:title></x:xmpmeta>";
        const QByteArray jfxx("JFXX\0\x10" "THUMBNAIL-PIXELS", 22);
        auto icc = [](const char* space) { return Segment(0xE2, QByteArray("ICC_PROFILE\0\x01\x01", 14) + FakeProfile(500, space)); };
        for (const auto& [name, args, metadata] :
             {std::tuple{"stray byte, previews, CMYK profile", QStringList{"-quality", "90"},
                         Segment(0xE0, jfxx) + QByteArray(1, '\0') + Segment(0xE1, xmp) + icc("CMYK")},
              std::tuple{"grey with a grey profile", QStringList{"-quality", "90", "-grayscale"}, icc("GRAY")}}) {
            QVERIFY(WriteAll(Path("h.jpg"), Cjpeg(photo, args, metadata)));
            files::PictureSource src;
            const platform::Surface picture = files::LoadPicture(Path("h.jpg"), nullptr, {}, &src.origin);
            src.retouched.push_back(QRect(10, 10, 20, 20));
            for (const char* ext : {".JPG", ".PNG"})
                for (const int16_t keep : {int16_t(1), int16_t(0)}) {
                    files::SaveOptions options;
                    options.JpegKeep = keep;
                    int err = 0;
                    bool kept = false;
                    const QString out = Path(QString("h-out") + ext);
                    QCOMPARE(files::WritePicture(picture, out, ext, options, &src, {}, &err, &kept), 0);
                    const QByteArray bytes = ReadAll(out);
                    const QString what = QString("%1, %2, keep %3").arg(name, ext).arg(keep);
                    QVERIFY2(kept == (keep && QByteArray(ext) == ".JPG"), qPrintable(what)); // the stray byte kept the route
                    QVERIFY2(!bytes.contains("THUMBNAIL-PIXELS") && !bytes.contains("U0hPV1NUSEVDQVBUSU9O"), qPrintable(what));
                    QVERIFY2(bytes.contains("<dc:title>kept</dc:title>") == metadata.contains("kept"), qPrintable(what));
                    codec::PictureOrigin again;
                    codec::ReadMetadata(bytes, again);
                    const QByteArray icc = codec::IccProfile(again);
                    QVERIFY2(icc.isEmpty() || (kept && icc.mid(16, 4) == "GRAY"), qPrintable(what));
                }
        }
    }
};

QTEST_MAIN(KeepSavingTest)
#include "tst_keepsaving.moc"
