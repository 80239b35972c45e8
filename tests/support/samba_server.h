#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// A Samba server of the rig's own: smbd as a child process on 127.0.0.1 at
// a free port (or at SMB's own port on an address of a network namespace
// it is launched into), serving one writable share named "share". Every directory
// it keeps state in (locks, password database, caches, pid, logs) is under
// the work directory, so a Samba of the system's is neither used nor
// disturbed. The share's user is root, with a password in that private
// password database; the system's user database is not touched.
class SambaServer
{
public:
    explicit SambaServer(const QString &workDirectory);
    // Listening on address, started with launcher before its command line
    // (nsenter --net=…, into a namespace where the address is its own, and
    // then at port 445; with no launcher, at a free port).
    SambaServer(const QString &workDirectory, const QString &address, const QStringList &launcher);
    ~SambaServer(); // stop()
    SambaServer(const SambaServer &) = delete;
    SambaServer &operator=(const SambaServer &) = delete;

    // Returns once smbd accepts connections; false, with *error saying why,
    // when it does not.
    bool start(QString *error);
    // Stops smbd and waits until every process it started has ended.
    void stop();

    quint16 port() const { return listening; }
    QString address() const { return host; }
    static QString user() { return QStringLiteral("root"); }
    static QString password() { return QStringLiteral("twinfold-rig"); }
    QString servedPath() const; // the shared directory, on the server's side

private:
    bool writeConfig(QString *error);
    bool addUser(QString *error);
    QString path(const QString &name) const;
    bool accepting() const;

    QString work;
    QString host = QStringLiteral("127.0.0.1");
    QStringList launcher;
    quint16 listening = 0;
    std::unique_ptr<QProcess> smbd;
};
