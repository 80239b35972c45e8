#pragma once

#include <QString>

// What Qt's file classes cannot do for the tree helpers, one small file per
// platform (tree_platform_posix.cpp, tree_platform_windows.cpp).

// Sets the modification time of a file or a directory, to the millisecond,
// also before 1970 (Qt opens no directory, and on Unix sets no time before
// 1970 with a fraction of a second).
bool setModifiedMs(const QString &path, qint64 ms);
