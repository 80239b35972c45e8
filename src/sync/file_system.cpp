#include "sync/file_system.h"

#include "sync/file_system_portable.h"
#ifdef Q_OS_UNIX
#    include "sync/file_system_posix.h"
#endif

#include <QCryptographicHash>
#include <QDir>

namespace {

constexpr char temporaryPrefix[] = ".twinfold-";
constexpr char temporarySuffix[] = ".tmp";

} // namespace

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

// Also the placeholders FUSE drivers give a file removed while still open
// (".fuse_hidden…"): they vanish once it is closed, and were never the user's.
bool isTemporaryName(const DirectoryEntry &entry)
{
    return (entry.name.startsWith(QLatin1String(temporaryPrefix))
            && entry.name.endsWith(QLatin1String(temporarySuffix)))
           || entry.name.startsWith(QLatin1String(".fuse_hidden"));
}

// Short and fixed in length, so it fits wherever the name itself does, and the
// same for the same name, so that a leftover from an interrupted run is found
// and reused by the next one.
QByteArray temporaryNameFor(const QByteArray &name)
{
    const QByteArray digest = QCryptographicHash::hash(name, QCryptographicHash::Sha1);
    return temporaryPrefix + digest.left(4).toHex() + temporarySuffix;
}
