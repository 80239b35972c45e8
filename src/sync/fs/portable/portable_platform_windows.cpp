#include "sync/fs/portable/portable_platform.h"

#include <QDir>
#include <QFile>

#include <io.h>
#include <windows.h>

namespace {

// Keeps the native form alive for as long as the call that uses it.
struct NativePath
{
    explicit NativePath(const QString &path)
        : text(QDir::toNativeSeparators(path))
    { }
    const wchar_t *get() const { return reinterpret_cast<const wchar_t *>(text.utf16()); }
    QString text;
};

FsError windowsError(FsFault fault, DWORD code)
{
    return FsError {fault, int(code), qt_error_string(int(code))};
}

// 100 ns steps since 1601 to microseconds since 1970.
qint64 toUs(qint64 fileTime)
{
    return fileTime / 10 - 11644473600000000LL;
}

qint64 toUs(const FILETIME &time)
{
    return toUs(qint64((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime));
}

bool isMissing(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool refusesName(DWORD code)
{
    return code == ERROR_INVALID_NAME || code == ERROR_FILENAME_EXCED_RANGE;
}

// Symbolic links and junctions; other reparse points (cloud placeholders,
// deduplicated files) are files like any other.
bool isLinkTag(DWORD tag)
{
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Access is denied both to a file someone holds open and to one this user
// may not delete; only the first refuses a handle that shares everything.
bool heldOpenByAnother(const NativePath &path)
{
    const HANDLE handle = CreateFileW(path.get(), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

} // namespace

EntryStatus statusOfPath(const QString &path, bool followLinks)
{
    EntryStatus status;
    const NativePath native(path);
    // Backup semantics open directories too; without following, the link itself.
    const HANDLE handle = CreateFileW(
            native.get(), FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (!isMissing(code)) {
            status.type = EntryType::Unknown;
            status.error = windowsError(FsFault::System, code);
        }
        return status;
    }
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    FILE_ATTRIBUTE_TAG_INFO tag;
    const bool read
            = GetFileInformationByHandle(handle, &info)
              && GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
              && GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag);
    const DWORD code = GetLastError();
    CloseHandle(handle);
    if (!read) {
        status.type = EntryType::Unknown;
        status.error = windowsError(FsFault::System, code);
        return status;
    }
    const DWORD attributes = info.dwFileAttributes;
    if (!followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && isLinkTag(tag.ReparseTag))
        status.type = EntryType::Link;
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        status.type = EntryType::Directory;
    else
        status.type = EntryType::File;
    status.modifiedUs = toUs(info.ftLastWriteTime);
    // NTFS's change time moves with every write, rename and move, as ctime does.
    status.statusChangedUs
            = basic.ChangeTime.QuadPart != 0 ? toUs(basic.ChangeTime.QuadPart) : status.modifiedUs;
    status.size = (qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.fileId = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return status;
}

FsError directoryOpenError(const QString &path)
{
    const HANDLE handle = CreateFileW(NativePath(path).get(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return windowsError(FsFault::System, GetLastError());
    CloseHandle(handle);
    return {};
}

FsError notDirectoryError()
{
    return windowsError(FsFault::System, ERROR_DIRECTORY);
}

FsError makeDirectory(const QString &path)
{
    if (CreateDirectoryW(NativePath(path).get(), nullptr))
        return {};
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS)
        return {};
    return windowsError(refusesName(code) ? FsFault::NameRefused : FsFault::System, code);
}

FsError makeDirectoryPath(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    // The steps up to it (a drive or a share's root among them cannot be
    // made): what stops them shows in the last one's reason.
    for (int slash = clean.indexOf(QLatin1Char('/')); slash >= 0;
         slash = clean.indexOf(QLatin1Char('/'), slash + 1))
        CreateDirectoryW(NativePath(clean.left(slash)).get(), nullptr);
    return makeDirectory(clean);
}

FsError setModifiedTime(QFile &file, qint64 modifiedUs)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    const quint64 ticks = quint64((modifiedUs + 11644473600000000LL) * 10);
    FILETIME time;
    time.dwLowDateTime = DWORD(ticks);
    time.dwHighDateTime = DWORD(ticks >> 32);
    if (file.flush() && handle != INVALID_HANDLE_VALUE
        && SetFileTime(handle, nullptr, nullptr, &time))
        return {};
    return windowsError(FsFault::SetTime, GetLastError());
}

bool identitiesLast(const QString &path)
{
    const HANDLE handle = CreateFileW(NativePath(path).get(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    wchar_t name[MAX_PATH + 1] = {};
    const bool read = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr,
                                                    name, MAX_PATH + 1);
    CloseHandle(handle);
    const QString system = QString::fromWCharArray(name);
    return read && (system == QLatin1String("NTFS") || system == QLatin1String("ReFS"));
}

// Windows stamps files from a clock that advances in steps of about 16 ms.
qint64 fileClockTickUs()
{
    DWORD adjustment = 0;
    DWORD increment = 0;
    BOOL disabled = TRUE;
    if (GetSystemTimeAdjustment(&adjustment, &increment, &disabled) && increment > 0)
        return qint64(increment) / 10;
    return 15625;
}

bool flushToDisk(QFile &file)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    return file.flush() && handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

FsError renameToNew(const QString &from, const QString &to)
{
    if (MoveFileExW(NativePath(from).get(), NativePath(to).get(), MOVEFILE_WRITE_THROUGH))
        return {};
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
        return FsError {FsFault::TargetAppeared, 0, QString()};
    return windowsError(refusesName(code) ? FsFault::NameRefused : FsFault::WriteTarget, code);
}

RenameResult renameOver(const QString &from, const QString &to, FsError *error)
{
    const NativePath source(from);
    const NativePath target(to);
    if (MoveFileExW(source.get(), target.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return RenameResult::Renamed;
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
        || (code == ERROR_ACCESS_DENIED && heldOpenByAnother(target)))
        return RenameResult::TargetInUse;
    *error = windowsError(FsFault::WriteTarget, code);
    return RenameResult::Failed;
}
