#include "AtomicFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

mode_t NewFileMode()
{
    // The mode an ordinary new file would get. umask can only be read by
    // setting it, so do that once, before any worker thread exists.
    static const mode_t mode = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

} // namespace

AtomicFile::AtomicFile(const QString& target) : target_(target) { NewFileMode(); }

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Open()
{
    const QFileInfo info(target_);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    QByteArray name = QFile::encodeName(info.fileName());
    if (name.isEmpty()) {
        errno_ = ENOENT;
        return false;
    }
    // Keep the temporary name within NAME_MAX: a long target name must fail
    // on the target, not on our temporary.
    if (name.size() > 200)
        name.truncate(200);
    tempPath_ = dir + "/." + name + ".XXXXXX";
    const int fd = ::mkstemp(tempPath_.data());
    if (fd < 0) {
        errno_ = errno;
        tempPath_.clear();
        return false;
    }
    struct stat st;
    const mode_t mode = ::stat(QFile::encodeName(target_).constData(), &st) == 0
        ? (st.st_mode & 07777)
        : NewFileMode();
    ::fchmod(fd, mode);
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        errno_ = errno;
        ::close(fd);
        Discard();
        return false;
    }
    return true;
}

bool AtomicFile::Commit()
{
    if (!stream_)
        return false;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (!ok && errno_ == 0)
        errno_ = errno ? errno : EIO;
    if (ok && ::fsync(::fileno(stream_)) != 0) {
        ok = false;
        errno_ = errno;
    }
    const int closed = std::fclose(stream_);
    stream_ = nullptr;
    if (ok && closed != 0) {
        ok = false;
        errno_ = errno;
    }
    if (ok && ::rename(tempPath_.constData(), QFile::encodeName(target_).constData()) != 0) {
        ok = false;
        errno_ = errno;
    }
    if (ok)
        tempPath_.clear();
    else
        Discard();
    return ok;
}

void AtomicFile::Discard()
{
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!tempPath_.isEmpty()) {
        ::unlink(tempPath_.constData());
        tempPath_.clear();
    }
}

} // namespace platform
