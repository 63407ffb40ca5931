#pragma once
// A file that replaces its target only when it is complete: the bytes go to
// a temporary file in the target's folder, which is renamed over the target
// by Commit. Anything else (an error, an early return, an exception) removes
// the temporary file and leaves the old target untouched.
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
    // Flushes, syncs and renames over the target; false (and Errno set) on failure.
    bool Commit();
    // The errno of the first failure.
    int Errno() const { return errno_; }

private:
    void Discard();

    QString target_;
    QByteArray tempPath_;
    FILE* stream_ = nullptr;
    int errno_ = 0;
};

} // namespace platform
