#include "TestSupport.h"

#include <QFile>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

ScriptedDialogs::ScriptedDialogs() { platform::SetDialogHost(this); }
ScriptedDialogs::~ScriptedDialogs() { platform::SetDialogHost(nullptr); }

platform::FileDialogResult ScriptedDialogs::FileDialog(const platform::FileDialogRequest& request)
{
    fileRequests << request;
    if (fileAnswers.isEmpty()) {
        // A dialog the test did not expect is a failure, not a quiet cancel.
        QTest::qFail(qPrintable("unscripted file dialog: " + request.title), __FILE__, __LINE__);
        return {};
    }
    return fileAnswers.takeFirst();
}

int ScriptedDialogs::MessageBox(QWidget*, const QString& text, const QString& title, int style)
{
    messages << Message{text, title, style};
    if (beforeAnswer)
        beforeAnswer();
    if (messageAnswers.isEmpty())
        return platform::IDOK;
    return messageAnswers.takeFirst();
}

int ScriptedDialogs::ShowModal(QDialog& dialog)
{
    if (!modal) {
        QTest::qFail("unscripted modal dialog", __FILE__, __LINE__);
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

namespace {

// Calls visit(x, y, pixel of a, pixel of b) for every pixel until it returns false.
template <typename Visit>
void ForEachPixelPair(const QImage& a0, const QImage& b0, Visit visit)
{
    const QImage a = a0.convertToFormat(QImage::Format_RGB32), b = b0.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < a.height(); ++y) {
        const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            if (!visit(x, y, ra[x], rb[x]))
                return;
    }
}

int Channel(QRgb p, int k) { return int(p >> (8 * k) & 255); }

} // namespace

QString FirstDifference(const QImage& a, const QImage& b, int tolerance)
{
    if (a.size() != b.size())
        return QString("sizes differ: %1x%2 vs %3x%4").arg(a.width()).arg(a.height()).arg(b.width()).arg(b.height());
    QString found;
    ForEachPixelPair(a, b, [&](int x, int y, QRgb p, QRgb q) {
        for (int k = 0; k < 3; ++k)
            if (std::abs(Channel(p, k) - Channel(q, k)) > tolerance) {
                found = QString("pixel (%1,%2): %3 vs %4").arg(x).arg(y).arg(p & 0xFFFFFF, 6, 16, QChar('0')).arg(q & 0xFFFFFF, 6, 16, QChar('0'));
                return false;
            }
        return true;
    });
    return found;
}

double MeanDifference(const QImage& a, const QImage& b, int* maxDiff)
{
    double sum = 0;
    int worst = 0;
    ForEachPixelPair(a, b, [&](int, int, QRgb p, QRgb q) {
        for (int k = 0; k < 3; ++k) {
            sum += std::abs(Channel(p, k) - Channel(q, k));
            worst = std::max(worst, std::abs(Channel(p, k) - Channel(q, k)));
        }
        return true;
    });
    if (maxDiff)
        *maxDiff = worst;
    return sum / (3.0 * std::max<qint64>(1, qint64(a.width()) * a.height()));
}

QByteArray Segment(int marker, const QByteArray& payload)
{
    const int n = int(payload.size()) + 2;
    return QByteArray(1, char(0xFF)) + char(marker) + char(n >> 8) + char(n & 255) + payload;
}

QByteArray MakeExif(int orientation, bool thumbnail)
{
    QByteArray t("II*\0\x08\0\0\0", 8);
    auto u16 = [&](int v) { t += char(v & 255); t += char(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(int(v & 0xFFFF)); u16(int(v >> 16)); };
    auto entry = [&](int tag, int type, uint32_t count, uint32_t value) { u16(tag); u16(type); u32(count); u32(value); };
    u16(2);
    entry(0x010F, 2, 4, 0x006D6143); // "Cam"
    entry(0x0112, 3, 1, uint32_t(orientation));
    u32(thumbnail ? 38 : 0);
    if (thumbnail) { // IFD1 at 38, the thumbnail's bytes at 68
        u16(2);
        entry(0x0201, 4, 1, 68);
        entry(0x0202, 4, 1, 6);
        u32(0);
        t += QByteArray("\xFF\xD8\x01\x02\xFF\xD9", 6);
    }
    return t;
}

int ExitCodeOfChild(const std::function<int()>& body, unsigned long fileSizeLimit, bool asNobody)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &lim);
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
