#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs an outside program (cp, rsync, find, stat) to its end and returns what
// it wrote to standard output. Throws BenchError when it is missing, cannot
// start, crashes or exits with a status other than 0.
QByteArray runTool(const QString &program, const QStringList &arguments);

// The first line of `program --version`; throws like runTool.
QString toolVersion(const QString &program);
