#include "AtomicFile.h"

#include "FileRead.h"

#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
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

// Named temporary files alive in this process, for DiscardAll.
std::mutex& LiveMutex()
{
    static std::mutex m;
    return m;
}
std::set<QByteArray>& Live()
{
    static std::set<QByteArray> live;
    return live;
}
void Track(const QByteArray& path)
{
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().insert(path);
}
void Untrack(const QByteArray& path)
{
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().erase(path);
}

// The file a path finally names, following symlinks, also when the last
// link dangles (then its target is created). The folders need not be
// resolved: renaming within the folder we are given is the same rename.
QByteArray ResolveLinks(QByteArray path)
{
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(path.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.constData(), buf, sizeof buf - 1);
        if (n <= 0)
            return path;
        QByteArray link(buf, qsizetype(n));
        if (!link.startsWith('/')) {
            const qsizetype slash = path.lastIndexOf('/');
            link = (slash < 0 ? QByteArray(".") : path.left(slash)) + "/" + link;
        }
        path = link;
    }
    return path;
}

QByteArray RandomSuffix()
{
    static thread_local std::mt19937 gen{std::random_device{}()};
    static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray s(6, 'x');
    for (char& c : s)
        c = chars[gen() % (sizeof chars - 1)];
    return s;
}

// The target's user extended attributes onto the new file (best effort).
void CopyUserXattrs(const char* from, int toFd)
{
    char names[4096];
    const ssize_t n = ::listxattr(from, names, sizeof names);
    for (ssize_t i = 0; i < n;) {
        const char* name = names + i;
        i += ssize_t(std::strlen(name)) + 1;
        if (std::strncmp(name, "user.", 5) != 0)
            continue;
        char value[4096];
        const ssize_t len = ::getxattr(from, name, value, sizeof value);
        if (len >= 0)
            ::fsetxattr(toFd, name, value, size_t(len), 0);
    }
}

} // namespace

AtomicFile::AtomicFile(const QString& target) : target_(ResolveLinks(EncodeFileName(target))) { NewFileMode(); }

AtomicFile::~AtomicFile() { Discard(); }

void AtomicFile::DiscardAll()
{
    std::lock_guard<std::mutex> lock(LiveMutex());
    for (const QByteArray& path : Live())
        ::unlink(path.constData());
    Live().clear();
}

bool AtomicFile::Open()
{
    const qsizetype slash = target_.lastIndexOf('/');
    dir_ = slash < 0 ? QByteArray(".") : (slash == 0 ? QByteArray("/") : target_.left(slash));
    const QByteArray name = slash < 0 ? target_ : target_.mid(slash + 1);
    if (name.isEmpty()) {
        errno_ = ENOENT;
        return false;
    }
    struct stat st;
    const bool exists = ::stat(target_.constData(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            errno_ = EISDIR;
            return false;
        }
        // A file without any write bit is meant to stay as it is, also when
        // root, who may write anything, saves over it.
        if ((st.st_mode & 0222) == 0 || ::access(target_.constData(), W_OK) != 0) {
            errno_ = EACCES;
            return false;
        }
    }
    const mode_t mode = exists ? (st.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID)) : NewFileMode();

    // An unnamed file first: it can only be given a name through /proc.
    fd_ = -1;
#ifdef O_TMPFILE
    // PIXMEND_NAMED_TEMPORARIES stands for a file system without unnamed
    // files, so that the named way can be tried where they exist.
    static const bool namedOnly = qEnvironmentVariableIsSet("PIXMEND_NAMED_TEMPORARIES");
    if (!namedOnly && ::access("/proc/self/fd", X_OK) == 0)
        fd_ = ::open(dir_.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
#endif
    if (fd_ < 0) {
        // Keep the temporary name within NAME_MAX: a long target name must
        // fail on the target, not on our temporary.
        tempPath_ = dir_ + "/." + name.left(200) + ".XXXXXX";
        fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            errno_ = errno;
            tempPath_.clear();
            return false;
        }
        Track(tempPath_);
    }
    ::fchmod(fd_, mode);
    if (exists) {
        // Only root may give a file away; others keep what they can.
        if (::fchown(fd_, st.st_uid, st.st_gid) != 0)
            (void)!::fchown(fd_, uid_t(-1), st.st_gid);
        ::fchmod(fd_, mode); // chown clears setuid/setgid, not the rest
        CopyUserXattrs(target_.constData(), fd_);
    }
    stream_ = ::fdopen(fd_, "wb");
    if (!stream_) {
        errno_ = errno;
        ::close(fd_);
        fd_ = -1;
        Discard();
        return false;
    }
    return true;
}

bool AtomicFile::LinkAnonymous()
{
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd_);
    const qsizetype slash = target_.lastIndexOf('/');
    const QByteArray name = (slash < 0 ? target_ : target_.mid(slash + 1)).left(200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray candidate = dir_ + "/." + name + "." + RandomSuffix();
        Track(candidate);
        if (::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, candidate.constData(), AT_SYMLINK_FOLLOW) == 0) {
            tempPath_ = candidate;
            return true;
        }
        const int e = errno;
        Untrack(candidate);
        if (e != EEXIST) {
            errno_ = e;
            return false;
        }
    }
    errno_ = EEXIST;
    return false;
}

bool AtomicFile::Commit()
{
    if (!stream_)
        return false;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    if (!ok && errno_ == 0)
        errno_ = errno ? errno : EIO;
    if (ok && ::fsync(fd_) != 0) {
        ok = false;
        errno_ = errno;
    }
    // The name comes only once the data is safe on disk.
    if (ok && tempPath_.isEmpty() && !LinkAnonymous())
        ok = false;
    const int closed = std::fclose(stream_);
    stream_ = nullptr;
    fd_ = -1;
    if (ok && closed != 0) {
        ok = false;
        errno_ = errno;
    }
    if (ok && ::rename(tempPath_.constData(), target_.constData()) != 0) {
        ok = false;
        errno_ = errno;
    }
    if (!ok) {
        Discard();
        return false;
    }
    Untrack(tempPath_);
    tempPath_.clear();
    // The new name itself must survive a power cut.
    const int dirFd = ::open(dir_.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void AtomicFile::Discard()
{
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
        fd_ = -1;
    }
    if (!tempPath_.isEmpty()) {
        ::unlink(tempPath_.constData());
        Untrack(tempPath_);
        tempPath_.clear();
    }
}

} // namespace platform
