#pragma once
// The settings: the values kept in Pixmend.ini, alive from start-up to the
// end of the run. The window and pixmend-batch share them.
#include <QString>

#include <cstdint>

namespace basCommon {

inline QString IniFile;
inline QString ImageFront;
inline int16_t JpegRate = 50;
inline int16_t JpegPrgrs = 0;
inline int16_t PngRate = 1;
inline int16_t JpegKeep = 1; // [JPEG] Keep: a JPEG saved from a JPEG keeps its untouched blocks

// Where Pixmend.ini lives: beside the executable when it is there already or
// that folder may be written (a portable copy), else in the user's
// configuration folder ($XDG_CONFIG_HOME/Pixmend, ~/.config/Pixmend).
QString SettingsFolder();

// Reads the settings from Pixmend.ini in folder (SettingsFolder() when
// empty). False when a numeric entry has no integer value, or the file is
// not a regular file or is larger than a settings file can be; the file is
// then left exactly as it was, standard error is told why, and problem
// receives the message for the user.
bool LoadSettings(const QString& folder = QString(), QString* problem = nullptr);
// Writes the settings; false (err set to the errno of the first failure)
// when any could not be written.
bool SaveSettings(int* err = nullptr);

} // namespace basCommon
