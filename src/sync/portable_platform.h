#pragma once

#include <QString>

class QFile;

// The two calls the portable copy needs that Qt's classes do not offer, one
// small file per platform (portable_platform_posix.cpp,
// portable_platform_windows.cpp).

// Writes the open file's data through to the disk.
bool flushToDisk(QFile &file);

// Renames from over to, replacing what is there in one step.
bool renameOver(const QString &from, const QString &to, QString *error);
