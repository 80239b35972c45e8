#include "support/samba_share.h"

#include "support/mounts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcessEnvironment>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString password = QStringLiteral("twinfold-rig");

bool writeText(const QString &path, const QString &text, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

bool accepting(quint16 port)
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

// Live processes with an argument that contains text; a zombie has no
// arguments left, so it counts as ended.
QList<pid_t> processesNaming(const QByteArray &text)
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (!isPid || pid == ::getpid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = cmdline.readAll().split('\0');
        for (const QByteArray &argument : arguments) {
            if (argument.contains(text)) {
                found << pid;
                break;
            }
        }
    }
    return found;
}

// smbd's per-connection children and smbnetfs's libsmbclient workers are
// not children of ours: they end on their own once their parent has gone,
// and are made to after a while.
void endProcessesNaming(const QString &text)
{
    const QByteArray wanted = QFile::encodeName(text);
    for (int wait = 0; wait < 100; ++wait) {
        const QList<pid_t> left = processesNaming(wanted);
        if (left.isEmpty())
            return;
        for (const pid_t pid : left)
            ::kill(pid, wait < 50 ? SIGTERM : SIGKILL);
        QThread::msleep(100);
    }
}

void endChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

SambaShare::SambaShare(const QString &workDirectory, const QString &mountPoint)
    : work(workDirectory)
    , mountPoint(mountPoint)
    , port(Mounts::freeLoopbackPort())
{ }

SambaShare::~SambaShare()
{
    stop();
}

QString SambaShare::path(const QString &name) const
{
    return work + QLatin1Char('/') + name;
}

QString SambaShare::servedPath() const
{
    return path(QStringLiteral("served"));
}

// libsmbclient takes the port from the server part of the smb:// address
// smbnetfs makes of the path; "smb ports" in the client's smb.conf is
// ignored by the client side (it connects to 445 regardless).
QString SambaShare::sharePath() const
{
    return mountPoint + QStringLiteral("/127.0.0.1:%1/share").arg(port);
}

bool SambaShare::start(QString *error)
{
    if (port == 0) {
        *error = QStringLiteral("no free port on 127.0.0.1 for smbd");
        return false;
    }
    for (const char *directory : {"served", "lock", "state", "cache", "private", "pid", "ncalrpc",
                                  "log", "client/.smb", "client/cache"})
        QDir().mkpath(path(QLatin1String(directory)));
    return writeServerConfig(error) && addUser(error) && startServer(error)
           && writeClientConfig(error) && startClient(error);
}

bool SambaShare::writeServerConfig(QString *error)
{
    // No printing and no RPC helpers: samba-dcerpcd, started on demand,
    // outlives smbd and logs under /var/log/samba whatever smb.conf says.
    // Without it the share works; only listing the host's shares fails.
    const QString text = QStringLiteral("[global]\n"
                                        "server role = standalone server\n"
                                        "workgroup = TWINFOLD\n"
                                        "netbios name = TWINFOLDRIG\n"
                                        "interfaces = 127.0.0.1\n"
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
                                 .arg(port)
                                 .arg(work, servedPath());
    return writeText(path(QStringLiteral("smb.conf")), text, error);
}

bool SambaShare::addUser(QString *error)
{
    const QString smbpasswd = Mounts::findProgram(QStringLiteral("smbpasswd"));
    if (smbpasswd.isEmpty()) {
        *error = QStringLiteral("smbpasswd is not installed (package samba-common-bin)");
        return false;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(smbpasswd, {"-c", path(QStringLiteral("smb.conf")), "-s", "-a", "root"});
    process.write((password + QLatin1Char('\n') + password + QLatin1Char('\n')).toUtf8());
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("smbpasswd: ") + QString::fromLocal8Bit(process.readAll())
                 + process.errorString();
        return false;
    }
    return true;
}

bool SambaShare::startServer(QString *error)
{
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
    smbd->start(program,
                {"--foreground", "--debug-stdout", "-s", path(QStringLiteral("smb.conf"))});
    // waitForFinished() as the pause: it also notices an early exit.
    for (int wait = 0; wait < 100 && !accepting(port); ++wait) {
        if (smbd->waitForFinished(100)) {
            *error = QStringLiteral("smbd stopped (exit code %1): ").arg(smbd->exitCode())
                     + QString::fromLocal8Bit(smbd->readAll());
            return false;
        }
    }
    if (!accepting(port)) {
        *error = QStringLiteral("smbd does not listen on 127.0.0.1:%1").arg(port);
        return false;
    }
    return true;
}

bool SambaShare::writeClientConfig(QString *error)
{
    // libsmbclient reads $HOME/.smb/smb.conf instead of the system's one
    // when it exists; its caches go to the client's own directory.
    const QString client = path(QStringLiteral("client"));
    const QString smbConf = QStringLiteral("[global]\n"
                                           "lock directory = %1/cache\n"
                                           "state directory = %1/cache\n"
                                           "cache directory = %1/cache\n"
                                           "private dir = %1/cache\n")
                                    .arg(client);
    // The browsing and the stat() shortcuts are off: the latter hides names
    // such as .git and HEAD near the top of the share.
    const QString smbnetfsConf = QStringLiteral("auth \"root\" \"%1\"\n"
                                                "smb_query_browsers \"false\"\n"
                                                "use_libsecret \"false\"\n"
                                                "stat_workaround_enable_default_entries \"false\"\n"
                                                "stat_workaround_depth 0\n")
                                         .arg(password);
    const QString config = client + QStringLiteral("/.smb/smbnetfs.conf");
    if (!writeText(client + QStringLiteral("/.smb/smb.conf"), smbConf, error)
        || !writeText(config, smbnetfsConf, error))
        return false;
    // smbnetfs ignores the password in a configuration others may read.
    QFile::setPermissions(config, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool SambaShare::startClient(QString *error)
{
    const QString program = Mounts::findProgram(QStringLiteral("smbnetfs"));
    if (program.isEmpty()) {
        *error = QStringLiteral("smbnetfs is not installed");
        return false;
    }
    const QString client = path(QStringLiteral("client"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), client);
    smbnetfs = std::make_unique<QProcess>();
    smbnetfs->setProcessEnvironment(environment);
    smbnetfs->setProcessChannelMode(QProcess::MergedChannels);
    smbnetfs->start(program, {mountPoint, "-f", "-o", "config=" + client + "/.smb/smbnetfs.conf"});
    for (int wait = 0; wait < 200 && !QFileInfo(sharePath()).isDir(); ++wait) {
        if (smbnetfs->waitForFinished(100)) {
            *error = QStringLiteral("smbnetfs stopped (exit code %1): ").arg(smbnetfs->exitCode())
                     + QString::fromLocal8Bit(smbnetfs->readAll());
            return false;
        }
    }
    if (!QFileInfo(sharePath()).isDir()) {
        *error = QStringLiteral("the share is not reachable at ") + sharePath();
        return false;
    }
    return true;
}

void SambaShare::stop()
{
    if (smbnetfs) {
        // smbnetfs in the foreground ends when its mount goes.
        Mounts::unmount(mountPoint);
        if (!smbnetfs->waitForFinished(10000))
            endChild(*smbnetfs);
        smbnetfs.reset();
        endProcessesNaming(mountPoint);
    }
    if (smbd) {
        endChild(*smbd);
        smbd.reset();
        endProcessesNaming(path(QStringLiteral("smb.conf")));
    }
}
