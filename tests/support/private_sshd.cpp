#include "support/private_sshd.h"

#include "support/mounts.h"

#include <QDir>
#include <QFile>
#include <QThread>

PrivateSshd::PrivateSshd(const QString &directory, const QString &address, quint16 port,
                         const QStringList &launcher)
    : directory(directory)
    , address(address)
    , port(port)
    , launcher(launcher)
{ }

PrivateSshd::~PrivateSshd()
{
    stop();
}

bool PrivateSshd::start(QString *error)
{
    const QString hostKey = directory + QStringLiteral("/host_key");
    userKey = directory + QStringLiteral("/user_key");
    if (!Mounts::run(QStringLiteral("ssh-keygen"), {"-q", "-t", "ed25519", "-N", "", "-f", hostKey},
                     error)
        || !Mounts::run(QStringLiteral("ssh-keygen"),
                        {"-q", "-t", "ed25519", "-N", "", "-f", userKey}, error))
        return false;
    const QString config = directory + QStringLiteral("/sshd_config");
    QFile file(config);
    if (port == 0 || !file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("no port or no configuration file for sshd");
        return false;
    }
    file.write(QStringLiteral("Port %1\nListenAddress %2\nHostKey %3\n"
                              "AuthorizedKeysFile %4.pub\nPermitRootLogin prohibit-password\n"
                              "PasswordAuthentication no\nUsePAM no\nStrictModes no\n"
                              "PidFile none\nSubsystem sftp internal-sftp\n")
                       .arg(port)
                       .arg(address, hostKey, userKey)
                       .toLocal8Bit());
    file.close();
    QDir().mkpath(QStringLiteral("/run/sshd")); // its privilege separation directory
    sshd = std::make_unique<QProcess>();
    sshd->setProcessChannelMode(QProcess::MergedChannels);
    const QStringList command
            = launcher + QStringList {QStringLiteral("/usr/sbin/sshd"), "-D", "-e", "-f", config};
    sshd->start(command.first(), command.mid(1));
    if (!sshd->waitForStarted(10000)) {
        *error = QStringLiteral("sshd did not start (is openssh-server installed?): ")
                 + sshd->errorString();
        return false;
    }
    return true;
}

bool PrivateSshd::mountSshfs(const QString &served, const QString &mountPoint, QString *error,
                             const QStringList &launcher)
{
    const QStringList options {
            "-o", "IdentityFile=" + userKey,      "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
            "-p", QString::number(port)};
    const QStringList command
            = launcher
              + QStringList {QStringLiteral("sshfs"),
                             QStringLiteral("root@") + address + QLatin1Char(':') + served,
                             mountPoint}
              + options;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!sshd || sshd->state() != QProcess::Running) {
            *error = QStringLiteral("sshd stopped: ")
                     + (sshd ? QString::fromLocal8Bit(sshd->readAll()) : QString());
            return false;
        }
        if (Mounts::run(command.first(), command.mid(1), error))
            return true;
        QThread::msleep(100);
    }
    return false;
}

void PrivateSshd::stop()
{
    if (!sshd)
        return;
    sshd->kill();
    sshd->waitForFinished(5000);
    sshd.reset();
}
