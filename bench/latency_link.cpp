#include "latency_link.h"

#include "support/mounts.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <unistd.h>
#include <vector>

namespace {

const QString namePrefix = QStringLiteral("twinfold-lat-");

QAtomicInt serial;

// The process ids `ip netns pids` lists for a namespace.
QList<qint64> processesIn(const QString &space)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("pids"), space});
    ip.waitForFinished(10000);
    QList<qint64> pids;
    const QList<QByteArray> lines = ip.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        bool ok = false;
        const qint64 pid = line.trimmed().toLongLong(&ok);
        if (ok && pid != ::getpid())
            pids << pid;
    }
    return pids;
}

// Kills what still runs in one of our namespaces (an sshd session, an sshfs
// whose mount went away) and waits for it to be gone. They are not our
// children, so the wait watches /proc.
void killProcessesIn(const QString &space)
{
    const QList<qint64> pids = processesIn(space);
    for (const qint64 pid : pids)
        ::kill(pid_t(pid), SIGKILL);
    for (const qint64 pid : pids) {
        const QString entry = QStringLiteral("/proc/%1").arg(pid);
        for (int wait = 0; wait < 100 && QFileInfo::exists(entry); ++wait)
            QThread::msleep(20);
    }
}

void stopProcess(std::unique_ptr<QProcess> &process)
{
    if (!process)
        return;
    // The end of its input lets the held packets go and ends the program.
    process->closeWriteChannel();
    if (!process->waitForFinished(3000)) {
        process->terminate();
        if (!process->waitForFinished(2000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
    process.reset();
}

} // namespace

LatencyLink::LatencyLink(double rttMs, const QString &delayProgram)
{
    if (::geteuid() != 0) {
        failure = QStringLiteral("a network namespace needs root");
        return;
    }
    const int number = serial.fetchAndAddRelaxed(1) % 100;
    const QString run = QStringLiteral("%1-%2").arg(::getpid()).arg(number);
    nearSpace = namePrefix + run + QStringLiteral("-near");
    farSpace = namePrefix + run + QStringLiteral("-far");
    // Interface names have at most 15 characters.
    nearDevice = QStringLiteral("tfl%1n").arg(run);
    farDevice = QStringLiteral("tfl%1f").arg(run);
    hold = int(std::lround(rttMs * 500));
    up = makeNamespaces();
    if (up && hold > 0) {
        up = addNetem() || addQueues(delayProgram);
        up = up && tune(rttMs);
    }
    if (up)
        failure.clear(); // netem's absence, when our delay stood in for it
    else
        release();
}

LatencyLink::~LatencyLink()
{
    release();
}

QStringList LatencyLink::nearLauncher() const
{
    return {QStringLiteral("nsenter"), QStringLiteral("--net=/run/netns/") + nearSpace};
}

QStringList LatencyLink::farLauncher() const
{
    return {QStringLiteral("nsenter"), QStringLiteral("--net=/run/netns/") + farSpace};
}

bool LatencyLink::makeNamespaces()
{
    const QString ip = QStringLiteral("ip");
    if (!Mounts::run(ip, {"netns", "add", nearSpace}, &failure))
        return false;
    made = true;
    if (!Mounts::run(ip, {"netns", "add", farSpace}, &failure))
        return false;
    // Both ends go straight into the namespaces: nothing of the link is
    // ever in the machine's own.
    return Mounts::run(ip,
                       {"link", "add", nearDevice, "netns", nearSpace, "type", "veth", "peer",
                        "name", farDevice, "netns", farSpace},
                       &failure)
           && Mounts::run(ip,
                          {"-n", nearSpace, "addr", "add", nearAddress() + QStringLiteral("/30"),
                           "dev", nearDevice},
                          &failure)
           && Mounts::run(ip,
                          {"-n", farSpace, "addr", "add", farAddress() + QStringLiteral("/30"),
                           "dev", farDevice},
                          &failure)
           && Mounts::run(ip, {"-n", nearSpace, "link", "set", nearDevice, "up"}, &failure)
           && Mounts::run(ip, {"-n", farSpace, "link", "set", farDevice, "up"}, &failure)
           && Mounts::run(ip, {"-n", nearSpace, "link", "set", "lo", "up"}, &failure)
           && Mounts::run(ip, {"-n", farSpace, "link", "set", "lo", "up"}, &failure);
}

// netem on the sending side of each end. Not every kernel has it (this
// one's sandbox does not); false then, with nothing left behind.
bool LatencyLink::addNetem()
{
    const auto netem = [this](const QString &space, const QString &device) {
        return inSpace(space, {"tc", "qdisc", "add", "dev", device, "root", "netem", "delay",
                               QString::number(hold) + QStringLiteral("us")});
    };
    if (!netem(nearSpace, nearDevice))
        return false;
    if (!netem(farSpace, farDevice)) {
        inSpace(nearSpace, {"tc", "qdisc", "del", "dev", nearDevice, "root"});
        return false;
    }
    delayMethod = QStringLiteral("netem");
    return true;
}

// Our delay program in each namespace, fed by a rule that queues every
// packet leaving that namespace's end of the link.
bool LatencyLink::addQueues(const QString &delayProgram)
{
    if (!QFileInfo(delayProgram).isExecutable()) {
        failure = QStringLiteral("the kernel has no netem and %1 is missing (it is built with the "
                                 "benchmark when libnetfilter-queue-dev is installed)")
                          .arg(delayProgram);
        return false;
    }
    nearDelay = startDelay(delayProgram, nearSpace);
    farDelay = nearDelay ? startDelay(delayProgram, farSpace) : nullptr;
    if (!nearDelay || !farDelay)
        return false;
    const auto queueLeaving = [this](const QString &space, const QString &device) {
        return inSpace(space, {"iptables", "-t", "mangle", "-A", "POSTROUTING", "-o", device, "-j",
                               "NFQUEUE", "--queue-num", "0"});
    };
    if (!queueLeaving(nearSpace, nearDevice) || !queueLeaving(farSpace, farDevice))
        return false;
    delayMethod = QStringLiteral("twinfold-link-delay (NFQUEUE)");
    return true;
}

std::unique_ptr<QProcess> LatencyLink::startDelay(const QString &program, const QString &space)
{
    auto process = std::make_unique<QProcess>();
    const QStringList command
            = QStringList {QStringLiteral("nsenter"), QStringLiteral("--net=/run/netns/") + space,
                           program, QStringLiteral("0"), QString::number(hold)};
    process->start(command.first(), command.mid(1));
    // It says "ready" once its queue is bound; a rule before that would
    // drop every packet.
    while (process->waitForReadyRead(5000) && !process->canReadLine()) { }
    if (!process->canReadLine() || process->readLine().trimmed() != "ready") {
        process->kill();
        process->waitForFinished(2000);
        failure = QStringLiteral("twinfold-link-delay did not start in %1: %2%3")
                          .arg(space, process->errorString(),
                               QString::fromLocal8Bit(process->readAllStandardError()));
        return nullptr;
    }
    return process;
}

bool LatencyLink::setHold(int microseconds)
{
    hold = microseconds;
    if (delayMethod == QLatin1String("netem")) {
        const QString delay = QString::number(hold) + QStringLiteral("us");
        return inSpace(nearSpace, {"tc", "qdisc", "change", "dev", nearDevice, "root", "netem",
                                   "delay", delay})
               && inSpace(farSpace, {"tc", "qdisc", "change", "dev", farDevice, "root", "netem",
                                     "delay", delay});
    }
    const QByteArray line = QByteArray::number(hold) + '\n';
    for (QProcess *process : {nearDelay.get(), farDelay.get()}) {
        if (process->write(line) != line.size() || !process->waitForBytesWritten(2000)) {
            failure = QStringLiteral("twinfold-link-delay took no new hold: ")
                      + process->errorString();
            return false;
        }
    }
    return true;
}

// The delay's own cost (waking up, the trip through user space) comes on
// top of the hold: on this 2-core machine about 0.2 ms per round trip. The
// hold shrinks by half of what ping's median shows too much, a few times
// over; the median, since one late echo moves the average a lot.
bool LatencyLink::tune(double rttMs)
{
    for (int round = 0; round < 6; ++round) {
        PingResult measured;
        if (!ping(20, 0.05, &measured, &failure))
            return false;
        const double tooMuchMs = measured.medianMs - rttMs;
        if (std::abs(tooMuchMs) <= 0.03 * rttMs)
            return true;
        // At most half the hold taken off in one round: a round measured
        // while the machine was busy (a server starting) would otherwise
        // leave no hold at all, and the last round is not measured again.
        const int next = std::max(hold / 2, hold - int(std::lround(tooMuchMs * 500)));
        if (next == hold)
            return true;
        if (!setHold(next))
            return false;
    }
    return true;
}

bool LatencyLink::ping(int count, double intervalSeconds, PingResult *result, QString *error) const
{
    QProcess ping;
    const QStringList command = nearLauncher()
                                + QStringList {QStringLiteral("ping"),
                                               QStringLiteral("-c"),
                                               QString::number(count),
                                               QStringLiteral("-i"),
                                               QString::number(intervalSeconds),
                                               QStringLiteral("-W"),
                                               QStringLiteral("2"),
                                               farAddress()};
    ping.start(command.first(), command.mid(1));
    if (!ping.waitForFinished(int(count * (intervalSeconds + 2) * 1000) + 10000)) {
        *error = QStringLiteral("ping did not end (is iputils-ping installed?): ")
                 + ping.errorString();
        return false;
    }
    const QString text = QString::fromLocal8Bit(ping.readAllStandardOutput());
    const QRegularExpressionMatch counts
            = QRegularExpression(QStringLiteral("(\\d+) packets transmitted, (\\d+) received"))
                      .match(text);
    const QRegularExpressionMatch times
            = QRegularExpression(QStringLiteral("= ([\\d.]+)/([\\d.]+)/([\\d.]+)/([\\d.]+) ms"))
                      .match(text);
    if (ping.exitCode() != 0 || !counts.hasMatch() || !times.hasMatch()) {
        *error = QStringLiteral("ping across the link failed: ") + text.trimmed()
                 + QString::fromLocal8Bit(ping.readAllStandardError()).trimmed();
        return false;
    }
    result->sent = counts.captured(1).toInt();
    result->received = counts.captured(2).toInt();
    result->minMs = times.captured(1).toDouble();
    result->averageMs = times.captured(2).toDouble();
    result->maxMs = times.captured(3).toDouble();
    result->deviationMs = times.captured(4).toDouble();
    std::vector<double> echoes;
    QRegularExpressionMatchIterator echo
            = QRegularExpression(QStringLiteral("time=([\\d.]+) ms")).globalMatch(text);
    while (echo.hasNext())
        echoes.push_back(echo.next().captured(1).toDouble());
    std::sort(echoes.begin(), echoes.end());
    result->medianMs = echoes.empty() ? 0 : echoes[echoes.size() / 2];
    if (result->received != result->sent) {
        *error = QStringLiteral("ping lost packets across the link: ") + text.trimmed();
        return false;
    }
    return true;
}

bool LatencyLink::inSpace(const QString &space, const QStringList &command)
{
    const QStringList launched
            = QStringList {QStringLiteral("nsenter"), QStringLiteral("--net=/run/netns/") + space}
              + command;
    return Mounts::run(launched.first(), launched.mid(1), &failure);
}

void LatencyLink::stopDelays()
{
    stopProcess(nearDelay);
    stopProcess(farDelay);
}

void LatencyLink::release()
{
    stopDelays();
    if (made) {
        QString ignored;
        for (const QString &space : {nearSpace, farSpace}) {
            killProcessesIn(space);
            // Deleting a namespace takes its end of the link, its rules and
            // its routes with it.
            Mounts::run(QStringLiteral("ip"), {"netns", "del", space}, &ignored);
        }
        made = false;
    }
    up = false;
}

void removeStaleLinks()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("list")});
    if (!ip.waitForFinished(10000))
        return;
    const QStringList lines = QString::fromLocal8Bit(ip.readAllStandardOutput()).split('\n');
    for (const QString &line : lines) {
        const QString space = line.section(QLatin1Char(' '), 0, 0);
        if (!space.startsWith(namePrefix))
            continue;
        const QString pid = space.mid(namePrefix.size()).section(QLatin1Char('-'), 0, 0);
        if (pid.toLongLong() == ::getpid() || QFileInfo::exists(QStringLiteral("/proc/") + pid))
            continue;
        QString ignored;
        Mounts::run(QStringLiteral("ip"), {"netns", "del", space}, &ignored);
    }
}
