#pragma once
// The picture being worked on, and everything that belongs to it: where it
// came from (path, format, metadata), its edit history, and where it was
// last saved. Every change goes through here (open, retouch, undo, redo,
// save), and the rest of the program learns of it by the signals, so the
// window, the view and a lossless save cannot disagree about what changed.
//
// Long work (reading, writing, 文字補正) runs as a job: the caller's job
// runner may take it to another thread and show progress; the picture is
// changed only here, on the calling thread, once the job has succeeded.
// While a job runs, nothing can change the picture it reads.
#include "EditHistory.h"
#include "LetterFill.h"
#include "PictureFiles.h"
#include "Retouch.h"
#include "SelRect.h"
#include "Surface.h"

#include <QObject>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace document {

// What a load or a save came to: done, stopped by the user, or failed, with
// the reason in the words of the message box.
struct Outcome {
    enum Kind { Done, Cancelled, Failed } kind = Done;
    QString reason;
    bool truncated = false; // a load: the data ended early; what it held was loaded
    bool done() const { return kind == Done; }
    static Outcome Stopped() { return {Cancelled, QString(), false}; }
    static Outcome FailedWith(const QString& why) { return {Failed, why, false}; }
};

enum class Job { Load, Save, Letters };

// The fills' view of a picture they only read: it is not detached or changed.
retouch::WordPicture ReadOnlyWords(const platform::Surface& picture);

// Runs work, perhaps on another thread while showing progress, and returns
// its result. work's progress callback answers false once the user has
// cancelled. Without a runner, work runs on the calling thread.
using JobWork = std::function<int(const codec::SaveProgress&)>;
using JobRunner = std::function<int(Job, const JobWork&)>;

class PictureDocument : public QObject {
    Q_OBJECT
public:
    explicit PictureDocument(QObject* parent = nullptr);

    // The working picture PicImg(0); null until one is opened.
    const platform::Surface& PicImg() const { return picture_; }
    // The file it was opened from; empty when none was.
    const QString& Path() const { return path_; }
    // The file last opened or saved: the name the title shows.
    const QString& FileName() const { return fileName_; }
    const codec::PictureOrigin& Origin() const { return origin_; }
    const EditHistory& History() const { return history_; }
    // True when the picture differs from the one last opened or saved.
    bool IsChanged() const { return !picture_.isNull() && history_.IsChanged(); }
    // True while a job reads the picture.
    bool IsBusy() const { return busy_; }

    void SetJobRunner(JobRunner runner) { runner_ = std::move(runner); }

    // Opens path. The new picture is decoded beside the old one and takes
    // its place only when it loaded: a failed open keeps the picture, its
    // history and its unsaved work.
    Outcome Load(const QString& path);
    // A picture that comes from no file.
    void SetPicture(platform::Surface picture);

    // Repaints sel with the fill, as one undoable step. sel is left ordered
    // and clamped. 文字補正 fills the document's letter mask when it is of
    // sel (as the user corrected it), else the letters found afresh. Refused
    // while a job runs, and when the step cannot be kept for undo (nothing
    // changes then).
    retouch::RetouchResult Retouch(retouch::SelRect& sel, retouch::FillMode mode);

    // 文字補正's mask, which the overlay shows and the fill repaints.
    const LetterMask& Letters() const { return letters_; }
    // How 文字補正 would repair each pixel of Letters() (retouch::Repair
    // values), when a job found the mask and told it with the letters (a
    // large rectangle); empty otherwise, and once the mask or the picture
    // changed.
    const std::vector<uint8_t>& LetterRepairs() const { return letterRepairs_; }
    // Finds the letters of the ordered, clamped rect afresh (as a job when
    // the rectangle is large) and makes them the mask, as one step. False
    // when cancelled, refused while a job runs, or out of memory.
    bool DetectLetters(const retouch::SelRect& rect);
    // Makes mask (of an ordered rectangle inside the picture, its size's
    // bits) the letter mask, as one step: a brush stroke, a pick, a mask
    // given from a file. False when refused.
    bool SetLetters(LetterMask mask);

    bool Undo();
    bool Redo();

    // Writes the picture to name in the format ext names (".JPG", ".PNG",
    // ".BMP"), keeping the source's metadata, and its untouched blocks where
    // options ask for it. After a save the picture counts as unchanged.
    Outcome Save(const QString& name, const QString& ext, const files::SaveOptions& options);

signals:
    // Another picture took the place of the last (opened, or set).
    void pictureReplaced();
    // These pixels of the picture changed (a retouch, an undo, a redo).
    void pictureChanged(const QRect& changed);
    // Opened from path.
    void pathChanged(const QString& path);
    // Written to name; the title shows it from now on.
    void saved(const QString& name);
    void modifiedChanged(bool changed);
    // The letter mask is another (its rectangle, or its bits).
    void lettersChanged();
    void busyChanged(bool busy);

private:
    int RunJob(Job job, const JobWork& work);
    bool AdoptLetters(LetterMask mask, std::vector<uint8_t> repairs);
    void Changed(const QRect& rect);
    bool Step(bool back);

    platform::Surface picture_;
    QString path_;
    QString fileName_;
    codec::PictureOrigin origin_;
    EditHistory history_;
    LetterMask letters_;
    std::vector<uint8_t> letterRepairs_;
    JobRunner runner_;
    bool busy_ = false;
};

} // namespace document
