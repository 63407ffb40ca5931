#include "basCommon.h"

#include "Dialogs.h"
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
    if (QString problem; !LoadSettings(QString(), &problem)) {
        platform::Dialogs().MessageBox(nullptr, problem, QStringLiteral("Pixmend"), platform::MB_OK | platform::MB_ICONSTOP);
        return 1;
    }
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
