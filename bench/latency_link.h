#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// What ping said about a link.
struct PingResult
{
    int sent = 0;
    int received = 0;
    double minMs = 0;
    double averageMs = 0;
    double maxMs = 0;
    double deviationMs = 0;
    double medianMs = 0; // of the echoes' own times, which a late wake-up moves less
};

// A network link with a chosen round-trip time, for a remote reached over
// a network: two network namespaces of this run ("near" and "far") joined
// by a veth pair, 10.231.0.1/30 near and .2 far, and half of the round trip
// added to every packet each side sends. Nothing is added to the machine's
// own network, so only the namespaces' two addresses ever carry traffic.
//
// The delay is netem's where the kernel has sch_netem, and otherwise our
// twinfold-link-delay, which holds the packets an iptables NFQUEUE rule
// hands it. Both add some time of their own, so the hold is tuned with ping
// until the round trip is the one asked for. Needs root.
//
// The destructor stops what it started, kills whatever still runs in the
// two namespaces (the sshd sessions of a remote, say) and deletes them, also
// after a failed set-up. A link that cannot be made leaves error() saying
// what is missing.
class LatencyLink
{
public:
    // rttMs 0: the plain veth pair, nothing added. delayProgram: the path of
    // twinfold-link-delay, used where there is no netem.
    LatencyLink(double rttMs, const QString &delayProgram);
    ~LatencyLink();
    LatencyLink(const LatencyLink &) = delete;
    LatencyLink &operator=(const LatencyLink &) = delete;

    bool isUp() const { return up; }
    QString error() const { return failure; }

    QString nearAddress() const { return QStringLiteral("10.231.0.1"); }
    QString farAddress() const { return QStringLiteral("10.231.0.2"); }
    // Put before a command line to run it in the near or far namespace.
    // Only the network namespace changes (nsenter --net), so a mount made
    // there lands in the caller's mount namespace, where the benchmark is.
    QStringList nearLauncher() const;
    QStringList farLauncher() const;

    // "none", "netem" or "twinfold-link-delay (NFQUEUE)".
    QString method() const { return delayMethod; }
    // The time added each way, after tuning.
    int holdMicroseconds() const { return hold; }

    // ping -c count -i interval from the near side to the far one. False,
    // with *error set, when ping failed or lost a packet.
    bool ping(int count, double intervalSeconds, PingResult *result, QString *error) const;

private:
    bool makeNamespaces();
    bool addNetem();
    bool addQueues(const QString &delayProgram);
    std::unique_ptr<QProcess> startDelay(const QString &program, const QString &space);
    bool setHold(int microseconds);
    bool tune(double rttMs);
    bool inSpace(const QString &space, const QStringList &command);
    void stopDelays();
    void release();

    QString nearSpace;
    QString farSpace;
    QString nearDevice;
    QString farDevice;
    QString delayMethod = QStringLiteral("none");
    int hold = 0;
    std::unique_ptr<QProcess> nearDelay;
    std::unique_ptr<QProcess> farDelay;
    bool made = false;
    bool up = false;
    QString failure;
};

// Deletes the namespaces that a benchmark killed before its end left behind
// (their names carry the process id of a run that is gone).
void removeStaleLinks();
