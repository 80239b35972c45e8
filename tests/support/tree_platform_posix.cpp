#include "tree_platform.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

bool setModifiedMs(const QString &path, qint64 ms)
{
    const qint64 seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = long(ms - seconds * 1000) * 1000000;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}
