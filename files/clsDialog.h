#pragma once
// The dialog wrapper: set the members, call a method with the owner window,
// read the result. The dialogs themselves are the platform's DialogHost.
#include "Dialogs.h"

#include <QString>

#include <cstdint>
#include <stdexcept>

class QWidget;

// Raised when SelectFlags holds no number as a file dialog is about to open.
class DialogError : public std::runtime_error {
public:
    explicit DialogError(int number, const char* what) : std::runtime_error(what), number(number) {}
    int number;
};

class clsDialog {
public:
    QString SelectTitle;
    QString SelectFlags;   // the flag word as decimal text
    QString DefaultFolder; // empty: LastFolder, else the platform's choice
    int32_t FilterIndex = 0;
    QString FilterPattern; // description, NUL, pattern, NUL, ...

    // Where the file dialogs start unless told otherwise: the folder of the
    // last file chosen in one, or of the last picture opened or saved.
    static inline QString LastFolder;
    static void RememberFolderOf(const QString& path);

    // The chosen file's path; empty after a cancel.
    QString OpenFile(QWidget* hwnd);
    // The chosen name as typed, no extension added; empty after a cancel.
    // Sets FilterIndex to the chosen filter (1-based), 0 after a cancel.
    QString SaveFile(QWidget* hwnd);

private:
    int32_t Flags() const;
    platform::FileDialogRequest Request(int kind, QWidget* hwnd) const;
};
