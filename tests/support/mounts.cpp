#include "support/mounts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString rootNeeded()
{
    return ::geteuid() == 0 ? QString()
                            : QStringLiteral("mounting needs root (CI runs the suite as root)");
}

} // namespace

QString Mounts::findProgram(const QString &program)
{
    const QString found = QStandardPaths::findExecutable(program);
    return found.isEmpty() ? QStandardPaths::findExecutable(
                   program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                           : found;
}

void Mounts::unmount(const QString &path)
{
    QString ignored;
    if (!run(QStringLiteral("umount"), {path}, &ignored))
        run(QStringLiteral("umount"), {QStringLiteral("-l"), path}, &ignored);
}

quint16 Mounts::freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool Mounts::run(const QString &program, const QStringList &arguments, QString *error)
{
    const QString full = findProgram(program);
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
        Mounts::unmount(mountPoint);
        mounted = false;
    }
}

ReadOnlyView::~ReadOnlyView()
{
    if (mounted)
        Mounts::unmount(mountPoint);
}
