#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class PrivateSshd;

// One of the file systems a remote may live on, mounted on a fresh
// directory for a test: loop images (ext4, xfs, btrfs), tmpfs, the FUSE
// drivers users meet on removable disks (ntfs-3g with and without Windows
// names, exfat-fuse, fusefat) and on shares (sshfs against a private sshd on
// 127.0.0.1), and bindfs as a plain FUSE pass-through. Needs root, as CI
// has. Everything it started or mounted is released by the destructor, also
// after a failed test; a mount that cannot be made leaves error() saying
// what is missing.
class RemoteMount
{
public:
    // The file systems of the behaviour table; "ext2-whole-seconds" (an ext2
    // image with 128-byte inodes, which keeps whole seconds) is there too.
    static QStringList kinds();

    // sizeMiB: of the image, for the kinds that have one (xfs needs 300).
    explicit RemoteMount(const QString &kind, int sizeMiB = 64);
    ~RemoteMount();
    RemoteMount(const RemoteMount &) = delete;
    RemoteMount &operator=(const RemoteMount &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return failure; }
    QString path() const { return mountPoint; } // the mounted directory
    // bindfs: the directory it passes through to, to look at the files
    // without going through the mount (while frozen, for instance).
    QString underPath() const { return under; }

    // FUSE kinds: stops the driver's process, so that every call on the
    // mount blocks in the kernel, as on a share whose server hangs; thaw()
    // (also run by the destructor) lets it go on.
    bool freeze();
    void thaw();

private:
    bool makeImage(int wantedMiB);
    bool makeFileSystem(const QString &mkfs, const QStringList &arguments);
    bool attachLoop();
    bool mountWith(const QString &program, const QStringList &arguments);
    bool startSshd();
    void release();

    QString kind;
    int sizeMiB;
    QTemporaryDir scratch;
    QString image;
    QString mountPoint;
    QString loopDevice;
    QString under;
    QList<qint64> frozen;
    std::unique_ptr<PrivateSshd> sshd;
    bool mounted = false;
    QString failure;
};
