#include "clsDialog.h"

#include "Dialogs.h"
#include "RuntimeErrors.h"
#include "StringRoutines.h"

#include <QFileInfo>
#include <QStringList>

#include <limits>

namespace {

// "desc\0pattern\0desc\0pattern\0" as Qt's "desc (pattern pattern)" list.
QStringList QtFilters(const QString& pattern)
{
    QStringList parts = pattern.split(QChar(0));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() && parts[i + 1].isEmpty())
            break;
        QString globs = parts[i + 1];
        globs.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(parts[i], globs);
    }
    return filters;
}

} // namespace

int32_t clsDialog::Flags() const
{
    const auto v = basFunc::IntegerValue(SelectFlags, std::numeric_limits<int32_t>::min(),
                                         std::numeric_limits<int32_t>::max());
    if (!v)
        throw DialogError(platform::kErrTypeMismatch, "SelectFlags holds no number");
    return static_cast<int32_t>(*v);
}

platform::FileDialogRequest clsDialog::Request(int kind, QWidget* hwnd) const
{
    platform::FileDialogRequest request;
    request.kind = static_cast<platform::FileDialogRequest::Kind>(kind);
    request.owner = hwnd;
    request.title = SelectTitle;
    request.filters = QtFilters(FilterPattern);
    request.folder = DefaultFolder.isEmpty() ? LastFolder : DefaultFolder;
    request.flags = Flags();
    return request;
}

void clsDialog::RememberFolderOf(const QString& path)
{
    if (!path.isEmpty())
        LastFolder = QFileInfo(path).absolutePath();
}

QString clsDialog::OpenFile(QWidget* hwnd)
{
    const QString path = platform::Dialogs().FileDialog(Request(platform::FileDialogRequest::Open, hwnd)).path;
    RememberFolderOf(path);
    return path;
}

QString clsDialog::SaveFile(QWidget* hwnd)
{
    const platform::FileDialogResult result =
        platform::Dialogs().FileDialog(Request(platform::FileDialogRequest::Save, hwnd));
    if (result.path.isEmpty()) {
        FilterIndex = 0;
        return QString();
    }
    FilterIndex = result.filterIndex;
    RememberFolderOf(result.path);
    return basFunc::CutAtNull(result.path);
}
