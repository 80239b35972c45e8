#include "sync/walk/directory_copy.h"

#include "sync/walk/once_notices.h"
#include "sync/walk/run_context.h"
#include "sync/walk/target_level.h"
#include "sync/walk/tree_walk.h"

#include <algorithm>
#include <limits>

DirectoryCopy::DirectoryCopy(Setup setup)
    : events(std::move(setup.events))
    , notices(setup.notices)
    , cancel(setup.cancel)
    , ownFileSystem(setup.fileSystem ? nullptr : makeFileSystem())
    , fileSystem(setup.fileSystem ? setup.fileSystem : ownFileSystem.get())
    , filter(setup.ignorePattern, events)
{ }

DirectoryCopy::~DirectoryCopy() = default;

CopyReport DirectoryCopy::run(const QString &source, const QString &target, bool makeWritable,
                              qint64 sinceMs)
{
    RunContext run(*fileSystem, filter, events, notices, cancel, makeWritable);

    Directory from;
    FsError sourceError;
    const OpenResult opened = fileSystem->openRoot(source, &from, &sourceError);
    if (opened == OpenResult::Missing || opened == OpenResult::NotDirectory
        || opened == OpenResult::Link) {
        run.report.sourceFound = false;
        return run.report;
    }
    Directory into;
    const FsError made = fileSystem->makeRoot(target, &into);
    if (made.failed()) {
        run.fail(directoryPrefix(target), Failure::FileSystem, made);
        return run.report;
    }
    if (opened == OpenResult::Failed) {
        run.fail(directoryPrefix(source), Failure::FileSystem, sourceError);
        return run.report;
    }
    if (fileSystem->sameDirectory(from, into)) {
        run.refuse(EventKind::SameDirectory, source);
        return run.report;
    }

    measureClocks(source, from, into, run);
    // A stamp later than the source tree's clock shows now was not taken from
    // that clock (an older version's, a clock stepped back, another share):
    // files changed since could carry any earlier time. The probe's time is
    // rounded down to the clock's tick, hence the tick's allowance.
    const TreeClock &clock = run.report.sourceClock;
    if (sinceMs > (clock.nowUs() + clock.tickUs) / 1000) {
        run.say(EventKind::StampAhead, source);
        sinceMs = std::numeric_limits<qint64>::min();
    }

    TargetLevel root(std::move(into));
    run.targetRoot = root.directory(run);
    TreeWalk(run).copyLevel(from, root, sinceMs, false);
    return run.report;
}

void DirectoryCopy::measureClocks(const QString &source, const Directory &from,
                                  const Directory &into, RunContext &run)
{
    const FsError unprobed = fileSystem->probeClock(from, false, &run.report.sourceClock);
    if (unprobed.failed()) {
        run.report.sourceClock = TreeClock::local();
        if (!notices || notices->first(QStringLiteral("clock:") + from.path)) {
            SyncEvent event = SyncEvent::of(EventKind::SourceClockUnreadable, source);
            event.error = unprobed;
            events(event);
        }
    }
    if (fileSystem->probeClock(into, true, &run.targetClock).failed())
        run.targetClock = TreeClock::local(); // every write there will fail and say why
    run.resolutionUs = std::max(run.report.sourceClock.resolutionUs, run.targetClock.resolutionUs);
}

bool DirectoryCopy::flush()
{
    const FsError error = fileSystem->flush();
    if (!error.failed())
        return true;
    SyncEvent event = SyncEvent::of(EventKind::FlushFailed, QString());
    event.error = error;
    events(event);
    return false;
}
