#pragma once

#include "sync/fs/entry.h"
#include "sync/fs/fs_error.h"

#include <QString>

class QFile;

// What the portable file system needs that Qt's classes do not offer: the
// system's own status of a file (times to the microsecond, the change time,
// the file's identity) and the system's reasons when something fails. One
// small file per platform (portable_platform_posix.cpp,
// portable_platform_windows.cpp).

// Missing for nothing there (and a dangling link); Unknown, with the error,
// when it cannot be looked at.
EntryStatus statusOfPath(const QString &path, bool followLinks);

// Why the directory at path cannot be opened for listing (a System fault),
// or no error when it can.
FsError directoryOpenError(const QString &path);

// The system's reason for something else standing where a directory should.
FsError notDirectoryError();

// One directory, or all that are missing up to it.
FsError makeDirectory(const QString &path);
FsError makeDirectoryPath(const QString &path);

// Sets the open file's modification time to the microsecond (the file
// system keeps what it can), also before 1970.
FsError setModifiedTime(QFile &file, qint64 modifiedUs);

// Whether files on the file system holding path keep their identity (the
// number statusOfPath gives) for as long as they live: not on FUSE mounts,
// nor on Windows' FAT, where it is the place of the directory entry.
bool identitiesLast(const QString &path);

// How finely this system's clock stamps files.
qint64 fileClockTickUs();

// Writes the open file's data through to the disk.
bool flushToDisk(QFile &file);

// Gives a written temporary a name nothing else has: TargetAppeared when
// something took the name meanwhile, NameRefused when the file system cannot
// hold it, WriteTarget otherwise.
FsError renameToNew(const QString &from, const QString &to);

enum class RenameResult { Renamed, TargetInUse, Failed };

// Renames from over to, replacing what is there in one step. TargetInUse
// when another program holds `to` so that it cannot be replaced now (on
// Windows: open without sharing its deletion, as editors, preview panes and
// virus scanners do); Failed with the reason otherwise.
RenameResult renameOver(const QString &from, const QString &to, FsError *error);
