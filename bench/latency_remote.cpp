#include "latency_remote.h"

#include "latency_link.h"
#include "support/mounts.h"
#include "support/private_sshd.h"

#include <QDir>

namespace {

// The far namespace is ours alone, so sshd may take ssh's own port.
constexpr quint16 sshPort = 22;

} // namespace

LatencyRemote::LatencyRemote(const LatencyLink &link, RemoteKind kind)
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

// The place for the Samba share behind the same link, once the share of
// support/samba_share.h (branch smb-rig) is merged: its server (smbd) is to
// start with link.farLauncher() and listen on link.farAddress(), and its
// FUSE client (smbnetfs or GVFS) with link.nearLauncher(), mounting on
// mountPoint. That rig starts both on 127.0.0.1 for now, with no launcher
// to put before them; until it has one this kind only says so.
bool LatencyRemote::mountSamba(const LatencyLink &)
{
    failure = QStringLiteral("a Samba share behind the link needs support/samba_share "
                             "(branch smb-rig) with a launcher for its server and client; "
                             "not there yet");
    return false;
}

void LatencyRemote::release()
{
    QString ignored;
    if (!mountPoint.isEmpty() && Mounts::isMountPoint(mountPoint)) {
        if (!Mounts::run(QStringLiteral("umount"), {mountPoint}, &ignored))
            Mounts::run(QStringLiteral("umount"), {QStringLiteral("-l"), mountPoint}, &ignored);
    }
    sshd.reset();
    mounted = false;
}
