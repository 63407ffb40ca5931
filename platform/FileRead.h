#pragma once
// Reading a whole file safely, and file names as the file system's bytes.
#include <QByteArray>
#include <QString>

namespace platform {

// File names are bytes. Valid UTF-8 decodes as usual; each byte that is not
// part of valid UTF-8 (always 0x80..0xFF) becomes the lone surrogate
// U+DC00 + byte, which no valid name can contain, so EncodeFileName gives
// the same bytes back.
QString DecodeFileName(const QByteArray& bytes);
QByteArray EncodeFileName(const QString& name);

enum class ReadStatus {
    Ok,
    NotFound,
    NotRegularFile, // a folder, FIFO, socket or device
    NoPermission,
    TooLarge,       // beyond maxBytes
    Failed,         // an I/O error (errno set)
    Changed,        // the file shrank or grew while it was read
};

// What identifies one version of a file: a save checks that its source is
// still the file it read. A file put in its place (a new inode) or written
// over (a new ctime, which no one can set back) is another, whatever its
// size and modification time say; where both hashes of the bytes are known
// (0: not), they must agree too.
struct FileStamp {
    qint64 size = -1;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;
    quint64 device = 0, inode = 0;
    size_t hash = 0;
    friend bool operator==(const FileStamp& a, const FileStamp& b)
    {
        return a.size == b.size && a.mtimeNs == b.mtimeNs && a.ctimeNs == b.ctimeNs && a.device == b.device
            && a.inode == b.inode && (a.hash == 0 || b.hash == 0 || a.hash == b.hash);
    }
};
// The stamp of the file at path as it is now, without its hash; size -1
// when there is none.
FileStamp StampOf(const QString& path);

// Reads the whole regular file at path into out with checked reads. The
// file is opened without blocking (a FIFO never stalls us) and anything that
// is not a regular file is refused. maxBytes < 0: no limit. err receives the
// errno of a failure; stamp the file's size and modification time.
ReadStatus ReadRegularFile(const QString& path, QByteArray& out, qint64 maxBytes = -1, int* err = nullptr,
                           FileStamp* stamp = nullptr);

// The Japanese reason for a failed read, for messages.
QString ReadStatusReason(ReadStatus status);

} // namespace platform
