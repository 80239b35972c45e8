#include "support/remote_mount.h"

#include "support/mounts.h"
#include "support/private_sshd.h"
#include "support/samba_share.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <unistd.h>

QStringList RemoteMount::kinds()
{
    return {QStringLiteral("ext4"),  QStringLiteral("xfs"),   QStringLiteral("btrfs"),
            QStringLiteral("tmpfs"), QStringLiteral("ntfs"),  QStringLiteral("ntfs-windows-names"),
            QStringLiteral("exfat"), QStringLiteral("fat32"), QStringLiteral("sshfs"),
            QStringLiteral("bindfs")};
}

RemoteMount::RemoteMount(const QString &kind, int sizeMiB)
    : kind(kind)
    , sizeMiB(sizeMiB)
{
    if (::geteuid() != 0) {
        failure = QStringLiteral("mounting needs root (CI runs the suite as root)");
        return;
    }
    if (!scratch.isValid()) {
        failure = QStringLiteral("no temporary directory");
        return;
    }
    image = scratch.filePath(QStringLiteral("image"));
    mountPoint = scratch.filePath(QStringLiteral("mnt"));
    QDir().mkpath(mountPoint);
    const QString loop = QStringLiteral("loop");
    if (kind == QLatin1String("ext4")) {
        mounted = makeImage(64) && makeFileSystem(QStringLiteral("mkfs.ext4"), {"-q", "-F"})
                  && mountWith(QStringLiteral("mount"), {"-o", loop, image, mountPoint});
    } else if (kind == QLatin1String("ext2-whole-seconds")) {
        // 128-byte inodes keep whole seconds, as many NAS shares and older disks do.
        mounted = makeImage(64)
                  && makeFileSystem(QStringLiteral("mkfs.ext2"), {"-q", "-F", "-I", "128"})
                  && mountWith(QStringLiteral("mount"), {"-o", loop, image, mountPoint});
    } else if (kind == QLatin1String("xfs")) {
        mounted = makeImage(320) && makeFileSystem(QStringLiteral("mkfs.xfs"), {"-q", "-f"})
                  && mountWith(QStringLiteral("mount"), {"-o", loop, image, mountPoint});
    } else if (kind == QLatin1String("btrfs")) {
        mounted = makeImage(256) && makeFileSystem(QStringLiteral("mkfs.btrfs"), {"-q", "-f"})
                  && mountWith(QStringLiteral("mount"), {"-o", loop, image, mountPoint});
    } else if (kind == QLatin1String("tmpfs")) {
        mounted = mountWith(QStringLiteral("mount"),
                            {"-t", "tmpfs", "-o", "size=64m", "tmpfs", mountPoint});
    } else if (kind == QLatin1String("ntfs") || kind == QLatin1String("ntfs-windows-names")) {
        QStringList options {image, mountPoint};
        if (kind == QLatin1String("ntfs-windows-names"))
            options << QStringLiteral("-o") << QStringLiteral("windows_names");
        mounted = makeImage(64) && makeFileSystem(QStringLiteral("mkfs.ntfs"), {"-Q", "-F", "-q"})
                  && mountWith(QStringLiteral("ntfs-3g"), options);
    } else if (kind == QLatin1String("exfat")) {
        // exfat-fuse wants a block device, not an image file.
        mounted = makeImage(64) && makeFileSystem(QStringLiteral("mkfs.exfat"), {}) && attachLoop()
                  && mountWith(QStringLiteral("mount.exfat-fuse"), {loopDevice, mountPoint});
    } else if (kind == QLatin1String("fat32")) {
        mounted = makeImage(64) && makeFileSystem(QStringLiteral("mkfs.vfat"), {"-F", "32"})
                  && mountWith(QStringLiteral("fusefat"), {"-o", "rw+", image, mountPoint});
    } else if (kind == QLatin1String("sshfs")) {
        mounted = startSshd();
    } else if (kind == QLatin1String("bindfs")) {
        under = scratch.filePath(QStringLiteral("under"));
        QDir().mkpath(under);
        mounted = mountWith(QStringLiteral("bindfs"), {under, mountPoint});
    } else if (kind == QLatin1String("smb") || kind == QLatin1String("smb-gvfs")) {
        samba = std::make_unique<SambaShare>(scratch.filePath(QStringLiteral("samba")),
                                             kind == QLatin1String("smb")
                                                     ? SambaShare::Client::Smbnetfs
                                                     : SambaShare::Client::Gvfs);
        mountPoint = samba->mountPoint();
        under = samba->servedPath();
        share = samba->sharePath();
        mounted = samba->start(&failure) && mountWith(QStringLiteral("true"), {});
    } else {
        failure = QStringLiteral("no such kind of file system in the rig: ") + kind;
    }
    if (!mounted)
        release();
}

RemoteMount::~RemoteMount()
{
    release();
}

bool RemoteMount::makeImage(int wantedMiB)
{
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly)
        || !file.resize(qint64(std::max(wantedMiB, sizeMiB)) << 20)) {
        failure = QStringLiteral("cannot create the image: ") + file.errorString();
        return false;
    }
    return true;
}

bool RemoteMount::makeFileSystem(const QString &mkfs, const QStringList &arguments)
{
    return Mounts::run(mkfs, arguments + QStringList {image}, &failure);
}

bool RemoteMount::attachLoop()
{
    QProcess losetup;
    losetup.start(QStringLiteral("losetup"), {"-f", "--show", image});
    if (!losetup.waitForFinished(30000) || losetup.exitCode() != 0) {
        failure = QStringLiteral("losetup: ")
                  + QString::fromLocal8Bit(losetup.readAllStandardError());
        return false;
    }
    loopDevice = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed();
    return !loopDevice.isEmpty();
}

bool RemoteMount::mountWith(const QString &program, const QStringList &arguments)
{
    if (!Mounts::run(program, arguments, &failure))
        return false;
    if (!Mounts::waitUntilMounted(mountPoint)) {
        failure = program + QStringLiteral(" reported success but nothing is mounted");
        return false;
    }
    return true;
}

// A private sshd on 127.0.0.1 with keys made for this mount, and sshfs to
// a directory it serves.
bool RemoteMount::startSshd()
{
    const QString served = scratch.filePath(QStringLiteral("served"));
    QDir().mkpath(served);
    under = served;
    sshd = std::make_unique<PrivateSshd>(scratch.path(), QStringLiteral("127.0.0.1"),
                                         Mounts::freeLoopbackPort());
    return sshd->start(&failure) && sshd->mountSshfs(served, mountPoint, &failure)
           && mountWith(QStringLiteral("true"), {});
}

namespace {

// The processes whose command line names path as one of its arguments.
QList<qint64> processesServing(const QString &path)
{
    QList<qint64> found;
    const QByteArray wanted = QFile::encodeName(path);
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').contains(wanted))
            found << pid;
    }
    return found;
}

} // namespace

bool RemoteMount::freeze()
{
    if (!mounted || frozen.size() > 0)
        return false;
    frozen = processesServing(mountPoint);
    for (const qint64 pid : qAsConst(frozen))
        ::kill(pid_t(pid), SIGSTOP);
    return !frozen.isEmpty();
}

void RemoteMount::thaw()
{
    for (const qint64 pid : qAsConst(frozen))
        ::kill(pid_t(pid), SIGCONT);
    frozen.clear();
}

bool RemoteMount::remount()
{
    if (kind != QLatin1String("fat32")) {
        failure = QStringLiteral("only fat32 is mounted again");
        return false;
    }
    QString ignored;
    Mounts::run(QStringLiteral("umount"), {mountPoint}, &ignored);
    mounted = mountWith(QStringLiteral("fusefat"), {"-o", "rw+", image, mountPoint});
    return mounted;
}

void RemoteMount::release()
{
    thaw();
    samba.reset();
    QString ignored;
    if (Mounts::isMountPoint(mountPoint)) {
        if (!Mounts::run(QStringLiteral("umount"), {mountPoint}, &ignored))
            Mounts::run(QStringLiteral("umount"), {"-l", mountPoint}, &ignored);
    }
    if (!loopDevice.isEmpty()) {
        // The FUSE daemon may still hold the device for a moment after the
        // unmount; a device detached while busy would stay attached.
        const QString backing = QStringLiteral("/sys/block/%1/loop/backing_file")
                                        .arg(loopDevice.section(QLatin1Char('/'), -1));
        for (int attempt = 0; attempt < 50 && QFile::exists(backing); ++attempt) {
            Mounts::run(QStringLiteral("losetup"), {"-d", loopDevice}, &ignored);
            if (QFile::exists(backing))
                QThread::msleep(100);
        }
        loopDevice.clear();
    }
    sshd.reset();
    mounted = false;
}
