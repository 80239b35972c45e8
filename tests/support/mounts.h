#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Real file systems for tests, as root (CI runs as root). Each object
// releases what it made, also when the test fails half-way: unmounted and
// the image removed with its temporary directory. A mount that cannot be
// made leaves error() saying what is missing; tests fail with it.
namespace Mounts {

// Runs a command to its end; false, with its output in *error, when it
// could not start or did not exit 0.
bool run(const QString &program, const QStringList &arguments, QString *error);

} // namespace Mounts

// A file-system image on a loop device, made with the given mkfs command
// line (the image path is appended) and mounted on a fresh directory.
class LoopMount
{
public:
    LoopMount(const QString &mkfs, const QStringList &mkfsArguments, int sizeMiB = 64);
    ~LoopMount();
    LoopMount(const LoopMount &) = delete;
    LoopMount &operator=(const LoopMount &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return failure; }
    QString path() const { return mountPoint; }

    // ext2 with 128-byte inodes: whole-second times, as many NAS shares and
    // older disks keep them.
    static const QStringList ext2WholeSeconds;

private:
    QTemporaryDir scratch;
    QString mountPoint;
    bool mounted = false;
    QString failure;
};

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
