#include "sync/portable_platform.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

bool flushToDisk(QFile &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

RenameResult renameOver(const QString &from, const QString &to, QString *error)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return RenameResult::Renamed;
    // A share's target open by another client, a mount point.
    if (errno == EBUSY || errno == ETXTBSY)
        return RenameResult::TargetInUse;
    *error = qt_error_string(errno);
    return RenameResult::Failed;
}
