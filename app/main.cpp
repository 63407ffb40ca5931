#include "FileRead.h"
#include "Memory.h"
#include "basCommon.h"

#include <QApplication>
#include <QIcon>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    platform::KeepWorkingMemory();
    // Read before QApplication: --help and --version need no display. The
    // arguments are file names, kept as the file system's bytes.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << platform::DecodeFileName(QByteArray(argv[i]));
    const basCommon::CommandLine cl = basCommon::ParseCommandLine(args);
    if (cl.action != basCommon::CommandLine::Run) {
        const QByteArray text = cl.message.toUtf8();
        std::fputs(text.constData(), cl.action == basCommon::CommandLine::Error ? stderr : stdout);
        return cl.action == basCommon::CommandLine::Error ? 2 : 0;
    }
    // Past a file-size limit a save fails with EFBIG and is reported like a
    // full disk; the signal would end the program and lose unsaved work.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    // The menu entry's name, so that the desktop groups the window under it,
    // and its icon, from the theme once installed, else our own copy.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.pixmend.Pixmend"));
    QIcon icon(QStringLiteral(":/icons/pixmend-256.png"));
    icon.addFile(QStringLiteral(":/icons/pixmend-64.png"));
    icon.addFile(QStringLiteral(":/icons/pixmend-32.png"));
    icon.addFile(QStringLiteral(":/icons/pixmend-16.png"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("pixmend"), icon));
    basCommon::InstallJapaneseTranslation();
    return basCommon::Main(cl.file);
}
