// The picture document without a window: what counts as changed, what a
// lossless save re-encodes, the history's bound, a running job's lock.
#include "Codec.h"
#include "PictureDocument.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace testsupport;
using document::PictureDocument;
using retouch::FillMode;
using retouch::RetouchResult;
using retouch::SelRect;

class TestDocument : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    static RetouchResult Fill(PictureDocument& doc, SelRect r, FillMode mode = FillMode::Vertical)
    {
        return doc.Retouch(r, mode);
    }

private slots:
    // Saved, undone past the save, a new retouch there: the saved state can
    // no longer come back, the picture stays changed whichever way it goes.
    void changedFollowsTheHistory()
    {
        PictureDocument doc;
        doc.SetPicture(MakePicture(80, 60, 3));
        QSignalSpy modified(&doc, &PictureDocument::modifiedChanged);
        QVERIFY(!doc.IsChanged());
        QCOMPARE(Fill(doc, {10, 10, 30, 30}), RetouchResult::Done);
        QVERIFY(doc.IsChanged() && modified.last().at(0).toBool());
        QVERIFY(doc.Save(dir.filePath("a.png"), ".PNG", {}).done());
        QVERIFY(!doc.IsChanged() && !modified.last().at(0).toBool());
        QCOMPARE(doc.FileName(), dir.filePath("a.png"));
        QVERIFY(doc.Undo() && doc.IsChanged());
        QVERIFY(doc.Redo() && !doc.IsChanged());
        QVERIFY(doc.Undo());
        QCOMPARE(Fill(doc, {40, 5, 70, 50}), RetouchResult::Done); // the saved step is dropped
        QVERIFY(doc.Undo() && doc.IsChanged());
    }

    // Retouch, save keeping the blocks, undo, retouch elsewhere, save: the
    // first rectangle is encoded again too (the file kept from holds it).
    void losslessSaveAfterABranch()
    {
        platform::Surface photo = platform::MakeSurface(256, 160); // a checkerboard: a fill shows
        for (int y = 0; y < 160; ++y)
            for (int x = 0; x < 256; ++x)
                photo.setPixel(x, y, (x / 4 + y / 4) % 2 ? 0xFFE0E0E0 : 0xFF202020);
        QCOMPARE(codec::DCSavetoJPEG(photo, 256, 160, dir.filePath("src.jpg"), 10, false), 0);
        PictureDocument doc;
        QVERIFY(doc.Load(dir.filePath("src.jpg")).done());
        const platform::Surface original = doc.PicImg().copy();
        const QRect first(16, 16, 64, 48);
        QCOMPARE(Fill(doc, {16, 16, 79, 63}), RetouchResult::Done);
        QVERIFY(doc.Save(dir.filePath("a.jpg"), ".JPG", {}).done());
        QVERIFY(doc.Undo());
        QCOMPARE(Fill(doc, {160, 80, 239, 143}), RetouchResult::Done);
        QVERIFY(doc.Save(dir.filePath("b.jpg"), ".JPG", {}).done());
        const platform::Surface a = files::LoadPicture(dir.filePath("a.jpg"));
        const platform::Surface b = files::LoadPicture(dir.filePath("b.jpg"));
        QVERIFY(MeanDifference(a.copy(first), original.copy(first)) > 20); // retouched there
        QVERIFY2(MeanDifference(b.copy(first), original.copy(first)) < 3, "the undone retouch came back");
        QVERIFY(MeanDifference(b.copy(160, 80, 80, 64), doc.PicImg().copy(160, 80, 80, 64)) < 3);
    }

    // The steps take no more than the picture (or the minimum budget); the
    // oldest go first, and the picture they led from is changed for good.
    void historyIsBounded()
    {
        PictureDocument doc;
        doc.SetPicture(MakePicture(2048, 2048, 2)); // 16 MB: four whole steps fit the 64 MB budget
        const platform::Surface opened = doc.PicImg().copy();
        for (int i = 0; i < 6; ++i)
            QCOMPARE(Fill(doc, {0, 0, 2047, 2047 - i}, i % 2 ? FillMode::Horizontal : FillMode::Vertical), RetouchResult::Done);
        QCOMPARE(doc.History().Steps(), size_t(4));
        QVERIFY(doc.History().Bytes() <= document::EditHistory::kMinimumBudget);
        while (doc.Undo()) {
        }
        QVERIFY(doc.IsChanged() && !(doc.PicImg() == opened));
    }

    // While a job runs nothing changes the picture: retouch, undo, load,
    // save. A cancelled 文字補正 changes nothing and leaves no step.
    void aRunningJobLocksThePicture()
    {
        PictureDocument doc;
        doc.SetPicture(MakePicture(120, 90, 4));
        QCOMPARE(Fill(doc, {5, 5, 40, 40}), RetouchResult::Done);
        const platform::Surface before = doc.PicImg().copy();
        QCOMPARE(codec::DCSavetoPNG(MakePicture(10, 10), 10, 10, dir.filePath("other.png"), 1), 0);
        int jobs = 0;
        bool refused = true;
        doc.SetJobRunner([&](document::Job, const document::JobWork& work) {
            ++jobs;
            SelRect r{50, 50, 60, 60};
            refused = refused && doc.IsBusy() && doc.Retouch(r, FillMode::Vertical) == RetouchResult::NoSelection
                   && !doc.Undo() && !doc.Redo() && doc.Load(dir.filePath("other.png")).kind == document::Outcome::Cancelled
                   && doc.Save(dir.filePath("locked.png"), ".PNG", {}).kind == document::Outcome::Cancelled
                   && !doc.DetectLetters({0, 0, 119, 89});
            return work([](int, int) { return false; }); // and the user cancels it
        });
        QCOMPARE(Fill(doc, {20, 20, 100, 80}, FillMode::Letters), RetouchResult::Cancelled);
        QVERIFY(jobs == 1 && refused && !doc.IsBusy());
        QCOMPARE(doc.PicImg(), before);
        QVERIFY(!QFile::exists(dir.filePath("locked.png")));
        QVERIFY(doc.Undo() && !doc.Undo()); // only the first retouch's step
    }
};

QTEST_MAIN(TestDocument)
#include "tst_document.moc"
