#include "StringRoutines.h"

#include <algorithm>

namespace basFunc {

QString CutAtNull(const QString& s)
{
    const qsizetype p = s.indexOf(QChar(0));
    return p < 0 ? s : s.left(p);
}

QString TrimBlanks(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.mid(b, e - b);
}

std::optional<int64_t> IntegerValue(const QString& text, int64_t lo, int64_t hi)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
        negative = t[i++] == QLatin1Char('-');
    // Whole part, accumulated with a cap so that a long text cannot overflow.
    const int64_t cap = int64_t(1) << 40;
    int64_t whole = 0;
    int digits = 0;
    for (; i < t.size() && t[i].isDigit() && t[i].unicode() < 128; ++i, ++digits)
        whole = std::min(cap, whole * 10 + (t[i].unicode() - '0'));
    // Fraction: only whether it is below, at or above one half matters.
    int half = -1; // -1 below, 0 exactly half, 1 above
    int fracDigits = 0;
    if (i < t.size() && t[i] == QLatin1Char('.')) {
        ++i;
        bool first = true;
        for (; i < t.size() && t[i].isDigit() && t[i].unicode() < 128; ++i, ++fracDigits) {
            const int d = t[i].unicode() - '0';
            if (first) {
                half = d > 5 ? 1 : (d == 5 ? 0 : -1);
                first = false;
            } else if (half == 0 && d != 0) {
                half = 1;
            }
        }
    }
    if (i != t.size() || digits + fracDigits == 0)
        return std::nullopt;
    int64_t value = whole;
    if (half == 1 || (half == 0 && (whole & 1)))
        ++value;
    if (negative)
        value = -value;
    if (value < lo || value > hi)
        return std::nullopt;
    return value;
}

QString LastFourUpper(const QString& s) { return s.right(4).toUpper(); }

bool IsJpegName(const QString& name)
{
    return LastFourUpper(name) == QLatin1String(".JPG") || name.right(5).toUpper() == QLatin1String(".JPEG");
}

bool IsAcceptedPictureName(const QString& name)
{
    const QString ext = LastFourUpper(name);
    return ext == QLatin1String(".BMP") || IsJpegName(name)
        || ext == QLatin1String(".ICO") || ext == QLatin1String(".PNG")
        || ext == QLatin1String(".GIF");
}

} // namespace basFunc
