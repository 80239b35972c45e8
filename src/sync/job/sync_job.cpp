#include "sync/job/sync_job.h"

#include "sync/decision/tree_clock.h"
#include "sync/walk/directory_copy.h"
#include "sync/walk/live_text.h"

#include <QDateTime>

#include <algorithm>
#include <optional>

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

SyncEvent jobEvent(EventKind kind, SyncDirection direction, qint64 since)
{
    SyncEvent event;
    event.kind = kind;
    event.direction = direction;
    event.since = since;
    return event;
}

} // namespace

SyncJob::SyncJob(SyncInputs inputs, EventSink events, const std::atomic<bool> *cancel)
    : inputs(inputs)
    , events(std::move(events))
    , cancel(cancel)
{ }

SyncOutcome SyncJob::run(SyncDirection direction, qint64 since)
{
    const bool upload = direction == SyncDirection::Upload;
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    SyncEvent started = jobEvent(EventKind::Started, direction, since);
    started.time = start;
    events(started);

    const QString source = upload ? inputs.localDir.text() : inputs.remoteDir.text();
    const QString target = upload ? inputs.remoteDir.text() : inputs.localDir.text();
    DirectoryCopy copy({inputs.ignorePattern, events, inputs.notices, cancel, nullptr,
                        inputs.recordFile, direction});
    // Another pair's stamp says nothing of this one (a second stick, a path
    // typed anew).
    const qint64 from = std::min(since, copy.stampOfPair(source, target));
    CopyReport report = copy.run(source, target, true, from);
    if (!report.sourceFound) {
        events(SyncEvent::of(EventKind::SourceMissing, source));
        ++report.failures;
    }
    // Durable before the record and the stamp move on, so that what a power
    // cut loses is looked at again. A cancelled run stores nothing and need
    // not wait.
    std::optional<qint64> stamp;
    if (report.complete())
        stamp = newStamp(report.sourceClock, start);
    if (!report.cancelled && !copy.finish(stamp)) {
        ++report.failures;
        stamp.reset();
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
        events(jobEvent(EventKind::Cancelled, direction, since));
        return outcome;
    }
    if (report.failures > 0) {
        SyncEvent incomplete = jobEvent(EventKind::Incomplete, direction, since);
        incomplete.failures = report.failures;
        events(incomplete);
        return outcome;
    }
    // The start, not the end: a file edited while the run was under way, after
    // the walk passed it, must still count as changed next time.
    outcome.completed = true;
    outcome.stamp = *stamp;
    SyncEvent completed = jobEvent(EventKind::Completed, direction, since);
    completed.time = outcome.stamp;
    events(completed);
    return outcome;
}
