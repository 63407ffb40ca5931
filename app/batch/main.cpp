#include "Batch.h"
#include "Codec.h"
#include "FileRead.h"
#include "Memory.h"
#include "Settings.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    platform::KeepWorkingMemory();
    // No window: Qt's image plugins only need an application object.
    // Past a file-size limit a write fails with EFBIG and is reported like a
    // full disk, instead of the signal ending the run without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    batch::Options defaults;
    // The save options' defaults come from the window program's settings.
    if (!basCommon::LoadSettings())
        return 2;
    defaults.jpegRate = codec::ClampJpegRate(basCommon::JpegRate);
    defaults.progressive = basCommon::JpegPrgrs != 0;
    defaults.pngRate = basCommon::PngRate;
    // Not the window's choice to keep a JPEG's blocks: an archive's originals
    // are re-encoded only when the command line says so.
    // File names are the file system's bytes, also those that are no UTF-8.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << platform::DecodeFileName(QByteArray(argv[i]));
    const batch::Parsed parsed = batch::ParseArguments(args, defaults);
    if (!parsed.options) {
        std::fprintf(parsed.status == 0 ? stdout : stderr, "%s\n", qPrintable(parsed.message));
        return parsed.status;
    }
    return batch::Run(*parsed.options);
}
