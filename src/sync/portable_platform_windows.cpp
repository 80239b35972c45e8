#include "sync/portable_platform.h"

#include <QDir>
#include <QFile>

#include <io.h>
#include <windows.h>

bool flushToDisk(QFile &file)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    return file.flush() && handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

bool renameOver(const QString &from, const QString &to, QString *error)
{
    const auto native = [](const QString &path) {
        return reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16());
    };
    if (MoveFileExW(native(from), native(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = qt_error_string(int(GetLastError()));
    return false;
}
