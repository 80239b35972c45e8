#pragma once

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// The system calls of one command that reached a mount, as strace -f -y
// shows them: a path argument below the mount, or a descriptor open on it.
struct TracedCalls
{
    int total = 0; // every system call of the command
    QStringList onMount; // the names of those that reached the mount, in order
};

// Runs the command under strace -f -y, writing the trace to logPath.
// Throws BenchError when strace or the command fails.
TracedCalls traceCallsOnMount(const QStringList &command, const QString &mountPath,
                              const QString &logPath);

// "openat ×2, fchmod, close" for a list of names, in the order first seen.
QString summariseCalls(const QStringList &names);

// The least-squares slope of y against x over the points (x, y).
double slope(const std::vector<std::pair<double, double>> &points);
