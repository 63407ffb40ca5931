// The main window: its controls and layout, opening pictures (and failing
// to), undo, the question before work is lost, shortcuts, the command line.
#include "Codec.h"
#include "LoupeWidget.h"
#include "PathField.h"
#include "PictureView.h"
#include "TestSupport.h"
#include "ViewArea.h"
#include "basCommon.h"
#include "frmMain.h"

#include <QApplication>
#include <QScreen>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QUrl>

#include <memory>
#include <sys/stat.h>

using namespace testsupport;

class TestMainWindow : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString picture(const QString& name, int w, int h, unsigned seed = 1)
    {
        const QString p = dir.filePath(name);
        const platform::Surface s = MakePicture(w, h, seed);
        if (name.endsWith(".png"))
            codec::DCSavetoPNG(s, w, h, p, 1);
        else
            s.save(p);
        return p;
    }

private slots:
    void init()
    {
        basCommon::LoadSettings(dir.path());
        basCommon::ImageFront.clear();
    }

    // The controls, their keyboard order and their starting geometry; the layout
    // follows the size and snaps back to the minimum.
    void controlsAndLayout()
    {
        // A remembered picture that is a FIFO: no hang, no box, an empty view.
        basCommon::ImageFront = dir.filePath("remembered-fifo.png");
        QVERIFY(::mkfifo(QFile::encodeName(basCommon::ImageFront).constData(), 0600) == 0);
        ScriptedDialogs dialogs;
        frmMain w;
        w.Form_Load();
        QVERIFY(dialogs.messages.isEmpty());
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.windowTitle(), QString("Pixmend"));
        QCOMPARE(w.FLD[0]->text(), basCommon::ImageFront); // path shown, view empty
        QVERIFY(w.View->Document()->PicImg().isNull());
        QCOMPARE(w.LBL[0]->text(), QString("前景の絵"));
        const QStringList captions{"補正", "戻す", "ｵﾌﾟｼｮﾝ", "保存", "閉じる"};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(w.BTN[i]->text(), captions[i]);
        QVERIFY(!w.BTN[1]->isVisible() && w.OPT[0]->isChecked());
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.BTN[0]));
        QCOMPARE(w.BTN[0]->nextInFocusChain(), static_cast<QWidget*>(w.DBTN[0]));
        QCOMPARE(w.DBTN[0]->nextInFocusChain(), static_cast<QWidget*>(w.BTN[4]));
        QCOMPARE(w.BTN[4]->nextInFocusChain(), static_cast<QWidget*>(w.BTN[2]));
        QCOMPARE(w.size(), QSize(322, 280));
        QVERIFY(w.OPT[3]->geometry().right() < 306 - 8); // inside the narrowest window

        w.resize(1000, 700);
        QTRY_COMPARE(w.AREA[0]->size(), QSize(1000 - 113, 700 - 103));
        QCOMPARE(w.HSCR[0]->y(), w.AREA[0]->geometry().bottom());
        QCOMPARE(w.VSCR[0]->x(), w.AREA[0]->geometry().right());
        QCOMPARE(w.VSCR[0]->height(), w.AREA[0]->height());
        QCOMPARE(w.FLD[0]->width(), w.AREA[0]->width());
        QCOMPARE(w.DBTN[0]->x(), w.FLD[0]->geometry().right());
        QCOMPARE(w.OPT[2]->y(), w.HSCR[0]->geometry().bottom() + 1 + 7);
        QCOMPARE(w.BTN[3]->y(), w.OPT[0]->geometry().bottom() + 1 + 7);
        QCOMPARE(w.BTN[4]->geometry().right(), w.VSCR[0]->geometry().right());
        w.resize(100, 100);
        const QSize minClient = frmMain::kMinimumOuter - frmMain::kAssumedFrame;
        QTRY_COMPARE(w.size(), minClient);
        QCOMPARE(w.AREA[0]->size(), QSize(minClient.width() - 113, minClient.height() - 103));
    }

    // Enter, leaving the field with a changed name, a drop and the browse
    // button open a picture. One that cannot be opened keeps the picture
    // (with its unsaved retouching) and the path shown, and says why, except
    // on leaving the field. A JPEG cut short opens and says so.
    void openingAndFailingToOpen()
    {
        const QString png = picture("typed.png", 30, 20), bmp = picture("b.bmp", 50, 30, 2);
        const QString fifo = dir.filePath("fifo.png"), cut = dir.filePath("cut.jpeg");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(codec::DCSavetoJPEG(MakePicture(64, 48, 2), 64, 48, cut, 10, false) == 0);
        QVERIFY(WriteAll(cut, ReadAll(cut).left(int(QFileInfo(cut).size() / 2))));
        ScriptedDialogs dialogs;
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto enter = [&](const QString& path) {
            w.FLD[0]->setFocus();
            w.FLD[0]->setText(path);
            QTest::keyClick(w.FLD[0], Qt::Key_Return, Qt::ShiftModifier);
        };
        enter(png);
        QCOMPARE(w.View->Document()->PicImg().size(), QSize(30, 20));
        w.View->Commit({2, 2, 12, 12});
        QCOMPARE(w.Retouch(), retouch::RetouchResult::Done);
        const QImage retouched = w.View->Document()->PicImg().copy();
        // Passing through the field unchanged reads nothing again.
        w.FLD[0]->setFocus();
        w.BTN[0]->setFocus(Qt::TabFocusReason);
        QCOMPARE(w.View->Document()->PicImg(), retouched);

        const QList<QPair<QString, QString>> failures{{dir.filePath("missing.png"), "見つかりません"},
                                                      {fifo, "通常のファイルではありません"},
                                                      {DataPath("data/refused/huge.png"), "大きすぎます"}};
        for (const auto& [path, reason] : failures) {
            dialogs.messages.clear();
            dialogs.messageAnswers = {platform::IDNO}; // 保存しない, then the open fails
            enter(path);
            QCOMPARE(w.View->Document()->PicImg(), retouched);
            QCOMPARE(w.View->Document()->Path(), png);
            QCOMPARE(w.FLD[0]->text(), png);
            QCOMPARE(dialogs.messages.size(), 2);
            QCOMPARE(dialogs.messages[1].title, QString("読み込みエラー"));
            QVERIFY2(dialogs.messages[1].text.contains(path) && dialogs.messages[1].text.contains(reason),
                     qPrintable(dialogs.messages[1].text));
        }
        dialogs.messages.clear();
        dialogs.messageAnswers = {platform::IDNO};
        w.FLD[0]->setFocus();
        w.FLD[0]->setText(fifo);
        w.BTN[2]->setFocus(Qt::MouseFocusReason);
        QCOMPARE(w.FLD[0]->text(), png);
        QCOMPARE(dialogs.messages.size(), 1); // only the question
        dialogs.messageAnswers = {platform::IDNO};
        w.FLD[0]->setFocus();
        w.FLD[0]->setText(bmp);
        w.BTN[2]->setFocus(Qt::MouseFocusReason);
        QCOMPARE(w.View->Document()->PicImg().size(), QSize(50, 30));
        dialogs.messages.clear();
        enter(cut);
        QCOMPARE(w.View->Document()->Path(), cut);
        QCOMPARE(dialogs.messages.size(), 1);
        QVERIFY(dialogs.messages[0].text.contains("途中で終わっています"));

        // A dropped file list opens each picture in turn, after one question
        // for all of them; dropped text is no file list.
        const QString gif = DataPath("data/loads/two-frames.gif");
        w.View->Commit({1, 1, 9, 9});
        QCOMPARE(w.Retouch(), retouch::RetouchResult::Done);
        dialogs.messages.clear();
        dialogs.messageAnswers = {platform::IDNO};
        QMimeData files, text;
        files.setUrls({QUrl::fromLocalFile(dir.filePath("notes.txt")), QUrl::fromLocalFile(bmp), QUrl::fromLocalFile(gif)});
        text.setText(bmp);
        QVERIFY(DroppedFiles(&text).isEmpty());
        w.AREA_OLEDragDrop(0, DroppedFiles(&files));
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(w.FLD[0]->text(), gif);
        QCOMPARE(w.View->Document()->PicImg().size(), QSize(2, 1));
        // The browse button: the Open dialog as designed; a cancel changes nothing.
        dialogs.fileAnswers << platform::FileDialogResult{bmp, 1} << platform::FileDialogResult{};
        w.DBTN_Click(0);
        w.DBTN_Click(0);
        QCOMPARE(w.FLD[0]->text(), bmp);
        QCOMPARE(dialogs.fileRequests[0].title, QString("背景の画像"));
        QCOMPARE(dialogs.fileRequests[0].flags, 4100);
        QCOMPARE(dialogs.fileRequests[0].filters, QStringList("画像ファイル (*.bmp *.gif *.ico *.jpg *.jpeg *.png)"));
    }

    // 閉じる and the close box write the path field, opened or not.
    void closingRemembersTheField()
    {
        for (int how = 0; how < 2; ++how) {
            frmMain w;
            w.show();
            const QString typed = dir.filePath(how ? "never-opened.png" : "by-close-box.jpg");
            w.FLD[0]->setText(typed);
            if (how)
                w.BTN_Click(4);
            else
                w.close();
            QVERIFY(!w.isVisible());
            QVERIFY(ReadAll(basCommon::IniFile).contains(("Front=" + typed).toUtf8()));
        }
    }

    // Two retouches, taken back and done again bit for bit; the question
    // before a changed picture is closed; the title follows.
    void undoRedoAndTheQuestionBeforeClosing()
    {
        const QString png = picture("undo.png", 100, 80, 7);
        const QByteArray onDisk = ReadAll(png);
        basCommon::ImageFront = png;
        ScriptedDialogs dialogs;
        frmMain w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.windowTitle(), QString("Pixmend - undo.png[*]"));
        const QImage loaded = w.View->Document()->PicImg().copy();
        w.View->Commit({10, 10, 40, 30});
        QCOMPARE(w.Retouch(), retouch::RetouchResult::Done);
        const QImage first = w.View->Document()->PicImg().copy();
        w.OPT[2]->setChecked(true);
        w.View->Commit({99, 60, 30, 0}); // reaches the top and right edges
        QCOMPARE(w.Retouch(), retouch::RetouchResult::Done);
        const QImage second = w.View->Document()->PicImg().copy();
        QVERIFY(w.isWindowModified() && first != loaded && second != first);

        w.FLD[0]->setFocus(); // the shortcuts work from the path field too
        QTest::keyClick(w.FLD[0], Qt::Key_Z, Qt::ControlModifier);
        QTest::keyClick(w.FLD[0], Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(w.View->Document()->PicImg(), loaded);
        QVERIFY(!w.isWindowModified());
        QCOMPARE(w.AREA[0]->BackBuffer().pixel(20, 20), loaded.pixel(20, 20)); // repainted
        QTest::keyClick(w.FLD[0], Qt::Key_Y, Qt::ControlModifier);
        QCOMPARE(w.View->Document()->PicImg(), first);
        QTest::keyClick(w.FLD[0], Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(w.View->Document()->PicImg(), second);
        QVERIFY(!w.Redo());

        // キャンセル stays; 保存 whose Save dialog is cancelled stays; 保存
        // that saves goes on, and the title names the file saved.
        dialogs.messageAnswers = {platform::IDCANCEL, platform::IDYES};
        dialogs.fileAnswers << platform::FileDialogResult{};
        QVERIFY(!w.close() && !w.close() && w.isVisible());
        QCOMPARE(dialogs.messages.size(), 2);
        QCOMPARE(dialogs.messages[0].title, QString("Pixmend"));
        QVERIFY(dialogs.messages[0].text.contains("変更を保存しますか?") && dialogs.messages[0].text.contains("undo.png"));
        QCOMPARE(dialogs.messages[0].style & 0x0F, int(platform::MB_SAVECHANGES));
        QCOMPARE(ReadAll(png), onDisk);
        dialogs.messageAnswers = {platform::IDYES};
        dialogs.fileAnswers << platform::FileDialogResult{dir.filePath("kept.png"), 1};
        QVERIFY(w.close());
        QCOMPARE(QImage(dir.filePath("kept.png")), w.View->Document()->PicImg());
        QCOMPARE(w.windowTitle(), QString("Pixmend - kept.png[*]"));
        QVERIFY(!w.isWindowModified());
        QVERIFY(w.Undo() && w.isWindowModified()); // unlike the file saved again
        dialogs.messageAnswers = {platform::IDNO};
        w.show();
        QVERIFY(w.close()); // 保存しない closes
    }

    void shortcutsAndFeedback()
    {
        basCommon::ImageFront = picture("keys.png", 60, 40, 9);
        ScriptedDialogs dialogs;
        frmMain w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.BTN[0]->toolTip(), QString("補正 (元に戻す: Ctrl+Z)"));
        QVERIFY(basCommon::InstallJapaneseTranslation()); // Qt's own buttons speak Japanese too
        QVERIFY(QMessageBox(QMessageBox::Question, "", "", QMessageBox::Yes).button(QMessageBox::Yes)->text().contains("はい"));
        w.BTN_Click(0); // nothing committed: said so
        QCOMPARE(dialogs.messages.size(), 1);
        QVERIFY(dialogs.messages[0].text.contains("範囲を選択してから補正してください。"));
        w.View->AREA_MouseDown(0, 1, 0, 5, 5);
        QTest::keyClick(w.BTN[0], Qt::Key_Escape); // as the right click
        QVERIFY(w.View->Selecting() == 0 && !w.AREA[0]->SelLinesVisible);
        w.View->Commit({10, 10, 30, 20});
        const QImage before = w.View->Document()->PicImg().copy();
        w.BTN_Click(0); // a committed rectangle no longer shown is not repainted
        QVERIFY(dialogs.messages.size() == 2 && w.View->Document()->PicImg() == before);
        w.View->ShowSelLines(true);
        w.AREA[0]->setFocus();
        QTest::keyClick(w.AREA[0], Qt::Key_Return); // Enter on the view: 補正
        QVERIFY(w.View->Document()->PicImg() != before);
        dialogs.fileAnswers << platform::FileDialogResult{} << platform::FileDialogResult{};
        QTest::keyClick(w.AREA[0], Qt::Key_S, Qt::ControlModifier);
        QTest::keyClick(w.AREA[0], Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(dialogs.fileRequests.size(), 2);
        QCOMPARE(dialogs.fileRequests[0].title, QString("ファイルの保存"));
        QCOMPARE(dialogs.fileRequests[1].title, QString("背景の画像"));
        // The dialogs start where the picture came from, then where the
        // last one was opened.
        QCOMPARE(dialogs.fileRequests[0].folder, dir.path());
        QTemporaryDir elsewhere;
        const QString other = elsewhere.filePath("other.png");
        QVERIFY(QFile::copy(basCommon::ImageFront, other));
        dialogs.fileAnswers << platform::FileDialogResult{other, 1} << platform::FileDialogResult{};
        dialogs.messageAnswers = {platform::IDNO};
        QTest::keyClick(w.AREA[0], Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(w.View->Document()->Path(), other);
        QTest::keyClick(w.AREA[0], Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(dialogs.fileRequests.last().folder, elsewhere.path());
        dialogs.messageAnswers = {platform::IDNO}; // let the retouch go on closing
    }

    // The window's place, size and fill mode come back at the next start;
    // absurd values or a place off every screen are ignored; a first start
    // takes 70 % of the screen, centred.
    void windowRemembersItself()
    {
        QFile::remove(basCommon::IniFile);
        const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
        {
            frmMain w;
            w.RestoreWindowSettings();
            QCOMPARE(w.size(), (avail.size() * 0.7).expandedTo(QSize(322, 280)));
            QCOMPARE(w.geometry().center(), avail.center());
            w.setGeometry(40, 50, 500, 400);
            w.OPT[3]->setChecked(true);
            w.show();
            w.close();
        }
        {
            frmMain w;
            w.RestoreWindowSettings();
            QCOMPARE(w.geometry(), QRect(40, 50, 500, 400));
            QVERIFY(w.OPT[3]->isChecked());
            QVERIFY(ReadAll(basCommon::IniFile).contains("Mode=L"));
        }
        // Off every screen, or larger than the screen (closed on a bigger
        // one): the whole window, frame and all, comes back inside it.
        const QByteArray larger = "Left=-30\nTop=-20\nWidth=" + QByteArray::number(avail.width() + 600) + "\nHeight="
            + QByteArray::number(avail.height() + 400) + "\n";
        for (const QByteArray& place : {QByteArray("Left=100000\nTop=5\nWidth=500\nHeight=400\n"), larger}) {
            QVERIFY(WriteAll(basCommon::IniFile, "[Window]\n" + place));
            frmMain w;
            w.RestoreWindowSettings();
            const QRect outer(w.geometry().topLeft() - QPoint(4, 27), w.geometry().size() + frmMain::kAssumedFrame);
            QVERIFY2(avail.contains(outer), place.constData());
            QVERIFY(w.width() >= 500 && w.height() >= 400);
        }
        for (const char* bad : {"Left=0\nTop=0\nWidth=abc\nHeight=400\nMode=Q\n", "Left=0\nTop=0\nWidth=10\nHeight=10\n"}) {
            QVERIFY(WriteAll(basCommon::IniFile, QByteArray("[Window]\n") + bad));
            frmMain w;
            w.RestoreWindowSettings();
            QVERIFY2(w.size() == QSize(322, 280) && w.OPT[0]->isChecked(), bad);
        }
    }

    void commandLine()
    {
        using CL = basCommon::CommandLine;
        const QList<QPair<QStringList, CL::Action>> cases{
            {{"pixmend", "-platform", "offscreen", "--", "-odd.png"}, CL::Run},
            {{"pixmend", "--help"}, CL::Help},
            {{"pixmend", "a.png", "b.png"}, CL::Error},
        };
        for (const auto& [args, action] : cases)
            QVERIFY2(basCommon::ParseCommandLine(args).action == action, qPrintable(args.join(' ')));
        QCOMPARE(basCommon::ParseCommandLine(cases[0].first).file, QString("-odd.png"));
        // A file named on the command line that cannot be opened is told, as
        // a typed one is; the remembered picture gone missing is not.
        ScriptedDialogs dialogs;
        basCommon::ImageFront = dir.filePath("missing.png");
        frmMain named, remembered;
        named.Form_Load(true);
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(dialogs.messages[0].title, QString("読み込みエラー"));
        QCOMPARE(named.FLD[0]->text(), basCommon::ImageFront);
        remembered.Form_Load();
        QCOMPARE(dialogs.messages.size(), 1);
        // A JPEG cut short (ended with EOI as if whole) is told at start-up too.
        const QByteArray jpg = ReadAll(picture("whole.jpg", 64, 64));
        QVERIFY(WriteAll(basCommon::ImageFront = dir.filePath("cut.jpg"), jpg.left(jpg.size() / 2) + "\xFF\xD9"));
        frmMain cut;
        cut.Form_Load();
        QVERIFY(dialogs.messages.size() == 2 && dialogs.messages[1].text.contains("途中で終わっています"));
        // --version needs no display; an unknown option is a usage error.
        QProcess p;
        p.setEnvironment({"QT_QPA_PLATFORM=nothing-such"});
        p.start(QStringLiteral(PIXMEND_APP), {"--version"});
        QVERIFY(p.waitForFinished());
        QVERIFY(p.exitCode() == 0 && p.readAllStandardOutput().startsWith("pixmend "));
        p.start(QStringLiteral(PIXMEND_APP), {"--nonsense"});
        QVERIFY(p.waitForFinished());
        QVERIFY(p.exitCode() == 2 && p.readAllStandardError().contains("Usage: pixmend"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
