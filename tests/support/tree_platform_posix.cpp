#include "tree_platform.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

bool setModifiedTimeUs(const QString &path, qint64 us)
{
    const qint64 seconds = us / 1000000 - (us % 1000000 < 0 ? 1 : 0);
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = long(us - seconds * 1000000) * 1000;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

qint64 statusChangedUs(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return qint64(st.st_ctim.tv_sec) * 1000000 + st.st_ctim.tv_nsec / 1000;
}
