// The save command, the file-state test, the options dialog and the buttons;
// the dialog wrapper and its string routines, with one case that drives Qt's
// own file dialog.
#include "Codec.h"
#include "PictureView.h"
#include "StringRoutines.h"
#include "TestSupport.h"
#include "basCommon.h"
#include "clsDialog.h"
#include "frmJPEG.h"
#include "frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QScrollBar>
#include <QGroupBox>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace testsupport;

namespace {

// A document of picture, its jobs run as the window runs them.
std::unique_ptr<document::PictureDocument> DocOf(const platform::Surface& picture, int delayMs = files::kProgressDelayMs)
{
    auto doc = std::make_unique<document::PictureDocument>();
    doc->SetJobRunner(files::ProgressRunner(nullptr, delayMs));
    doc->SetPicture(picture);
    return doc;
}

} // namespace

class TestSaving : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    platform::Surface pic = MakePicture(120, 80, 4);

    files::SaveOutcome save(ScriptedDialogs& d, const QString& typed, int filter,
                            files::SaveOptions options = {})
    {
        d.fileAnswers << platform::FileDialogResult{typed, filter};
        return files::SaveImageFile(nullptr, *DocOf(pic), options);
    }

private slots:
    void init() { basCommon::LoadSettings(dir.path()); }

    void filterTable_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QByteArray>("magic");
        QTest::newRow("3 and a.bmp") << "a.bmp" << 3 << "a.bmp.JPG" << QByteArray("\xFF\xD8");
        QTest::newRow("1 and picture") << "picture" << 1 << "picture.BMP" << QByteArray("BM");
        QTest::newRow("1 and picture.jpeg") << "picture.jpeg" << 1 << "picture.jpeg" << QByteArray("\xFF\xD8");
        QTest::newRow("3 and x.JPEG") << "x.JPEG" << 3 << "x.JPEG" << QByteArray("\xFF\xD8");
        QTest::newRow("1 and Scan.Png") << "Scan.Png" << 1 << "Scan.Png" << QByteArray("\x89PNG");
        QTest::newRow("4 and scan") << "scan" << 4 << "scan.PNG" << QByteArray("\x89PNG");
        QTest::newRow("2 and x.jpg") << "x.jpg" << 2 << "x.jpg.BMP" << QByteArray("BM");
        QTest::newRow("blanks dropped") << "  spaced.png  " << 1 << "spaced.png" << QByteArray("\x89PNG");
    }
    void filterTable()
    {
        QFETCH(QString, typed);
        QFETCH(int, filter);
        QFETCH(QString, written);
        QFETCH(QByteArray, magic);
        ScriptedDialogs d;
        const QString prefix = dir.path() + "/";
        const QString name = typed.startsWith(' ') ? "  " + prefix + typed.trimmed() + "  " : prefix + typed;
        QCOMPARE(save(d, name, filter, {1, -1, 1}), files::SaveOutcome::Saved);
        QVERIFY(ReadAll(prefix + written).startsWith(magic));
        QVERIFY(magic != "\xFF\xD8" || ReadAll(prefix + written).contains("\xFF\xC2")); // progressive, as asked
        QCOMPARE(d.fileRequests[0].title, QString("ファイルの保存"));
        QCOMPARE(d.fileRequests[0].filters.size(), 4);
        QCOMPARE(d.fileRequests[0].filters[2], QString("ＪＰＥＧファイル (*.jpg *.jpeg)"));
        QCOMPARE(d.fileRequests[0].flags, 8196);
        QVERIFY(d.messages.isEmpty());
    }

    // Saved over itself twice, a photo keeps its untouched blocks both times:
    // after the first save its own file is the source of the second.
    void windowKeepsJpegBlocks()
    {
        ScriptedDialogs d;
        const QString photo = dir.filePath("photo.jpg");
        QVERIFY(QFile::copy(PhotoPath("nature/Storm.jpg"), photo));
        const qint64 size = QFileInfo(photo).size();
        frmMain w;
        QVERIFY(w.View->SetupView(photo).done());
        for (int round = 0; round < 2; ++round) {
            w.View->Commit({100 + 300 * round, 100, 500 + 300 * round, 160});
            QCOMPARE(w.Retouch(), retouch::RetouchResult::Done);
            d.fileAnswers << platform::FileDialogResult{photo, 3};
            d.messageAnswers << platform::IDYES;
            QCOMPARE(w.SaveImageFile(), files::SaveOutcome::Saved);
            QVERIFY2(std::abs(QFileInfo(photo).size() - size) < size / 50, qPrintable(QString::number(round)));
        }
        QVERIFY(MeanDifference(QImage(photo), w.View->Document()->PicImg()) < 1.0);
    }

    void overwriteQuestion()
    {
        ScriptedDialogs d;
        const QString empty = dir.filePath("empty.png"), full = dir.filePath("full.png");
        QVERIFY(WriteAll(empty, QByteArray()));
        QVERIFY(WriteAll(full, "old"));
        QCOMPARE(save(d, empty, 1), files::SaveOutcome::Saved); // no question for an empty file
        QVERIFY(d.messages.isEmpty());
        d.messageAnswers << platform::IDNO;
        QCOMPARE(save(d, full, 1), files::SaveOutcome::Declined);
        QCOMPARE(ReadAll(full), QByteArray("old"));
        QCOMPARE(d.messages[0].text, "上書きしますか？\r\n" + full);
        QCOMPARE(d.messages[0].title, QString("上書き確認"));
        QCOMPARE(d.messages[0].style, 36);
        d.messageAnswers << platform::IDYES;
        QCOMPARE(save(d, full, 1), files::SaveOutcome::Saved);
        QVERIFY(ReadAll(full).startsWith("\x89PNG"));
    }

    // A path through a regular file: a system error, and only the save ends.
    void fileStatus()
    {
        ScriptedDialogs d;
        const QString full = dir.filePath("s.bin");
        QVERIFY(WriteAll(full, "x"));
        int number = 0;
        QCOMPARE(files::FileStatus(full + "/x.png", &number), int16_t(-1));
        QCOMPARE(number, 76);
        QCOMPARE(save(d, full + "/x.png", 1), files::SaveOutcome::SystemError);
        QCOMPARE(d.messages.size(), 1);
        QCOMPARE(d.messages[0].title, QString("システムエラー"));
        QCOMPARE(d.messages[0].text, QString("76:パスが見つかりません。"));
        QCOMPARE(d.messages[0].style, 16);
    }

    void failedSavesAreToldAndKeepTheOldFile()
    {
        ScriptedDialogs d;
        const QString target = dir.filePath("keep.jpg");
        QVERIFY(WriteAll(target, "old picture"));
        // A rate that is no byte.
        d.messageAnswers << platform::IDYES;
        QCOMPARE(save(d, target, 3, {300, 0, 1}), files::SaveOutcome::Failed);
        QCOMPARE(d.messages.last().title, QString("保存エラー"));
        QVERIFY(d.messages.last().text.contains(target));
        QCOMPARE(ReadAll(target), QByteArray("old picture"));
        // A full disk.
        signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit lim{2048, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lim);
        d.messageAnswers << platform::IDYES;
        const files::SaveOutcome outcome = save(d, target, 3, {1, 0, 1});
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(outcome, files::SaveOutcome::Failed);
        QCOMPARE(d.messages.last().title, QString("保存エラー"));
        QCOMPARE(ReadAll(target), QByteArray("old picture"));
    }

    // The old file disappears while the question is on screen: the save
    // still writes, and nothing is half-written. Its folder disappearing
    // instead is reported.
    void fileVanishingAfterTheQuestion()
    {
        ScriptedDialogs d;
        const QString victim = dir.filePath("vanish.png"), inside = dir.filePath("gone/x.png");
        QVERIFY(QDir(dir.path()).mkdir("gone") && WriteAll(victim, "old") && WriteAll(inside, "old"));
        d.beforeAnswer = [&] { QFile::remove(victim); };
        d.messageAnswers << platform::IDYES << platform::IDYES;
        QCOMPARE(save(d, victim, 1), files::SaveOutcome::Saved);
        QCOMPARE(FirstDifference(QImage(victim), pic), QString());
        d.beforeAnswer = [&] { QDir(dir.filePath("gone")).removeRecursively(); };
        QCOMPARE(save(d, inside, 1), files::SaveOutcome::Failed);
        QCOMPARE(d.messages.last().title, QString("保存エラー"));
    }

    // How long a save takes depends on the machine, so the test sets the
    // delay: none (the dialog comes with the first report) and the default
    // (a quick save shows none).
    void longSavesShowProgressAndABusyCursor()
    {
        ScriptedDialogs d;
        // Large enough that decoding it outlasts the dialog's first tick even
        // on a busy machine.
        const platform::Surface tall = MakePicture(600, 2000, 3);
        QString label;
        bool busy = false;
        QTimer probe;
        probe.setInterval(0);
        connect(&probe, &QTimer::timeout, this, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* p = qobject_cast<QProgressDialog*>(w); p && p->isVisible())
                    label = p->labelText();
            busy = busy || (QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor);
        });
        probe.start();
        d.fileAnswers << platform::FileDialogResult{dir.filePath("slow.png"), 1};
        QCOMPARE(files::SaveImageFile(nullptr, *DocOf(tall, 0), {50, 0, 2}), files::SaveOutcome::Saved);
        QCOMPARE(label, QString("画像を保存しています…"));
        QVERIFY(busy);
        QVERIFY(!QGuiApplication::overrideCursor());

        label.clear();
        d.fileAnswers << platform::FileDialogResult{dir.filePath("quick.png"), 1};
        QCOMPARE(files::SaveImageFile(nullptr, *DocOf(MakePicture(8, 8)), {50, 0, 1}), files::SaveOutcome::Saved);
        QVERIFY(label.isEmpty());

        // Loading shows the same.
        busy = false;
        const auto loader = DocOf({}, 0);
        QVERIFY(loader->Load(dir.filePath("slow.png")).done());
        QCOMPARE(loader->PicImg().size(), tall.size());
        QCOMPARE(label, QString("画像を読み込んでいます…"));
        QVERIFY(busy);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    // The work runs beside the window; キャンセル stops a save with the file
    // that was there untouched and nothing left behind, and a load with
    // nothing loaded.
    void cancellingLongWork()
    {
        ScriptedDialogs d;
        const platform::Surface big = MakePicture(2400, 2400, 5);
        QTemporaryDir folder;
        const QString target = folder.filePath("big.png");
        QVERIFY(WriteAll(target, "the old file"));
        QTimer canceller;
        connect(&canceller, &QTimer::timeout, this, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* p = qobject_cast<QProgressDialog*>(w); p && p->isVisible())
                    p->cancel();
        });
        canceller.start(1);
        d.fileAnswers << platform::FileDialogResult{target, 1};
        d.messageAnswers << platform::IDYES;
        QCOMPARE(files::SaveImageFile(nullptr, *DocOf(big, 0), {50, 0, 2}), files::SaveOutcome::Cancelled);
        QCOMPARE(ReadAll(target), QByteArray("the old file"));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList("big.png"));
        const platform::Surface bigger = MakePicture(4000, 4000, 6); // long enough to be cancelled
        QVERIFY(codec::DCSavetoPNG(bigger, 4000, 4000, target, 1) == 0);
        const auto loader = DocOf(pic, 0);
        QCOMPARE(loader->Load(target).kind, document::Outcome::Cancelled);
        QCOMPARE(loader->PicImg(), pic);
    }

    void optionsDialog()
    {
        int16_t rate = 50, prgrs = 0, png = 1, keep = 1;
        int saves = 0;
        const SaveOptionsBinding b{&rate, &prgrs, &png, [&] { ++saves; }, &keep};
        {
            frmJPEG f(b);
            QCOMPARE(f.windowTitle(), QString("保存オプション"));
            // Every label and control inside its group's frame (below its
            // title), whole, and none over another (also run at scale 2).
            f.show();
            QVERIFY(QTest::qWaitForWindowExposed(&f));
            for (QWidget* parent : {static_cast<QWidget*>(&f), static_cast<QWidget*>(f.BoxLine[0]), static_cast<QWidget*>(f.BoxLine[1])}) {
                const QList<QWidget*> kids = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
                for (QWidget* a : kids) {
                    QVERIFY2(parent->contentsRect().contains(a->geometry()), qPrintable(a->objectName() + a->metaObject()->className()));
                    QVERIFY(a->width() >= a->minimumSizeHint().width());
                    for (QWidget* b : kids)
                        QVERIFY2(a == b || !a->geometry().intersects(b->geometry()), qPrintable(QString(a->metaObject()->className()) + " over " + b->metaObject()->className()));
                }
            }
            QVERIFY(f.LBL[1]->sizeHint().width() <= f.LBL[1]->width()); // "プログレッシブタイプ" whole
            QVERIFY(f.keepQuality->isChecked());
            f.keepQuality->setChecked(false);
            QCOMPARE(f.ASCR[0]->value(), 50);
            QCOMPARE(f.DSP[0]->text(), QString("50"));
            QVERIFY(!f.CHK->isChecked());
            QCOMPARE(f.ASCR[1]->value(), 0);
            QCOMPARE(f.DSP[1]->text(), QString("0"));
            f.BTN_Click(0);
            QCOMPARE(saves, 1);
            QCOMPARE(keep, int16_t(0));
            QCOMPARE(rate, int16_t(50));
            QCOMPARE(png, int16_t(1));
        }
        for (int16_t stored : {0, 1, 2}) {
            png = stored;
            frmJPEG f(b);
            f.BTN_Click(0);
            QCOMPARE(png, stored);
        }
        // Stored values out of range: shown at the bars' ends, never a failure,
        // written back in range by 設定 and left alone by 閉じる.
        png = 5;
        prgrs = 7;
        rate = 250;
        {
            frmJPEG f(b);
            QVERIFY(f.ASCR[0]->value() == 100 && f.ASCR[1]->value() == 1 && f.DSP[1]->text() == "1" && f.CHK->isChecked());
            f.ASCR[0]->setValue(70);
            const int before = saves;
            f.BTN_Click(1);
            QCOMPARE(saves, before);
            QCOMPARE(rate, int16_t(250));
            f.BTN_Click(0);
            QVERIFY(png == 0 && prgrs == -1 && rate == 70);
        }
    }

    void buttonsDispatch()
    {
        ScriptedDialogs d;
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.BTN_Click(3); // no picture: nothing, not even the dialog
        QVERIFY(d.fileRequests.isEmpty());
        bool shown = false;
        d.modal = [&](QDialog& dialog) {
            shown = dynamic_cast<frmJPEG*>(&dialog) != nullptr;
            static_cast<frmJPEG&>(dialog).ASCR[0]->setValue(33);
            static_cast<frmJPEG&>(dialog).BTN_Click(0);
            return 1;
        };
        w.BTN_Click(2);
        QVERIFY(shown);
        QCOMPARE(basCommon::JpegRate, int16_t(33));
        QVERIFY(ReadAll(basCommon::IniFile).contains("Rate=33"));
        w.BTN_Click(1); // no action
        w.BTN_Click(4);
        QVERIFY(!w.isVisible());
    }

    void acceptedNames()
    {
        for (const char* yes : {"a.png", "B.JPG", "c.Bmp", "d.gif", "e.ico", ".PNG", "f.jpeg", "g.JPEG"})
            QVERIFY2(basFunc::IsAcceptedPictureName(yes), yes);
        for (const char* no : {"png", "a.tif", "", "a.png ", "a.jpe", "ajpeg"})
            QVERIFY2(!basFunc::IsAcceptedPictureName(no), no);
    }

    void flagsMustBeANumber()
    {
        ScriptedDialogs dialogs;
        clsDialog d;
        d.SelectFlags = "4100";
        dialogs.fileAnswers << platform::FileDialogResult{"/p.png", 1};
        QCOMPARE(d.OpenFile(nullptr), QString("/p.png"));
        QCOMPARE(dialogs.fileRequests[0].flags, 4100);
        for (const char* bad : {"", "four"}) {
            d.SelectFlags = bad;
            QVERIFY_THROWS_EXCEPTION(DialogError, d.OpenFile(nullptr));
        }
        QCOMPARE(dialogs.fileRequests.size(), 1); // no dialog was shown for them
    }

    // Qt's own dialog: the third filter chosen and a name typed.
    void realFileDialog()
    {
        QTemporaryDir dir;
        clsDialog d;
        d.SelectTitle = "保存";
        d.FilterPattern = QString("A") + QChar(0) + "*.a" + QChar(0) + "B" + QChar(0) + "*.b" + QChar(0) + "C" + QChar(0) + "*.c" + QChar(0);
        d.SelectFlags = "4"; // no create prompt: the name is taken as typed
        d.DefaultFolder = dir.path();
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            seen = true;
            QCOMPARE(dialog->windowTitle(), QString("保存"));
            QCOMPARE(dialog->selectedNameFilter(), QString("A (*.a)"));
            dialog->selectNameFilter("C (*.c)");
            auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
            QVERIFY(edit);
            edit->setText("typed");
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const QString name = d.SaveFile(nullptr);
        QVERIFY(seen);
        QCOMPARE(name, dir.filePath("typed"));
        QCOMPARE(d.FilterIndex, 3);

        QTimer::singleShot(0, this, [] { QApplication::activeModalWidget()->close(); });
        QCOMPARE(d.SaveFile(nullptr), QString());
        QCOMPARE(d.FilterIndex, 0);
    }
};

QTEST_MAIN(TestSaving)
#include "tst_saving.moc"
