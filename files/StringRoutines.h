#pragma once
// Small string routines shared by the dialogs, the settings and saving.
#include <QString>

#include <cstdint>
#include <optional>

namespace basFunc {

// The part of s before its first NUL character; all of s when it has none.
QString CutAtNull(const QString& s);

// Field n (counted from 1; n <= 1 gives field 1) of s split at separator.
// A field beyond the last, or an empty one, gives the empty string.

// s without the blanks (spaces) before and after it.
QString TrimBlanks(const QString& s);

// The integer value of a text: digits with an optional sign and an optional
// fraction, taken to the nearest integer with an exact half going to the
// even neighbour (2.5 gives 2, 3.5 gives 4), which must lie in lo..hi.
// nullopt for an empty text, one that is no number, or one out of range.
std::optional<int64_t> IntegerValue(const QString& text, int64_t lo, int64_t hi);

// True when the last four characters of name, upper-cased, are one of
// ".BMP", ".JPG", ".ICO", ".PNG", ".GIF", or it ends in ".JPEG".
bool IsAcceptedPictureName(const QString& name);

// True for names ending ".JPG" or ".JPEG", in any case.
bool IsJpegName(const QString& name);

// The last four characters of s (all of s when shorter), upper-cased.
QString LastFourUpper(const QString& s);

} // namespace basFunc
