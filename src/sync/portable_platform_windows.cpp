#include "sync/portable_platform.h"

#include <QDir>
#include <QFile>

#include <io.h>
#include <windows.h>

namespace {

const wchar_t *native(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

// Access is denied both to a file someone holds open and to one this user
// may not delete; only the first refuses a handle that shares everything.
bool heldOpenByAnother(const QString &path)
{
    const HANDLE handle = CreateFileW(native(path), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

} // namespace

bool flushToDisk(QFile &file)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    return file.flush() && handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

RenameResult renameOver(const QString &from, const QString &to, QString *error)
{
    const QString source = QDir::toNativeSeparators(from);
    const QString target = QDir::toNativeSeparators(to);
    if (MoveFileExW(native(source), native(target),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return RenameResult::Renamed;
    const DWORD failure = GetLastError();
    if (failure == ERROR_SHARING_VIOLATION || failure == ERROR_LOCK_VIOLATION
        || (failure == ERROR_ACCESS_DENIED && heldOpenByAnother(target)))
        return RenameResult::TargetInUse;
    *error = qt_error_string(int(failure));
    return RenameResult::Failed;
}
