#include "round_trips.h"

#include "bench_error.h"
#include "tools.h"

#include <QFile>
#include <QRegularExpression>

TracedCalls traceCallsOnMount(const QStringList &command, const QString &mountPath,
                              const QString &logPath)
{
    runTool(QStringLiteral("strace"),
            QStringList {QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-o"), logPath}
                    + command);
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        throw BenchError(QStringLiteral("cannot read ") + logPath + QStringLiteral(": ")
                         + log.errorString());
    // "1234  openat(AT_FDCWD</x>, \"/mnt/a\", ...) = 3</mnt/a>"; with -f
    // every line starts with the process id. strace writes names as C
    // strings: bytes past ASCII become \ooo escapes, the mount's path stays plain.
    const QRegularExpression call(QStringLiteral("^(?:\\d+\\s+)?(\\w+)\\("));
    const QString onMount = mountPath + QLatin1Char('/');
    TracedCalls traced;
    while (!log.atEnd()) {
        const QString line = QString::fromLocal8Bit(log.readLine());
        const QRegularExpressionMatch match = call.match(line);
        if (!match.hasMatch())
            continue; // "+++ exited with 0 +++", signals, resumed halves
        ++traced.total;
        // execve names the mount in the command's arguments, not as a file.
        if (match.captured(1) == QLatin1String("execve"))
            continue;
        if (line.contains(QLatin1Char('"') + onMount) || line.contains(QLatin1Char('<') + onMount))
            traced.onMount << match.captured(1);
    }
    return traced;
}

QString summariseCalls(const QStringList &names)
{
    QStringList seen;
    for (const QString &name : names) {
        if (!seen.contains(name))
            seen << name;
    }
    QStringList parts;
    for (const QString &name : qAsConst(seen)) {
        const int times = names.count(name);
        parts << (times == 1 ? name : name + QStringLiteral(" ×") + QString::number(times));
    }
    return parts.join(QStringLiteral(", "));
}

double slope(const std::vector<std::pair<double, double>> &points)
{
    double meanX = 0;
    double meanY = 0;
    for (const auto &[x, y] : points) {
        meanX += x;
        meanY += y;
    }
    meanX /= double(points.size());
    meanY /= double(points.size());
    double across = 0;
    double spreadX = 0;
    for (const auto &[x, y] : points) {
        across += (x - meanX) * (y - meanY);
        spreadX += (x - meanX) * (x - meanX);
    }
    if (spreadX == 0)
        throw BenchError(QStringLiteral("a slope needs two different x values"));
    return across / spreadX;
}
