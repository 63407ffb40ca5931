// The profile functions and the settings file.
#include "Codec.h"
#include "FileRead.h"
#include "Profile.h"
#include "TestSupport.h"
#include "basCommon.h"
#include "basFunc.h"
#include "PictureView.h"
#include "frmMain.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <sys/stat.h>

using namespace testsupport;

class TestSettings : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString ini() const { return dir.filePath("Pixmend.ini"); }
    void writeIni(const QByteArray& s) { QVERIFY(WriteAll(ini(), s)); }

private slots:
    void init()
    {
        QFile::remove(ini());
        basCommon::ImageFront.clear();
        basCommon::JpegRate = 50;
        basCommon::JpegPrgrs = 0;
        basCommon::PngRate = 1;
    }

    void lookup_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // "<default>" when the default comes back
        QTest::newRow("blanks dropped") << QByteArray("[JPEG]\nRate =  12 \t\n") << "JPEG" << "Rate" << "12";
        QTest::newRow("case of names") << QByteArray("[jpeg]\nrate=7\n") << "JPEG" << "Rate" << "7";
        QTest::newRow("present but empty") << QByteArray("[JPEG]\nRate=\n") << "JPEG" << "Rate" << "";
        QTest::newRow("missing key") << QByteArray("[JPEG]\nPrgrs=1\n") << "JPEG" << "Rate" << "<default>";
        QTest::newRow("missing section") << QByteArray("[PNG]\nRate=2\n") << "JPEG" << "Rate" << "<default>";
        QTest::newRow("key of another section") << QByteArray("[PNG]\nRate=2\n[JPEG]\n") << "JPEG" << "Rate" << "<default>";
        QTest::newRow("CRLF") << QByteArray("[Image]\r\nFront=/a b/c.png\r\n[JPEG]\r\nRate=60\r\n") << "JPEG" << "Rate" << "60";
        QTest::newRow("BOM") << QByteArray("\xEF\xBB\xBF[JPEG]\nRate=3\n") << "JPEG" << "Rate" << "3";
        QTest::newRow("no final newline") << QByteArray("[JPEG]\nRate=4") << "JPEG" << "Rate" << "4";
        QTest::newRow("utf-8 value") << QByteArray("[Image]\nFront=/写真/猫.jpg\n") << "Image" << "Front" << "/写真/猫.jpg";
        QTest::newRow("equals inside value") << QByteArray("[Image]\nFront=/a=b.png\n") << "Image" << "Front" << "/a=b.png";
    }
    void lookup()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        writeIni(content);
        const QString got = basFunc::ReadIni(section, key, "<default>", ini());
        QCOMPARE(got, expected);
    }

    // A write changes its one line (in the file's own spelling of the key
    // and its own line ends), adds a missing key after its section's last
    // entry and a missing section at the end, and keeps every other line. A
    // value is one line, read back whole however long.
    void writes()
    {
        writeIni("; comment\n[Other]\nx = 1\n\n[jpeg]\nRATE = 60.0\n; note\nZoom=2\n\n[PNG]\nRate=1\n");
        QVERIFY(basFunc::WriteIni("JPEG", "Rate", "60", ini()));
        QVERIFY(basFunc::WriteIni("JPEG", "Prgrs", "-1", ini()));
        QVERIFY(basFunc::WriteIni("New", "Key", "v", ini()));
        QCOMPARE(ReadAll(ini()),
                 QByteArray("; comment\n[Other]\nx = 1\n\n[jpeg]\nRATE=60\n; note\nZoom=2\nPrgrs=-1\n\n[PNG]\nRate=1\n[New]\nKey=v\n"));
        writeIni("[JPEG]\r\nRate=1\r\n");
        QVERIFY(basFunc::WriteIni("JPEG", "Rate", "2", ini()));
        QVERIFY(basFunc::WriteIni("Image", "Front", "/x\n[JPEG]\nRate=9", ini()));
        QCOMPARE(ReadAll(ini()), QByteArray("[JPEG]\r\nRate=2\r\n[Image]\r\nFront=/x[JPEG]Rate=9\r\n"));
        const QString path = "/" + QString(299, QChar('p'));
        QVERIFY(basFunc::WriteIni("Image", "Front", path, ini()));
        QCOMPARE(basFunc::ReadIni("Image", "Front", "", ini()), path);
    }

    void failedWriteLeavesFileAlone()
    {
        // A path through a regular file cannot be written, even by root.
        const QString blocker = dir.filePath("blocker");
        QVERIFY(WriteAll(blocker, "x"));
        QCOMPARE(basFunc::WriteIni("JPEG", "Rate", "1", blocker + "/Pixmend.ini"), int16_t(0));

        // A full disk: the file-size limit of a child process stops the
        // write half-way; the old file must survive whole.
        const QByteArray old = "[Image]\nFront=/old.png\n";
        writeIni(old);
        QCOMPARE(ExitCodeOfChild([&] { return platform::WriteProfileString("Image", "Front", QString(5000, QChar('z')), ini()) ? 0 : 3; }, 64), 3);
        QCOMPARE(ReadAll(ini()), old);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter("Pixmend").size(), 1);
    }

    void firstStartCreatesDefaults()
    {
        QVERIFY(basCommon::LoadSettings(dir.path() + "/"));
        QCOMPARE(basCommon::IniFile, dir.path() + "/Pixmend.ini"); // one slash, given or not
        basCommon::SaveSettings();
        QCOMPARE(ReadAll(ini()), QByteArray("[Image]\nFront=\n[JPEG]\nRate=50\nPrgrs=0\nKeep=1\n[PNG]\nRate=1\n"));
    }

    void integerValues_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("75.5 up to even") << QByteArray("75.5") << 76 << QByteArray("76");
        QTest::newRow("74.5 down to even") << QByteArray("74.5") << 74 << QByteArray("74");
        QTest::newRow("74.51") << QByteArray("74.51") << 75 << QByteArray("75");
        QTest::newRow("blanks") << QByteArray("  12  ") << 12 << QByteArray("12");
        QTest::newRow("negative") << QByteArray("-5") << -5 << QByteArray("-5");
        QTest::newRow("plus sign") << QByteArray("+8") << 8 << QByteArray("8");
        QTest::newRow("60.0") << QByteArray("60.0") << 60 << QByteArray("60");
        QTest::newRow("lowest") << QByteArray("-32768") << -32768 << QByteArray("-32768");
    }
    void integerValues()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QFETCH(QByteArray, written);
        writeIni("[JPEG]\nRate=" + text + "\n");
        QVERIFY(basCommon::LoadSettings(dir.path()));
        QCOMPARE(int(basCommon::JpegRate), value);
        basCommon::SaveSettings();
        QVERIFY(ReadAll(ini()).contains("\nRate=" + written + "\n"));
    }

    void noIntegerValueIsReportedAndFileUntouched_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::newRow("above range") << QByteArray("[JPEG]\nRate=32768\n") << "JPEG" << "Rate";
        QTest::newRow("empty") << QByteArray("[JPEG]\r\nRate=\r\n") << "JPEG" << "Rate";
        QTest::newRow("text") << QByteArray("[JPEG]\nPrgrs=yes\n") << "JPEG" << "Prgrs";
        QTest::newRow("png") << QByteArray("[PNG]\nRate=1e3\n") << "PNG" << "Rate";
    }
    void noIntegerValueIsReportedAndFileUntouched()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        writeIni(content);
        QString text;
        QVERIFY(!basCommon::LoadSettings(dir.path(), &text));
        QVERIFY2(text.contains(ini()) && text.contains(section) && text.contains(key), qPrintable(text));
        QCOMPARE(ReadAll(ini()), content);
    }

    // A settings file that cannot be ours, a FIFO (which would block every
    // read) or one far larger than ours, is refused untouched, like a bad value.
    void unusableSettingsFilesAreRefused()
    {
        QVERIFY(::mkfifo(QFile::encodeName(ini()).constData(), 0600) == 0);
        QString problem;
        QVERIFY(!basCommon::LoadSettings(dir.path(), &problem));
        QVERIFY(problem.contains(ini()));
        QFile::remove(ini());
        const QByteArray big = "[JPEG]\nRate=50\n" + QByteArray(2 << 20, ';');
        writeIni(big);
        QVERIFY(!basCommon::LoadSettings(dir.path(), &problem));
        QVERIFY2(problem.contains(ini()) && problem.contains(QString::number(big.size())), qPrintable(problem));
        QCOMPARE(ReadAll(ini()), big);
        // Writing refuses it too, rather than rewriting a stranger's file.
        QCOMPARE(basFunc::WriteIni("JPEG", "Rate", "1", ini()), int16_t(0));
        QCOMPARE(ReadAll(ini()), big);
    }

    // Closing writes the settings; when it cannot, the user is told.
    void settingsThatCannotBeWrittenAreReported()
    {
        QVERIFY(basCommon::LoadSettings(dir.path()));
        const QString blocker = dir.filePath("blocker-file");
        QVERIFY(WriteAll(blocker, "x"));
        basCommon::IniFile = blocker + "/Pixmend.ini";
        ScriptedDialogs dialogs;
        {
            frmMain w;
            w.show();
            w.close();
        }
        QCOMPARE(dialogs.messages.size(), 1);
        QVERIFY2(dialogs.messages[0].text.contains("設定を保存できませんでした") &&
                     dialogs.messages[0].text.contains(basCommon::IniFile),
                 qPrintable(dialogs.messages[0].text));
    }

    // A remembered path that is no valid UTF-8 comes back byte for byte, and opens.
    void pathBytesSurviveTheSettings()
    {
        const QByteArray name = QFile::encodeName(dir.path()) + "/caf\xE9-\xFF.bmp";
        const platform::Surface pic = MakePicture(6, 4);
        QCOMPARE(codec::SaveBitmapFile(pic, platform::DecodeFileName(name)), 0);
        const QByteArray content = "[Image]\nFront=" + name + "\n[JPEG]\nRate=50\nPrgrs=0\nKeep=0\n[PNG]\nRate=1\n";
        writeIni(content);
        QVERIFY(basCommon::LoadSettings(dir.path()));
        basCommon::ImageFront += "x"; // a rewrite on the way
        QVERIFY(basCommon::SaveSettings());
        basCommon::ImageFront.chop(1);
        {
            frmMain w;
            w.Form_Load();
            QCOMPARE(w.View->Document()->PicImg().size(), pic.size());
            w.close(); // writes the path field back
        }
        QVERIFY(ReadAll(ini()).startsWith(content)); // the window adds its own section after
        std::remove(name.constData());
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
