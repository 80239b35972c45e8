#pragma once

#include <QProcess>
#include <QString>

#include <memory>

// A Samba server of the rig's own and its one share mounted through
// smbnetfs (FUSE over libsmbclient), as a user meets a Windows or NAS share.
// smbd runs as a child process on 127.0.0.1 at a free port, with every
// directory it keeps state in (locks, password database, caches, pid, logs)
// under the work directory, so a Samba of the system's is neither used nor
// disturbed. The share's user is root, with a password in that private
// password database; the system's user database is not touched. smbnetfs
// gets the password from a configuration in a home directory of its own.
class SambaShare
{
public:
    // State goes to workDirectory; the mount, made by start(), to mountPoint.
    SambaShare(const QString &workDirectory, const QString &mountPoint);
    ~SambaShare(); // stop()
    SambaShare(const SambaShare &) = delete;
    SambaShare &operator=(const SambaShare &) = delete;

    // Starts smbd and mounts smbnetfs; false, with *error saying why, when
    // the share cannot be reached through the mount.
    bool start(QString *error);
    // Unmounts, stops smbnetfs and smbd, and waits until every process
    // either of them started has ended. Safe to call more than once.
    void stop();

    QString servedPath() const; // the shared directory, on the server's side
    QString sharePath() const; // the same directory through the mount

private:
    bool writeServerConfig(QString *error);
    bool addUser(QString *error);
    bool startServer(QString *error);
    bool writeClientConfig(QString *error);
    bool startClient(QString *error);
    QString path(const QString &name) const;

    QString work;
    QString mountPoint;
    quint16 port = 0;
    std::unique_ptr<QProcess> smbd;
    std::unique_ptr<QProcess> smbnetfs;
};
