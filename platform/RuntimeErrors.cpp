#include "RuntimeErrors.h"

#include <cerrno>
#include <cstring>

namespace platform {

int RuntimeErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR:
    case ELOOP: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY: return kErrPermissionDenied;
    case ENAMETOOLONG: return kErrBadFileName;
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return kErrDiskFull;
    case EIO: return kErrDeviceIO;
    default: return kErrPathFileAccess;
    }
}

QString RuntimeErrorText(int number)
{
    switch (number) {
    case kErrTypeMismatch: return QStringLiteral("型が一致しません。");
    case kErrBadFileName: return QStringLiteral("ファイル名または番号が不正です。");
    case kErrFileNotFound: return QStringLiteral("ファイルが見つかりません。");
    case kErrDeviceIO: return QStringLiteral("デバイス I/O エラーです。");
    case kErrDiskFull: return QStringLiteral("ディスクの空き容量が不足しています。");
    case kErrPermissionDenied: return QStringLiteral("書き込みできません。");
    case kErrPathFileAccess: return QStringLiteral("パス名が無効です。");
    case kErrPathNotFound: return QStringLiteral("パスが見つかりません。");
    default: return QStringLiteral("アプリケーション定義またはオブジェクト定義のエラーです。");
    }
}

QString SystemErrorReason(int err)
{
    if (err == 0)
        return QStringLiteral("書き込み中にエラーが発生しました。");
    QString text;
    switch (err) {
    case ENOSPC:
    case EDQUOT: text = QStringLiteral("ディスクの空き容量が不足しています。"); break;
    case EFBIG: text = QStringLiteral("ファイルが大きすぎます。"); break;
    case EACCES:
    case EPERM:
    case EROFS: text = QStringLiteral("書き込みが許可されていません。"); break;
    case ENOENT:
    case ENOTDIR: text = QStringLiteral("フォルダーが見つかりません。"); break;
    case ENAMETOOLONG: text = QStringLiteral("ファイル名が長すぎます。"); break;
    case EISDIR: text = QStringLiteral("同じ名前のフォルダーがあります。"); break;
    case EIO: text = QStringLiteral("デバイス I/O エラーです。"); break;
    default: text = QStringLiteral("書き込みに失敗しました。"); break;
    }
    return text + QStringLiteral(" (") + QString::fromLocal8Bit(std::strerror(err)) + QStringLiteral(")");
}

} // namespace platform
