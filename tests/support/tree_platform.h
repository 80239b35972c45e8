#pragma once

#include <QString>

// What Qt's file classes cannot do for the tree helpers, one small file per
// platform (tree_platform_posix.cpp, tree_platform_windows.cpp).

// Sets the modification time of a file or a directory, to the microsecond,
// also before 1970 (Qt opens no directory, keeps milliseconds, and on Unix
// sets no time before 1970 with a fraction of a second).
bool setModifiedTimeUs(const QString &path, qint64 us);

// When the entry's status last changed (the inode change time; NTFS's change
// time on Windows), in µs; 0 when it cannot be read.
qint64 statusChangedUs(const QString &path);
