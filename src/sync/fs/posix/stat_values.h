#pragma once

#include "sync/fs/entry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

// What a struct stat holds, in the engine's terms.

// tv_nsec is never negative, so this rounds times before the epoch down too.
inline qint64 toUs(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

inline EntryType typeOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryType::File;
    if (S_ISDIR(mode))
        return EntryType::Directory;
    if (S_ISLNK(mode))
        return EntryType::Link;
    return EntryType::Other;
}

inline EntryStatus statusOf(const struct stat &st)
{
    EntryStatus status;
    status.type = typeOfMode(st.st_mode);
    status.modifiedUs = toUs(st.st_mtim);
    status.statusChangedUs = toUs(st.st_ctim);
    status.fileId = quint64(st.st_ino);
    status.size = st.st_size;
    return status;
}
