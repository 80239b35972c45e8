#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class LatencyLink;
class PrivateSshd;
class SambaShare;

// How a remote behind a LatencyLink is reached.
enum class RemoteKind {
    sshfs, // an sshd in the far namespace, sshfs with its default options
    samba, // smbd in the far namespace, the share mounted through smbnetfs
};

// A remote file system behind a LatencyLink: the server runs in the link's
// far namespace, the mount is made from the near one and lands in the
// caller's mount namespace, where the benchmark reads and writes it. The
// served directory is on this machine's own disk, so the benchmark can set
// up and check trees there without paying for the link. Needs root.
// Everything is released by the destructor, before the link goes; a remote
// that cannot be mounted leaves error() saying what is missing.
class LatencyRemote
{
public:
    LatencyRemote(const LatencyLink &link, RemoteKind kind);
    ~LatencyRemote();
    LatencyRemote(const LatencyRemote &) = delete;
    LatencyRemote &operator=(const LatencyRemote &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return failure; }
    QString path() const { return mountPoint; } // the mounted directory
    QString servedPath() const { return served; } // the same files, not through the link
    // Unmounted and mounted again, so that the client's caches are gone (as
    // they are for a run on a timer, long after the last one); the server
    // keeps running. False, with error() set, when it is not mounted again.
    bool remount();

private:
    bool mountSshfs(const LatencyLink &link);
    bool mountSamba(const LatencyLink &link);
    void release();

    const LatencyLink &link;
    QTemporaryDir scratch;
    QString mountPoint;
    QString served;
    std::unique_ptr<PrivateSshd> sshd;
    std::unique_ptr<SambaShare> share;
    bool mounted = false;
    QString failure;
};
