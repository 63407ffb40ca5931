// The codec: PNG decoding checked against libpng's simplified API and Qt's
// reader (decoders that share none of our code), and the writers' round
// trips and failures.
#include "AtomicFile.h"
#include "Codec.h"
#include "PictureLoader.h"
#include "TestSupport.h"

#include <QApplication>
#include <QImageReader>
#include <QTest>

#include <png.h>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// What another decoder makes of a file, composited over white.
QImage OverWhiteReference(const QImage& decoded)
{
    const QImage argb = decoded.convertToFormat(QImage::Format_ARGB32);
    QImage out(argb.size(), QImage::Format_RGB32);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb p = argb.pixel(x, y);
            const int a = qAlpha(p);
            auto c = [a](int v) { return (v * a + 255 * (255 - a) + 127) / 255; };
            out.setPixel(x, y, qRgb(c(qRed(p)), c(qGreen(p)), c(qBlue(p))));
        }
    return out;
}

QImage SimplifiedApiDecode(const QString& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, QFile::encodeName(path).constData()))
        return {};
    image.format = PNG_FORMAT_BGRA;
    QImage out(int(image.width), int(image.height), QImage::Format_ARGB32);
    if (!png_image_finish_read(&image, nullptr, out.bits(), int(out.bytesPerLine()), nullptr))
        return {};
    return OverWhiteReference(out);
}

// Writes a PNG of the given type with libpng directly.
bool WritePng(const QString& path, const QImage& rgba, int colourType, int depth, bool interlaced)
{
    FILE* fp = fopen(QFile::encodeName(path).constData(), "wb");
    if (!fp)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        fclose(fp);
        return false;
    }
    png_init_io(png, fp);
    const int w = rgba.width(), h = rgba.height();
    png_set_IHDR(png, info, w, h, depth, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    std::vector<png_color> palette;
    std::vector<png_byte> alphas;
    std::vector<QRgb> colours;
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (std::find(colours.begin(), colours.end(), rgba.pixel(x, y)) == colours.end())
                    colours.push_back(rgba.pixel(x, y));
        for (QRgb c : colours) {
            palette.push_back({png_byte(qRed(c)), png_byte(qGreen(c)), png_byte(qBlue(c))});
            alphas.push_back(png_byte(qAlpha(c)));
        }
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
        png_set_tRNS(png, info, alphas.data(), int(alphas.size()), nullptr);
    }
    png_write_info(png, info);
    const int channels = colourType == PNG_COLOR_TYPE_RGB ? 3 : colourType == PNG_COLOR_TYPE_RGBA ? 4
                       : colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    std::vector<std::vector<png_byte>> rows(size_t(h), std::vector<png_byte>(size_t(w) * channels * 2 + 8));
    for (int y = 0; y < h; ++y) {
        auto& row = rows[size_t(y)];
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < w; ++x) {
            const QRgb p = rgba.pixel(x, y);
            const int v[4] = {qRed(p), qGreen(p), qBlue(p), qAlpha(p)};
            const int grey = qGray(p);
            if (colourType == PNG_COLOR_TYPE_PALETTE) {
                row[size_t(x)] = png_byte(std::find(colours.begin(), colours.end(), p) - colours.begin());
            } else if (colourType == PNG_COLOR_TYPE_GRAY && depth == 1) {
                if (grey > 127)
                    row[size_t(x / 8)] |= png_byte(0x80 >> (x % 8));
            } else if (colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
                row[size_t(x) * 2] = png_byte(grey);
                row[size_t(x) * 2 + 1] = png_byte(v[3]);
            } else if (depth == 16) {
                for (int c = 0; c < channels; ++c) {
                    const int s = v[c] * 257 + (x * 31 + y * 17 + c) % 257; // not a multiple of 257
                    row[(size_t(x) * channels + c) * 2] = png_byte(std::min(s, 65535) >> 8);
                    row[(size_t(x) * channels + c) * 2 + 1] = png_byte(std::min(s, 65535) & 0xFF);
                }
            } else {
                for (int c = 0; c < channels; ++c)
                    row[size_t(x) * channels + c] = png_byte(v[c]);
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows)
        pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(fp) == 0;
}

QImage ColourfulRgba(int w, int h, bool fewColours)
{
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (fewColours)
                img.setPixel(x, y, qRgba((x / 8) * 60 % 256, (y / 6) * 80 % 256, 100, ((x + y) % 3) * 120));
            else
                img.setPixel(x, y, qRgba(x * 9 % 256, y * 11 % 256, (x * y) % 256, (x * 5 + y) % 256));
        }
    return img;
}

platform::Surface ReadPng(const QString& path, const QSize& size)
{
    platform::Surface s = platform::MakeSurface(size.width(), size.height());
    if (platform::DCReadPNG(path, s) != 0)
        return {};
    return s;
}

// body's result in a child process with a file-size limit, optionally as
// the ordinary user `nobody` (the caller being root).
int ExitCodeOfChild(const std::function<int()>& body, rlim_t fileSizeLimit, bool asNobody = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &lim);
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

class TestCodec : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void pngVariantsMatchAnotherDecoder_data()
    {
        QTest::addColumn<int>("colourType");
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("interlaced");
        QTest::addColumn<int>("tolerance");
        QTest::newRow("palette with tRNS") << int(PNG_COLOR_TYPE_PALETTE) << 8 << false << 1;
        QTest::newRow("grey 1-bit") << int(PNG_COLOR_TYPE_GRAY) << 1 << false << 0;
        QTest::newRow("grey+alpha") << int(PNG_COLOR_TYPE_GRAY_ALPHA) << 8 << false << 1;
        QTest::newRow("rgb 16-bit") << int(PNG_COLOR_TYPE_RGB) << 16 << false << 1;
        QTest::newRow("rgba adam7") << int(PNG_COLOR_TYPE_RGBA) << 8 << true << 1;
        QTest::newRow("rgb adam7 tiny") << int(PNG_COLOR_TYPE_RGB) << 8 << true << 0;
    }
    void pngVariantsMatchAnotherDecoder()
    {
        QFETCH(int, colourType);
        QFETCH(int, depth);
        QFETCH(bool, interlaced);
        QFETCH(int, tolerance);
        const QSize size = QTest::currentDataTag() == QByteArray("rgb adam7 tiny") ? QSize(3, 2) : QSize(45, 31);
        const QString path = dir.filePath("variant.png");
        QVERIFY(WritePng(path, ColourfulRgba(size.width(), size.height(), colourType == PNG_COLOR_TYPE_PALETTE),
                         colourType, depth, interlaced));
        const platform::Surface ours = ReadPng(path, size);
        QVERIFY(!ours.isNull());
        QCOMPARE(ours.format(), QImage::Format_RGB32);
        const QImage qt = OverWhiteReference(QImage(path));
        QCOMPARE(FirstDifference(ours, qt, tolerance), QString());
    }

    void realPngsMatchSimplifiedApi_data()
    {
        QTest::addColumn<QString>("photo");
        QTest::newRow("rgba") << "abstract/Flow.png";
        QTest::newRow("grey+alpha") << "desktop/Stripes.png";
        QTest::newRow("rgb") << "desktop/Ubuntu-Mate-Cold-no-logo.png";
        QTest::newRow("transparent") << "abstract/Arc-Colors-Transparent-Wallpaper.png";
    }
    void realPngsMatchSimplifiedApi()
    {
        QFETCH(QString, photo);
        const QString path = PhotoPath(photo);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        const QImage reference = SimplifiedApiDecode(path);
        QVERIFY(!reference.isNull());
        const platform::Surface ours = ReadPng(path, reference.size());
        QCOMPARE(FirstDifference(ours, reference, 0), QString());
    }

    void damagedPngsFail()
    {
        const QString path = dir.filePath("good.png");
        QVERIFY(WritePng(path, ColourfulRgba(40, 30, false), PNG_COLOR_TYPE_RGBA, 8, false));
        const QByteArray good = ReadAll(path);
        QVERIFY(!ReadPng(path, QSize(40, 30)).isNull());
        // Truncated anywhere, or any byte of a chunk altered (a CRC fails).
        for (qsizetype cut : {qsizetype(8), qsizetype(30), good.size() / 2, good.size() - 13, good.size() - 1}) {
            QVERIFY(WriteAll(path, good.left(cut)));
            QVERIFY2(ReadPng(path, QSize(40, 30)).isNull(), qPrintable(QString::number(cut)));
        }
        for (qsizetype at : {qsizetype(20), qsizetype(40), good.size() / 2, good.size() - 6}) {
            QByteArray bad = good;
            bad[at] = char(bad[at] ^ 0x5A);
            QVERIFY(WriteAll(path, bad));
            platform::Surface s;
            QVERIFY2(platform::DecodePng(reinterpret_cast<const uint8_t*>(bad.constData()), size_t(bad.size()), s) != 0,
                     qPrintable(QString::number(at)));
            QVERIFY(s.isNull());
        }
        QVERIFY(ReadPng(dir.filePath("missing.png"), QSize(1, 1)).isNull());
    }

    void pngRoundTripAtEachRate()
    {
        const platform::Surface pic = MakePicture(300, 200, 3);
        qint64 sizes[3] = {};
        for (int rate : {0, 1, 2}) {
            const QString path = dir.filePath(QString("rt%1.png").arg(rate));
            QCOMPARE(platform::DCSavetoPNG(pic, 300, 200, path, uint8_t(rate)), 0);
            QCOMPARE(FirstDifference(QImage(path), pic), QString());
            QCOMPARE(FirstDifference(ReadPng(path, QSize(300, 200)), pic), QString());
            sizes[rate] = QFileInfo(path).size();
        }
        QVERIFY(sizes[2] <= sizes[1]); // level 9 against level 1
    }

    void jpegRoundTrip()
    {
        const platform::Surface pic = MakePicture(320, 240, 5);
        qint64 bytes[2] = {};
        int i = 0;
        for (int rate : {1, 90}) {
            for (bool progressive : {false, true}) {
                const QString path = dir.filePath(QString("rt%1%2.jpg").arg(rate).arg(progressive));
                QCOMPARE(platform::DCSavetoJPEG(pic, 320, 240, path, uint8_t(rate), progressive), 0);
                const QByteArray data = ReadAll(path);
                QCOMPARE(data.contains("\xFF\xC2"), progressive); // SOF2: progressive
                const QImage back(path);
                int worst = 0;
                const double mean = MeanDifference(back, pic, &worst);
                QVERIFY2(mean < (rate == 1 ? 8.0 : 16.0), qPrintable(QString::number(mean)));
                if (!progressive)
                    bytes[i++] = data.size();
            }
        }
        QVERIFY(bytes[1] < bytes[0]); // a higher rate compresses more
    }

    void bitmapRoundTrip()
    {
        const platform::Surface pic = MakePicture(33, 17, 8); // rows need padding
        const QString path = dir.filePath("rt.bmp");
        QCOMPARE(platform::SaveBitmapFile(pic, path), 0);
        QCOMPARE(ReadAll(path).mid(28, 2), QByteArray("\x18\x00", 2)); // 24 bits
        QCOMPARE(FirstDifference(QImage(path), pic), QString());
    }

    void failedWritesKeepTheOldFile()
    {
        const platform::Surface pic = MakePicture(400, 300, 2);
        const QString target = dir.filePath("keep.png");
        const QByteArray old = "old contents";
        QVERIFY(WriteAll(target, old));
        // A path through a regular file.
        int err = 0;
        QCOMPARE(platform::DCSavetoPNG(pic, 400, 300, target + "/x.png", 1, {}, &err), int(platform::kCodecCannotCreate));
        QCOMPARE(err, ENOTDIR);
        // A full disk, for each writer.
        QCOMPARE(ExitCodeOfChild([&] { return platform::DCSavetoPNG(pic, 400, 300, target, 1); }, 4096),
                 int(platform::kCodecWriteFailed));
        QCOMPARE(ExitCodeOfChild([&] { return platform::DCSavetoJPEG(pic, 400, 300, target, 1, true); }, 4096),
                 int(platform::kCodecWriteFailed));
        QCOMPARE(ExitCodeOfChild([&] { return platform::SaveBitmapFile(pic, target); }, 4096),
                 int(platform::kCodecWriteFailed));
        QCOMPARE(ReadAll(target), old);
        // No temporary file is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QStringList("*keep*"), QDir::Files | QDir::Hidden), QStringList("keep.png"));
        // An over-long name.
        QVERIFY(platform::SaveBitmapFile(pic, dir.filePath(QString(300, QChar('n')) + ".bmp")) != 0);
        // Nothing to write.
        QCOMPARE(platform::DCSavetoJPEG(platform::Surface(), 1, 1, target, 1, false), int(platform::kCodecBadArguments));
        QCOMPARE(ReadAll(target), old);
    }

    // Replacing a file keeps what the user set up around it: a symlink stays a
    // symlink, the owner, group, mode and user attributes stay (setuid and
    // setgid do not), and a file nobody may write is not replaced.
    void replacingAFileKeepsItsSetting()
    {
        const platform::Surface pic = MakePicture(40, 30, 3);
        QTemporaryDir d;
        const QString real = d.filePath("real.png"), link = d.filePath("link.png");
        QVERIFY(WriteAll(real, "old"));
        QVERIFY(QFile::link("real.png", link));
        QCOMPARE(platform::DCSavetoPNG(pic, 40, 30, link, 1), 0);
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(ReadAll(real).startsWith("\x89PNG"));
        // A dangling link: its target is created.
        QVERIFY(QFile::link("later.png", d.filePath("dangling.png")));
        QCOMPARE(platform::DCSavetoPNG(pic, 40, 30, d.filePath("dangling.png"), 1), 0);
        QVERIFY(QFileInfo(d.filePath("dangling.png")).isSymLink() && QFile::exists(d.filePath("later.png")));

        const QByteArray name = QFile::encodeName(real);
        QCOMPARE(::chmod(name.constData(), 06750), 0);
        const bool root = ::geteuid() == 0;
        if (root)
            QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
        const bool xattrs = ::setxattr(name.constData(), "user.origin", "camera", 6, 0) == 0;
        QCOMPARE(platform::SaveBitmapFile(pic, real), 0);
        struct stat st;
        QCOMPARE(::stat(name.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0750));
        if (root)
            QVERIFY(st.st_uid == 65534 && st.st_gid == 65534);
        if (xattrs) {
            char value[16] = {};
            QCOMPARE(::getxattr(name.constData(), "user.origin", value, sizeof value), ssize_t(6));
            QCOMPARE(QByteArray(value), QByteArray("camera"));
        }

        // No write bit at all: refused even for root.
        const QString locked = d.filePath("locked.jpg");
        QVERIFY(WriteAll(locked, "keep me"));
        QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0444), 0);
        int err = 0;
        QCOMPARE(platform::DCSavetoJPEG(pic, 40, 30, locked, 50, false, {}, &err), int(platform::kCodecCannotCreate));
        QCOMPARE(err, EACCES);
        QCOMPARE(ReadAll(locked), QByteArray("keep me"));
        // Someone else's file in a folder anyone may write: the folder's
        // permission must not let an ordinary user replace it.
        if (!root)
            QSKIP("the ordinary-user case needs root to become another user");
        const QString theirs = d.filePath("theirs.bmp");
        QVERIFY(WriteAll(theirs, "root's"));
        QCOMPARE(::chmod(QFile::encodeName(d.path()).constData(), 0777), 0);
        QCOMPARE(ExitCodeOfChild([&] { return platform::SaveBitmapFile(pic, theirs); }, RLIM_INFINITY, true),
                 int(platform::kCodecCannotCreate));
        QCOMPARE(ReadAll(theirs), QByteArray("root's"));
    }

    // A writer that dies before it commits leaves no temporary file in view.
    void aCrashLeavesNoTemporaryFile()
    {
        const platform::Surface pic = MakePicture(300, 200, 4);
        QTemporaryDir d;
        const QString target = d.filePath("crash.png");
        const int code = ExitCodeOfChild(
            [&] {
                platform::AtomicFile out(target);
                if (!out.Open())
                    return 1;
                std::fputs("partial", out.Stream());
                std::fflush(out.Stream());
                ::_exit(0); // no destructor, no clean-up: as a crash
            },
            RLIM_INFINITY);
        QCOMPARE(code, 0);
        QCOMPARE(QDir(d.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList());
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestCodec t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_codec.moc"
