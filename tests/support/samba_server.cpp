#include "support/samba_server.h"

#include "support/mounts.h"
#include "support/process_sweep.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool acceptingOnLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected
            = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// SMB's own port, for a server launched into a namespace of the caller's own.
constexpr quint16 smbPort = 445;

} // namespace

SambaServer::SambaServer(const QString &workDirectory)
    : work(workDirectory)
    , listening(Mounts::freeLoopbackPort())
{ }

SambaServer::SambaServer(const QString &workDirectory, const QString &address,
                         const QStringList &launcher)
    : work(workDirectory)
    , host(address)
    , launcher(launcher)
    , listening(launcher.isEmpty() ? Mounts::freeLoopbackPort() : smbPort)
{ }

// Connected to from where smbd runs: its launcher's namespace, if any.
bool SambaServer::accepting() const
{
    if (launcher.isEmpty())
        return acceptingOnLoopback(listening);
    const QStringList command
            = launcher
              + QStringList {QStringLiteral("bash"), QStringLiteral("-c"),
                             QStringLiteral(": </dev/tcp/%1/%2").arg(host).arg(listening)};
    QString ignored;
    return Mounts::run(command.first(), command.mid(1), &ignored);
}

SambaServer::~SambaServer()
{
    stop();
}

QString SambaServer::path(const QString &name) const
{
    return work + QLatin1Char('/') + name;
}

QString SambaServer::servedPath() const
{
    return path(QStringLiteral("served"));
}

bool SambaServer::start(QString *error)
{
    if (listening == 0) {
        *error = QStringLiteral("no free port on %1 for smbd").arg(host);
        return false;
    }
    for (const char *directory :
         {"served", "lock", "state", "cache", "private", "pid", "ncalrpc", "log"})
        QDir().mkpath(path(QLatin1String(directory)));
    if (!writeConfig(error) || !addUser(error))
        return false;
    const QString program = Mounts::findProgram(QStringLiteral("smbd"));
    if (program.isEmpty()) {
        *error = QStringLiteral("smbd is not installed (package samba)");
        return false;
    }
    smbd = std::make_unique<QProcess>();
    smbd->setProcessChannelMode(QProcess::MergedChannels);
    // In the foreground, in a process group of its own: smbd ends by sending
    // SIGTERM to its whole group. It also ends when its standard input, a
    // pipe from us, closes, so it goes with a test process that is killed.
    const QStringList command = launcher
                                + QStringList {program, "--foreground", "--debug-stdout", "-s",
                                               path(QStringLiteral("smb.conf"))};
    smbd->start(command.first(), command.mid(1));
    // waitForFinished() as the pause: it also notices an early exit.
    for (int wait = 0; wait < 100 && !accepting(); ++wait) {
        if (smbd->waitForFinished(100)) {
            *error = QStringLiteral("smbd stopped (exit code %1): ").arg(smbd->exitCode())
                     + QString::fromLocal8Bit(smbd->readAll());
            return false;
        }
    }
    if (!accepting()) {
        *error = QStringLiteral("smbd does not listen on %1:%2").arg(host).arg(listening);
        return false;
    }
    return true;
}

bool SambaServer::writeConfig(QString *error)
{
    // No printing and no RPC helpers: samba-dcerpcd, started on demand,
    // outlives smbd and logs under /var/log/samba whatever smb.conf says.
    // Without it the share works; only listing the host's shares fails.
    const QString text = QStringLiteral("[global]\n"
                                        "server role = standalone server\n"
                                        "workgroup = TWINFOLD\n"
                                        "netbios name = TWINFOLDRIG\n"
                                        "interfaces = %4\n"
                                        "bind interfaces only = yes\n"
                                        "smb ports = %1\n"
                                        "disable netbios = yes\n"
                                        "lock directory = %2/lock\n"
                                        "state directory = %2/state\n"
                                        "cache directory = %2/cache\n"
                                        "private dir = %2/private\n"
                                        "pid directory = %2/pid\n"
                                        "ncalrpc dir = %2/ncalrpc\n"
                                        "log file = %2/log/smbd.log\n"
                                        "passdb backend = tdbsam:%2/private/passdb.tdb\n"
                                        "load printers = no\n"
                                        "printing = bsd\n"
                                        "printcap name = /dev/null\n"
                                        "disable spoolss = yes\n"
                                        "rpc start on demand helpers = no\n"
                                        "[share]\n"
                                        "path = %3\n"
                                        "read only = no\n")
                                 .arg(listening)
                                 .arg(work, servedPath(), host);
    QFile file(path(QStringLiteral("smb.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) {
        *error = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

bool SambaServer::addUser(QString *error)
{
    const QString smbpasswd = Mounts::findProgram(QStringLiteral("smbpasswd"));
    if (smbpasswd.isEmpty()) {
        *error = QStringLiteral("smbpasswd is not installed (package samba-common-bin)");
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(smbpasswd, {"-c", path(QStringLiteral("smb.conf")), "-s", "-a", user()});
    process.write((password() + QLatin1Char('\n') + password() + QLatin1Char('\n')).toUtf8());
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("smbpasswd: ") + QString::fromLocal8Bit(process.readAll())
                 + process.errorString();
        return false;
    }
    return true;
}

void SambaServer::stop()
{
    if (!smbd)
        return;
    ProcessSweep::endChild(*smbd);
    smbd.reset();
    const QByteArray config = QFile::encodeName(path(QStringLiteral("smb.conf")));
    ProcessSweep::end([&config] { return ProcessSweep::withArgument(config); });
}
