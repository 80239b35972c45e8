#include "sync/fs/file_system.h"

#include "sync/fs/portable/portable_file_system.h"
#ifdef Q_OS_UNIX
#    include "sync/fs/posix/posix_file_system.h"
#endif

#include <QDir>

std::unique_ptr<FileSystem> makeFileSystem()
{
#ifdef Q_OS_UNIX
    return std::make_unique<PosixFileSystem>();
#else
    return makePortableFileSystem();
#endif
}

std::unique_ptr<FileSystem> makePortableFileSystem()
{
    return std::make_unique<PortableFileSystem>();
}

QString directoryPrefix(const QString &path)
{
    QString prefix = QDir::toNativeSeparators(path);
    if (!prefix.endsWith(QDir::separator()))
        prefix += QDir::separator();
    return prefix;
}
