#include "FileDialogs.h"

#include "Dialogs.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"
#include "clsDialog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace files {

namespace {

// A wait cursor for as long as the object lives.
class BusyCursor {
public:
    BusyCursor()
    {
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            active_ = true;
        }
    }
    ~BusyCursor()
    {
        if (active_)
            QGuiApplication::restoreOverrideCursor();
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    bool active_ = false;
};

// Runs work on a thread of its own while this thread keeps the window alive:
// it repaints, the busy cursor shows, and once the work has lasted delayMs a
// progress dialog shows the percentage with a キャンセル button. work gets a
// progress callback that answers false once the user has cancelled.
int RunWithProgress(QWidget* owner, int delayMs, const QString& label, const QString& title,
                    const document::JobWork& work)
{
    BusyCursor busy;
    std::atomic<int> done{0}, total{0};
    std::atomic<bool> cancel{false}, finished{false};
    int result = 0;
    QEventLoop loop;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try { // nothing may leave a thread, least of all into std::terminate
                result = work([&](int d, int t) {
                    done = d;
                    total = t;
                    return !cancel.load();
                });
            } catch (const std::bad_alloc&) {
                result = codec::kCodecNoMemory;
            }
            finished = true;
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the work is done here, the window waiting.
        return work([](int, int) { return true; });
    }
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProgressDialog> dialog;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (!dialog && !finished && clock.elapsed() >= delayMs) {
            dialog = std::make_unique<QProgressDialog>(label, QStringLiteral("キャンセル"), 0, 100, owner);
            dialog->setWindowTitle(title);
            dialog->setWindowModality(Qt::WindowModal);
            dialog->setMinimumDuration(0);
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            dialog->show();
        }
        if (dialog && dialog->wasCanceled())
            cancel = true;
        if (dialog && total > 0)
            dialog->setValue(int(int64_t(done) * 100 / total));
    });
    tick.start(std::clamp(delayMs, 1, 40));
    loop.exec();
    worker.join();
    return result;
}

} // namespace

void ReportSaveError(QWidget* owner, const QString& name, const QString& reason)
{
    platform::Dialogs().MessageBox(
        owner, QStringLiteral("ファイル「%1」を保存できませんでした。\n%2").arg(name, reason),
        QStringLiteral("保存エラー"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

bool MayReplace(QWidget* owner, const QString& name)
{
    return platform::Dialogs().MessageBox(owner, QStringLiteral("上書きしますか？\r\n") + name,
                                          QStringLiteral("上書き確認"), platform::MB_YESNO | platform::MB_ICONQUESTION)
        == platform::IDYES;
}

document::JobRunner ProgressRunner(QWidget* owner, int delayMs)
{
    return [owner, delayMs](document::Job job, const document::JobWork& work) {
        switch (job) {
        case document::Job::Load:
            return RunWithProgress(owner, delayMs, QStringLiteral("画像を読み込んでいます…"), QStringLiteral("読み込み"), work);
        case document::Job::Save:
            return RunWithProgress(owner, delayMs, QStringLiteral("画像を保存しています…"), QStringLiteral("保存"), work);
        case document::Job::Letters: break;
        }
        return RunWithProgress(owner, delayMs, QStringLiteral("文字を補正しています…"), QStringLiteral("補正"), work);
    };
}

SaveOutcome SaveImageFile(QWidget* owner, document::PictureDocument& picture, const SaveOptions& options)
{
    if (picture.PicImg().isNull())
        return SaveOutcome::NothingToSave;
    clsDialog dialog;
    dialog.SelectTitle = QStringLiteral("ファイルの保存");
    dialog.FilterPattern = SaveFilterPattern();
    dialog.SelectFlags = QString::number(platform::OFN_CREATEPROMPT | platform::OFN_HIDEREADONLY);
    const QString typed = basFunc::TrimBlanks(dialog.SaveFile(owner));
    if (typed.isEmpty())
        return SaveOutcome::Cancelled;

    QString ext;
    const QString name = CompleteName(typed, dialog.FilterIndex, &ext);
    int number = 0;
    const int16_t state = FileStatus(name, &number);
    if (state == kFileStateError) {
        platform::Dialogs().MessageBox(owner,
                                       QStringLiteral("%1:%2").arg(number).arg(platform::RuntimeErrorText(number)),
                                       QStringLiteral("システムエラー"), platform::MB_OK | platform::MB_ICONSTOP);
        return SaveOutcome::SystemError;
    }
    if (state == kFileExists && !MayReplace(owner, name))
        return SaveOutcome::Declined;

    // The rates reach the codec as bytes; a stored value outside 0..255
    // cannot be one.
    const int16_t rate = ext == QLatin1String(".PNG") ? options.PngRate : options.JpegRate;
    if (ext != QLatin1String(".BMP") && (rate < 0 || rate > 255)) {
        ReportSaveError(owner, name,
                        QStringLiteral("圧縮率 %1 は 0 から 255 の範囲にありません。").arg(rate));
        return SaveOutcome::Failed;
    }

    const document::Outcome outcome = picture.Save(name, ext, options);
    if (outcome.kind == document::Outcome::Cancelled)
        return SaveOutcome::Cancelled; // the file that was there is untouched
    if (!outcome.done()) {
        ReportSaveError(owner, name, outcome.reason);
        return SaveOutcome::Failed;
    }
    return SaveOutcome::Saved;
}

} // namespace files
