#pragma once
// Every modal dialog and message box of the program passes through one
// DialogHost, so tests can answer them with a script. The default host shows
// Qt's own dialogs.
#include <QList>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class QDialog;
class QWidget;

namespace platform {

// Flags of the file dialogs, with the values the callers store as text.
enum FileDialogFlag : int32_t {
    OFN_HIDEREADONLY = 4,
    OFN_FILEMUSTEXIST = 4096,
    OFN_CREATEPROMPT = 8192,
};

// Message box styles and answers.
enum MessageBoxStyle : int {
    MB_OK = 0,
    MB_SAVECHANGES = 3, // 保存 / 保存しない / キャンセル: IDYES, IDNO, IDCANCEL
    MB_YESNO = 4,
    MB_ICONSTOP = 16,
    MB_ICONQUESTION = 32,
    MB_ICONEXCLAMATION = 48,
};
enum MessageBoxAnswer : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct FileDialogRequest {
    enum Kind { Open, Save } kind = Open;
    QWidget* owner = nullptr;
    QString title;
    QStringList filters; // Qt's form: "Description (*.a *.b)"
    QString folder;
    int32_t flags = 0;
};

struct FileDialogResult {
    QString path;        // empty after a cancel
    int filterIndex = 0; // 1-based; 0 after a cancel
};

class DialogHost {
public:
    virtual ~DialogHost() = default;
    virtual FileDialogResult FileDialog(const FileDialogRequest& request) = 0;
    virtual int MessageBox(QWidget* owner, const QString& text, const QString& title, int style) = 0;
    // Shows a dialog of ours modally and returns when it has closed.
    virtual int ShowModal(QDialog& dialog);
};

// The Qt dialogs.
class QtDialogHost : public DialogHost {
public:
    FileDialogResult FileDialog(const FileDialogRequest& request) override;
    int MessageBox(QWidget* owner, const QString& text, const QString& title, int style) override;
};

DialogHost& Dialogs();
// Replaces the host (tests); nullptr restores the Qt dialogs.
void SetDialogHost(DialogHost* host);

} // namespace platform
