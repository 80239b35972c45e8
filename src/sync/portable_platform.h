#pragma once

#include <QString>

class QFile;

// The two calls the portable copy needs that Qt's classes do not offer, one
// small file per platform (portable_platform_posix.cpp,
// portable_platform_windows.cpp).

// Writes the open file's data through to the disk.
bool flushToDisk(QFile &file);

enum class RenameResult { Renamed, TargetInUse, Failed };

// Renames from over to, replacing what is there in one step. TargetInUse
// when another program holds `to` so that it cannot be replaced now (on
// Windows: open without sharing its deletion, as editors, preview panes and
// virus scanners do); Failed with the reason in *error otherwise.
RenameResult renameOver(const QString &from, const QString &to, QString *error);
