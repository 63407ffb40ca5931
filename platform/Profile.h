#pragma once
// Our own INI profile functions. They keep every line they do not change
// (unknown sections and keys, comments, their order), match section and key
// names without regard to case, and replace a file only as a whole, through a
// temporary file renamed over it.
#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {

// A settings file larger than this is not ours: it is neither read nor
// rewritten.
inline constexpr qint64 kMaxProfileBytes = 1 << 20;

// The value of key in section (blanks around it dropped), or def when the
// file, the section or the key is missing. A key present with nothing after
// its equals sign gives the empty text, not def. Values are read whole.
QString GetProfileString(const QString& section, const QString& key, const QString& def,
                         const QString& file);

// Sets key in section to value: creates the file when missing, appends a
// missing section at the end of the file and a missing key after the last
// entry of its section, keeps every other line. False (err set to the
// errno) when the file could not be read or replaced; the old file is then
// left as it was.
bool WriteProfileString(const QString& section, const QString& key, const QString& value,
                        const QString& file, int* err = nullptr);

// The lookup behind GetProfileString, on the file's bytes (UTF-8, LF or
// CRLF; bytes that are no UTF-8 come back as DecodeFileName gives them).
std::optional<QString> ProfileLookup(const QByteArray& content, const QString& section,
                                     const QString& key);

// The edit behind WriteProfileString, on the file's bytes.
QByteArray ProfileUpdate(const QByteArray& content, const QString& section, const QString& key,
                         const QString& value);

} // namespace platform
