#include "Batch.h"

#include "Codec.h"
#include "PictureFiles.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
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

QString ReasonForLoad(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("ファイルが見つかりません");
    if (info.isDir())
        return QStringLiteral("フォルダーです");
    if (!info.isReadable())
        return QStringLiteral("読み取りが許可されていません");
    return QStringLiteral("画像として読み込めません");
}

} // namespace

QString Usage()
{
    return QStringLiteral(
        "Usage: pixmend-batch [OPTION]... --rect X1,Y1,X2,Y2 FILE...\n"
        "Repaints the same rectangles of every FILE from the pixels around them.\n"
        "\n"
        "  --mode V|H|X          fill: V down every column (default), H along every row, X both\n"
        "  --rect X1,Y1,X2,Y2    a rectangle in pixels, corners included; repeat for more,\n"
        "                        applied in the order given\n"
        "  --out DIR             write the results into DIR\n"
        "  --suffix TEXT         write NAME<TEXT>.EXT beside each input (default \"-pixmend\")\n"
        "  --in-place            replace the inputs themselves\n"
        "  --format keep|bmp|jpg|png\n"
        "                        keep (default): JPEG stays JPEG, PNG stays PNG, others become BMP\n"
        "  --jpeg-rate N         JPEG compression rate 1..100 (quality 101 - N)\n"
        "  --progressive         write progressive JPEGs (--no-progressive: baseline)\n"
        "  --png-rate N          PNG: 1 fastest, 0 default, 2 smallest\n"
        "  --jobs N              files processed at once (default: one per core)\n"
        "  --help                show this help\n"
        "\n"
        "The defaults of --jpeg-rate, --progressive and --png-rate come from Pixmend.ini\n"
        "beside the executables. Results are written whole or not at all.\n"
        "Exit status: 0 when every file succeeded, 1 when some failed, 2 for a usage error.\n");
}

std::optional<retouch::SelRect> ParseRect(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    int32_t v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    return retouch::SelRect{v[0], v[1], v[2], v[3]};
}

Parsed ParseArguments(const QStringList& args, const Options& defaults)
{
    Options o = defaults;
    const QString usageLine = QStringLiteral("Usage: pixmend-batch [OPTION]... --rect X1,Y1,X2,Y2 FILE...\n"
                                             "Try 'pixmend-batch --help' for more information.");
    auto error = [&](const QString& what) { return Parsed{std::nullopt, "pixmend-batch: " + what + "\n" + usageLine, 2}; };
    bool optionsEnded = false;
    int outputs = 0;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString arg = args[i];
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
        if (arg == QLatin1String("--progressive") || arg == QLatin1String("--no-progressive")
            || arg == QLatin1String("--in-place")) {
            if (hasValue)
                return error(QStringLiteral("option '%1' takes no value").arg(arg));
            if (arg == QLatin1String("--in-place")) {
                o.inPlace = true;
                ++outputs;
            } else {
                o.progressive = arg == QLatin1String("--progressive");
            }
            continue;
        }
        const QStringList valued{"--mode", "--rect", "--out", "--suffix", "--format", "--jpeg-rate", "--png-rate", "--jobs"};
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
            else
                return error(QStringLiteral("unknown mode '%1' (V, H or X)").arg(value));
        } else if (arg == QLatin1String("--rect")) {
            const auto r = ParseRect(value);
            if (!r)
                return error(QStringLiteral("malformed rectangle '%1' (X1,Y1,X2,Y2)").arg(value));
            o.rects.push_back(*r);
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
    const bool isJpeg = inExt == QLatin1String(".JPG") || input.right(5).toUpper() == QLatin1String(".JPEG");
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

QString ProcessFile(const QString& input, const Options& o)
{
    platform::Surface picture;
    if (files::LoadPictureFile(input, picture) != 0)
        return QStringLiteral("読み込めません (%1)").arg(ReasonForLoad(input));
    for (retouch::SelRect rect : o.rects) {
        if (retouch::Retouch(picture, rect, o.mode) == retouch::RetouchResult::TransferFailed)
            return QStringLiteral("補正できません (メモリが足りません)");
    }
    QString ext;
    const QString out = OutputPath(input, o, &ext);
    int err = 0;
    int status;
    if (ext == QLatin1String(".JPG"))
        status = platform::DCSavetoJPEG(picture, picture.width(), picture.height(), out, uint8_t(o.jpegRate),
                                        o.progressive, {}, &err);
    else if (ext == QLatin1String(".PNG"))
        status = platform::DCSavetoPNG(picture, picture.width(), picture.height(), out, uint8_t(o.pngRate), {}, &err);
    else
        status = platform::SaveBitmapFile(picture, out, {}, &err);
    if (status != platform::kCodecOk)
        return QStringLiteral("%1 に保存できません (%2)").arg(out, status == platform::kCodecEncoderFailed
                                                                          ? QStringLiteral("符号化に失敗しました")
                                                                          : platform::SystemErrorReason(err));
    return QString();
}

int Run(const Options& o)
{
    if (!o.outDir.isEmpty() && !QDir().mkpath(o.outDir)) {
        std::fprintf(stderr, "pixmend-batch: %s: cannot create the folder\n", qPrintable(o.outDir));
        return 1;
    }
    const int total = int(o.files.size());
    const int jobs = std::clamp(o.jobs > 0 ? o.jobs : int(std::thread::hardware_concurrency()), 1, std::max(1, total));
    const bool terminal = ::isatty(2);
    std::atomic<int> next{0}, done{0}, failed{0};
    std::mutex io;
    auto worker = [&] {
        for (int i = next++; i < total; i = next++) {
            const QString& file = o.files[i];
            const QString reason = ProcessFile(file, o);
            std::lock_guard<std::mutex> lock(io);
            ++done;
            if (terminal)
                std::fputs("\r\033[K", stderr);
            if (!reason.isEmpty()) {
                ++failed;
                std::fprintf(stderr, "pixmend-batch: %s: %s\n", qPrintable(file), qPrintable(reason));
            }
            if (terminal)
                std::fprintf(stderr, "[%d/%d] %s", done.load(), total, qPrintable(QFileInfo(file).fileName()));
        }
    };
    std::vector<std::thread> threads;
    for (int t = 1; t < jobs; ++t)
        threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads)
        t.join();
    if (terminal)
        std::fputs("\r\033[K", stderr);
    return failed ? 1 : 0;
}

} // namespace batch
