#pragma once
// The same retouch over many files: the window's loading routes, the same
// order-clamp-test of each rectangle, the same fills and the same writers.
#include "Retouch.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace batch {

enum class OutFormat { Keep, Bmp, Jpg, Png };

struct Options {
    retouch::FillMode mode = retouch::FillMode::Vertical;
    std::vector<retouch::SelRect> rects;
    QString outDir;
    QString suffix;
    bool inPlace = false;
    OutFormat format = OutFormat::Keep;
    int jpegRate = 50;
    bool progressive = false;
    int pngRate = 1;
    int jobs = 0; // 0: one per core
    QStringList files;
};

// The result of parsing the command line: options, or a message and the
// exit status to leave with (0 after --help, 2 for an error).
struct Parsed {
    std::optional<Options> options;
    QString message;
    int status = 0;
};

// defaults carries the save options read from the settings file.
Parsed ParseArguments(const QStringList& args, const Options& defaults);
QString Usage();

// "X1,Y1,X2,Y2" with integers; nullopt when malformed.
std::optional<retouch::SelRect> ParseRect(const QString& text);

// Where the result of input goes, in which format (".JPG", ".PNG", ".BMP").
QString OutputPath(const QString& input, const Options& options, QString* ext);

// Processes one file; empty on success, else the reason.
QString ProcessFile(const QString& input, const Options& options);

// Processes every file with options.jobs workers; reports failures on
// standard error and progress when it is a terminal. The exit status: 0
// when every file succeeded, 1 otherwise.
int Run(const Options& options);

} // namespace batch
