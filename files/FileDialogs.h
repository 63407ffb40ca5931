#pragma once
// The window's side of saving and of long work: the save dialog and its
// questions, the busy cursor and the progress dialog.
#include "PictureDocument.h"
#include "PictureFiles.h"

#include <QString>

class QWidget;

namespace files {

// A load, a save or a 文字補正 that lasts longer than this shows a progress
// dialog.
inline constexpr int kProgressDelayMs = 500;

// Runs a document's jobs on a thread of their own while the window stays
// alive: the busy cursor at once, after delayMs a progress dialog with
// キャンセル, whose press the job's progress callback answers with false.
document::JobRunner ProgressRunner(QWidget* owner, int delayMs = kProgressDelayMs);

// The "保存エラー" box: name could not be saved, and why.
void ReportSaveError(QWidget* owner, const QString& name, const QString& reason);
// The "上書き確認" question before the existing file name is replaced:
// true when the user said yes.
bool MayReplace(QWidget* owner, const QString& name);

enum class SaveOutcome { NothingToSave, Cancelled, Declined, Saved, Failed, SystemError };

// The save command: the Save dialog, the extension completed from the
// chosen filter, the overwrite question, then the document's save. Failures
// are told in a "保存エラー" box; the file that was there stays untouched.
SaveOutcome SaveImageFile(QWidget* owner, document::PictureDocument& picture, const SaveOptions& options);

} // namespace files
