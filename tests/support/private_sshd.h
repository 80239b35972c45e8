#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A private sshd with host and user keys made for it, serving SFTP to root
// with the user key, and sshfs mounts of what it serves. Needs root. The
// launcher is put before sshd's command line, to start it elsewhere (in a
// network namespace: nsenter --net=...). stop(), also run by the
// destructor, ends it and waits for it.
class PrivateSshd
{
public:
    // directory: an existing one for the keys and the configuration.
    PrivateSshd(const QString &directory, const QString &address, quint16 port,
                const QStringList &launcher = {});
    ~PrivateSshd();
    PrivateSshd(const PrivateSshd &) = delete;
    PrivateSshd &operator=(const PrivateSshd &) = delete;

    // False, with *error saying why, when it could not be started.
    bool start(QString *error);
    // Mounts served (a path on the sshd's side) on mountPoint with sshfs's
    // default options and the ssh options that reach this sshd; sshd takes a
    // moment to listen, so it tries for a few seconds. The launcher runs
    // sshfs elsewhere (its mount still lands in the caller's mount namespace
    // when the launcher leaves that alone, as nsenter --net does).
    bool mountSshfs(const QString &served, const QString &mountPoint, QString *error,
                    const QStringList &launcher = {});
    void stop();

private:
    QString directory;
    QString address;
    quint16 port;
    QStringList launcher;
    QString userKey;
    std::unique_ptr<QProcess> sshd;
};
