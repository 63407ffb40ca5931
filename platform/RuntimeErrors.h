#pragma once
// The run-time error numbers the program reports, with their Japanese texts.
#include <QString>

namespace platform {

enum RuntimeErrorNumber : int {
    kErrTypeMismatch = 13,
    kErrBadFileName = 52,
    kErrFileNotFound = 53,
    kErrDiskFull = 61,
    kErrPermissionDenied = 70,
    kErrPathFileAccess = 75,
    kErrPathNotFound = 76,
    kErrDeviceIO = 57,
};

// The run-time error for a failed system call's errno.
int RuntimeErrorFromErrno(int err);
// The run-time's message text for an error number.
QString RuntimeErrorText(int number);
// A short Japanese reason for a failed system call (for the save error box).
QString SystemErrorReason(int err);

} // namespace platform
