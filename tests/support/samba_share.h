#pragma once

#include "support/samba_server.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

// The share of a private Samba server (support/samba_server.h) mounted as a
// directory, as a user meets a Windows or NAS share, through one of the two
// FUSE clients a Linux desktop has: smbnetfs (FUSE over libsmbclient) or
// GVFS's FUSE bridge (gvfsd-fuse, the share mounted with "gio mount" on a
// D-Bus session bus of our own). Each client gets the password from a home
// directory of its own and leaves the user's alone.
class SambaShare
{
public:
    enum class Client { Smbnetfs, Gvfs };

    SambaShare(const QString &workDirectory, Client client);
    // The server on address, started with serverLauncher; smbnetfs started
    // with clientLauncher (each put before a command line, such as
    // nsenter --net=… into one of two network namespaces). GVFS's client
    // runs where its bus starts it, with no launcher.
    SambaShare(const QString &workDirectory, Client client, const QString &address,
               const QStringList &serverLauncher, const QStringList &clientLauncher);
    ~SambaShare(); // stop()
    SambaShare(const SambaShare &) = delete;
    SambaShare &operator=(const SambaShare &) = delete;

    // Starts the server and mounts the share; false, with *error saying
    // why, when the share cannot be reached through the mount.
    bool start(QString *error);
    // smbnetfs unmounted and started again, its caches gone; the server
    // keeps running.
    bool remountClient(QString *error);
    // Unmounts, stops the client and the server, and waits until every
    // process they started has ended. Safe to call more than once.
    void stop();

    QString mountPoint() const; // where the client's FUSE file system is
    QString sharePath() const; // the share's directory within it
    QString servedPath() const { return server.servedPath(); }

private:
    bool writeClientConfig(QString *error);
    bool startSmbnetfs(QString *error);
    bool startGvfs(QString *error);
    bool waitForShare(QProcess &process, QString *error);
    void stopSmbnetfs();
    void stopGvfs();
    QString path(const QString &name) const;
    QString url() const;

    QString work;
    Client client;
    SambaServer server;
    QStringList clientLauncher;
    QProcessEnvironment environment;
    std::unique_ptr<QProcess> smbnetfs;
    std::unique_ptr<QProcess> bus;
};
