#include "basCommon.h"

#include "Dialogs.h"
#include "basFunc.h"
#include "frmMain.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

namespace basCommon {
namespace {

// The entry's integer value, or a report naming the file, the section, the
// key and the offending text.
bool ReadNumber(const char* section, const char* key, const char* def, int16_t& out, bool quiet)
{
    const QString text = basFunc::ReadIni(QLatin1String(section), QLatin1String(key),
                                          QLatin1String(def), IniFile);
    if (auto v = basFunc::IntegerValue(text, -32768, 32767)) {
        out = static_cast<int16_t>(*v);
        return true;
    }
    const QString message =
        QStringLiteral("設定ファイルの数値が正しくありません。\n\nファイル: %1\nセクション: [%2]\nキー: %3\n値: \"%4\"\n\n"
                       "-32768 から 32767 までの整数を指定してください。")
            .arg(IniFile, QLatin1String(section), QLatin1String(key), text);
    std::fprintf(stderr, "Pixmend: %s: [%s] %s: no integer value: \"%s\"\n",
                 IniFile.toLocal8Bit().constData(), section, key, text.toLocal8Bit().constData());
    if (!quiet)
        platform::Dialogs().MessageBox(nullptr, message, QStringLiteral("Pixmend"),
                                   platform::MB_OK | platform::MB_ICONSTOP);
    return false;
}

} // namespace

bool InstallJapaneseTranslation()
{
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    static QTranslator qtJapanese;
    if (!qtJapanese.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(&qtJapanese);
}

bool LoadSettings(const QString& folder, bool quiet)
{
    const QString dir = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    IniFile = basFunc::AddBackslash(dir) + QStringLiteral("Pixmend.ini");
    ImageFront = basFunc::ReadIni(QStringLiteral("Image"), QStringLiteral("Front"), QString(), IniFile);
    return ReadNumber("JPEG", "Rate", "50", JpegRate, quiet) && ReadNumber("JPEG", "Prgrs", "0", JpegPrgrs, quiet)
        && ReadNumber("PNG", "Rate", "1", PngRate, quiet);
}

void SaveSettings()
{
    basFunc::WriteIni(QStringLiteral("Image"), QStringLiteral("Front"), ImageFront, IniFile);
    basFunc::WriteIni(QStringLiteral("JPEG"), QStringLiteral("Rate"), QString::number(JpegRate), IniFile);
    basFunc::WriteIni(QStringLiteral("JPEG"), QStringLiteral("Prgrs"), QString::number(JpegPrgrs), IniFile);
    basFunc::WriteIni(QStringLiteral("PNG"), QStringLiteral("Rate"), QString::number(PngRate), IniFile);
}

int Main()
{
    if (!LoadSettings())
        return 1;
    SaveSettings();
    frmMain window;
    window.Form_Load();
    window.show();
    return QApplication::exec();
}

} // namespace basCommon
