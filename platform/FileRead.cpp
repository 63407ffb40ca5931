#include "FileRead.h"

#include <QHash>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// The length of the valid UTF-8 sequence at p, or 0.
int ValidSequence(const uchar* p, qsizetype left)
{
    const uchar c = p[0];
    if (c < 0x80)
        return 1;
    int n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
    else return 0;
    if (left < n)
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0; // overlong, beyond Unicode, or an encoded surrogate
    return n;
}

} // namespace

QString DecodeFileName(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const int len = ValidSequence(p + i, n - i);
        if (len == 0) {
            out += QChar(char16_t(0xDC00 + p[i])); // p[i] >= 0x80: ASCII is always valid
            ++i;
            continue;
        }
        out += QString::fromUtf8(reinterpret_cast<const char*>(p + i), len);
        i += len;
    }
    return out;
}

QByteArray EncodeFileName(const QString& name)
{
    QByteArray out;
    out.reserve(name.size());
    const qsizetype n = name.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = name[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(name[i + 1].unicode())) {
            out += name.mid(i, 2).toUtf8();
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out += char(c - 0xDC00);
        } else {
            out += QString(QChar(c)).toUtf8();
        }
    }
    return out;
}

namespace {

FileStamp Stamp(const struct stat& st)
{
    FileStamp s;
    s.size = qint64(st.st_size);
    s.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.device = quint64(st.st_dev);
    s.inode = quint64(st.st_ino);
    return s;
}

} // namespace

ReadStatus ReadRegularFile(const QString& path, QByteArray& out, qint64 maxBytes, int* err, FileStamp* stamp)
{
    out.clear();
    if (stamp)
        *stamp = FileStamp{};
    auto fail = [err](ReadStatus s, int e) {
        if (err)
            *err = e;
        return s;
    };
    if (path.isEmpty())
        return fail(ReadStatus::NotFound, ENOENT);
    const QByteArray name = EncodeFileName(path);
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer forever.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            return fail(ReadStatus::NotFound, e);
        if (e == EACCES || e == EPERM)
            return fail(ReadStatus::NoPermission, e);
        if (e == ENXIO || e == EISDIR)
            return fail(ReadStatus::NotRegularFile, e); // a socket, or a folder
        return fail(ReadStatus::Failed, e);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return fail(ReadStatus::Failed, errno);
    if (!S_ISREG(st.st_mode))
        return fail(ReadStatus::NotRegularFile, EINVAL);
    if (maxBytes >= 0 && st.st_size > maxBytes)
        return fail(ReadStatus::TooLarge, EFBIG);
    if (st.st_size > (qint64(1) << 31) - 64)
        return fail(ReadStatus::TooLarge, EFBIG); // no picture file of ours is that large
    // The file is read, not mapped: a file that shrinks under a mapping kills
    // the reader with SIGBUS, while a read simply comes back short.
    out.resize(qsizetype(st.st_size));
    qsizetype got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd, out.data() + got, size_t(out.size() - got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int e = errno;
            out.clear();
            return fail(ReadStatus::Failed, e);
        }
        if (n == 0)
            break;
        got += n;
    }
    char extra;
    ssize_t more;
    do
        more = ::read(fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (got != out.size() || more > 0) {
        out.clear();
        return fail(ReadStatus::Changed, EIO);
    }
    if (stamp) {
        *stamp = Stamp(st);
        stamp->hash = qHash(out, 0) | 1; // never 0, which means unknown
    }
    return ReadStatus::Ok;
}

FileStamp StampOf(const QString& path)
{
    struct stat st;
    return ::stat(EncodeFileName(path).constData(), &st) == 0 ? Stamp(st) : FileStamp{};
}

QString ReadStatusReason(ReadStatus status)
{
    switch (status) {
    case ReadStatus::Ok: return QString();
    case ReadStatus::NotFound: return QStringLiteral("ファイルが見つかりません。");
    case ReadStatus::NotRegularFile: return QStringLiteral("通常のファイルではありません。");
    case ReadStatus::NoPermission: return QStringLiteral("読み取りが許可されていません。");
    case ReadStatus::TooLarge: return QStringLiteral("ファイルが大きすぎます。");
    case ReadStatus::Changed: return QStringLiteral("読み込み中にファイルが変更されました。");
    case ReadStatus::Failed: break;
    }
    return QStringLiteral("ファイルを読み込めませんでした。");
}

} // namespace platform
