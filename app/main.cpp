#include "FileRead.h"
#include "basCommon.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
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
    QApplication app(argc, argv);
    basCommon::InstallJapaneseTranslation();
    return basCommon::Main(cl.file);
}
