#include "latency_remote.h"

#include "latency_link.h"
#include "support/mounts.h"
#include "support/private_sshd.h"
#include "support/samba_share.h"

#include <QDir>

namespace {

// The far namespace is ours alone, so sshd may take ssh's own port.
constexpr quint16 sshPort = 22;

} // namespace

LatencyRemote::LatencyRemote(const LatencyLink &link, RemoteKind kind)
    : link(link)
{
    if (!link.isUp()) {
        failure = QStringLiteral("the link is down: ") + link.error();
        return;
    }
    if (!scratch.isValid()) {
        failure = QStringLiteral("no temporary directory: ") + scratch.errorString();
        return;
    }
    mountPoint = scratch.filePath(QStringLiteral("mnt"));
    served = scratch.filePath(QStringLiteral("served"));
    QDir().mkpath(mountPoint);
    QDir().mkpath(served);
    mounted = kind == RemoteKind::sshfs ? mountSshfs(link) : mountSamba(link);
    if (!mounted)
        release();
}

LatencyRemote::~LatencyRemote()
{
    release();
}

bool LatencyRemote::mountSshfs(const LatencyLink &link)
{
    sshd = std::make_unique<PrivateSshd>(scratch.path(), link.farAddress(), sshPort,
                                         link.farLauncher());
    if (!sshd->start(&failure)
        || !sshd->mountSshfs(served, mountPoint, &failure, link.nearLauncher()))
        return false;
    if (!Mounts::waitUntilMounted(mountPoint)) {
        failure = QStringLiteral("sshfs reported success but nothing is mounted");
        return false;
    }
    return true;
}

// smbnetfs mounts the whole network at its mount point; the share is a
// directory within it, and the served directory is the server's own.
bool LatencyRemote::mountSamba(const LatencyLink &link)
{
    share = std::make_unique<SambaShare>(scratch.filePath(QStringLiteral("samba")),
                                         SambaShare::Client::Smbnetfs, link.farAddress(),
                                         link.farLauncher(), link.nearLauncher());
    if (!share->start(&failure))
        return false;
    mountPoint = share->sharePath();
    served = share->servedPath();
    return true;
}

bool LatencyRemote::remount()
{
    if (share) {
        mounted = share->remountClient(&failure);
        return mounted;
    }
    if (!sshd || !Mounts::run(QStringLiteral("umount"), {mountPoint}, &failure))
        return mounted = false;
    mounted = sshd->mountSshfs(served, mountPoint, &failure, link.nearLauncher())
              && Mounts::waitUntilMounted(mountPoint);
    return mounted;
}

void LatencyRemote::release()
{
    QString ignored;
    if (!mountPoint.isEmpty() && Mounts::isMountPoint(mountPoint)) {
        if (!Mounts::run(QStringLiteral("umount"), {mountPoint}, &ignored))
            Mounts::run(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint}, &ignored);
    }
    sshd.reset();
    share.reset(); // unmounts, then stops client and server
    mounted = false;
}
