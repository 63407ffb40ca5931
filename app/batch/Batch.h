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
    bool noClobber = false; // skip an input whose output exists already
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

// What happens to one input, worked out before anything is written.
struct Job {
    enum Kind { Work, Skip, Refuse };
    QString input;
    QString output;
    QString ext; // the format written: ".JPG", ".PNG" or ".BMP"
    Kind kind = Work;
    QString reason; // why skipped or refused
};

// Every job of the run, or clash naming why the whole run is refused: two
// jobs writing one file, a file named twice, an output that would replace an
// input other than in place.
struct Plan {
    std::vector<Job> jobs;
    QString clash;
};
Plan PlanRun(const Options& options);

// Processes one job; empty on success, else the reason.
QString ProcessFile(const Job& job, const Options& options);

// Processes every file with options.jobs workers; reports failures on
// standard error and progress when it is a terminal. SIGINT and SIGTERM stop
// it between files, with no temporary file left behind. The exit status: 0
// when every file succeeded or was skipped, 1 otherwise, 2 when the run was
// refused, 128 + the signal's number when stopped.
int Run(const Options& options);

} // namespace batch
