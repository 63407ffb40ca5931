#include "PictureFiles.h"

#include "Codec.h"
#include "Dialogs.h"
#include "JpegKeep.h"
#include "Limits.h"
#include "PictureLoader.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"
#include "clsDialog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <utility>

namespace files {

platform::Surface LoadPictureOrThrow(const QString& path, platform::LoadReport& r, const platform::SaveProgress& progress,
                                     platform::PictureOrigin* origin);
int WritePictureOrThrow(const platform::Surface& picture, const QString& name, const QString& ext,
                        const SaveOptions& options, const PictureSource* source, const platform::SaveProgress& progress,
                        int* err, bool* keptBlocks);

namespace {

const uint8_t kPngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

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
template <typename Result>
Result RunWithProgress(QWidget* owner, int delayMs, const QString& label, const QString& title,
                       const std::function<Result(const platform::SaveProgress&)>& work, const Result& noMemory)
{
    BusyCursor busy;
    std::atomic<int> done{0}, total{0};
    std::atomic<bool> cancel{false}, finished{false};
    Result result{};
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
                result = noMemory;
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

int RunShowingProgress(QWidget* owner, int delayMs, const QString& label, const QString& title,
                       const std::function<int(const platform::SaveProgress&)>& work)
{
    return RunWithProgress<int>(owner, delayMs, label, title, work, platform::kCodecNoMemory);
}

namespace {

void ReportSaveError(QWidget* owner, const QString& name, const QString& reason)
{
    platform::Dialogs().MessageBox(
        owner, QStringLiteral("ファイル「%1」を保存できませんでした。\n%2").arg(name, reason),
        QStringLiteral("保存エラー"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

QString CodecReason(int status, int err)
{
    switch (status) {
    case platform::kCodecBadArguments: return QStringLiteral("保存する画像がありません。");
    case platform::kCodecEncoderFailed: return QStringLiteral("画像を符号化できませんでした。");
    case platform::kCodecNoMemory: return QStringLiteral("メモリが足りません。");
    default: return platform::SystemErrorReason(err);
    }
}

} // namespace

namespace {

// The signature, then the header's full big-endian 32-bit width and height;
// an empty size when the bytes are no PNG or the size is not allowed.
QSize PngHeaderSize(const uint8_t* head, qint64 got, bool* tooLarge)
{
    if (got < 8)
        return {};
    for (int i = 0; i < 8; ++i)
        if (head[i] != kPngSignature[i])
            return {};
    if (got < 24)
        return {}; // no header to size the picture from
    const uint32_t w = uint32_t(head[16]) << 24 | uint32_t(head[17]) << 16 | uint32_t(head[18]) << 8 | head[19];
    const uint32_t h = uint32_t(head[20]) << 24 | uint32_t(head[21]) << 16 | uint32_t(head[22]) << 8 | head[23];
    if (!platform::PictureSizeAllowed(w, h)) {
        *tooLarge = w != 0 && h != 0;
        return {};
    }
    return QSize(int(w), int(h));
}

} // namespace

namespace {

platform::Surface DecodePngBytes(const QByteArray& data, platform::LoadReport& report,
                                 const platform::SaveProgress& progress)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
    platform::Surface picture;
    if (PngHeaderSize(bytes, data.size(), &report.tooLarge).isEmpty())
        return picture;
    if (platform::DecodePng(bytes, size_t(data.size()), picture, progress) != 0)
        picture = platform::Surface();
    return picture;
}

} // namespace

bool ReadPngFile(platform::Surface& picture, const QString& path)
{
    picture = platform::Surface();
    QByteArray data;
    if (platform::ReadRegularFile(path, data) != platform::ReadStatus::Ok)
        return false;
    return ReadPngData(picture, data);
}

bool ReadPngData(platform::Surface& picture, const QByteArray& data)
{
    platform::LoadReport report;
    picture = DecodePngBytes(data, report, {});
    return !picture.isNull();
}

platform::Surface LoadPicture(const QString& path, platform::LoadReport* report,
                              const platform::SaveProgress& progress, platform::PictureOrigin* origin)
{
    platform::LoadReport local;
    platform::LoadReport& r = report ? *report : local;
    r = platform::LoadReport{};
    // Memory running out anywhere in a load fails this load, and says so.
    try {
        return LoadPictureOrThrow(path, r, progress, origin);
    } catch (const std::bad_alloc&) {
        r = platform::LoadReport{};
        r.noMemory = true;
        if (origin)
            *origin = platform::PictureOrigin{};
        return platform::Surface();
    }
}

platform::Surface LoadPictureOrThrow(const QString& path, platform::LoadReport& r, const platform::SaveProgress& progress,
                                     platform::PictureOrigin* origin)
{
    platform::Surface picture;
    QByteArray data;
    platform::FileStamp stamp;
    r.read = platform::ReadRegularFile(path, data, -1, nullptr, &stamp);
    if (r.read != platform::ReadStatus::Ok)
        return picture;
    if (basFunc::LastFourUpper(path) == QLatin1String(".PNG"))
        picture = DecodePngBytes(data, r, progress);
    else if (!platform::LoadRuntimePictureData(data, picture, &r, progress))
        picture = platform::Surface();
    if (origin) {
        *origin = platform::PictureOrigin{};
        if (!picture.isNull()) {
            origin->path = path;
            origin->stamp = stamp;
            origin->size = picture.size();
            platform::ReadMetadata(data, *origin);
        }
    }
    return picture;
}

int16_t LoadPictureFile(const QString& path, platform::Surface& picture)
{
    BusyCursor busy;
    // The old picture goes first: the new one should not have to share
    // memory with it.
    picture = platform::Surface();
    picture = LoadPicture(path);
    return picture.isNull() ? 1 : 0;
}

platform::Surface LoadPictureShowingProgress(QWidget* owner, const QString& path, platform::LoadReport* report,
                                             int progressDelayMs, platform::PictureOrigin* origin)
{
    platform::LoadReport local;
    platform::LoadReport& r = report ? *report : local;
    bool stopped = false;
    platform::Surface picture = RunWithProgress<platform::Surface>(
        owner, progressDelayMs, QStringLiteral("画像を読み込んでいます…"), QStringLiteral("読み込み"),
        [&](const platform::SaveProgress& progress) {
            return LoadPicture(
                path, &r,
                [&](int done, int total) {
                    stopped = !progress(done, total);
                    return !stopped;
                },
                origin);
        },
        platform::Surface());
    if (stopped) {
        r.cancelled = true;
        picture = platform::Surface();
    }
    return picture;
}

int16_t FileStatus(const QString& path, QWidget* owner)
{
    if (basFunc::TrimBlanks(path).isEmpty())
        return kFileNameEmpty;
    struct stat st;
    int err = 0;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR; // a folder has no length to test
    else
        return st.st_size == 0 ? kFileEmpty : kFileExists;
    const int number = platform::RuntimeErrorFromErrno(err);
    if (number == platform::kErrFileNotFound)
        return kFileMissing;
    platform::Dialogs().MessageBox(owner,
                                   QStringLiteral("%1:%2").arg(number).arg(platform::RuntimeErrorText(number)),
                                   QStringLiteral("システムエラー"), platform::MB_OK | platform::MB_ICONSTOP);
    return kFileStateError;
}

QString SaveFilterPattern()
{
    const QChar nul(0);
    QString s;
    for (const char16_t* part : {u"画像ファイル", u"*.bmp;*.jpg;*.jpeg;*.png", u"ビットマップファイル", u"*.bmp",
                                 u"ＪＰＥＧファイル", u"*.jpg;*.jpeg", u"ＰＮＧファイル", u"*.png"})
        s += QString::fromUtf16(part) + nul;
    return s;
}

QString CompleteName(const QString& name, int32_t filterIndex, QString* extOut)
{
    QString result = name;
    // ".jpeg" names JPEG as ".jpg" does.
    QString ext = basFunc::IsJpegName(name) ? QStringLiteral(".JPG") : basFunc::LastFourUpper(name);
    auto force = [&](const char* wanted) {
        if (ext != QLatin1String(wanted)) {
            result += QLatin1String(wanted);
            ext = QLatin1String(wanted);
        }
    };
    switch (filterIndex) {
    case 2: force(".BMP"); break;
    case 3: force(".JPG"); break;
    case 4: force(".PNG"); break;
    default:
        if (ext != QLatin1String(".BMP") && ext != QLatin1String(".JPG") && ext != QLatin1String(".PNG"))
            force(".BMP");
        break;
    }
    if (extOut)
        *extOut = ext;
    return result;
}

SaveOutcome SaveImageFile(QWidget* owner, const platform::Surface& picture, const SaveOptions& options,
                          int progressDelayMs, QString* savedName, PictureSource* source)
{
    if (picture.isNull())
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
    const int16_t state = FileStatus(name, owner);
    if (state == kFileStateError)
        return SaveOutcome::SystemError;
    if (state == kFileExists) {
        const int answer = platform::Dialogs().MessageBox(
            owner, QStringLiteral("上書きしますか？\r\n") + name, QStringLiteral("上書き確認"),
            platform::MB_YESNO | platform::MB_ICONQUESTION);
        if (answer != platform::IDYES)
            return SaveOutcome::Declined;
    }

    // The rates reach the codec as bytes; a stored value outside 0..255
    // cannot be one.
    const int16_t rate = ext == QLatin1String(".PNG") ? options.PngRate : options.JpegRate;
    if (ext != QLatin1String(".BMP") && (rate < 0 || rate > 255)) {
        ReportSaveError(owner, name,
                        QStringLiteral("圧縮率 %1 は 0 から 255 の範囲にありません。").arg(rate));
        return SaveOutcome::Failed;
    }

    int err = 0;
    bool keptBlocks = false;
    const int status = RunWithProgress<int>(
        owner, progressDelayMs, QStringLiteral("画像を保存しています…"), QStringLiteral("保存"),
        [&](const platform::SaveProgress& progress) {
            return WritePicture(picture, name, ext, options, source, progress, &err, &keptBlocks);
        },
        int(platform::kCodecNoMemory));
    if (status == platform::kCodecCancelled)
        return SaveOutcome::Cancelled; // the file that was there is untouched
    if (status != platform::kCodecOk) {
        ReportSaveError(owner, name, CodecReason(status, err));
        return SaveOutcome::Failed;
    }
    if (savedName)
        *savedName = name;
    if (keptBlocks && source) {
        // The saved file now holds every retouch: the next save keeps its
        // blocks, and re-encodes only what is retouched from here on.
        // Its metadata is what was just written; only its stamp is new.
        if (const platform::FileStamp stamp = platform::StampOf(name); stamp.size >= 0) {
            source->origin.path = name;
            source->origin.stamp = stamp;
            source->origin.jpegSegments = platform::JpegSegmentsFor(source->origin, false);
            source->retouched.clear();
        }
    }
    return SaveOutcome::Saved;
}

int WritePicture(const platform::Surface& picture, const QString& name, const QString& ext,
                 const SaveOptions& options, const PictureSource* source, const platform::SaveProgress& progress,
                 int* err, bool* keptBlocks)
{
    if (keptBlocks)
        *keptBlocks = false;
    // Memory running out anywhere in a save fails it; the unfinished file
    // goes with the writer, and the target stays as it was.
    try {
        return WritePictureOrThrow(picture, name, ext, options, source, progress, err, keptBlocks);
    } catch (const std::bad_alloc&) {
        return platform::kCodecNoMemory;
    }
}

int WritePictureOrThrow(const platform::Surface& picture, const QString& name, const QString& ext,
                        const SaveOptions& options, const PictureSource* source, const platform::SaveProgress& progress,
                        int* err, bool* keptBlocks)
{
    const platform::PictureOrigin none;
    const platform::PictureOrigin& origin = source ? source->origin : none;
    if (ext == QLatin1String(".JPG")) {
        if (source && options.JpegKeep != 0) {
            const int rc = platform::SaveJpegKeepingBlocks(picture, origin, source->retouched, name, progress, err);
            if (rc != platform::kCodecNotApplicable) {
                if (keptBlocks)
                    *keptBlocks = rc == platform::kCodecOk;
                return rc;
            }
        }
        const std::vector<platform::MarkerSegment> segments = platform::JpegSegmentsFor(origin, true);
        return platform::DCSavetoJPEG(picture, picture.width(), picture.height(), name, uint8_t(options.JpegRate),
                                      options.JpegPrgrs != 0, progress, err, &segments);
    }
    if (ext == QLatin1String(".PNG")) {
        const std::vector<platform::PngChunk> chunks = platform::PngChunksFor(origin);
        return platform::DCSavetoPNG(picture, picture.width(), picture.height(), name, uint8_t(options.PngRate),
                                     progress, err, &chunks);
    }
    return platform::SaveBitmapFile(picture, name, progress, err);
}

} // namespace files
