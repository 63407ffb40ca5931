#include "Settings.h"

#include "FileRead.h"
#include "Profile.h"
#include "basFunc.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace basCommon {
namespace {

// The entry's integer value, or a report naming the file, the section, the
// key and the offending text.
bool ReadNumber(const char* section, const char* key, const char* def, int16_t& out, QString* problem)
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
    if (problem)
        *problem = message;
    return false;
}

void ReportSettingsProblem(const QString& message, const QString& english, QString* problem)
{
    std::fprintf(stderr, "Pixmend: %s: %s\n", IniFile.toLocal8Bit().constData(), english.toLocal8Bit().constData());
    if (problem)
        *problem = message;
}

// A settings file that is not a regular file (a FIFO would block every read)
// or far larger than ours is someone else's: refuse it, untouched.
bool SettingsFileUsable(QString* problem)
{
    QByteArray content;
    const platform::ReadStatus status = platform::ReadRegularFile(IniFile, content, platform::kMaxProfileBytes);
    if (status == platform::ReadStatus::NotRegularFile) {
        ReportSettingsProblem(QStringLiteral("設定ファイルが通常のファイルではありません。\n\nファイル: %1").arg(IniFile),
                              QStringLiteral("not a regular file"), problem);
        return false;
    }
    if (status == platform::ReadStatus::TooLarge) {
        struct stat st;
        const qint64 size = ::stat(platform::EncodeFileName(IniFile).constData(), &st) == 0 ? st.st_size : -1;
        ReportSettingsProblem(
            QStringLiteral("設定ファイルが大きすぎます。\n\nファイル: %1\nサイズ: %2 バイト (上限 %3 バイト)")
                .arg(IniFile)
                .arg(size)
                .arg(platform::kMaxProfileBytes),
            QStringLiteral("%1 bytes, larger than the %2 bytes a settings file may have").arg(size).arg(platform::kMaxProfileBytes),
            problem);
        return false;
    }
    return true;
}

} // namespace

QString SettingsFolder()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QByteArray dir = platform::EncodeFileName(programDir);
    struct stat st;
    if (::stat((dir + "/Pixmend.ini").constData(), &st) == 0)
        return programDir;
    // A folder the package manager owns is never ours to write into, not
    // even when root runs the program. Root may write anywhere, so for root
    // a folder without any write bit counts as read-only.
    const bool installed = programDir == QStringLiteral(PIXMEND_INSTALL_BINDIR);
    if (!installed && ::access(dir.constData(), W_OK) == 0 && ::stat(dir.constData(), &st) == 0
        && (::geteuid() != 0 || (st.st_mode & 0222) != 0))
        return programDir;
    QString config = platform::DecodeFileName(qgetenv("XDG_CONFIG_HOME"));
    if (!config.startsWith(QLatin1Char('/')))
        config = QDir::homePath() + QStringLiteral("/.config");
    return basFunc::AddBackslash(config) + QStringLiteral("Pixmend");
}

bool LoadSettings(const QString& folder, QString* problem)
{
    const QString dir = folder.isEmpty() ? SettingsFolder() : folder;
    IniFile = basFunc::AddBackslash(dir) + QStringLiteral("Pixmend.ini");
    if (!SettingsFileUsable(problem))
        return false;
    ImageFront = basFunc::ReadIni(QStringLiteral("Image"), QStringLiteral("Front"), QString(), IniFile);
    return ReadNumber("JPEG", "Rate", "50", JpegRate, problem) && ReadNumber("JPEG", "Prgrs", "0", JpegPrgrs, problem)
        && ReadNumber("PNG", "Rate", "1", PngRate, problem) && ReadNumber("JPEG", "Keep", "1", JpegKeep, problem);
}

bool SaveSettings(int* err)
{
    int first = 0;
    bool ok = true;
    // The folder under ~/.config does not exist before the first start.
    const QString dir = QFileInfo(IniFile).path();
    if (!QFileInfo::exists(dir) && !QDir().mkpath(dir)) {
        first = errno;
        ok = false;
    }
    auto write = [&](const char* section, const char* key, const QString& value) {
        int e = 0;
        if (basFunc::WriteIni(QLatin1String(section), QLatin1String(key), value, IniFile, &e) == 0) {
            if (ok)
                first = e;
            ok = false;
        }
    };
    write("Image", "Front", ImageFront);
    write("JPEG", "Rate", QString::number(JpegRate));
    write("JPEG", "Prgrs", QString::number(JpegPrgrs));
    write("PNG", "Rate", QString::number(PngRate));
    write("JPEG", "Keep", QString::number(JpegKeep));
    if (!ok && err)
        *err = first;
    return ok;
}

} // namespace basCommon
