#pragma once
// The same retouch over many files: the window's loading routes, the same
// order-clamp-test of each rectangle, the same fills and the same writers.
#include "Retouch.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace batch {

enum class OutFormat { Keep, Bmp, Jpg, Png };

// A rectangle as given: four values, each in pixels or a percentage of the
// width (x) or height (y), measured inward from a corner of the picture as
// shown (Exif orientation applied).
enum class Anchor { TopLeft, TopRight, BottomLeft, BottomRight };
struct RectValue {
    int32_t number = 0;
    bool percent = false;
};
struct GivenRect {
    Anchor anchor = Anchor::TopLeft;
    RectValue v[4]; // X1, Y1, X2, Y2
    QString mask;   // --mask: 文字補正's fill on exactly this file's mask
};
// The rectangle in a W x H picture's pixels.
retouch::SelRect Resolve(const GivenRect& given, int32_t W, int32_t H);

struct Options {
    retouch::FillMode mode = retouch::FillMode::Vertical;
    std::vector<GivenRect> rects;
    QString outDir;
    QString suffix;
    bool inPlace = false;
    bool noClobber = false; // skip an input whose output exists already
    OutFormat format = OutFormat::Keep;
    int jpegRate = 50;
    bool progressive = false;
    bool keepQuality = true; // a JPEG of a JPEG keeps its untouched blocks
    int pngRate = 1;
    int jobs = 0; // 0: one per core
    QStringList files;
    int shard = 0, shards = 1; // only the inputs at positions = shard (mod shards)
    QString report;            // JSON lines, one per input, as each finishes
    bool quiet = false;        // no progress, no lines for successes
    bool progress = false;     // progress also when standard error is no terminal
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

// "X1,Y1,X2,Y2", each an integer or a percentage ("80%"); nullopt when malformed.
std::optional<GivenRect> ParseRect(const QString& text, Anchor anchor = Anchor::TopLeft);

// File names one a line, or NUL-separated; the bytes are kept as they are.
// A line with a NUL in a list of lines makes the list empty and error says
// which.
QStringList SplitFileList(const QByteArray& bytes, bool nulSeparated, QString* error = nullptr);

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

// Processes one job; empty on success, else the reason. size receives the
// picture's size once loaded.
// letters receives the pixels 文字補正 repainted (-1 when it had no part).
QString ProcessFile(const Job& job, const Options& options, QSize* size = nullptr, int64_t* letters = nullptr);

// Processes every file with options.jobs workers; reports failures on
// standard error and progress when it is a terminal. SIGINT and SIGTERM stop
// it between files, with no temporary file left behind. The exit status: 0
// when every file succeeded or was skipped, 1 otherwise, 2 when the run was
// refused, 128 + the signal's number when stopped.
int Run(const Options& options);

} // namespace batch
