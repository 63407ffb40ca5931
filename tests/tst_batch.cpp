// pixmend-batch, run as a program: every mode against the window's own
// engine, clamping, bad files among good ones, where results go, option errors.
#include "Codec.h"
#include "FileRead.h"
#include "PictureFiles.h"
#include "Retouch.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using retouch::SelRect;

namespace {

struct RunResult {
    int status;
    QString err;
};

RunResult RunBatch(const QStringList& args, const QString& cwd, const QString& program = PIXMEND_BATCH)
{
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.start(program, args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

// What the window does to the same file: load, retouch each rectangle in turn.
platform::Surface Expected(const QString& input, const QList<SelRect>& rects, retouch::FillMode mode)
{
    platform::Surface s = files::LoadPicture(input);
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
        QTest::newRow("L") << "l" << int(retouch::FillMode::Letters);
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

    // Inputs stay untouched unless --in-place; a JPEG stays JPEG with its
    // own extension (.jpeg too); a zero rectangle changes nothing.
    void whereResultsGo()
    {
        const QString copy = dir.filePath("inplace.png");
        QVERIFY(QFile::copy(photoB, copy));
        const QByteArray original = ReadAll(copy);
        QCOMPARE(RunBatch({"--rect", "0,0,0,0", "--png-rate", "2", copy}, dir.path()).status, 0);
        QCOMPARE(FirstDifference(QImage(dir.filePath("inplace-pixmend.png")), QImage(copy)), QString());
        QCOMPARE(RunBatch({"--rect", "5,5,200,100", copy}, dir.path()).status, 0);
        QCOMPARE(ReadAll(copy), original);
        QCOMPARE(RunBatch({"--rect", "5,5,200,100", "--in-place", copy}, dir.path()).status, 0);
        QVERIFY(ReadAll(copy) != original);
        QCOMPARE(ReadAll(copy), ReadAll(dir.filePath("inplace-pixmend.png")));
        QVERIFY(QFile::copy(photoA, dir.filePath("shot.jpeg")));
        QCOMPARE(RunBatch({"--rect", "1,1,3,3", "--suffix", "_x", dir.filePath("shot.jpeg")}, dir.path()).status, 0);
        QVERIFY(ReadAll(dir.filePath("shot_x.jpeg")).startsWith("\xFF\xD8"));
        // A JPEG keeps its untouched blocks unless told to --reencode at the rate.
        const qint64 source = QFileInfo(photoA).size();
        QVERIFY(std::abs(QFileInfo(dir.filePath("shot_x.jpeg")).size() - source) <= source / 50);
        QCOMPARE(RunBatch({"--rect", "1,1,3,3", "--suffix", "_r", "--reencode", dir.filePath("shot.jpeg")}, dir.path()).status, 0);
        QVERIFY(QFileInfo(dir.filePath("shot_r.jpeg")).size() < source / 2);
    }

    // Every output is worked out before anything is written: a run that would
    // write one file twice or replace an input is refused whole.
    void clashesRefuseTheWholeRun()
    {
        QTemporaryDir d;
        const QString s = d.filePath("s"), x = d.filePath("x"), y = d.filePath("y");
        for (const QString& f : {s, x, y})
            QVERIFY(QDir().mkdir(f));
        QVERIFY(QFile::copy(photoA, s + "/a.jpg") && QFile::copy(photoB, s + "/a.png"));
        QVERIFY(QFile::copy(photoB, x + "/p.png") && QFile::copy(photoB, y + "/p.png"));
        QVERIFY(QFile::copy(photoB, d.filePath("a.bmp.src")));
        QVERIFY(WriteAll(d.filePath("a.gif"), ReadAll(DataPath("fuzz-corpus/loader/regression-tiny-gif-huge-frame.gif"))));
        QVERIFY(QFile::link(s + "/a.png", d.filePath("link.png")));
        const QByteArray originalJpg = ReadAll(s + "/a.jpg");
        const QList<QPair<QStringList, QString>> cases{
            {{"--out", s, s + "/a.jpg", s + "/a.png"}, "a.jpg"},        // the folder of the inputs
            {{"--out", d.filePath("o"), x + "/p.png", y + "/p.png"}, "p.png"}, // one name from two folders
            {{d.filePath("a.bmp"), d.filePath("a.gif")}, "a-pixmend.bmp"},     // two formats, one bitmap
            {{s + "/a.png", s + "/a.png"}, "a.png"},                   // named twice
            {{s + "/a.png", d.filePath("link.png")}, "link.png"},      // the same file by a link
        };
        QVERIFY(QFile::rename(d.filePath("a.bmp.src"), d.filePath("a.bmp")));
        for (const auto& [files, named] : cases) {
            const RunResult r = RunBatch(QStringList{"--rect", "10,10,50,50"} + files, d.path());
            QCOMPARE(r.status, 2);
            QVERIFY2(r.err.contains(named) && r.err.contains("nothing was written"), qPrintable(r.err));
        }
        QCOMPARE(ReadAll(s + "/a.jpg"), originalJpg);
        QVERIFY(!QFile::exists(d.filePath("o")) && !QFile::exists(d.filePath("a-pixmend.bmp")));

        // In place is the file itself in its own format: a GIF cannot be,
        // and an unrelated a.bmp beside it must survive.
        const QByteArray bmp = ReadAll(d.filePath("a.bmp"));
        const RunResult g = RunBatch({"--rect", "1,1,2,2", "--in-place", d.filePath("a.gif")}, d.path());
        QCOMPARE(g.status, 1);
        QVERIFY2(g.err.contains("a.gif") && g.err.contains("--in-place"), qPrintable(g.err));
        QCOMPARE(ReadAll(d.filePath("a.bmp")), bmp);
    }

    // SIGINT, SIGTERM, SIGHUP and SIGQUIT stop the run between files with
    // nothing half written, also where temporary files have names; SIGKILL
    // leaves no temporary file in view either where they need none.
    void signalsLeaveNoTemporaryFiles_data()
    {
        QTest::addColumn<int>("signo");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGQUIT") << int(SIGQUIT);
        QTest::newRow("SIGKILL") << int(SIGKILL);
    }
    void signalsLeaveNoTemporaryFiles()
    {
        QFETCH(int, signo);
        QTemporaryDir d;
        QStringList args{"--rect", "10,10,400,300", "--format", "png", "--png-rate", "2", "--out", d.filePath("out")};
        for (int i = 0; i < 30; ++i) {
            const QString copy = d.filePath(QString("in%1.jpg").arg(i));
            QVERIFY(QFile::copy(photoA, copy));
            args << copy;
        }
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (signo != SIGKILL)
            env.insert("PIXMEND_NAMED_TEMPORARIES", "1");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(PIXMEND_BATCH), args);
        QVERIFY(p.waitForStarted());
        // Once writing has begun.
        QTRY_VERIFY_WITH_TIMEOUT(QDir(d.filePath("out")).exists() && !QDir(d.filePath("out")).isEmpty(QDir::Files | QDir::Hidden), 60000);
        ::kill(pid_t(p.processId()), signo);
        QVERIFY(p.waitForFinished(60000));
        const int written = int(QDir(d.filePath("out")).entryList(QDir::Files).size());
        if (signo == SIGKILL) {
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 128 + signo);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(err.contains(QString("after %1 of 30 files").arg(written)), qPrintable(err));
        }
        QVERIFY(written < 30);
        if (signo != SIGKILL || UnnamedFilesSupported(d.filePath("out")))
            QCOMPARE(QDir(d.filePath("out")).entryList(QStringList(".*"), QDir::Files | QDir::Hidden), QStringList());
        for (const QString& f : QDir(d.filePath("out")).entryList(QDir::Files))
            QVERIFY2(!QImage(d.filePath("out/" + f)).isNull(), qPrintable(f)); // every file whole
    }

    // Missing, damaged, special and vanishing inputs fail alone, and the file
    // stays as it was; the good ones among them are done.
    void damagedAndSpecialInputs()
    {
        QTemporaryDir d;
        const platform::Surface pic = MakePicture(200, 150, 3);
        QVERIFY(codec::DCSavetoJPEG(pic, 200, 150, d.filePath("whole.jpg"), 10, false) == 0);
        QVERIFY(codec::DCSavetoPNG(pic, 200, 150, d.filePath("whole.png"), 1) == 0);
        QVERIFY(codec::SaveBitmapFile(pic, d.filePath("whole.bmp")) == 0);
        QStringList inputs{d.filePath("missing.jpg"), d.filePath("corrupt.png")};
        QVERIFY(WriteAll(inputs[1], "\x89PNG\r\n\x1a\n not really"));
        for (const char* ext : {"jpg", "png", "bmp"}) {
            const QByteArray whole = ReadAll(d.filePath(QString("whole.") + ext));
            const QString cut = d.filePath(QString("cut.") + ext);
            // The JPEG ends in an EOI marker all the same, as if whole.
            QVERIFY(WriteAll(cut, whole.left(whole.size() / 2) + (ext == QByteArray("jpg") ? "\xFF\xD9" : "")));
            inputs << cut;
        }
        QVERIFY(::mkfifo(QFile::encodeName(d.filePath("fifo.png")).constData(), 0600) == 0);
        QVERIFY(QDir().mkdir(d.filePath("folder.jpg")));
        inputs << d.filePath("fifo.png") << d.filePath("folder.jpg");
        const RunResult r = RunBatch(QStringList{"--rect", "10,10,50,50", "--jobs", "2", "--out", d.filePath("out"), photoA}
                                         + inputs + QStringList{photoB}, d.path());
        QCOMPARE(r.status, 1);
        for (const QString& in : inputs)
            QVERIFY2(r.err.contains(QFileInfo(in).fileName()), qPrintable(in + ": " + r.err));
        QVERIFY(r.err.contains("途中で終わっています") && r.err.contains("通常のファイルではありません"));
        QVERIFY(!r.err.contains("storm.jpg") && !r.err.contains("cold.png"));
        QVERIFY(QFile::exists(d.filePath("out/storm.jpg")) && QFile::exists(d.filePath("out/cold.png")));
        QVERIFY(!QFile::exists(d.filePath("out/corrupt.png")) && !QFile::exists(d.filePath("out/cut.jpg")));
        const QByteArray cutJpg = ReadAll(inputs[2]);
        QCOMPARE(RunBatch({"--rect", "10,10,50,50", "--in-place", inputs[2]}, d.path()).status, 1);
        QCOMPARE(ReadAll(inputs[2]), cutJpg);
        // An output folder that cannot be written: every file is reported.
        QCOMPARE(RunBatch({"--rect", "10,10,50,50", "--out", photoA + "/sub", photoB}, d.path()).status, 1);

        // A rectangle wholly outside a picture is an error for that file.
        const RunResult o = RunBatch({"--rect", "300,20,400,40", "--out", d.filePath("o"), d.filePath("whole.png")}, d.path());
        QCOMPARE(o.status, 1);
        QVERIFY2(o.err.contains("300,20,400,40"), qPrintable(o.err));
        QVERIFY(!QFile::exists(d.filePath("o/whole.png")));

        // A file cut short while it is being read fails or succeeds, but never kills the run.
        const platform::Surface big = MakePicture(4000, 3000, 5);
        QVERIFY(codec::DCSavetoJPEG(big, 4000, 3000, d.filePath("big.jpg"), 1, true) == 0);
        const QByteArray bigData = ReadAll(d.filePath("big.jpg"));
        for (int delayMs : {50, 200}) {
            QVERIFY(WriteAll(d.filePath("shrinks.jpg"), bigData));
            QProcess p;
            p.start(QStringLiteral(PIXMEND_BATCH), {"--rect", "10,10,20,20", "--out", d.filePath("s"), d.filePath("shrinks.jpg")});
            QVERIFY(p.waitForStarted());
            QThread::msleep(delayMs);
            QVERIFY(::truncate(QFile::encodeName(d.filePath("shrinks.jpg")).constData(), 1000) == 0);
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        }
    }

    // The settings beside the program: a compression rate out of range is
    // clamped as the window does, a settings file that cannot be ours (its
    // kinds are the window's own test's) stops the run untouched.
    void settingsBesideTheProgram()
    {
        QTemporaryDir d;
        const QString program = d.filePath("pixmend-batch");
        QVERIFY(QFile::copy(PIXMEND_BATCH, program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
        const platform::Surface pic = MakePicture(64, 48, 8);
        QVERIFY(codec::DCSavetoPNG(pic, 64, 48, d.filePath("in.png"), 1) == 0);
        const QString out = d.filePath("in-pixmend.jpg");
        for (const auto& [stored, clamped] : QList<QPair<int, int>>{{300, 100}, {-1, 1}}) {
            QVERIFY(WriteAll(d.filePath("Pixmend.ini"), "[JPEG]\nRate=" + QByteArray::number(stored) + "\n"));
            QCOMPARE(RunBatch({"--rect", "0,0,0,0", "--format", "jpg", d.filePath("in.png")}, d.path(), program).status, 0);
            QVERIFY(codec::DCSavetoJPEG(pic, 64, 48, d.filePath("want.jpg"), uint8_t(clamped), false) == 0);
            QVERIFY2(ReadAll(out) == ReadAll(d.filePath("want.jpg")), qPrintable(QString("Rate=%1").arg(stored)));
        }
        // The window's choice not to keep a JPEG's blocks is not the batch's:
        // only --reencode or --quality encode an original again.
        QVERIFY(WriteAll(d.filePath("Pixmend.ini"), "[JPEG]\nRate=50\nKeep=0\n"));
        QVERIFY(QFile::copy(photoA, d.filePath("photo.jpg")));
        auto runJpeg = [&](const QStringList& extra, const QString& name) {
            const QStringList args = QStringList{"--rect", "10,10,40,40", "--suffix", name} + extra << d.filePath("photo.jpg");
            return RunBatch(args, d.path(), program).status == 0 ? ReadAll(d.filePath("photo" + name + ".jpg")) : QByteArray();
        };
        const QByteArray kept = runJpeg({"--keep-quality"}, "-k"), reencoded = runJpeg({"--reencode", "--jpeg-rate", "11"}, "-r");
        QVERIFY(!kept.isEmpty() && kept != reencoded);
        QCOMPARE(runJpeg({}, "-d"), kept);
        QCOMPARE(runJpeg({"--quality", "90"}, "-q"), reencoded);

        const QByteArray big(3 << 20, ';');
        QVERIFY(WriteAll(d.filePath("Pixmend.ini"), big));
        const RunResult r = RunBatch({"--rect", "1,1,2,2", d.filePath("in.png")}, d.path(), program);
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("Pixmend.ini"), qPrintable(r.err));
        QCOMPARE(ReadAll(d.filePath("Pixmend.ini")), big);
    }

    // Rectangles from any corner and in percent, on pictures of three sizes
    // and a JPEG turned by its Exif orientation (corners as shown): the
    // fill at the absolute rectangle, bit for bit.
    void anchorsAndPercentages()
    {
        QTemporaryDir d;
        QStringList inputs;
        for (const QSize size : {QSize(300, 200), QSize(200, 300), QSize(641, 479)}) {
            inputs << d.filePath(QString("p%1.png").arg(size.width()));
            QVERIFY(codec::DCSavetoPNG(MakePicture(size.width(), size.height(), 4), size.width(), size.height(), inputs.last(), 1) == 0);
        }
        QByteArray jpg = ReadAll(DataPath("data/loads/cmyk-orientation-6.jpg")); // stored 64 x 32, shown 32 x 64
        QVERIFY(WriteAll(d.filePath("turned.jpg"), jpg));
        inputs << d.filePath("turned.jpg");
        const RunResult r = RunBatch(QStringList{"--anchor", "br", "--rect", "2,10,12,3", "--anchor", "tl", "--rect",
                                                 "10%,20%,50%,100%", "--format", "png", "--out", d.filePath("o")} + inputs,
                                     d.path());
        QCOMPARE(r.status, 0);
        for (const QString& in : inputs) {
            const platform::Surface pic = files::LoadPicture(in);
            QVERIFY(!pic.isNull());
            const int W = pic.width(), H = pic.height();
            const QList<SelRect> rects{{W - 3, H - 11, W - 13, H - 4}, {W / 10, H / 5, W / 2, H - 1}};
            const QString out = d.filePath("o/" + QFileInfo(in).completeBaseName() + ".png");
            QCOMPARE(FirstDifference(QImage(out), Expected(in, rects, retouch::FillMode::Vertical)), QString());
        }
    }

    // A list of any length and any names (spaces, a line break with -0,
    // bytes that are no UTF-8) from --files-from; one JSON line per input in
    // --report; --shard splitting the list without overlap; a run killed
    // half-way resumed with --no-clobber; progress only on a terminal.
    void archiveRuns()
    {
        QTemporaryDir d;
        QByteArray list;
        QStringList names;
        for (int i = 0; i < 12; ++i) {
            QByteArray name = QFile::encodeName(d.path()) + "/" + QByteArray::number(i)
                + (i == 0 ? "a b.png" : i == 1 ? "new\nline.png" : i == 2 ? "caf\xE9.png" : ".png");
            FILE* f = std::fopen(name.constData(), "wb");
            const QByteArray png = ReadAll(photoB);
            QVERIFY(f && std::fwrite(png.constData(), 1, size_t(png.size()), f) == size_t(png.size()));
            std::fclose(f);
            list += name + '\0';
            names << platform::DecodeFileName(name);
        }
        QVERIFY(WriteAll(d.filePath("list"), list));
        // A name that is no UTF-8, given as an argument.
        QCOMPARE(QProcess::execute("sh", {"-c", "exec \"$0\" --rect 1,1,9,9 --suffix -arg \"$1\"/2caf$(printf '\\351').png",
                                          PIXMEND_BATCH, d.path()}), 0);
        const QStringList common{"--rect", "10,10,40,40", "--png-rate", "1", "-0", "--files-from", d.filePath("list")};
        auto reportInputs = [&](const QString& report, const char* status) {
            QStringList inputs;
            for (const QByteArray& line : ReadAll(report).split('\n')) {
                if (line.isEmpty())
                    continue;
                const QJsonObject o = QJsonDocument::fromJson(line).object();
                if (o.value("status").toString() != status)
                    continue;
                inputs << o.value("input").toString();
                if (QString(status) == "ok" && (o.value("width").toInt() <= 0 || o.value("height").toInt() <= 0
                                                || ::access(platform::EncodeFileName(o.value("output").toString()).constData(), F_OK) != 0))
                    inputs << "report line without size or output: " + QString::fromUtf8(line);
            }
            return inputs;
        };
        QStringList sharded;
        for (int k = 0; k < 3; ++k) {
            const QString report = d.filePath(QString("shard%1.jsonl").arg(k));
            QCOMPARE(RunBatch(common + QStringList{"--shard", QString("%1/3").arg(k), "--report", report, "--out", d.filePath("s")}, d.path()).status, 0);
            QCOMPARE(reportInputs(report, "ok").size(), 4);
            sharded += reportInputs(report, "ok");
        }
        sharded.sort();
        names.sort();
        QCOMPARE(sharded, names);

        // Killed half-way, then resumed: each file done once in all.
        QProcess p;
        p.start(QStringLiteral(PIXMEND_BATCH), common + QStringList{"--jobs", "1", "--png-rate", "2", "--report",
                                                                    d.filePath("first.jsonl"), "--out", d.filePath("r")});
        QTRY_VERIFY_WITH_TIMEOUT(reportInputs(d.filePath("first.jsonl"), "ok").size() >= 3, 60000);
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished());
        const QStringList first = reportInputs(d.filePath("first.jsonl"), "ok");
        QVERIFY(first.size() < 12);
        QCOMPARE(RunBatch(common + QStringList{"--no-clobber", "--report", d.filePath("second.jsonl"), "--out", d.filePath("r")}, d.path()).status, 0);
        QStringList skipped = reportInputs(d.filePath("second.jsonl"), "skipped"), again = reportInputs(d.filePath("second.jsonl"), "ok");
        QVERIFY(skipped.size() >= first.size());
        QCOMPARE(skipped.size() + again.size(), 12);

        // The progress line: on a terminal (a pseudo-terminal here), not in a pipe unless asked.
        const QString cmd = QString("'%1' --rect 1,1,2,2 --out '%2' '%3'").arg(PIXMEND_BATCH, d.filePath("t"), photoB);
        QProcess term;
        term.start("script", {"-qec", cmd, "/dev/null"});
        QVERIFY(term.waitForFinished(60000));
        const QByteArray shown = term.readAllStandardOutput();
        QVERIFY2(shown.contains("files/s"), "no progress on a terminal");
        QVERIFY2(shown.contains("pixmend-batch: 1 done, 0 failed, 0 skipped"), shown.constData());
        QVERIFY(!RunBatch({"--rect", "1,1,2,2", "--out", d.filePath("t"), photoB}, d.path()).err.contains("files/s"));
        QVERIFY(RunBatch({"--progress", "--rect", "1,1,2,2", "--out", d.filePath("t"), photoB}, d.path()).err.contains("files/s"));
    }

    // Lists and reports that are not what they seem: a dangling symlink
    // among the outputs naming another output, a report path that is an
    // input or someone else's file, a NUL inside a list of lines; and a list
    // that comes through a pipe.
    void listsAndReportsThatDeceive()
    {
        QTemporaryDir d;
        QVERIFY(QDir(d.path()).mkpath("one") && QDir(d.path()).mkpath("two") && QDir(d.path()).mkpath("out"));
        const QString a = d.filePath("one/a.png"), b = d.filePath("two/b.png");
        QVERIFY(QFile::copy(photoB, a) && QFile::copy(photoB, b));
        QVERIFY(QFile::link("b.png", d.filePath("out/a.png")));
        RunResult r = RunBatch({"--rect", "1,1,9,9", "--out", d.filePath("out"), a, b}, d.path());
        QVERIFY2(r.status == 2 && r.err.contains("would both be written"), qPrintable(r.err));
        QVERIFY(!QFile::exists(d.filePath("out/b.png")));

        const QByteArray picture = ReadAll(a);
        r = RunBatch({"--rect", "1,1,9,9", "--report", a, "--suffix", "-x", a, b}, d.path());
        QVERIFY2(r.status == 2 && ReadAll(a) == picture, qPrintable(r.err));
        QVERIFY(WriteAll(d.filePath("notes.txt"), "my notes\n"));
        r = RunBatch({"--rect", "1,1,9,9", "--report", d.filePath("notes.txt"), "--suffix", "-x", a}, d.path());
        QVERIFY(r.status == 2 && ReadAll(d.filePath("notes.txt")) == "my notes\n");
        for (int run = 1; run <= 2; ++run) // a report of ours takes more lines
            QCOMPARE(RunBatch({"--rect", "1,1,9,9", "--report", d.filePath("r.jsonl"), "--suffix", "-x", a}, d.path()).status, 0);
        QCOMPARE(ReadAll(d.filePath("r.jsonl")).count('\n'), 2);

        QVERIFY(WriteAll(d.filePath("list"), QFile::encodeName(a) + "\n" + QFile::encodeName(b) + QByteArray("\0x.png\n", 7)));
        r = RunBatch({"--rect", "1,1,9,9", "--suffix", "-y", "--files-from", d.filePath("list")}, d.path());
        QVERIFY2(r.status == 2 && r.err.contains("line 2"), qPrintable(r.err));
        QVERIFY(!QFile::exists(d.filePath("one/a-y.png")));

        QVERIFY(::mkfifo(QFile::encodeName(d.filePath("fifo")).constData(), 0600) == 0);
        QProcess writer;
        writer.start("sh", {"-c", QString("printf '%s\\n%s\\n' '%1' '%2' > '%3'").arg(a, b, d.filePath("fifo"))});
        QCOMPARE(RunBatch({"--rect", "1,1,9,9", "--suffix", "-z", "--files-from", d.filePath("fifo")}, d.path()).status, 0);
        QVERIFY(writer.waitForFinished());
        QVERIFY(QFile::exists(d.filePath("one/a-z.png")) && QFile::exists(d.filePath("two/b-z.png")));
    }

    void optionErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("malformed rect") << QStringList{"--rect", "1,2,3", "a.png"};
        QTest::newRow("unknown mode") << QStringList{"--mode", "Z", "--rect", "1,2,3,4", "a.png"};
        QTest::newRow("unknown option") << QStringList{"--fast", "--rect", "1,2,3,4", "a.png"};
        QTest::newRow("no rect") << QStringList{"a.png"};
        QTest::newRow("two destinations") << QStringList{"--rect", "1,2,3,4", "--in-place", "--out", "d", "a.png"};
        QTest::newRow("rate out of range") << QStringList{"--rect", "1,2,3,4", "--jpeg-rate", "0", "a.png"};
        QTest::newRow("quality out of range") << QStringList{"--rect", "1,2,3,4", "--quality", "101", "a.png"};
        QTest::newRow("missing value") << QStringList{"--rect"};
    }
    void optionErrors()
    {
        QFETCH(QStringList, args);
        const RunResult r = RunBatch(args, dir.path());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("Usage: pixmend-batch"), qPrintable(r.err)); // --help: the manual page's test
    }
};

QTEST_GUILESS_MAIN(TestBatch)
#include "tst_batch.moc"
