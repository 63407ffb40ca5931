// pixmend-batch, run as a program: every mode against the window's own
// engine, clamping, bad files among good ones, where results go, option errors.
#include "Batch.h"
#include "Codec.h"
#include "PictureFiles.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

using namespace testsupport;
using retouch::SelRect;

namespace {

struct RunResult {
    int status;
    QString err;
};

RunResult RunBatch(const QStringList& args, const QString& cwd)
{
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.start(QStringLiteral(PIXMEND_BATCH), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

// What the window does to the same file: load, retouch each rectangle in turn.
platform::Surface Expected(const QString& input, const QList<SelRect>& rects, retouch::FillMode mode)
{
    platform::Surface s;
    files::LoadPictureFile(input, s);
    for (SelRect r : rects)
        retouch::Retouch(s, r, mode);
    return s;
}

} // namespace

class TestBatch : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString photoA, photoB;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(PhotoPath("nature/Storm.jpg"), dir.filePath("storm.jpg")));
        QVERIFY(QFile::copy(PhotoPath("desktop/Ubuntu-Mate-Cold-no-logo.png"), dir.filePath("cold.png")));
        photoA = dir.filePath("storm.jpg");
        photoB = dir.filePath("cold.png");
    }

    void everyModeMatchesTheEngine_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("fill");
        QTest::newRow("V") << "V" << int(retouch::FillMode::Vertical);
        QTest::newRow("H") << "h" << int(retouch::FillMode::Horizontal);
        QTest::newRow("X") << "X" << int(retouch::FillMode::Cross);
    }
    void everyModeMatchesTheEngine()
    {
        QFETCH(QString, mode);
        QFETCH(int, fill);
        const QString out = dir.filePath("out-" + mode);
        // Rectangles in both corner orders, one reaching past the picture.
        const QList<SelRect> rects{{100, 200, 500, 260}, {900, 700, 820, 640}, {1800, 1100, 5000, 5000}};
        const RunResult r = RunBatch({"--mode", mode, "--rect", "100,200,500,260", "--rect=900,700,820,640",
                                      "--rect", "1800,1100,5000,5000", "--format", "png", "--out", out, photoA, photoB},
                                     dir.path());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        for (const QString& in : {photoA, photoB}) {
            const QString written = out + "/" + QFileInfo(in).completeBaseName() + ".png";
            const platform::Surface want = Expected(in, rects, retouch::FillMode(fill));
            QCOMPARE(FirstDifference(QImage(written), want), QString());
        }
    }

    void zeroRectangleChangesNothingAndKeepFormats()
    {
        const QString out = dir.filePath("zero");
        const RunResult r = RunBatch({"--rect", "0,0,0,0", "--out", out, "--png-rate", "2", photoB}, dir.path());
        QCOMPARE(r.status, 0);
        QCOMPARE(FirstDifference(QImage(out + "/cold.png"), QImage(photoB)), QString());
        // keep: JPEG stays JPEG, with its own extension.
        QVERIFY(QFile::copy(photoA, dir.filePath("shot.JPG")));
        const RunResult k = RunBatch({"--rect", "1,1,3,3", "--suffix", "_x", dir.filePath("shot.JPG")}, dir.path());
        QCOMPARE(k.status, 0);
        QVERIFY(ReadAll(dir.filePath("shot_x.JPG")).startsWith("\xFF\xD8"));
    }

    void badFilesAmongGoodOnes()
    {
        const QString corrupt = dir.filePath("corrupt.png");
        QVERIFY(WriteAll(corrupt, "\x89PNG\r\n\x1a\n not really"));
        const QString out = dir.filePath("mixed");
        const RunResult r = RunBatch({"--rect", "10,10,50,50", "--out", out, "--jobs", "2", dir.filePath("missing.jpg"),
                                      photoA, corrupt, photoB},
                                     dir.path());
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("missing.jpg") && r.err.contains("corrupt.png"), qPrintable(r.err));
        QVERIFY(!r.err.contains("storm.jpg"));
        QVERIFY(QFile::exists(out + "/storm.jpg"));
        QVERIFY(QFile::exists(out + "/cold.png"));
        QVERIFY(!QFile::exists(out + "/corrupt.png"));
        // An output folder that cannot be written: every file is reported.
        const RunResult w = RunBatch({"--rect", "10,10,50,50", "--out", photoA + "/sub", photoB}, dir.path());
        QCOMPARE(w.status, 1);
    }

    void inputsAreNeverTouchedUnlessInPlace()
    {
        const QString copy = dir.filePath("inplace.png");
        QVERIFY(QFile::copy(photoB, copy));
        const QByteArray original = ReadAll(copy);
        QCOMPARE(RunBatch({"--rect", "5,5,200,100", copy}, dir.path()).status, 0);
        QCOMPARE(ReadAll(copy), original);
        QVERIFY(QFile::exists(dir.filePath("inplace-pixmend.png")));
        QCOMPARE(RunBatch({"--rect", "5,5,200,100", "--in-place", copy}, dir.path()).status, 0);
        QVERIFY(ReadAll(copy) != original);
        QCOMPARE(ReadAll(copy), ReadAll(dir.filePath("inplace-pixmend.png")));
    }

    void optionErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("malformed rect") << QStringList{"--rect", "1,2,3", "a.png"};
        QTest::newRow("rect with text") << QStringList{"--rect", "1,2,x,4", "a.png"};
        QTest::newRow("unknown mode") << QStringList{"--mode", "Z", "--rect", "1,2,3,4", "a.png"};
        QTest::newRow("unknown option") << QStringList{"--fast", "--rect", "1,2,3,4", "a.png"};
        QTest::newRow("no rect") << QStringList{"a.png"};
        QTest::newRow("no files") << QStringList{"--rect", "1,2,3,4"};
        QTest::newRow("two destinations") << QStringList{"--rect", "1,2,3,4", "--in-place", "--out", "d", "a.png"};
        QTest::newRow("rate out of range") << QStringList{"--rect", "1,2,3,4", "--jpeg-rate", "0", "a.png"};
        QTest::newRow("missing value") << QStringList{"--rect"};
    }
    void optionErrors()
    {
        QFETCH(QStringList, args);
        const RunResult r = RunBatch(args, dir.path());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("Usage: pixmend-batch"), qPrintable(r.err));
    }

    void help()
    {
        QProcess p;
        p.start(QStringLiteral(PIXMEND_BATCH), {"--help"});
        p.waitForFinished();
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--mode V|H|X"));
    }

    void outputNames()
    {
        batch::Options o;
        o.suffix = "-x";
        QString ext;
        QCOMPARE(batch::OutputPath("/a/b.jpeg", o, &ext), QString("/a/b-x.jpeg"));
        QCOMPARE(ext, QString(".JPG"));
        QCOMPARE(batch::OutputPath("/a/b.gif", o, &ext), QString("/a/b-x.bmp"));
        o.format = batch::OutFormat::Png;
        QCOMPARE(batch::OutputPath("/a/b.jpg", o, &ext), QString("/a/b-x.png"));
        o.suffix.clear();
        o.inPlace = true;
        QCOMPARE(batch::OutputPath("/a/b.PNG", o, &ext), QString("/a/b.PNG"));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestBatch t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_batch.moc"
