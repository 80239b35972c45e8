#include "engine_run.h"

#include "bench_error.h"
#include "settings/settings_keys.h"
#include "support/events.h"
#include "sync/walk/live_text.h"
#include "timing.h"

EngineRun runEngine(const QString &source, const QString &target, qint64 since, bool durable,
                    const QString &recordFile, FileSystem *fileSystem)
{
    const LiveText ignorePattern(QString::fromUtf8(SettingsDefaults::ignorePattern));
    EngineRun run;
    SyncEvent last;
    run.ms = timeMs([&] {
        DirectoryCopy copy({ignorePattern,
                            [&run, &last](const SyncEvent &event) {
                                ++run.events;
                                last = event;
                            },
                            nullptr, nullptr, fileSystem, recordFile});
        run.report = copy.run(source, target, true, since);
        if (!copy.finish(std::nullopt, durable))
            ++run.report.failures;
    });
    // Worded after the clock stopped: the copy keeps the last event only.
    if (run.events > 0)
        run.lastEvent = brief(last, source);
    return run;
}

void checkEngineRun(const EngineRun &run, int expected, const QString &who)
{
    const CopyReport &report = run.report;
    if (!report.complete())
        throw BenchError(who
                         + QStringLiteral(": the copy did not complete (source found %1, "
                                          "%2 failures, cancelled %3); last event: %4")
                                   .arg(report.sourceFound)
                                   .arg(report.failures)
                                   .arg(report.cancelled)
                                   .arg(run.lastEvent));
    if (report.copied != expected)
        throw BenchError(who
                         + QStringLiteral(": copied %1 files, expected %2")
                                   .arg(report.copied)
                                   .arg(expected));
}
