#include "machine_info.h"

#include "bench_error.h"
#include "report.h"
#include "tools.h"

#include <QFile>
#include <QSysInfo>

#include <sys/statfs.h>
#include <unistd.h>

namespace {

// The value after the colon on the first line of a /proc file that starts
// with key. (These files have no size, so they are read whole.)
QString procField(const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key))
            return QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
    }
    return QStringLiteral("?");
}

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromUtf8(file.readLine()).trimmed();
}

QString processors()
{
    try {
        return QString::fromUtf8(runTool(QStringLiteral("nproc"), {})).trimmed();
    } catch (const BenchError &) {
        return QString::number(::sysconf(_SC_NPROCESSORS_ONLN)) + QStringLiteral(" (sysconf)");
    }
}

QString fileSystemType(const QString &directory)
{
    QString name;
    try {
        name = QString::fromUtf8(
                       runTool(QStringLiteral("stat"), {QStringLiteral("-f"), QStringLiteral("-c"),
                                                        QStringLiteral("%T"), directory}))
                       .trimmed();
    } catch (const BenchError &) {
        name = QStringLiteral("?");
    }
    struct statfs info;
    if (::statfs(QFile::encodeName(directory).constData(), &info) == 0)
        name += QStringLiteral(" (statfs magic 0x") + QString::number(qulonglong(info.f_type), 16)
                + QLatin1Char(')');
    return name;
}

} // namespace

void printMachine(const QString &directory)
{
    say(QStringLiteral("machine: nproc %1, %2, %3 memory")
                .arg(processors(), procField(QStringLiteral("/proc/cpuinfo"), "model name"),
                     procField(QStringLiteral("/proc/meminfo"), "MemTotal")));
    say(QStringLiteral("kernel:  %1 %2, Qt %3")
                .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                     QString::fromLatin1(qVersion())));
    say(QStringLiteral("disk:    %1 is on %2").arg(directory, fileSystemType(directory)));
    say(QStringLiteral("load:    %1 (from /proc/loadavg, at start)")
                .arg(firstLine(QStringLiteral("/proc/loadavg"))));
    say(QStringLiteral("tools:   %1 | %2 | %3")
                .arg(toolVersion(QStringLiteral("cp")), toolVersion(QStringLiteral("rsync")),
                     toolVersion(QStringLiteral("find"))));
}
