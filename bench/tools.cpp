#include "tools.h"

#include "bench_error.h"

#include <QProcess>

QByteArray runTool(const QString &program, const QStringList &arguments)
{
    const QString shown = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        throw BenchError(QStringLiteral("could not start ") + shown
                         + QStringLiteral(" (missing?): ") + process.errorString());
    process.waitForFinished(-1);
    const QByteArray output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit)
        throw BenchError(shown + QStringLiteral(" crashed"));
    if (process.exitCode() != 0) {
        const QString errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        throw BenchError(shown + QStringLiteral(" failed with status ")
                         + QString::number(process.exitCode()) + QStringLiteral(": ") + errors);
    }
    return output;
}

QString toolVersion(const QString &program)
{
    const QString text = QString::fromLocal8Bit(runTool(program, {QStringLiteral("--version")}));
    return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}
