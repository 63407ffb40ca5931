// The dialog wrapper and its string routines; one case drives Qt's own file dialog.
#include "StringRoutines.h"
#include "TestSupport.h"
#include "clsDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

using namespace testsupport;

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void getField_data()
    {
        QTest::addColumn<QString>("s");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("sep");
        QTest::addColumn<QString>("expected");
        QTest::newRow("1") << "p|q||r" << 1 << "|" << "p";
        QTest::newRow("2") << "p|q||r" << 2 << "|" << "q";
        QTest::newRow("3 empty") << "p|q||r" << 3 << "|" << "";
        QTest::newRow("4") << "p|q||r" << 4 << "|" << "r";
        QTest::newRow("5 beyond") << "p|q||r" << 5 << "|" << "";
        QTest::newRow("0 is 1") << "p|q||r" << 0 << "|" << "p";
        QTest::newRow("two-char separator") << "x::y" << 2 << "::" << "y";
    }
    void getField()
    {
        QFETCH(QString, s);
        QFETCH(int, n);
        QFETCH(QString, sep);
        QFETCH(QString, expected);
        QCOMPARE(basFunc::GetField(s, int16_t(n), sep), expected);
    }

    void cutAtNull()
    {
        QCOMPARE(basFunc::CutAtNull("abc"), QString("abc"));
        QCOMPARE(basFunc::CutAtNull(QString(QChar(0)) + "abc"), QString());
        QCOMPARE(basFunc::CutAtNull("ab" + QString(QChar(0)) + "c"), QString("ab"));
    }

    void acceptedNames()
    {
        for (const char* yes : {"a.png", "B.JPG", "c.Bmp", "d.gif", "e.ico", ".PNG", "f.jpeg", "g.JPEG"})
            QVERIFY2(basFunc::IsAcceptedPictureName(yes), yes);
        for (const char* no : {"png", "a.tif", "", "a.png ", "a.jpe", "ajpeg"})
            QVERIFY2(!basFunc::IsAcceptedPictureName(no), no);
    }

    void saveFileReportsFilter()
    {
        ScriptedDialogs dialogs;
        clsDialog d;
        d.SelectTitle = "t";
        d.FilterPattern = QString("A") + QChar(0) + "*.a;*.b" + QChar(0) + "B" + QChar(0) + "*.b" + QChar(0) + "C" + QChar(0) + "*.c" + QChar(0);
        d.SelectFlags = "8196";
        dialogs.fileAnswers << platform::FileDialogResult{"/tmp/x", 3} << platform::FileDialogResult{};
        QCOMPARE(d.SaveFile(nullptr), QString("/tmp/x"));
        QCOMPARE(d.FilterIndex, 3);
        const platform::FileDialogRequest& r = dialogs.fileRequests[0];
        QCOMPARE(r.filters, QStringList({"A (*.a *.b)", "B (*.b)", "C (*.c)"}));
        QCOMPARE(r.flags, 8196);
        QCOMPARE(r.kind, platform::FileDialogRequest::Save);
        QCOMPARE(d.SaveFile(nullptr), QString());
        QCOMPARE(d.FilterIndex, 0);
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

    void colourCode()
    {
        ScriptedDialogs dialogs; // answers every colour dialog with a cancel
        clsDialog d;
        d.SelectColor = 0x123456;
        QCOMPARE(d.ColorCode(nullptr), 0);
        QCOMPARE(d.SelectColor, 0x123456);
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

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestDialogs t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_dialogs.moc"
