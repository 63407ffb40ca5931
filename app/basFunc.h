#pragma once
// The INI routines over the platform's profile functions.
#include "StringRoutines.h"

#include <QString>

#include <cstdint>

namespace basFunc {

// The value of key in section of file, or def when missing; read whole.
QString ReadIni(const QString& section, const QString& key, const QString& def, const QString& file);
// Non-zero when the value was written; err receives the errno otherwise.
int16_t WriteIni(const QString& section, const QString& key, const QString& value, const QString& file,
                 int* err = nullptr);
// path with a "/" appended unless it already ends in one; "" gives "/".
QString AddBackslash(const QString& path);

} // namespace basFunc
