#pragma once
// Start-up and the settings: the values kept in Pixmend.ini, alive from Main
// to the end of the run.
#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

namespace basCommon {

inline QString IniFile;
inline QString ImageFront;
inline int16_t JpegRate = 50;
inline int16_t JpegPrgrs = 0;
inline int16_t PngRate = 1;
inline int16_t JpegKeep = 1; // [JPEG] Keep: a JPEG saved from a JPEG keeps its untouched blocks

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

// Where Pixmend.ini lives: beside the executable when it is there already or
// that folder may be written (a portable copy), else in the user's
// configuration folder ($XDG_CONFIG_HOME/Pixmend, ~/.config/Pixmend).
QString SettingsFolder();

// Reads the settings from Pixmend.ini in folder (SettingsFolder() when
// empty). False when a numeric entry has no integer value, or the file is
// not a regular file or is larger than a settings file can be: that has been
// reported, and the file is left exactly as it was.
// quiet: report on standard error only, with no message box.
bool LoadSettings(const QString& folder = QString(), bool quiet = false);
// Writes the settings; false (err set to the errno of the first failure)
// when any could not be written.
bool SaveSettings(int* err = nullptr);
// Tells the user that the settings could not be written, and why.
void ReportSettingsNotSaved(QWidget* owner, int err);

} // namespace basCommon
