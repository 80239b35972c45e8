#include "support/samba_share.h"

#include "support/mounts.h"
#include "support/process_sweep.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>

namespace {

bool writeText(const QString &path, const QString &text, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

} // namespace

SambaShare::SambaShare(const QString &workDirectory, Client client)
    : SambaShare(workDirectory, client, QStringLiteral("127.0.0.1"), {}, {})
{ }

SambaShare::SambaShare(const QString &workDirectory, Client client, const QString &address,
                       const QStringList &serverLauncher, const QStringList &clientLauncher)
    : work(workDirectory)
    , client(client)
    , server(workDirectory + QStringLiteral("/server"), address, serverLauncher)
    , clientLauncher(clientLauncher)
{
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + path(QStringLiteral("run/bus")));
}

SambaShare::~SambaShare()
{
    stop();
}

QString SambaShare::path(const QString &name) const
{
    return work + QLatin1Char('/') + name;
}

QString SambaShare::url() const
{
    return QStringLiteral("smb://%1:%2/share").arg(server.address()).arg(server.port());
}

QString SambaShare::mountPoint() const
{
    // gvfsd-fuse mounts at $XDG_RUNTIME_DIR/gvfs.
    return path(client == Client::Gvfs ? QStringLiteral("run/gvfs") : QStringLiteral("mnt"));
}

// Both clients take the port from the smb:// address; "smb ports" in a
// client's smb.conf is not used to connect (smbclient with it is refused).
QString SambaShare::sharePath() const
{
    if (client == Client::Gvfs)
        return mountPoint()
               + QStringLiteral("/smb-share:port=%1,server=%2,share=share")
                         .arg(server.port())
                         .arg(server.address());
    // smbnetfs turns the path's first two names into the server and share.
    return mountPoint() + QStringLiteral("/%1:%2/share").arg(server.address()).arg(server.port());
}

bool SambaShare::start(QString *error)
{
    QDir().mkpath(path(QStringLiteral("home/.smb")));
    QDir().mkpath(path(QStringLiteral("cache")));
    QDir().mkpath(path(QStringLiteral("mnt")));
    // GLib wants a runtime directory only its user can enter.
    QDir().mkpath(path(QStringLiteral("run")));
    QFile::setPermissions(path(QStringLiteral("run")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!server.start(error) || !writeClientConfig(error))
        return false;
    return client == Client::Gvfs ? startGvfs(error) : startSmbnetfs(error);
}

bool SambaShare::writeClientConfig(QString *error)
{
    // libsmbclient reads $HOME/.smb/smb.conf instead of the system's one
    // when it exists; its caches go to a directory of our own.
    const QString smbConf = QStringLiteral("[global]\n"
                                           "lock directory = %1\n"
                                           "state directory = %1\n"
                                           "cache directory = %1\n"
                                           "private dir = %1\n")
                                    .arg(path(QStringLiteral("cache")));
    // smbnetfs: browsing and the stat() shortcuts are off; the latter hides
    // names such as .git and HEAD near the top of the share.
    const QString smbnetfsConf = QStringLiteral("auth \"%1\" \"%2\"\n"
                                                "smb_query_browsers \"false\"\n"
                                                "use_libsecret \"false\"\n"
                                                "stat_workaround_enable_default_entries \"false\"\n"
                                                "stat_workaround_depth 0\n")
                                         .arg(SambaServer::user(), SambaServer::password());
    const QString smbnetfsPath = path(QStringLiteral("home/.smb/smbnetfs.conf"));
    if (!writeText(path(QStringLiteral("home/.smb/smb.conf")), smbConf, error)
        || !writeText(smbnetfsPath, smbnetfsConf, error))
        return false;
    // smbnetfs ignores a password in a configuration others may read.
    QFile::setPermissions(smbnetfsPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

// Until the share's directory can be listed through the mount, or the
// client ends. smbnetfs shows the server's and the share's directories
// before it has logged in, so only a listing tells that it can.
bool SambaShare::waitForShare(QProcess &process, QString *error)
{
    const QByteArray share = QFile::encodeName(sharePath());
    int reason = 0;
    for (int wait = 0; wait < 200; ++wait) {
        if (DIR *listing = ::opendir(share.constData())) {
            ::closedir(listing);
            return true;
        }
        reason = errno;
        // waitForFinished() as the pause: it also notices an early exit.
        if (process.waitForFinished(100)) {
            *error = process.program()
                     + QStringLiteral(" stopped (exit code %1): ").arg(process.exitCode())
                     + QString::fromLocal8Bit(process.readAll());
            return false;
        }
    }
    *error = QStringLiteral("the share is not reachable at ") + sharePath() + QStringLiteral(": ")
             + QString::fromLocal8Bit(std::strerror(reason));
    return false;
}

bool SambaShare::startSmbnetfs(QString *error)
{
    const QString program = Mounts::findProgram(QStringLiteral("smbnetfs"));
    if (program.isEmpty()) {
        *error = QStringLiteral("smbnetfs is not installed");
        return false;
    }
    smbnetfs = std::make_unique<QProcess>();
    smbnetfs->setProcessEnvironment(environment);
    smbnetfs->setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command
            = clientLauncher
              + QStringList {program, mountPoint(), "-f", "-o",
                             "config=" + path(QStringLiteral("home/.smb/smbnetfs.conf"))};
    smbnetfs->start(command.first(), command.mid(1));
    return waitForShare(*smbnetfs, error);
}

// gvfsd, gvfsd-fuse and gvfsd-smb are started by the bus when "gio mount"
// asks for them, with the bus's environment: ours, so that the FUSE mount
// and libsmbclient's configuration are in the work directory.
bool SambaShare::startGvfs(QString *error)
{
    const QString dbusDaemon = Mounts::findProgram(QStringLiteral("dbus-daemon"));
    const QString gio = Mounts::findProgram(QStringLiteral("gio"));
    if (dbusDaemon.isEmpty() || gio.isEmpty()
        || !QFile::exists(QStringLiteral("/usr/libexec/gvfsd-fuse"))
        || !QFile::exists(QStringLiteral("/usr/libexec/gvfsd-smb"))) {
        *error = QStringLiteral("GVFS is not installed (packages dbus-daemon, libglib2.0-bin, "
                                "gvfs-fuse, gvfs-backends)");
        return false;
    }
    bus = std::make_unique<QProcess>();
    bus->setProcessEnvironment(environment);
    bus->setProcessChannelMode(QProcess::MergedChannels);
    bus->start(dbusDaemon, {"--session", "--nofork", "--nopidfile",
                            "--address=unix:path=" + path(QStringLiteral("run/bus"))});
    for (int wait = 0; wait < 100 && !QFile::exists(path(QStringLiteral("run/bus"))); ++wait) {
        if (bus->waitForFinished(100)) {
            *error = QStringLiteral("dbus-daemon stopped: ")
                     + QString::fromLocal8Bit(bus->readAll());
            return false;
        }
    }
    // gio asks for the user, the domain and the password on its input.
    QProcess mount;
    mount.setProcessEnvironment(environment);
    mount.setProcessChannelMode(QProcess::MergedChannels);
    mount.start(gio, {"mount", url()});
    mount.write((SambaServer::user() + QStringLiteral("\nTWINFOLD\n") + SambaServer::password()
                 + QLatin1Char('\n'))
                        .toUtf8());
    mount.closeWriteChannel();
    if (!mount.waitForFinished(60000) || mount.exitStatus() != QProcess::NormalExit
        || mount.exitCode() != 0) {
        *error = QStringLiteral("gio mount: ") + QString::fromLocal8Bit(mount.readAll())
                 + mount.errorString();
        return false;
    }
    return waitForShare(*bus, error);
}

bool SambaShare::remountClient(QString *error)
{
    stopSmbnetfs();
    return startSmbnetfs(error);
}

void SambaShare::stop()
{
    stopSmbnetfs();
    stopGvfs();
    server.stop();
}

void SambaShare::stopSmbnetfs()
{
    if (!smbnetfs)
        return;
    // smbnetfs in the foreground ends when its mount goes.
    Mounts::unmount(mountPoint());
    if (!smbnetfs->waitForFinished(10000))
        ProcessSweep::endChild(*smbnetfs);
    smbnetfs.reset();
    const QByteArray mounted = QFile::encodeName(mountPoint());
    ProcessSweep::end([&mounted] { return ProcessSweep::withArgument(mounted); });
}

// The services the bus started are not its children: they are found by
// the runtime directory in their environment. A mount gvfsd-fuse left
// behind is unmounted last.
void SambaShare::stopGvfs()
{
    if (!bus)
        return;
    ProcessSweep::endChild(*bus);
    bus.reset();
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + QFile::encodeName(path(QStringLiteral("run")));
    ProcessSweep::end([&runtime] { return ProcessSweep::withEnvironment(runtime); });
    Mounts::unmount(mountPoint());
}
