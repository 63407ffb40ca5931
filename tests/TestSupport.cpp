#include "TestSupport.h"

#include <QFile>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <random>

namespace testsupport {

ScriptedDialogs::ScriptedDialogs() { platform::SetDialogHost(this); }
ScriptedDialogs::~ScriptedDialogs() { platform::SetDialogHost(nullptr); }

platform::FileDialogResult ScriptedDialogs::FileDialog(const platform::FileDialogRequest& request)
{
    fileRequests << request;
    if (fileAnswers.isEmpty()) {
        qWarning("unscripted file dialog: %s", qPrintable(request.title));
        return {};
    }
    return fileAnswers.takeFirst();
}

std::optional<QRgb> ScriptedDialogs::ColorDialog(QWidget*, QRgb, const QList<QRgb>&) { return std::nullopt; }

int ScriptedDialogs::MessageBox(QWidget*, const QString& text, const QString& title, int style)
{
    messages << Message{text, title, style};
    if (messageAnswers.isEmpty())
        return platform::IDOK;
    return messageAnswers.takeFirst();
}

int ScriptedDialogs::ShowModal(QDialog& dialog)
{
    if (!modal) {
        qWarning("unscripted modal dialog");
        return 0;
    }
    return modal(dialog);
}

platform::Surface MakePicture(int w, int h, unsigned seed)
{
    platform::Surface s = platform::MakeSurface(w, h);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(s.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = qRgb((x * 255 / std::max(1, w - 1) + int(rng() % 9)) & 0xFF,
                          (y * 255 / std::max(1, h - 1) + int(rng() % 9)) & 0xFF,
                          int((x + y + rng() % 17) & 0xFF));
    }
    return s;
}

QString FirstDifference(const QImage& a0, const QImage& b0, int tolerance)
{
    if (a0.size() != b0.size())
        return QString("sizes differ: %1x%2 vs %3x%4").arg(a0.width()).arg(a0.height()).arg(b0.width()).arg(b0.height());
    const QImage a = a0.convertToFormat(QImage::Format_RGB32);
    const QImage b = b0.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < a.height(); ++y) {
        const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int d = std::max({std::abs(qRed(ra[x]) - qRed(rb[x])), std::abs(qGreen(ra[x]) - qGreen(rb[x])),
                                    std::abs(qBlue(ra[x]) - qBlue(rb[x]))});
            if (d > tolerance)
                return QString("pixel (%1,%2): %3 vs %4").arg(x).arg(y).arg(ra[x] & 0xFFFFFF, 6, 16, QChar('0')).arg(rb[x] & 0xFFFFFF, 6, 16, QChar('0'));
        }
    }
    return QString();
}

double MeanDifference(const QImage& a0, const QImage& b0, int* maxDiff)
{
    const QImage a = a0.convertToFormat(QImage::Format_RGB32);
    const QImage b = b0.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            for (int d : {std::abs(qRed(ra[x]) - qRed(rb[x])), std::abs(qGreen(ra[x]) - qGreen(rb[x])),
                          std::abs(qBlue(ra[x]) - qBlue(rb[x]))}) {
                sum += d;
                worst = std::max(worst, d);
            }
    }
    if (maxDiff)
        *maxDiff = worst;
    return sum / (3.0 * std::max<qint64>(1, qint64(a.width()) * a.height()));
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QString PhotoPath(const QString& relative) { return QStringLiteral(PIXMEND_PHOTOS "/") + relative; }
QString DataPath(const QString& name) { return QStringLiteral(PIXMEND_TEST_DATA "/") + name; }

bool UnnamedFilesSupported(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return ::access("/proc/self/fd", X_OK) == 0;
}

} // namespace testsupport
