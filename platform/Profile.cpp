#include "Profile.h"

#include "AtomicFile.h"
#include "FileRead.h"

#include <QList>

#include <cerrno>
#include <sys/stat.h>

namespace platform {
namespace {

struct Line {
    QByteArray text; // without its line ending
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

QByteArray TrimBlanks(const QByteArray& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

QList<QByteArray> SplitLines(const QByteArray& content)
{
    QByteArray body = content;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    QList<QByteArray> lines = body.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the file ended with a line break
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    return lines;
}

// The section named by a header line, or nullopt when the line is no header.
std::optional<QByteArray> SectionOf(const QByteArray& line)
{
    const QByteArray t = TrimBlanks(line);
    if (!t.startsWith('['))
        return std::nullopt;
    qsizetype close = t.indexOf(']');
    return TrimBlanks(t.mid(1, close < 0 ? -1 : close - 1));
}

// The key of an entry line, or nullopt when the line holds no equals sign.
std::optional<QByteArray> KeyOf(const QByteArray& line)
{
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return std::nullopt;
    return TrimBlanks(line.left(eq));
}

bool SameName(const QByteArray& a, const QString& b)
{
    return QString::fromUtf8(a).compare(b, Qt::CaseInsensitive) == 0;
}

// Line breaks inside a value would end the entry and could start a section
// of their own: a value is one line, so they are dropped. Values are kept as
// bytes: a file name that is no valid UTF-8 must come back as it was.
QByteArray OneLine(const QString& s)
{
    QByteArray b = EncodeFileName(s);
    b.replace('\r', "").replace('\n', "");
    return b;
}

} // namespace

std::optional<QString> ProfileLookup(const QByteArray& content, const QString& section,
                                     const QString& key)
{
    bool inSection = false;
    for (const QByteArray& line : SplitLines(content)) {
        if (auto name = SectionOf(line)) {
            inSection = SameName(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        auto k = KeyOf(line);
        if (k && SameName(*k, key))
            return DecodeFileName(TrimBlanks(line.mid(line.indexOf('=') + 1)));
    }
    return std::nullopt;
}

QByteArray ProfileUpdate(const QByteArray& content, const QString& section, const QString& key,
                         const QString& value)
{
    const QByteArray eol = content.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
    QList<QByteArray> lines = SplitLines(content);
    const QByteArray entryValue = OneLine(value);

    qsizetype start = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        auto name = SectionOf(lines[i]);
        if (name && SameName(*name, section)) {
            start = i;
            break;
        }
    }
    if (start < 0) {
        lines.append("[" + OneLine(section) + "]");
        lines.append(OneLine(key) + "=" + entryValue);
    } else {
        qsizetype end = start + 1;
        while (end < lines.size() && !SectionOf(lines[end]))
            ++end;
        qsizetype found = -1;
        qsizetype lastEntry = start;
        for (qsizetype i = start + 1; i < end; ++i) {
            if (!TrimBlanks(lines[i]).isEmpty())
                lastEntry = i;
            auto k = KeyOf(lines[i]);
            if (found < 0 && k && SameName(*k, key))
                found = i;
        }
        if (found >= 0)
            lines[found] = *KeyOf(lines[found]) + "=" + entryValue; // the file's own spelling of the key
        else
            lines.insert(lastEntry + 1, OneLine(key) + "=" + entryValue);
    }
    QByteArray out;
    for (const QByteArray& l : lines)
        out += l + eol;
    return out;
}

QString GetProfileString(const QString& section, const QString& key, const QString& def,
                         const QString& file)
{
    QByteArray content;
    if (ReadRegularFile(file, content, kMaxProfileBytes) != ReadStatus::Ok)
        return def;
    const auto v = ProfileLookup(content, section, key);
    return v ? *v : def;
}

bool WriteProfileString(const QString& section, const QString& key, const QString& value,
                        const QString& file, int* err)
{
    auto fail = [err](int e) {
        if (err)
            *err = e;
        return false;
    };
    QByteArray content;
    struct stat st;
    if (::stat(EncodeFileName(file).constData(), &st) == 0) {
        int readErr = 0;
        if (ReadRegularFile(file, content, kMaxProfileBytes, &readErr) != ReadStatus::Ok)
            return fail(readErr);
    } else if (errno != ENOENT) {
        return fail(errno);
    }
    const QByteArray updated = ProfileUpdate(content, section, key, value);
    if (updated == content)
        return true;
    // Not QSaveFile: it reports success after a write cut short by the
    // file-size limit, leaving a truncated file in place of the old one.
    AtomicFile out(file);
    if (!out.Open())
        return fail(out.Errno());
    const size_t n = static_cast<size_t>(updated.size());
    if (std::fwrite(updated.constData(), 1, n, out.Stream()) != n)
        return fail(errno ? errno : EIO);
    if (!out.Commit())
        return fail(out.Errno());
    return true;
}

} // namespace platform
