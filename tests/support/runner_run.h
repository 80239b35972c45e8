#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <functional>

// One run of twinfold-sync-runner (tests/sync/sync_runner.cpp) as a child
// process, and what it printed: one line an event as support/events.h
// writes it ("Copied a.txt", "Failed(FileSystem:ReadSource) b.txt"), the
// job's with their numbers ("Started since=0 start=…", "Completed stamp=…",
// "Incomplete failures=2 kept=1000").
struct RunnerRun
{
    int exitCode = -1; // -1: it did not start or finish, or was killed
    bool killed = false;
    qint64 elapsedMs = 0;
    qint64 lastCopyMs = -1; // when the last "Copied" line arrived
    QStringList lines;
    QString errors; // its standard error

    // The lines of one kind of event: "Copied", "Failed", "Completed", ...
    QStringList of(const QString &kind) const
    {
        return lines.filter(QRegularExpression(QLatin1Char('^') + kind + QStringLiteral("[ (]")));
    }
    QStringList copied() const { return of(QStringLiteral("Copied")); }
    QStringList failed() const { return of(QStringLiteral("Failed")); }
    // The events about files and directories, and the run's notices: every
    // line but the job's own and the copy mode's closing count.
    QStringList body() const
    {
        return lines.filter(QRegularExpression(
                QStringLiteral("^(?!(Started|Completed|Incomplete|Cancelled|copied)( |$))")));
    }
    // How the job ended: its Completed, Incomplete or Cancelled lines.
    QStringList ends() const
    {
        return lines.filter(
                QRegularExpression(QStringLiteral("^(Completed|Incomplete|Cancelled)")));
    }
    // A number a job line carries, "stamp", "kept", "start", "since"; -1 when none does.
    qint64 number(const QString &field) const
    {
        const QRegularExpression pattern(QStringLiteral("\\b%1=(-?\\d+)").arg(field));
        for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
            const QRegularExpressionMatch match = pattern.match(*line);
            if (match.hasMatch())
                return match.captured(1).toLongLong();
        }
        return -1;
    }
    // Exit code 0 and one Completed line, without a failure.
    bool completed() const
    {
        return exitCode == 0 && failed().isEmpty() && ends().size() == 1
               && ends().first().startsWith(QStringLiteral("Completed stamp="));
    }
    // The new stamp when it completed, the one kept when not.
    qint64 stamp() const
    {
        return completed() ? number(QStringLiteral("stamp")) : number(QStringLiteral("kept"));
    }
    // Everything it printed, for a failure message.
    QString said() const { return lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + errors; }
};

struct RunnerOptions
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    int killAfterMs = -1; // SIGKILL when it still runs then
    int timeoutMs = 120000; // killed, and exit code -1, after this
    std::function<void(const QString &line)> onLine; // each line as it arrives
};

// Runs the program (SYNC_RUNNER) to its end with these arguments.
inline RunnerRun runRunner(const QString &program, const QStringList &arguments,
                           const RunnerOptions &options = {})
{
    RunnerRun run;
    QProcess runner;
    runner.setProcessEnvironment(options.environment);
    QByteArray pending;
    QElapsedTimer clock;
    const auto take = [&] {
        pending += runner.readAllStandardOutput();
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            run.lines << line;
            if (line.startsWith(QStringLiteral("Copied ")))
                run.lastCopyMs = clock.elapsed();
            if (options.onLine)
                options.onLine(line);
        }
    };
    QObject::connect(&runner, &QProcess::readyReadStandardOutput, take);
    clock.start();
    runner.start(program, arguments);
    if (!runner.waitForStarted(30000))
        return run;
    if (options.killAfterMs >= 0 && !runner.waitForFinished(options.killAfterMs)) {
        runner.kill();
        run.killed = true;
    }
    if (runner.state() != QProcess::NotRunning && !runner.waitForFinished(options.timeoutMs)) {
        runner.kill();
        runner.waitForFinished(10000);
        run.errors = QStringLiteral("the runner did not finish\n");
    }
    run.elapsedMs = clock.elapsed();
    take();
    if (!pending.isEmpty())
        run.lines << QString::fromUtf8(pending);
    run.errors += QString::fromLocal8Bit(runner.readAllStandardError());
    if (!run.killed && runner.exitStatus() == QProcess::NormalExit)
        run.exitCode = runner.exitCode();
    return run;
}
