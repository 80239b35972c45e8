#include "tree_platform.h"

#include <QDir>

#include <windows.h>

bool setModifiedTimeUs(const QString &path, qint64 us)
{
    // Backup semantics open a directory as well as a file.
    const HANDLE handle = CreateFileW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
            FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // 100 ns steps since 1601.
    const quint64 ticks = quint64(us + 11644473600000000LL) * 10;
    FILETIME time;
    time.dwLowDateTime = DWORD(ticks);
    time.dwHighDateTime = DWORD(ticks >> 32);
    const bool set = SetFileTime(handle, nullptr, nullptr, &time);
    CloseHandle(handle);
    return set;
}

qint64 statusChangedUs(const QString &path)
{
    const HANDLE handle = CreateFileW(
            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
            FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    FILE_BASIC_INFO basic;
    const bool read = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(handle);
    return read ? basic.ChangeTime.QuadPart / 10 - 11644473600000000LL : 0;
}
