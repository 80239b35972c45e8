#include "support/mounts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

namespace {

QString rootNeeded()
{
    return ::geteuid() == 0 ? QString()
                            : QStringLiteral("mounting needs root (CI runs the suite as root)");
}

void unmount(const QString &path)
{
    QString ignored;
    if (!Mounts::run(QStringLiteral("umount"), {path}, &ignored))
        Mounts::run(QStringLiteral("umount"), {QStringLiteral("-l"), path}, &ignored);
}

} // namespace

bool Mounts::run(const QString &program, const QStringList &arguments, QString *error)
{
    const QString found = QStandardPaths::findExecutable(program);
    const QString full = found.isEmpty() ? QStandardPaths::findExecutable(
                                 program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                                         : found;
    if (full.isEmpty()) {
        *error = program + QStringLiteral(" is not installed");
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(full, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '))
                 + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll()).trimmed()
                 + process.errorString();
        return false;
    }
    return true;
}

bool Mounts::isMountPoint(const QString &path)
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = ' ' + QFile::encodeName(path) + ' ';
    return mounts.readAll().contains(wanted);
}

bool Mounts::waitUntilMounted(const QString &path)
{
    for (int wait = 0; wait < 100 && !isMountPoint(path); ++wait)
        QThread::msleep(20);
    return isMountPoint(path);
}

ReadOnlyView::ReadOnlyView(const QString &directory)
{
    failure = rootNeeded();
    if (!failure.isEmpty() || !scratch.isValid())
        return;
    mountPoint = scratch.filePath(QStringLiteral("view"));
    QDir().mkpath(mountPoint);
    if (!Mounts::run(QStringLiteral("mount"), {QStringLiteral("--bind"), directory, mountPoint},
                     &failure))
        return;
    mounted = true;
    if (!Mounts::run(QStringLiteral("mount"),
                     {QStringLiteral("-o"), QStringLiteral("remount,bind,ro"), mountPoint},
                     &failure)) {
        unmount(mountPoint);
        mounted = false;
    }
}

ReadOnlyView::~ReadOnlyView()
{
    if (mounted)
        unmount(mountPoint);
}
