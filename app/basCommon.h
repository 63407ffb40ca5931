#pragma once
// Start-up: the command line, the translation, the main window; the
// settings themselves are in Settings.h.
#include "Settings.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

namespace basCommon {

// Loads Qt's own Japanese translation, so that the standard dialogs and
// message-box buttons speak Japanese like the window. False when missing.
bool InstallJapaneseTranslation();

// Reads the settings, writes them straight back, opens the main window
// with file (the remembered picture when empty). Returns the program's exit
// status once the window has closed.
int Main(const QString& file = QString());

// The program's command line, read before any window exists.
struct CommandLine {
    enum Action { Run, Help, Version, Error } action = Run;
    QString file;
    QString message; // the text to print for Help, Version and Error
};
// args[0] is the program. Qt's own single-dash options pass through.
CommandLine ParseCommandLine(const QStringList& args);

// Tells the user that the settings could not be written, and why.
void ReportSettingsNotSaved(QWidget* owner, int err);

} // namespace basCommon
