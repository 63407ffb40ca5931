// The codec: PNG decoding checked against Qt's reader (a decoder that
// shares none of our code) on every kind of PNG, the writers' round trips,
// and what a write that fails or is interrupted leaves behind.
#include "Codec.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDirIterator>
#include <QTest>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// What Qt's reader makes of a file, composited over white.
QImage OverWhiteReference(const QString& path)
{
    const QImage argb = QImage(path).convertToFormat(QImage::Format_ARGB32);
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

// The PNG decoder on a file's bytes.
platform::Surface ReadPng(const QString& path)
{
    const QByteArray data = ReadAll(path);
    platform::Surface s;
    if (codec::DecodePng(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()), s) != 0)
        return {};
    return s;
}

} // namespace

class TestCodec : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    // Palette with tRNS, 1-bit grey, grey with alpha, 16-bit, Adam7 (also
    // 3 x 2, smaller than its first passes), and real photographs.
    void pngsMatchQtsReader()
    {
        QStringList paths;
        for (QDirIterator it(DataPath("data/png"), QDir::Files); it.hasNext();)
            paths << it.next();
        for (const char* photo : {"abstract/Flow.png", "desktop/Stripes.png", "desktop/Ubuntu-Mate-Cold-no-logo.png",
                                  "abstract/Arc-Colors-Transparent-Wallpaper.png"})
            paths << PhotoPath(photo);
        QVERIFY(paths.size() >= 11);
        for (const QString& path : paths) {
            const QImage reference = OverWhiteReference(path);
            QVERIFY2(!reference.isNull(), qPrintable(path));
            const platform::Surface ours = ReadPng(path);
            QCOMPARE(ours.format(), QImage::Format_RGB32);
            // 16-bit samples: Qt and we may round the 8-bit value differently.
            QVERIFY2(FirstDifference(ours, reference, path.contains("16bit") ? 1 : 0).isEmpty(), qPrintable(path));
        }
    }

    // Any byte of a chunk altered fails its CRC, also in an ancillary chunk.
    void damagedPngsFail()
    {
        const QByteArray good = ReadAll(DataPath("data/png/rgba.png"));
        for (qsizetype at : {qsizetype(20), qsizetype(40), good.size() / 2, good.size() - 6}) {
            QByteArray bad = good;
            bad[at] = char(bad[at] ^ 0x5A);
            platform::Surface s;
            QVERIFY2(codec::DecodePng(reinterpret_cast<const uint8_t*>(bad.constData()), size_t(bad.size()), s) != 0,
                     qPrintable(QString::number(at)));
            QVERIFY(s.isNull());
        }
        QVERIFY(ReadPng(dir.filePath("missing.png")).isNull());
    }

    // PNG and bitmap come back exactly (the bitmap's rows need padding);
    // JPEG close, progressive when asked; a higher rate gives a smaller file.
    void writersRoundTrip()
    {
        const platform::Surface pic = MakePicture(321, 200, 3);
        qint64 png[3] = {}, jpg[2] = {};
        // A photograph: where the levels' effort shows.
        const platform::Surface photo = QImage(PhotoPath("nature/Storm.jpg")).copy(0, 0, 321, 200).convertToFormat(QImage::Format_RGB32);
        for (int rate : {0, 1, 2}) {
            const QString path = dir.filePath(QString("rt%1.png").arg(rate));
            QCOMPARE(codec::DCSavetoPNG(photo, 321, 200, path, uint8_t(rate)), 0);
            QCOMPARE(FirstDifference(ReadPng(path), photo), QString());
            png[rate] = QFileInfo(path).size();
        }
        QVERIFY2(png[2] < png[0] && png[0] < png[1], qPrintable(QString("%1 %2 %3").arg(png[0]).arg(png[1]).arg(png[2])));
        // Shapes that make one band, many bands (joined into one stream), odd widths.
        for (const QSize size : {QSize(1, 1), QSize(1, 65536), QSize(333, 10001), QSize(7, 3)}) {
            const platform::Surface p = MakePicture(size.width(), size.height(), uint32_t(size.height()));
            for (int rate : {0, 1, 2}) {
                const QString path = dir.filePath("shape.png");
                QCOMPARE(codec::DCSavetoPNG(p, p.width(), p.height(), path, uint8_t(rate)), 0);
                QCOMPARE(FirstDifference(ReadPng(path), p), QString());
                QCOMPARE(FirstDifference(QImage(path).convertToFormat(QImage::Format_RGB32), p), QString());
            }
        }
        QCOMPARE(codec::SaveBitmapFile(pic, dir.filePath("rt.bmp")), 0);
        QCOMPARE(ReadAll(dir.filePath("rt.bmp")).mid(28, 2), QByteArray("\x18\x00", 2)); // 24 bits
        QCOMPARE(FirstDifference(QImage(dir.filePath("rt.bmp")), pic), QString());
        for (int rate : {1, 90})
            for (bool progressive : {false, true}) {
                const QString path = dir.filePath(QString("rt%1%2.jpg").arg(rate).arg(progressive));
                QCOMPARE(codec::DCSavetoJPEG(pic, 321, 200, path, uint8_t(rate), progressive), 0);
                QCOMPARE(ReadAll(path).contains("\xFF\xC2"), progressive); // SOF2
                QVERIFY(MeanDifference(QImage(path), pic) < (rate == 1 ? 8.0 : 16.0));
                jpg[rate == 90] = QFileInfo(path).size();
            }
        QVERIFY(jpg[1] < jpg[0]);
        // Rate 1 is quality 100: every quantisation step is 1.
        const QByteArray best = ReadAll(dir.filePath("rt10.jpg"));
        const qsizetype dqt = best.indexOf("\xFF\xDB");
        QVERIFY(dqt > 0);
        QCOMPARE(best.mid(dqt + 5, 64), QByteArray(64, 1));
    }

    void failedWritesKeepTheOldFile()
    {
        const platform::Surface pic = MakePicture(400, 300, 2);
        const QString target = dir.filePath("keep.png");
        const QByteArray old = "old contents";
        QVERIFY(WriteAll(target, old));
        // A path through a regular file.
        int err = 0;
        QCOMPARE(codec::DCSavetoPNG(pic, 400, 300, target + "/x.png", 1, {}, &err), int(codec::kCodecCannotCreate));
        QCOMPARE(err, ENOTDIR);
        // A full disk, for each writer.
        QCOMPARE(ExitCodeOfChild([&] { return codec::DCSavetoPNG(pic, 400, 300, target, 1); }, 4096),
                 int(codec::kCodecWriteFailed));
        QCOMPARE(ExitCodeOfChild([&] { return codec::DCSavetoJPEG(pic, 400, 300, target, 1, true); }, 4096),
                 int(codec::kCodecWriteFailed));
        QCOMPARE(ExitCodeOfChild([&] { return codec::SaveBitmapFile(pic, target); }, 4096),
                 int(codec::kCodecWriteFailed));
        QCOMPARE(ReadAll(target), old);
        // An over-long name fails on the name itself, after the data is written.
        QVERIFY(codec::SaveBitmapFile(pic, dir.filePath(QString(300, QChar('n')) + ".bmp")) != 0);
        // No temporary file is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QStringList(".*"), QDir::Files | QDir::Hidden), QStringList());
        // Nothing to write.
        QCOMPARE(codec::DCSavetoJPEG(platform::Surface(), 1, 1, target, 1, false), int(codec::kCodecBadArguments));
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
        QCOMPARE(codec::DCSavetoPNG(pic, 40, 30, link, 1), 0);
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(ReadAll(real).startsWith("\x89PNG"));
        // A dangling link: its target is created.
        QVERIFY(QFile::link("later.png", d.filePath("dangling.png")));
        QCOMPARE(codec::DCSavetoPNG(pic, 40, 30, d.filePath("dangling.png"), 1), 0);
        QVERIFY(QFileInfo(d.filePath("dangling.png")).isSymLink() && QFile::exists(d.filePath("later.png")));

        const QByteArray name = QFile::encodeName(real);
        const bool root = ::geteuid() == 0;
        if (root)
            QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
        QCOMPARE(::chmod(name.constData(), 06750), 0); // after chown, which would clear the bits
        struct stat before;
        QVERIFY(::stat(name.constData(), &before) == 0 && (before.st_mode & 06000) == 06000);
        const bool xattrs = ::setxattr(name.constData(), "user.origin", "camera", 6, 0) == 0;
        QCOMPARE(codec::SaveBitmapFile(pic, real), 0);
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
        QCOMPARE(codec::DCSavetoJPEG(pic, 40, 30, locked, 50, false, {}, &err), int(codec::kCodecCannotCreate));
        QCOMPARE(err, EACCES);
        QCOMPARE(ReadAll(locked), QByteArray("keep me"));
        // Someone else's file in a folder anyone may write: the folder's
        // permission must not let an ordinary user replace it.
        if (!root)
            QSKIP("the ordinary-user case needs root to become another user");
        const QString theirs = d.filePath("theirs.bmp");
        QVERIFY(WriteAll(theirs, "root's"));
        QCOMPARE(::chmod(QFile::encodeName(d.path()).constData(), 0777), 0);
        QCOMPARE(ExitCodeOfChild([&] { return codec::SaveBitmapFile(pic, theirs); }, RLIM_INFINITY, true),
                 int(codec::kCodecCannotCreate));
        QCOMPARE(ReadAll(theirs), QByteArray("root's"));
    }

    // After the rename, the folder itself is opened to be synced, so that the
    // new name survives a power cut: inotify sees the folder opened once the
    // file has its name (an unnamed file is made by opening the folder too).
    void theFolderIsSyncedAfterTheRename()
    {
        QTemporaryDir d;
        const int in = inotify_init1(IN_NONBLOCK);
        QVERIFY(in >= 0 && inotify_add_watch(in, QFile::encodeName(d.path()).constData(), IN_OPEN | IN_MOVED_TO) >= 0);
        QCOMPARE(codec::SaveBitmapFile(MakePicture(4, 4), d.filePath("x.bmp")), 0);
        alignas(inotify_event) char buf[4096];
        bool named = false, folderOpened = false;
        for (ssize_t n = ::read(in, buf, sizeof buf), at = 0; n > 0 && at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            named = named || (e->mask & IN_MOVED_TO);
            folderOpened = folderOpened || (named && (e->mask & IN_ISDIR) && e->len == 0);
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
        ::close(in);
        QVERIFY(folderOpened);
    }
};

QTEST_MAIN(TestCodec)
#include "tst_codec.moc"
