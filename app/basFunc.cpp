#include "basFunc.h"

#include "Profile.h"

namespace basFunc {

QString ReadIni(const QString& section, const QString& key, const QString& def, const QString& file)
{
    return CutAtNull(platform::GetProfileString(section, key, def, file));
}

int16_t WriteIni(const QString& section, const QString& key, const QString& value, const QString& file, int* err)
{
    return platform::WriteProfileString(section, key, value, file, err) ? 1 : 0;
}

QString AddBackslash(const QString& path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

} // namespace basFunc
