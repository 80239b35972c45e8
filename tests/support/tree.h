#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Small helpers for tests that build real trees in temporary directories.
namespace Tree {

// Writes the file (and its parent directories); a valid mtime is set on it.
void writeFile(const QString &path, const QByteArray &content, const QDateTime &mtime = {});
QByteArray readFile(const QString &path);
// Of a file or a directory.
void setModified(const QString &path, const QDateTime &mtime);
bool setModifiedUs(const QString &path, qint64 us);
// The time the file system holding directory stamps a file written now, in
// ms: the clock a run reads there (a file is written and removed again).
qint64 clockMs(const QString &directory);
qint64 modifiedMs(const QString &path);
// The later of the modification and status-change times, in ms.
qint64 changeTimeMs(const QString &path);

// Every entry below root as "relative/path size mtime-ms md5" lines (links as
// "relative/path -> target"), sorted, for whole-tree comparisons.
QStringList snapshot(const QString &root);
// Relative paths of every file and directory below root, sorted.
QStringList names(const QString &root);

// What tells actual from expected, as "missing:" and "unexpected:" lines, for
// the message of a failed whole-tree comparison; empty when they are equal.
QString difference(const QStringList &actual, const QStringList &expected);

// The directory as a user types it on this platform, ending with a
// separator: in native form, as the log shows paths (on Windows a field
// written with "/" is the prefix of none of them).
QString typedDirectory(const QString &path);

// Each item with prefix in front; a sorted copy of a list.
QStringList prefixed(const QString &prefix, const QStringList &items);
QStringList sorted(QStringList list);

} // namespace Tree
