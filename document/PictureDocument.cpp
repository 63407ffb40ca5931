#include "PictureDocument.h"

#include "JpegKeep.h"
#include "LetterFill.h"
#include "Memory.h"
#include "PictureLoader.h"
#include "Unblend.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <new>

namespace document {

retouch::WordPicture ReadOnlyWords(const platform::Surface& picture)
{
    return {const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(picture.constBits())), picture.width(),
            picture.height(), picture.bytesPerLine() / 4};
}

namespace {

// The largest rectangle whose letters are found without a job.
constexpr int64_t kQuickLetters = 256 * 1024;
// The largest whose job tells too how each part will be repaired: as long
// again as finding the letters, which beyond this takes seconds already.
constexpr int64_t kToldLetters = int64_t(4) << 20;

} // namespace

PictureDocument::PictureDocument(QObject* parent) : QObject(parent) {}

int PictureDocument::RunJob(Job job, const JobWork& work)
{
    busy_ = true;
    emit busyChanged(true);
    int rc;
    try {
        rc = runner_ ? runner_(job, work) : work([](int, int) { return true; });
    } catch (const std::bad_alloc&) {
        rc = codec::kCodecNoMemory;
    }
    // What the failed job freed is kept for reuse otherwise, and the next
    // job (a smaller rectangle, a save) could fail for want of it.
    if (rc == codec::kCodecNoMemory)
        platform::GiveBackFreeMemory();
    busy_ = false;
    emit busyChanged(false);
    return rc;
}

Outcome PictureDocument::Load(const QString& path)
{
    if (busy_)
        return Outcome::Stopped();
    codec::LoadReport report;
    codec::PictureOrigin origin;
    platform::Surface loaded;
    bool stopped = false;
    RunJob(Job::Load, [&](const codec::SaveProgress& progress) {
        loaded = files::LoadPicture(
            path, &report,
            [&](int done, int total) {
                stopped = !progress(done, total);
                return !stopped;
            },
            &origin);
        return 0;
    });
    if (stopped)
        return Outcome::Stopped();
    if (loaded.isNull())
        return Outcome::FailedWith(codec::LoadFailureReason(report));
    picture_ = std::move(loaded);
    loaded = platform::Surface();
    path_ = fileName_ = path;
    origin_ = std::move(origin);
    history_.Clear();
    letters_ = LetterMask{};
    letterRepairs_.clear();
    emit pictureReplaced();
    emit pathChanged(path);
    emit modifiedChanged(false);
    return {Outcome::Done, QString(), report.truncated};
}

void PictureDocument::SetPicture(platform::Surface picture)
{
    picture_ = std::move(picture);
    path_.clear();
    fileName_.clear();
    origin_ = codec::PictureOrigin{};
    history_.Clear();
    letters_ = LetterMask{};
    letterRepairs_.clear();
    emit pictureReplaced();
    emit modifiedChanged(false);
}

void PictureDocument::Changed(const QRect& rect)
{
    letterRepairs_.clear(); // told of the picture as it was
    emit pictureChanged(rect);
    emit modifiedChanged(IsChanged());
}

bool PictureDocument::DetectLetters(const retouch::SelRect& rect)
{
    retouch::SelRect r = rect;
    if (busy_ || picture_.isNull() || !retouch::OrderAndClamp(r, picture_.width(), picture_.height()))
        return false;
    LetterMask found{r, {}};
    // A caption's rectangle is found in a few milliseconds: no job (the
    // window would flash its controls disabled at every click).
    if (int64_t(r.X2 - r.X1 + 1) * (r.Y2 - r.Y1 + 1) <= kQuickLetters) {
        found.bits = retouch::FindLetters(ReadOnlyWords(picture_), r);
        return SetLetters(std::move(found));
    }
    // Off the window's thread, the way each part will be repaired is told
    // too, for the overlay's second tint (too slow to tell as it paints).
    const bool tell = int64_t(r.X2 - r.X1 + 1) * (r.Y2 - r.Y1 + 1) <= kToldLetters;
    bool stopped = false;
    std::vector<uint8_t> repairs;
    const int rc = RunJob(Job::Letters, [&](const codec::SaveProgress& progress) {
        found.bits = retouch::FindLetters(ReadOnlyWords(picture_), r);
        stopped = !progress(1, 2);
        if (!stopped && tell)
            repairs = retouch::RepairWays(ReadOnlyWords(picture_), r, found.bits);
        stopped = stopped || !progress(2, 2);
        return 0;
    });
    return rc == 0 && !stopped && AdoptLetters(std::move(found), std::move(repairs));
}

bool PictureDocument::SetLetters(LetterMask mask)
{
    return AdoptLetters(std::move(mask), {});
}

bool PictureDocument::AdoptLetters(LetterMask mask, std::vector<uint8_t> repairs)
{
    const retouch::SelRect& r = mask.rect;
    if (busy_ || picture_.isNull() || r.X1 < 0 || r.Y1 < 0 || r.X2 < r.X1 || r.Y2 < r.Y1 || r.X2 >= picture_.width()
        || r.Y2 >= picture_.height() || mask.bits.size() != size_t(r.X2 - r.X1 + 1) * size_t(r.Y2 - r.Y1 + 1))
        return false;
    if (!history_.RecordMask(letters_))
        return false;
    letters_ = std::move(mask);
    letterRepairs_ = std::move(repairs);
    emit lettersChanged();
    return true;
}

retouch::RetouchResult PictureDocument::Retouch(retouch::SelRect& sel, retouch::FillMode mode)
{
    using retouch::RetouchResult;
    if (busy_ || picture_.isNull() || !retouch::OrderAndClamp(sel, picture_.width(), picture_.height()))
        return RetouchResult::NoSelection;
    // What the retouch will replace is kept first: a change that could not
    // be taken back, nor be known to the question before closing, is none
    // the user should get.
    if (!history_.Record(picture_, sel))
        return RetouchResult::TransferFailed;
    RetouchResult result;
    if (mode == retouch::FillMode::Letters) {
        const std::vector<uint8_t>* letters = letters_.Of(sel) ? &letters_.bits : nullptr;
        if (letters && std::none_of(letters->begin(), letters->end(), [](uint8_t b) { return b; })) {
            history_.DropRecorded();
            return RetouchResult::NothingFound;
        }
        // The mask and the fill run as a job, into a copy of the rectangle
        // and the ring around it that fixes the fill; the picture takes the
        // result here, once it is complete.
        const retouch::SelRect r = sel;
        const QRect ring = QRect(QPoint(r.X1 - 1, r.Y1 - 1), QPoint(r.X2 + 1, r.Y2 + 1)).intersected(picture_.rect());
        platform::Surface patch;
        const int rc = RunJob(Job::Letters, [&](const codec::SaveProgress& progress) {
            const std::vector<uint8_t> found = letters ? std::vector<uint8_t>() : retouch::FindLetters(ReadOnlyWords(picture_), r);
            const std::vector<uint8_t>& mask = letters ? *letters : found;
            if (std::none_of(mask.begin(), mask.end(), [](uint8_t b) { return b; }))
                return int(RetouchResult::NothingFound);
            patch = picture_.copy(ring);
            if (patch.isNull())
                return int(RetouchResult::TransferFailed);
            retouch::WordPicture words{reinterpret_cast<uint32_t*>(patch.bits()), patch.width(), patch.height(),
                                       patch.bytesPerLine() / 4};
            const retouch::SelRect local{r.X1 - ring.x(), r.Y1 - ring.y(), r.X2 - ring.x(), r.Y2 - ring.y()};
            int cycle = 0;
            return int(retouch::FillLetters(words, local, mask, [&] { return progress(std::min(++cycle, 9), 10); })
                           ? RetouchResult::Done
                           : RetouchResult::Cancelled);
        });
        result = rc == codec::kCodecNoMemory ? RetouchResult::TransferFailed : RetouchResult(rc);
        if (result == RetouchResult::Done) {
            const size_t rowBytes = size_t(r.X2 - r.X1 + 1) * 4;
            for (int y = r.Y1; y <= r.Y2; ++y)
                std::memcpy(picture_.scanLine(y) + size_t(r.X1) * 4,
                            patch.constScanLine(y - ring.y()) + size_t(r.X1 - ring.x()) * 4, rowBytes);
        }
    } else {
        result = retouch::Retouch(picture_, sel, mode);
    }
    if (result != RetouchResult::Done) {
        history_.DropRecorded();
        return result;
    }
    // The fill reads the rows and columns around the rectangle and writes
    // inside it only.
    Changed(QRect(QPoint(sel.X1, sel.Y1), QPoint(sel.X2, sel.Y2)));
    return result;
}

bool PictureDocument::Undo() { return Step(true); }
bool PictureDocument::Redo() { return Step(false); }

bool PictureDocument::Step(bool back)
{
    QRect changed;
    if (busy_ || !(back ? history_.Undo(picture_, letters_, &changed) : history_.Redo(picture_, letters_, &changed)))
        return false;
    letterRepairs_.clear();
    if (changed.isEmpty())
        emit lettersChanged();
    else
        Changed(changed);
    return true;
}

Outcome PictureDocument::Save(const QString& name, const QString& ext, const files::SaveOptions& options)
{
    if (busy_)
        return Outcome::Stopped();
    if (picture_.isNull())
        return Outcome::FailedWith(files::WriteFailureReason(codec::kCodecBadArguments, 0));
    // What differs from the file the blocks would be kept from comes from
    // the history, whichever way undo and redo went since.
    const files::PictureSource source{origin_, history_.ChangedSinceOrigin()};
    int err = 0;
    bool keptBlocks = false;
    const int status = RunJob(Job::Save, [&](const codec::SaveProgress& progress) {
        return files::WritePicture(picture_, name, ext, options, &source, progress, &err, &keptBlocks);
    });
    if (status == codec::kCodecCancelled)
        return Outcome::Stopped(); // the file that was there is untouched
    if (status != codec::kCodecOk)
        return Outcome::FailedWith(files::WriteFailureReason(status, err));
    if (keptBlocks) {
        // The saved file now holds the picture as it is: the next save keeps
        // its blocks. Its metadata is what was just written; only its stamp
        // is new (one that cannot be had matches no file, so that save then
        // encodes the whole picture).
        origin_.path = name;
        origin_.stamp = platform::StampOf(name);
        origin_.jpegSegments = codec::JpegSegmentsFor(origin_, false);
        history_.MarkOrigin();
    }
    history_.MarkSaved();
    fileName_ = name;
    emit saved(name);
    emit modifiedChanged(false);
    return {};
}

} // namespace document
