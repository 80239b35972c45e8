#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Helpers for tests that mount, as root (CI runs as root); the file systems
// themselves are support/remote_mount.h. Each object releases what it made,
// also when the test fails half-way. A mount that cannot be made leaves
// error() saying what is missing; tests fail with it.
namespace Mounts {

// Runs a command to its end; false, with its output in *error, when it
// could not start or did not exit 0.
bool run(const QString &program, const QStringList &arguments, QString *error);

// The program's full path, looked up in PATH and then in the sbin
// directories a non-login root shell may lack; empty when not installed.
QString findProgram(const QString &program);

// Unmounts path, lazily when it is busy.
void unmount(const QString &path);

// A port on the loopback interface that nothing listens on now.
quint16 freeLoopbackPort();

// True when something is mounted on path (as /proc/self/mounts lists it).
bool isMountPoint(const QString &path);
// Waits up to two seconds for a mount to show: a FUSE daemon returns before
// the kernel lists its mount on some setups.
bool waitUntilMounted(const QString &path);

} // namespace Mounts

// A read-only view of a directory (a bind mount remounted read-only).
class ReadOnlyView
{
public:
    explicit ReadOnlyView(const QString &directory);
    ~ReadOnlyView();
    ReadOnlyView(const ReadOnlyView &) = delete;
    ReadOnlyView &operator=(const ReadOnlyView &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return failure; }
    QString path() const { return mountPoint; }

private:
    QTemporaryDir scratch;
    QString mountPoint;
    bool mounted = false;
    QString failure;
};
