#include "support/process_sweep.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace {

// Processes with a NUL-separated /proc/PID/<file> holding an item that
// contains text.
QList<pid_t> processesWith(const char *file, const QByteArray &text, bool whole)
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (!isPid || pid == ::getpid())
            continue;
        QFile items(QStringLiteral("/proc/%1/%2").arg(entry, QLatin1String(file)));
        if (!items.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> list = items.readAll().split('\0');
        for (const QByteArray &item : list) {
            if (whole ? item == text : item.contains(text)) {
                found << pid;
                break;
            }
        }
    }
    return found;
}

} // namespace

QList<pid_t> ProcessSweep::withArgument(const QByteArray &text)
{
    return processesWith("cmdline", text, false);
}

QList<pid_t> ProcessSweep::withEnvironment(const QByteArray &entry)
{
    return processesWith("environ", entry, true);
}

void ProcessSweep::end(const std::function<QList<pid_t>()> &find)
{
    for (int wait = 0; wait < 100; ++wait) {
        const QList<pid_t> left = find();
        if (left.isEmpty())
            return;
        for (const pid_t pid : left)
            ::kill(pid, wait < 50 ? SIGTERM : SIGKILL);
        QThread::msleep(100);
    }
}

void ProcessSweep::endChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
