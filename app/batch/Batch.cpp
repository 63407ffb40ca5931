#include "Batch.h"

#include "Codec.h"
#include "LetterMaskFile.h"
#include "PictureDocument.h"
#include "PictureFiles.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"

#include "AtomicFile.h"
#include "FileRead.h"
#include "Memory.h"
#include "Parallel.h"
#include "PictureLoader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace batch {
namespace {

std::optional<int> Number(const QString& text, int lo, int hi)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < lo || v > hi)
        return std::nullopt;
    return v;
}

// Written by the signal handler, read by every worker.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnStopSignal(int signo) { gStopSignal.store(signo, std::memory_order_relaxed); }

// The signals that stop a run between files: an interrupt, a kill, a closed
// terminal, a quit key.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The name a write to path lands on: symlinks followed, dangling ones too
// (a write through one creates its target).
QByteArray FollowLinks(QByteArray path)
{
    char target[4096];
    for (int hops = 0; hops < 40; ++hops) {
        const ssize_t n = ::readlink(path.constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target)
            break;
        const QByteArray link(target, n);
        const qsizetype slash = path.lastIndexOf('/');
        path = link.startsWith('/') || slash < 0 ? link : path.left(slash + 1) + link;
    }
    return path;
}

// The identity of a file for clash checks: its device and inode when it
// exists (symlinks followed), else the absolute path it would be created at,
// with the folder's symlinks resolved where the folder exists.
QString FileKey(const QString& given)
{
    const QString path = platform::DecodeFileName(FollowLinks(platform::EncodeFileName(given)));
    struct stat st;
    if (::stat(platform::EncodeFileName(path).constData(), &st) == 0)
        return QStringLiteral("i%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino));
    const QFileInfo info(path);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QStringLiteral("p") + (folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath())
                                                   : folder + QLatin1Char('/') + info.fileName());
}

// A JSON string; bytes of a file name that are no UTF-8 (lone surrogates
// here) are written as \udcXX escapes, as they are held.
QByteArray JsonString(const QString& s)
{
    QByteArray out = "\"";
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < s.size() && QChar::isLowSurrogate(s[i + 1].unicode());
        if (pair) {
            out += s.mid(i, 2).toUtf8();
            ++i;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || QChar::isSurrogate(c)) {
            out += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0')).toLatin1();
        } else {
            out += QString(QChar(c)).toUtf8();
        }
    }
    return out + "\"";
}

// A list of inputs from a file, a pipe or a process substitution: anything
// that can be read, but a folder.
bool ReadFileList(const QString& path, QByteArray& list)
{
    // Told apart before opening: a pipe opened once to look at it would
    // take the writer's data with it.
    struct stat st;
    if (::stat(platform::EncodeFileName(path).constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    if (S_ISREG(st.st_mode))
        return platform::ReadRegularFile(path, list) == platform::ReadStatus::Ok;
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    list = in.readAll();
    return in.error() == QFileDevice::NoError;
}

bool Exists(const QString& path)
{
    struct stat st;
    return ::lstat(platform::EncodeFileName(path).constData(), &st) == 0;
}

} // namespace

QString Usage()
{
    return QStringLiteral(
        "Usage: pixmend-batch [OPTION]... --rect X1,Y1,X2,Y2 FILE...\n"
        "Repaints the same rectangles of every FILE from the pixels around them.\n"
        "\n"
        "  --mode V|H|X|L        fill: V down every column (default), H along every row, X both,\n"
        "                        L only the lettering found in the rectangle (文字補正)\n"
        "  --rect X1,Y1,X2,Y2    a rectangle in pixels, corners included; repeat for more,\n"
        "                        applied in the order given; a value may be a percentage\n"
        "                        of the width or height (80%)\n"
        "  --anchor tl|tr|bl|br  the corner the following --rect values are measured from,\n"
        "                        inward (default tl), in the picture as shown\n"
        "  --mask FILE           for the --rect before it: repaint exactly the white pixels\n"
        "                        of FILE with 文字補正's fill (nothing is detected); FILE has\n"
        "                        the picture's size or the rectangle's (placed at it)\n"
        "  --files-from FILE     read the inputs from FILE (- for standard input), one a line\n"
        "  -0                    ... NUL-separated instead\n"
        "  --shard K/N           process only the inputs at positions K, K+N, K+2N, ...\n"
        "                        (counted from 0), so that N machines share one list\n"
        "  --report FILE         write one JSON object per input to FILE as each finishes\n"
        "  --quiet               no progress and no lines for files that succeed\n"
        "  --progress            show progress also when standard error is no terminal\n"
        "  --out DIR             write the results into DIR\n"
        "  --suffix TEXT         write NAME<TEXT>.EXT beside each input (default \"-pixmend\")\n"
        "  --in-place            replace the inputs themselves (not GIF or ICO, which\n"
        "                        cannot be written back as themselves)\n"
        "  --no-clobber          skip an input whose output exists already\n"
        "  --format keep|bmp|jpg|png\n"
        "                        keep (default): JPEG stays JPEG, PNG stays PNG, others become BMP\n"
        "  --keep-quality        a JPEG saved from a JPEG keeps every block no rectangle\n"
        "                        touches, and the rest with the source's own tables\n"
        "                        (the default)\n"
        "  --reencode            encode the whole JPEG again at --jpeg-rate\n"
        "  --quality N           encode the whole JPEG again at quality 1..100\n"
        "                        (the same as --reencode --jpeg-rate 101-N)\n"
        "  --jpeg-rate N         JPEG compression rate 1..100 when encoding again\n"
        "                        (quality 101 - N; default 50, quality 51)\n"
        "  --progressive         write progressive JPEGs when encoding again\n"
        "                        (--no-progressive: baseline, the default)\n"
        "  --png-rate N          PNG: 1 fastest (the default), 0 in between, 2 smallest\n"
        "  --jobs N              files processed at once (default: one per core)\n"
        "  --help                show this help\n"
        "  --version             show the version\n"
        "\n"
        "The defaults of --jpeg-rate, --progressive and --png-rate are the window's save\n"
        "options, from Pixmend.ini (beside the executables when it is there or that\n"
        "folder may be written, else ~/.config/Pixmend/); the window's choice to keep\n"
        "a JPEG's blocks does not apply here. Results are written whole or not at all.\n"
        "A run in which two files would be written to one name, a file is named twice,\n"
        "or an output would replace an input (other than with --in-place) is refused\n"
        "before anything is written. Ctrl-C stops after the files being written.\n"
        "Exit status: 0 when every file succeeded or was skipped, 1 when some failed,\n"
        "2 for a usage error or a refused run, 128 + the signal's number when stopped by\n"
        "SIGINT, SIGTERM, SIGHUP or SIGQUIT (130, 143, 129, 131).\n");
}

std::optional<GivenRect> ParseRect(const QString& text, Anchor anchor)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    GivenRect given;
    given.anchor = anchor;
    for (int i = 0; i < 4; ++i) {
        QString t = parts[i].trimmed();
        RectValue& v = given.v[i];
        v.percent = t.endsWith(QLatin1Char('%'));
        if (v.percent)
            t.chop(1);
        bool ok = false;
        v.number = t.toInt(&ok);
        if (!ok || (v.percent && (v.number < 0 || v.number > 100)))
            return std::nullopt;
    }
    return given;
}

retouch::SelRect Resolve(const GivenRect& given, int32_t W, int32_t H)
{
    const bool fromRight = given.anchor == Anchor::TopRight || given.anchor == Anchor::BottomRight;
    const bool fromBottom = given.anchor == Anchor::BottomLeft || given.anchor == Anchor::BottomRight;
    int32_t r[4];
    for (int i = 0; i < 4; ++i) {
        const bool x = i % 2 == 0;
        const int64_t size = x ? W : H;
        const RectValue& v = given.v[i];
        // A percentage of the side, as the pixel it falls in (100 % is the last).
        int64_t d = v.percent ? std::min<int64_t>(size - 1, int64_t(v.number) * size / 100) : v.number;
        if (x ? fromRight : fromBottom)
            d = size - 1 - d;
        r[i] = int32_t(std::clamp<int64_t>(d, INT32_MIN, INT32_MAX));
    }
    return {r[0], r[1], r[2], r[3]};
}

QStringList SplitFileList(const QByteArray& bytes, bool nulSeparated, QString* error)
{
    QStringList files;
    int number = 0;
    for (QByteArray line : bytes.split(nulSeparated ? '\0' : '\n')) {
        ++number;
        if (!nulSeparated && line.endsWith('\r'))
            line.chop(1);
        // No file name holds a NUL: such a list is not what it seems.
        if (!nulSeparated && line.contains('\0')) {
            if (error)
                *error = QStringLiteral("line %1 of the file list holds a NUL byte (a NUL-separated list needs -0)").arg(number);
            return {};
        }
        if (!line.isEmpty())
            files << platform::DecodeFileName(line);
    }
    return files;
}

Parsed ParseArguments(const QStringList& args, const Options& defaults)
{
    Options o = defaults;
    const QString usageLine = QStringLiteral("Usage: pixmend-batch [OPTION]... --rect X1,Y1,X2,Y2 FILE...\n"
                                             "Try 'pixmend-batch --help' for more information.");
    auto error = [&](const QString& what) { return Parsed{std::nullopt, "pixmend-batch: " + what + "\n" + usageLine, 2}; };
    bool optionsEnded = false;
    int outputs = 0;
    Anchor anchor = Anchor::TopLeft;
    QString filesFrom;
    bool nulSeparated = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString arg = args[i];
        if (!optionsEnded && arg == QLatin1String("-0")) {
            nulSeparated = true;
            continue;
        }
        if (optionsEnded || !arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--")) {
            if (arg == QLatin1String("--") && !optionsEnded)
                optionsEnded = true;
            else
                o.files << arg;
            continue;
        }
        QString value;
        bool hasValue = false;
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            hasValue = true;
        }
        auto take = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            return true;
        };
        if (arg == QLatin1String("--help"))
            return Parsed{std::nullopt, Usage(), 0};
        if (arg == QLatin1String("--version"))
            return Parsed{std::nullopt, QStringLiteral("pixmend-batch %1").arg(QStringLiteral(PIXMEND_VERSION)), 0};
        if (arg == QLatin1String("--progressive") || arg == QLatin1String("--no-progressive")
            || arg == QLatin1String("--in-place") || arg == QLatin1String("--no-clobber")
            || arg == QLatin1String("--quiet") || arg == QLatin1String("--progress")
            || arg == QLatin1String("--keep-quality") || arg == QLatin1String("--reencode")) {
            if (hasValue)
                return error(QStringLiteral("option '%1' takes no value").arg(arg));
            if (arg == QLatin1String("--in-place")) {
                o.inPlace = true;
                ++outputs;
            } else if (arg == QLatin1String("--no-clobber")) {
                o.noClobber = true;
            } else if (arg == QLatin1String("--quiet")) {
                o.quiet = true;
            } else if (arg == QLatin1String("--progress")) {
                o.progress = true;
            } else if (arg == QLatin1String("--keep-quality") || arg == QLatin1String("--reencode")) {
                o.keepQuality = arg == QLatin1String("--keep-quality");
            } else {
                o.progressive = arg == QLatin1String("--progressive");
            }
            continue;
        }
        const QStringList valued{"--mode",      "--rect",     "--out",  "--suffix",     "--format", "--jpeg-rate",
                                 "--png-rate", "--jobs",     "--anchor", "--files-from", "--shard", "--report",
                                 "--quality",  "--mask"};
        if (!valued.contains(arg))
            return error(QStringLiteral("unrecognized option '%1'").arg(arg));
        if (!take())
            return error(QStringLiteral("option '%1' requires a value").arg(arg));
        if (arg == QLatin1String("--mode")) {
            const QString m = value.toUpper();
            if (m == QLatin1String("V"))
                o.mode = retouch::FillMode::Vertical;
            else if (m == QLatin1String("H"))
                o.mode = retouch::FillMode::Horizontal;
            else if (m == QLatin1String("X"))
                o.mode = retouch::FillMode::Cross;
            else if (m == QLatin1String("L"))
                o.mode = retouch::FillMode::Letters;
            else
                return error(QStringLiteral("unknown mode '%1' (V, H, X or L)").arg(value));
        } else if (arg == QLatin1String("--anchor")) {
            const QStringList corners{"tl", "tr", "bl", "br"};
            if (!corners.contains(value.toLower()))
                return error(QStringLiteral("unknown anchor '%1' (tl, tr, bl or br)").arg(value));
            anchor = Anchor(corners.indexOf(value.toLower()));
        } else if (arg == QLatin1String("--files-from")) {
            filesFrom = value;
        } else if (arg == QLatin1String("--report")) {
            o.report = value;
        } else if (arg == QLatin1String("--shard")) {
            const QStringList kn = value.split(QLatin1Char('/'));
            const auto n = kn.size() == 2 ? Number(kn[1], 1, 1 << 20) : std::nullopt;
            const auto k = n ? Number(kn[0], 0, *n - 1) : std::nullopt;
            if (!k)
                return error(QStringLiteral("--shard takes K/N with 0 <= K < N, not '%1'").arg(value));
            o.shard = *k;
            o.shards = *n;
        } else if (arg == QLatin1String("--rect")) {
            const auto r = ParseRect(value, anchor);
            if (!r)
                return error(QStringLiteral("malformed rectangle '%1' (X1,Y1,X2,Y2)").arg(value));
            o.rects.push_back(*r);
        } else if (arg == QLatin1String("--mask")) {
            if (o.rects.empty() || !o.rects.back().mask.isEmpty())
                return error(QStringLiteral("--mask '%1' follows no --rect of its own").arg(value));
            o.rects.back().mask = value;
        } else if (arg == QLatin1String("--out")) {
            o.outDir = value;
            ++outputs;
        } else if (arg == QLatin1String("--suffix")) {
            if (value.isEmpty() || value.contains(QLatin1Char('/')))
                return error(QStringLiteral("the suffix must be a non-empty name part"));
            o.suffix = value;
            ++outputs;
        } else if (arg == QLatin1String("--format")) {
            const QString f = value.toLower();
            if (f == QLatin1String("keep")) o.format = OutFormat::Keep;
            else if (f == QLatin1String("bmp")) o.format = OutFormat::Bmp;
            else if (f == QLatin1String("jpg") || f == QLatin1String("jpeg")) o.format = OutFormat::Jpg;
            else if (f == QLatin1String("png")) o.format = OutFormat::Png;
            else return error(QStringLiteral("unknown format '%1' (keep, bmp, jpg or png)").arg(value));
        } else if (arg == QLatin1String("--jpeg-rate")) {
            const auto v = Number(value, 1, 100);
            if (!v)
                return error(QStringLiteral("--jpeg-rate takes 1..100, not '%1'").arg(value));
            o.jpegRate = *v;
        } else if (arg == QLatin1String("--quality")) {
            const auto v = Number(value, 1, 100);
            if (!v)
                return error(QStringLiteral("--quality takes 1..100, not '%1'").arg(value));
            o.jpegRate = 101 - *v;
            o.keepQuality = false;
        } else if (arg == QLatin1String("--png-rate")) {
            const auto v = Number(value, 0, 2);
            if (!v)
                return error(QStringLiteral("--png-rate takes 0, 1 or 2, not '%1'").arg(value));
            o.pngRate = *v;
        } else if (arg == QLatin1String("--jobs")) {
            const auto v = Number(value, 1, 256);
            if (!v)
                return error(QStringLiteral("--jobs takes 1..256, not '%1'").arg(value));
            o.jobs = *v;
        }
    }
    if (outputs > 1)
        return error(QStringLiteral("--out, --suffix and --in-place exclude each other"));
    if (o.rects.empty())
        return error(QStringLiteral("no rectangle given (--rect X1,Y1,X2,Y2)"));
    if (!filesFrom.isEmpty()) {
        QByteArray list;
        if (filesFrom == QLatin1String("-")) {
            QFile in;
            if (!in.open(stdin, QIODevice::ReadOnly))
                return error(QStringLiteral("cannot read the file list from standard input"));
            list = in.readAll();
        } else if (!ReadFileList(filesFrom, list)) {
            return error(QStringLiteral("cannot read the file list '%1'").arg(filesFrom));
        }
        QString bad;
        o.files += SplitFileList(list, nulSeparated, &bad);
        if (!bad.isEmpty())
            return error(bad);
    }
    if (o.files.isEmpty())
        return error(QStringLiteral("no input files"));
    if (outputs == 0)
        o.suffix = QStringLiteral("-pixmend");
    return Parsed{o, QString(), 0};
}

QString OutputPath(const QString& input, const Options& o, QString* extOut)
{
    const QFileInfo info(input);
    const QString inExt = basFunc::LastFourUpper(input);
    const bool isJpeg = basFunc::IsJpegName(input);
    QString ext;
    switch (o.format) {
    case OutFormat::Keep: ext = isJpeg ? ".JPG" : (inExt == QLatin1String(".PNG") ? ".PNG" : ".BMP"); break;
    case OutFormat::Bmp: ext = ".BMP"; break;
    case OutFormat::Jpg: ext = ".JPG"; break;
    case OutFormat::Png: ext = ".PNG"; break;
    }
    if (extOut)
        *extOut = ext;
    // The input's own extension stays when it already names the format.
    const bool sameFormat = (ext == QLatin1String(".JPG") && isJpeg) || inExt == ext;
    const QString base = info.completeBaseName();
    const QString newExt = sameFormat ? info.suffix() : ext.mid(1).toLower();
    if (o.inPlace)
        return sameFormat ? input : info.path() + "/" + base + "." + newExt;
    if (!o.outDir.isEmpty())
        return QDir(o.outDir).filePath(base + "." + newExt);
    return info.path() + "/" + base + o.suffix + "." + newExt;
}

Plan PlanRun(const Options& o)
{
    Plan plan;
    QHash<QString, int> inputs;  // file key -> job
    QHash<QString, int> outputs; // file key -> job
    for (const QString& input : o.files) {
        const QString key = FileKey(input);
        if (const auto seen = inputs.constFind(key); seen != inputs.cend()) {
            plan.clash = QStringLiteral("%1 and %2 are the same file").arg(o.files[*seen], input);
            return plan;
        }
        inputs.insert(key, int(plan.jobs.size()));
        Job job;
        job.input = input;
        job.output = OutputPath(input, o, &job.ext);
        plan.jobs.push_back(job);
    }
    for (int i = 0; i < int(plan.jobs.size()); ++i) {
        Job& job = plan.jobs[size_t(i)];
        const QString outKey = FileKey(job.output);
        const auto input = inputs.constFind(outKey);
        if (o.inPlace && (input == inputs.cend() || *input != i)) {
            // In place means the file itself, in its own format.
            job.kind = Job::Refuse;
            job.reason = QStringLiteral("この形式のままでは書き戻せないため、--in-place では処理しません");
            continue;
        }
        if (input != inputs.cend() && *input != i) {
            plan.clash = QStringLiteral("the result of %1 would replace the input %2")
                             .arg(job.input, plan.jobs[size_t(*input)].input);
            return plan;
        }
        if (input != inputs.cend() && !o.inPlace) {
            plan.clash = QStringLiteral("the result of %1 would replace it (use --in-place to mean that)").arg(job.input);
            return plan;
        }
        if (const auto other = outputs.constFind(outKey); other != outputs.cend()) {
            plan.clash = QStringLiteral("%1 and %2 would both be written to %3")
                             .arg(plan.jobs[size_t(*other)].input, job.input, job.output);
            return plan;
        }
        outputs.insert(outKey, i);
        if (o.noClobber && !o.inPlace && Exists(job.output)) {
            job.kind = Job::Skip;
            job.reason = QStringLiteral("%1 があるため飛ばしました").arg(job.output);
        }
    }
    return plan;
}

QString ProcessFile(const Job& job, const Options& o, QSize* size, int64_t* letters)
{
    int64_t repainted = -1;
    // The window's way through a picture, without the window: open, retouch
    // each rectangle, save, all through one document.
    document::PictureDocument doc;
    const document::Outcome opened = doc.Load(job.input);
    if (!opened.done())
        return QStringLiteral("読み込めません (%1)").arg(opened.reason);
    // What a damaged file held is not worth writing, least of all over
    // the rest of the original.
    if (opened.truncated)
        return QStringLiteral("読み込めません (データが途中で終わっています)");
    const int32_t W = doc.PicImg().width(), H = doc.PicImg().height();
    if (size)
        *size = doc.PicImg().size();
    for (const GivenRect& given : o.rects) {
        retouch::SelRect rect = Resolve(given, W, H);
        const int32_t x1 = std::min(rect.X1, rect.X2), x2 = std::max(rect.X1, rect.X2);
        const int32_t y1 = std::min(rect.Y1, rect.Y2), y2 = std::max(rect.Y1, rect.Y2);
        if (x2 < 0 || y2 < 0 || x1 > W - 1 || y1 > H - 1)
            return QStringLiteral("範囲 %1,%2,%3,%4 が画像 (%5 × %6) の外にあります")
                .arg(rect.X1).arg(rect.Y1).arg(rect.X2).arg(rect.Y2).arg(W).arg(H);
        retouch::FillMode mode = o.mode;
        if (!given.mask.isEmpty()) {
            // The mask is filled as it is: the document's letter mask, with
            // nothing detected.
            document::LetterMask mask;
            QString why;
            if (!retouch::OrderAndClamp(rect, W, H)
                || !document::ReadLetterMask(given.mask, rect, doc.PicImg().size(), &mask, &why))
                return why.isEmpty() ? QStringLiteral("範囲 %1,%2,%3,%4 にマスクを置けません").arg(rect.X1).arg(rect.Y1).arg(rect.X2).arg(rect.Y2) : why;
            if (!doc.SetLetters(std::move(mask)))
                return QStringLiteral("補正できません (メモリが足りません)");
            mode = retouch::FillMode::Letters;
        } else if (mode == retouch::FillMode::Letters && !doc.DetectLetters(rect)) {
            return QStringLiteral("補正できません (メモリが足りません)");
        }
        if (mode == retouch::FillMode::Letters)
            repainted = std::max<int64_t>(repainted, 0)
                      + std::count(doc.Letters().bits.begin(), doc.Letters().bits.end(), uint8_t(1));
        if (doc.Retouch(rect, mode) == retouch::RetouchResult::TransferFailed)
            return QStringLiteral("補正できません (メモリが足りません)");
    }
    const files::SaveOptions save{int16_t(o.jpegRate), int16_t(o.progressive ? -1 : 0),
                                  int16_t(o.pngRate >= 0 && o.pngRate <= 2 ? o.pngRate : 0),
                                  int16_t(o.keepQuality ? 1 : 0)};
    if (letters)
        *letters = repainted;
    const document::Outcome written = doc.Save(job.output, job.ext, save);
    if (!written.done()) {
        QString reason = written.reason;
        if (reason.endsWith(QStringLiteral("。")))
            reason.chop(1);
        return QStringLiteral("%1 に保存できません (%2)").arg(job.output, reason);
    }
    return QString();
}

// A report goes into a new file or one of our own reports, never into a
// picture of the run or anything else that happens to have that name.
QString ReportRefused(const QString& report, const Plan& plan)
{
    if (report.isEmpty())
        return QString();
    const QString key = FileKey(report);
    for (const Job& job : plan.jobs)
        if (FileKey(job.input) == key || FileKey(job.output) == key)
            return QStringLiteral("the report would be written into %1, a file of the run").arg(job.input);
    const QFileInfo info(report);
    if (!info.exists())
        return QString();
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    QFile existing(report);
    if (!existing.open(QIODevice::ReadOnly))
        return QString(); // fopen says why
    const QByteArray head = existing.read(10);
    if (!head.isEmpty() && !head.startsWith("{\"input\":"))
        return QStringLiteral("it exists and is no report of pixmend-batch");
    return QString();
}

int Run(const Options& o)
{
    const Plan plan = PlanRun(o);
    if (!plan.clash.isEmpty()) {
        std::fprintf(stderr, "pixmend-batch: %s; nothing was written\n", qPrintable(plan.clash));
        return 2;
    }
    // The whole list is planned on every machine, so that all refuse the
    // same clashes; each then does its own share.
    std::vector<const Job*> mine;
    for (size_t i = 0; i < plan.jobs.size(); ++i)
        if (int(i % size_t(o.shards)) == o.shard)
            mine.push_back(&plan.jobs[i]);
    if (!o.outDir.isEmpty() && !QDir().mkpath(o.outDir)) {
        std::fprintf(stderr, "pixmend-batch: %s: cannot create the folder\n", qPrintable(o.outDir));
        return 1;
    }
    if (const QString why = ReportRefused(o.report, plan); !why.isEmpty()) {
        std::fprintf(stderr, "pixmend-batch: %s: %s; nothing was written\n", qPrintable(o.report), qPrintable(why));
        return 2;
    }
    FILE* report = nullptr;
    if (!o.report.isEmpty() && !(report = std::fopen(platform::EncodeFileName(o.report).constData(), "a"))) {
        std::fprintf(stderr, "pixmend-batch: %s: cannot write the report\n", qPrintable(o.report));
        return 1;
    }
    const int total = int(mine.size());
    const int jobs = std::clamp(o.jobs > 0 ? o.jobs : int(std::thread::hardware_concurrency()), 1, std::max(1, total));
    const bool terminal = ::isatty(2);
    const bool showProgress = !o.quiet && (terminal || o.progress);

    // A signal only asks the workers to stop taking files; what is being
    // written is finished, and nothing half-written stays behind.
    gStopSignal = 0;
    struct sigaction stop = {}, old[std::size(kStopSignals)] = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        ::sigaction(kStopSignals[i], &stop, &old[i]);

    std::atomic<int> next{0}, done{0}, failed{0}, skipped{0};
    std::mutex io;
    QElapsedTimer clock;
    clock.start();
    qint64 lastShown = -1000;
    // A file that runs out of memory while others are in work is tried
    // again at the end, alone: on a machine with little memory a run with
    // a worker per core must not fail files that one worker would do.
    std::atomic<int> inWork{0}, started{0};
    std::vector<const Job*> later;
    auto process = [&](const Job& job, bool mayWait) {
        QElapsedTimer fileClock;
        fileClock.start();
        QString reason = job.reason;
        QSize size;
        int64_t letters = -1;
        if (job.kind == Job::Work) {
            const int startedBefore = started++;
            ++inWork;
            try { // memory running out fails this file; the rest go on
                reason = ProcessFile(job, o, &size, &letters);
            } catch (const std::bad_alloc&) {
                reason = QStringLiteral("メモリが足りません");
            }
            const bool crowded = inWork-- > 1 || started != startedBefore + 1;
            const bool noMemory = reason.contains(QStringLiteral("メモリが足りません"));
            if (noMemory)
                platform::GiveBackFreeMemory();
            if (mayWait && crowded && noMemory) {
                std::lock_guard<std::mutex> lock(io);
                later.push_back(&job);
                return;
            }
        }
        const qint64 ms = fileClock.elapsed();
        std::lock_guard<std::mutex> lock(io);
        ++done;
        if (terminal && showProgress)
            std::fputs("\r\033[K", stderr);
        const bool ok = job.kind == Job::Skip || reason.isEmpty();
        if (!ok)
            ++failed;
        else if (job.kind == Job::Skip)
            ++skipped;
        if (!ok || (job.kind == Job::Skip && !o.quiet))
            std::fprintf(stderr, "pixmend-batch: %s: %s\n", qPrintable(job.input), qPrintable(reason));
        else if (letters == 0) // written unchanged: worth a word
            std::fprintf(stderr, "pixmend-batch: %s: 文字が見つかりません\n", qPrintable(job.input));
        if (report) {
            const char* status = job.kind == Job::Skip ? "skipped" : (ok ? "ok" : "failed");
            const QByteArray lettersField = letters >= 0 ? ",\"letters\":" + QByteArray::number(qint64(letters)) : QByteArray();
            std::fprintf(report, "{\"input\":%s,\"output\":%s,\"status\":\"%s\",\"error\":%s,\"width\":%d,\"height\":%d,\"ms\":%lld%s}\n",
                         JsonString(job.input).constData(), JsonString(job.output).constData(), status,
                         JsonString(ok ? QString() : reason).constData(), size.width() > 0 ? size.width() : 0,
                         size.height() > 0 ? size.height() : 0, static_cast<long long>(ms), lettersField.constData());
            std::fflush(report); // a run killed half-way leaves a usable report
        }
        const qint64 now = clock.elapsed();
        if (showProgress && (terminal || now - lastShown >= 1000 || done == total)) {
            lastShown = now;
            const double rate = now > 0 ? done * 1000.0 / double(now) : 0;
            const int left = rate > 0 ? int((total - done) / rate + 0.5) : 0;
            std::fprintf(stderr, terminal ? "[%d/%d] %.1f files/s, %d s left" : "[%d/%d] %.1f files/s, %d s left\n",
                         done.load(), total, rate, left);
        }
    };
    auto worker = [&] {
        // With a file on every core, each file's 文字補正 keeps to its own.
        std::optional<retouch::OneCoreHere> alone;
        if (jobs > 1)
            alone.emplace();
        for (int i = next++; i < total && !gStopSignal; i = next++)
            process(*mine[size_t(i)], true);
    };
    std::vector<std::thread> threads;
    // A thread the system will not give (std::system_error, or bad_alloc
    // for its state) is a worker fewer, not an abort; reserved first, the
    // vector's growth cannot throw with workers running.
    threads.reserve(size_t(std::max(0, jobs - 1)));
    try {
        for (int t = 1; t < jobs; ++t)
            threads.emplace_back(worker);
    } catch (...) {
    }
    worker();
    for (std::thread& t : threads)
        t.join();
    if (!later.empty()) {
        const retouch::OneCoreHere alone; // on one core too: the fewest buffers at once
        std::sort(later.begin(), later.end()); // in the list's order
        for (const Job* job : later)
            if (!gStopSignal)
                process(*job, false);
    }
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        ::sigaction(kStopSignals[i], &old[i], nullptr);
    if (report)
        std::fclose(report);
    if (terminal && showProgress)
        std::fputs("\r\033[K", stderr);
    if (showProgress) {
        // What the progress line counted stays on the terminal.
        const double seconds = double(clock.elapsed()) / 1000.0;
        std::fprintf(stderr, "pixmend-batch: %d done, %d failed, %d skipped, %.1f files/s, %.1f s\n",
                     done - failed - skipped, failed.load(), skipped.load(),
                     seconds > 0 ? done / seconds : 0.0, seconds);
    }
    if (const int signo = gStopSignal) {
        platform::AtomicFile::DiscardAll();
        std::fprintf(stderr, "pixmend-batch: stopped by signal %d after %d of %d files\n", signo, done.load(), total);
        return 128 + signo;
    }
    return failed ? 1 : 0;
}

} // namespace batch
