#include "sync/fs/portable/portable_platform.h"

#include "sync/fs/posix/clock_probe.h"
#include "sync/fs/posix/stat_values.h"
#include "sync/fs/posix/system_errors.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

EntryStatus statusOfPath(const QString &path, bool followLinks)
{
    struct stat st;
    const QByteArray encoded = QFile::encodeName(path);
    if ((followLinks ? ::stat(encoded.constData(), &st) : ::lstat(encoded.constData(), &st)) != 0) {
        // A dangling link or a loop of links counts as absent.
        EntryStatus status;
        if (errno != ENOENT && errno != ELOOP) {
            status.type = EntryType::Unknown;
            status.error = systemError(FsFault::System, errno);
        }
        return status;
    }
    return statusOf(st);
}

FsError directoryOpenError(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError(FsFault::System, errno);
    ::close(fd);
    return {};
}

FsError notDirectoryError()
{
    return systemError(FsFault::System, ENOTDIR);
}

FsError makeDirectory(const QString &path)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0 || errno == EEXIST)
        return {};
    const int code = errno;
    const bool nameRefused = code == EINVAL || code == EILSEQ || code == ENAMETOOLONG;
    return systemError(nameRefused ? FsFault::NameRefused : FsFault::System, code);
}

FsError makeDirectoryPath(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    for (int slash = clean.indexOf(QLatin1Char('/'), 1);;
         slash = clean.indexOf(QLatin1Char('/'), slash + 1)) {
        const QString step = slash < 0 ? clean : clean.left(slash);
        if (::mkdir(QFile::encodeName(step).constData(), 0777) != 0 && errno != EEXIST)
            return systemError(FsFault::System, errno);
        if (slash < 0)
            return {};
    }
}

FsError setModifiedTime(QFile &file, qint64 modifiedUs)
{
    const qint64 seconds = modifiedUs / 1000000 - (modifiedUs % 1000000 < 0 ? 1 : 0);
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = long(modifiedUs - seconds * 1000000) * 1000;
    if (::futimens(file.handle(), times) == 0)
        return {};
    return systemError(FsFault::SetTime, errno);
}

bool identitiesLast(const QString &path)
{
    constexpr long fuseMagic = 0x65735546;
    struct statfs system;
    return ::statfs(QFile::encodeName(path).constData(), &system) == 0
           && long(system.f_type) != fuseMagic;
}

qint64 fileClockTickUs()
{
    return kernelTickUs();
}

bool flushToDisk(QFile &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

FsError renameToNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    int code = 0;
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return {};
    code = errno;
#else
    code = EINVAL;
#endif
    // File systems without the flag: a hard link never replaces a name.
    if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP) {
        code = ::link(source.constData(), target.constData()) == 0 ? 0 : errno;
        if (code == 0) {
            ::unlink(source.constData());
            return {};
        }
    }
    // And where there are no hard links either: look, then rename.
    if (code == EPERM || code == EOPNOTSUPP) {
        struct stat st;
        if (::lstat(target.constData(), &st) == 0)
            return FsError {FsFault::TargetAppeared, 0, QString()};
        code = ::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
        if (code == 0)
            return {};
    }
    if (code == EEXIST)
        return FsError {FsFault::TargetAppeared, 0, QString()};
    const bool nameRefused = code == EINVAL || code == EILSEQ || code == ENAMETOOLONG;
    return systemError(nameRefused ? FsFault::NameRefused : FsFault::WriteTarget, code);
}

RenameResult renameOver(const QString &from, const QString &to, FsError *error)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return RenameResult::Renamed;
    // A share's target open by another client, a mount point.
    if (errno == EBUSY || errno == ETXTBSY)
        return RenameResult::TargetInUse;
    *error = systemError(FsFault::WriteTarget, errno);
    return RenameResult::Failed;
}
