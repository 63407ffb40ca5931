#include "basCommon.h"

#include "Dialogs.h"
#include "FileRead.h"
#include "Profile.h"
#include "RuntimeErrors.h"
#include "basFunc.h"
#include "frmMain.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

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

void ReportSettingsProblem(const QString& message, const QString& english, bool quiet)
{
    std::fprintf(stderr, "Pixmend: %s: %s\n", IniFile.toLocal8Bit().constData(), english.toLocal8Bit().constData());
    if (!quiet)
        platform::Dialogs().MessageBox(nullptr, message, QStringLiteral("Pixmend"),
                                       platform::MB_OK | platform::MB_ICONSTOP);
}

// A settings file that is not a regular file (a FIFO would block every read)
// or far larger than ours is someone else's: refuse it, untouched.
bool SettingsFileUsable(bool quiet)
{
    QByteArray content;
    const platform::ReadStatus status = platform::ReadRegularFile(IniFile, content, platform::kMaxProfileBytes);
    if (status == platform::ReadStatus::NotRegularFile) {
        ReportSettingsProblem(QStringLiteral("設定ファイルが通常のファイルではありません。\n\nファイル: %1").arg(IniFile),
                              QStringLiteral("not a regular file"), quiet);
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
            quiet);
        return false;
    }
    return true;
}

// SIGTERM, SIGHUP and SIGINT (a logout, `kill`, Ctrl-C in the terminal that
// started the window) close the window as its close box does, so the
// settings are written and unsaved work is asked about rather than lost.
int gSignalPipe[2] = {-1, -1};

void OnCloseSignal(int signo)
{
    const int saved = errno;
    const char byte = char(signo);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

// Not under a dialog: it holds the window until it is answered.
void CloseWhenFree(QWidget* window)
{
    if (QApplication::activeModalWidget())
        QTimer::singleShot(200, window, [window] { CloseWhenFree(window); });
    else
        window->close();
}

void CloseOnSignals(QWidget* window)
{
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char buffer[16];
        while (::read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        CloseWhenFree(window);
    });
    struct sigaction action = {};
    action.sa_handler = OnCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signo : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signo, &action, nullptr);
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

bool LoadSettings(const QString& folder, bool quiet)
{
    const QString dir = folder.isEmpty() ? SettingsFolder() : folder;
    IniFile = basFunc::AddBackslash(dir) + QStringLiteral("Pixmend.ini");
    if (!SettingsFileUsable(quiet))
        return false;
    ImageFront = basFunc::ReadIni(QStringLiteral("Image"), QStringLiteral("Front"), QString(), IniFile);
    return ReadNumber("JPEG", "Rate", "50", JpegRate, quiet) && ReadNumber("JPEG", "Prgrs", "0", JpegPrgrs, quiet)
        && ReadNumber("PNG", "Rate", "1", PngRate, quiet) && ReadNumber("JPEG", "Keep", "1", JpegKeep, quiet);
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

void ReportSettingsNotSaved(QWidget* owner, int err)
{
    platform::Dialogs().MessageBox(owner,
                                   QStringLiteral("設定を保存できませんでした。\n\nファイル: %1\n%2")
                                       .arg(IniFile, platform::SystemErrorReason(err)),
                                   QStringLiteral("Pixmend"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

CommandLine ParseCommandLine(const QStringList& args)
{
    const QString usage = QStringLiteral("Usage: pixmend [FILE]");
    // Options of Qt's own, which QApplication takes out of the command line.
    static const QStringList qtWithValue{"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                         "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session",
                                         "-style", "-stylesheet", "-display", "-geometry", "-name", "-title"};
    static const QStringList qtFlags{"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};
    CommandLine cl;
    bool optionsEnded = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!optionsEnded && a == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && (a == QLatin1String("--help") || a == QLatin1String("-h"))) {
            cl.action = CommandLine::Help;
            cl.message = usage + QStringLiteral("\n"
                "Erases lettering, captions and small marks from pictures.\n"
                "Opens FILE (BMP, GIF, ICO, JPEG or PNG), or the picture open when the window\n"
                "last closed.\n\n"
                "  --help      show this help and exit\n"
                "  --version   show the version and exit\n\n"
                "pixmend-batch applies a retouch to many files from the command line.\n");
            return cl;
        } else if (!optionsEnded && a == QLatin1String("--version")) {
            cl.action = CommandLine::Version;
            cl.message = QStringLiteral("pixmend %1\n").arg(QStringLiteral(PIXMEND_VERSION));
            return cl;
        } else if (!optionsEnded && qtWithValue.contains(a)) {
            ++i;
        } else if (!optionsEnded && (qtFlags.contains(a) || (a.startsWith(QLatin1Char('-')) && qtWithValue.contains(a.section(QLatin1Char('='), 0, 0))))) {
            // handled by Qt
        } else if (!optionsEnded && a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            cl.action = CommandLine::Error;
            cl.message = QStringLiteral("pixmend: unrecognized option '%1'\n%2\n").arg(a, usage);
            return cl;
        } else if (cl.file.isEmpty()) {
            cl.file = a;
        } else {
            cl.action = CommandLine::Error;
            cl.message = QStringLiteral("pixmend: one file at a time\n%1\n").arg(usage);
            return cl;
        }
    }
    return cl;
}

int Main(const QString& file)
{
    if (!LoadSettings())
        return 1;
    SaveSettings();
    // A file named on the command line takes the remembered one's place, and
    // is told about when it cannot be opened.
    if (!file.isEmpty())
        ImageFront = file;
    frmMain window;
    window.RestoreWindowSettings();
    window.Form_Load(!file.isEmpty());
    CloseOnSignals(&window);
    window.show();
    return QApplication::exec();
}

} // namespace basCommon
