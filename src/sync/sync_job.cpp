#include "sync/sync_job.h"

#include "sync/directory_copy.h"
#include "sync/live_text.h"
#include "sync/tree_clock.h"

#include <QDateTime>

namespace {

// The probe's time is already a reading of the tree's clock, stamped at its
// tick; rounding it further down to a tick guessed for the platform (16 ms on
// Windows) would only move the stamp off the tree's own time.
qint64 newStamp(const TreeClock &sourceClock, qint64 localStartMs)
{
    if (!sourceClock.measured)
        return localStartMs - SyncJob::unmeasuredMarginMs;
    return floorTo(sourceClock.probeUs, sourceClock.resolutionUs) / 1000 - SyncJob::stampMarginMs;
}

} // namespace

SyncJob::SyncJob(SyncShared shared, Log log, const std::atomic<bool> *cancel)
    : shared(shared)
    , log(std::move(log))
    , cancel(cancel)
{ }

SyncOutcome SyncJob::run(SyncDirection direction, qint64 since)
{
    const bool upload = direction == SyncDirection::Upload;
    const QString name = upload ? QStringLiteral("上传") : QStringLiteral("下载");

    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    log(QStringLiteral("\n开始") + name + QLatin1Char(' ') + QString::number(since)
        + QStringLiteral(" --> ") + QString::number(start));

    const QString source = upload ? shared.localDir.text() : shared.remoteDir.text();
    const QString target = upload ? shared.remoteDir.text() : shared.localDir.text();
    DirectoryCopy copy(shared.ignorePattern, shared.localFieldText, log, cancel);
    copy.setNotices(shared.notices);
    CopyReport report = copy.run(source, target, true, since);
    // Durable before the stamp moves on, so that what a power cut loses is
    // looked at again. A cancelled run stores no stamp and need not wait.
    if (!report.cancelled && !copy.flush())
        ++report.failures;
    if (!report.sourceFound) {
        log(QStringLiteral("    源目录不存在：") + source);
        ++report.failures;
    }

    SyncOutcome outcome;
    outcome.direction = direction;
    outcome.cancelled = report.cancelled;
    outcome.since = since;
    outcome.stamp = since;
    outcome.copied = report.copied;
    outcome.failures = report.failures;
    outcome.deferred = report.deferred;
    if (report.cancelled) {
        log(name + QStringLiteral("已中止，保留时间 ") + QString::number(since));
        return outcome;
    }
    if (report.failures > 0) {
        log(name
            + QStringLiteral("未完成，失败 %1 项，保留时间 %2").arg(report.failures).arg(since));
        return outcome;
    }
    // The start, not the end: a file edited while the run was under way, after
    // the walk passed it, must still count as changed next time.
    outcome.completed = true;
    outcome.stamp = newStamp(report.sourceClock, start);
    log(name + QStringLiteral("成功 ") + QString::number(outcome.stamp));
    return outcome;
}
