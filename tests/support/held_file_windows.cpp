#include "support/held_file.h"

#include <QDir>

#include <windows.h>

HeldFile::HeldFile(const QString &path)
    : path(path)
{
    const QString native = QDir::toNativeSeparators(path);
    // Reading and writing shared, deleting (and so renaming over) not.
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failure = QStringLiteral("cannot open %1: %2")
                          .arg(native, qt_error_string(int(GetLastError())));
        return;
    }
    handle = file;
    held = true;
}

HeldFile::~HeldFile()
{
    release();
}

void HeldFile::release()
{
    if (held)
        CloseHandle(static_cast<HANDLE>(handle));
    held = false;
}
