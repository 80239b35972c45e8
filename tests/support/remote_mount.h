#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class SambaShare;
class PrivateSshd;

// One of the file systems a remote may live on, mounted on a fresh
// directory for a test: loop images (ext4, xfs, btrfs), tmpfs, the FUSE
// drivers users meet on removable disks (ntfs-3g with and without Windows
// names, exfat-fuse, fusefat) and on shares (sshfs against a private sshd on
// 127.0.0.1; "smb" and "smb-gvfs": a private smbd's share through smbnetfs
// or GVFS, see support/samba_share.h), and bindfs as a plain FUSE
// pass-through. Needs root, as CI has. Everything it started or mounted is
// released by the destructor, also after a failed test; a mount that cannot
// be made leaves error() saying what is missing.
class RemoteMount
{
public:
    // The file systems of the behaviour table (the smb kinds are not among
    // them yet); "ext2-whole-seconds" (an ext2 image with 128-byte inodes,
    // which keeps whole seconds) is there too.
    static QStringList kinds();

    // sizeMiB: of the image, for the kinds that have one (xfs needs 300).
    explicit RemoteMount(const QString &kind, int sizeMiB = 64);
    ~RemoteMount();
    RemoteMount(const RemoteMount &) = delete;
    RemoteMount &operator=(const RemoteMount &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return failure; }
    // The mounted directory; smb kinds: the share's directory within it.
    QString path() const { return share.isEmpty() ? mountPoint : share; }
    // bindfs and sshfs: the directory the mount shows, to look at and change
    // the files without going through it (as the server would); smb kinds:
    // the shared directory on the server's side.
    QString underPath() const { return under; }

    // FUSE kinds: stops the driver's process, so that every call on the
    // mount blocks in the kernel, as on a share whose server hangs; thaw()
    // (also run by the destructor) lets it go on.
    bool freeze();
    void thaw();
    // fat32: mounts the same image again, the driver started with this
    // process's environment now (its TZ, say).
    bool remount();

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
    std::unique_ptr<SambaShare> samba;
    QString share;
    bool mounted = false;
    QString failure;
};
