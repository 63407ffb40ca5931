#include "Dialogs.h"

#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace platform {
namespace {

// Qt's file dialog with one addition of the platform dialog we stand in for:
// a name that does not exist yet is accepted only after a confirmation, and
// the dialog stays open on No.
class ConfirmingFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    bool createPrompt = false;

    void accept() override
    {
        if (createPrompt && acceptMode() == AcceptSave) {
            const QStringList files = selectedFiles();
            const QString name = files.value(0);
            if (!name.isEmpty() && !QFileInfo::exists(name)) {
                const auto answer = QMessageBox::question(
                    this, windowTitle(),
                    QStringLiteral("%1 は存在しません。\nファイルを作成しますか?")
                        .arg(QFileInfo(name).fileName()));
                if (answer != QMessageBox::Yes)
                    return;
            }
        }
        QFileDialog::accept();
    }
};

DialogHost* g_host = nullptr;

} // namespace

int DialogHost::ShowModal(QDialog& dialog) { return dialog.exec(); }

FileDialogResult QtDialogHost::FileDialog(const FileDialogRequest& request)
{
    ConfirmingFileDialog dialog(request.owner, request.title, request.folder);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    // The caller asks its own overwrite question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilters(request.filters);
    if (!request.filters.isEmpty())
        dialog.selectNameFilter(request.filters.first());
    if (request.kind == FileDialogRequest::Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.createPrompt = request.flags & OFN_CREATEPROMPT;
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(request.flags & OFN_FILEMUSTEXIST ? QFileDialog::ExistingFile
                                                              : QFileDialog::AnyFile);
    }
    dialog.setWindowModality(Qt::WindowModal);
    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return result;
    result.path = dialog.selectedFiles().first();
    result.filterIndex = int(request.filters.indexOf(dialog.selectedNameFilter())) + 1;
    return result;
}

int QtDialogHost::MessageBox(QWidget* owner, const QString& text, const QString& title, int style)
{
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setText(text);
    switch (style & 0xF0) {
    case MB_ICONSTOP: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    default: break;
    }
    if ((style & 0x0F) == MB_SAVECHANGES) {
        // Qt's own buttons, so its Japanese catalogue names them; Escape is Cancel.
        box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Save);
        box.setEscapeButton(QMessageBox::Cancel);
        const int answer = box.exec();
        return answer == QMessageBox::Save ? IDYES : (answer == QMessageBox::Discard ? IDNO : IDCANCEL);
    }
    if ((style & 0x0F) == MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return IDOK;
}

DialogHost& Dialogs()
{
    static QtDialogHost qtHost;
    return g_host ? *g_host : qtHost;
}

void SetDialogHost(DialogHost* host) { g_host = host; }

} // namespace platform
