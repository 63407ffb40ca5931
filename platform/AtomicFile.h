#pragma once
// A file that replaces its target only when it is complete: the bytes go to
// a temporary file in the target's folder, which is renamed over the target
// by Commit. Anything else (an error, an early return, an exception) removes
// the temporary file and leaves the old target untouched.
//
// Where the file system allows, the temporary file has no name until Commit
// (O_TMPFILE), so not even a crash leaves one behind. A symlinked target
// keeps its link: the file it points to is replaced. The replacement keeps
// the old file's mode (less setuid/setgid), owner, group and user extended
// attributes; a target that may not be written is refused, as it would be
// for an ordinary writer.
#include <QString>

#include <cstdio>

namespace platform {

class AtomicFile {
public:
    explicit AtomicFile(const QString& target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file; false (and Errno set) when it cannot.
    bool Open();
    FILE* Stream() const { return stream_; }
    // Flushes, syncs, renames over the target and syncs the folder; false
    // (and Errno set) on failure.
    bool Commit();
    // The errno of the first failure.
    int Errno() const { return errno_; }

    // Removes every named temporary file still open in this process: for a
    // program that is about to exit on a signal. Safe from any thread.
    static void DiscardAll();

private:
    void Discard();
    bool LinkAnonymous();

    QByteArray target_;  // with symlinks resolved
    QByteArray dir_;
    QByteArray tempPath_; // empty while the temporary file has no name
    FILE* stream_ = nullptr;
    int fd_ = -1;
    int errno_ = 0;
};

} // namespace platform
