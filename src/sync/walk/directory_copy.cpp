#include "sync/walk/directory_copy.h"

#include "sync/record/sync_record.h"
#include "sync/walk/copy_pool.h"
#include "sync/walk/once_notices.h"
#include "sync/walk/read_ahead.h"
#include "sync/walk/run_context.h"
#include "sync/walk/target_level.h"
#include "sync/walk/tree_walk.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {

SideTraits traitsOf(const TreeClock &clock)
{
    return SideTraits {clock.resolutionUs, clock.idsLast, clock.changeTimes};
}

// The path with every link and ".." resolved; for a directory not made yet,
// its nearest existing ancestor resolved and the rest as written, so that
// the pair is the same before and after the run makes it.
QString canonical(const QString &path)
{
    QString rest;
    QFileInfo info(QFileInfo(path).absoluteFilePath());
    while (!info.exists() && !info.isRoot()) {
        rest.prepend(QLatin1Char('/') + info.fileName());
        info = QFileInfo(info.absolutePath());
    }
    const QString resolved = info.canonicalFilePath();
    return QDir::cleanPath((resolved.isEmpty() ? info.absoluteFilePath() : resolved) + rest);
}

} // namespace

DirectoryCopy::DirectoryCopy(Setup setup)
    : recordFile(setup.recordFile.isEmpty() ? QStringLiteral(":memory:") : setup.recordFile)
    , direction(setup.direction)
    , events(std::move(setup.events))
    , notices(setup.notices)
    , cancel(setup.cancel)
    , ownFileSystem(setup.fileSystem ? nullptr : makeFileSystem())
    , fileSystem(setup.fileSystem ? setup.fileSystem : ownFileSystem.get())
    , filter(setup.ignorePattern, events)
{ }

DirectoryCopy::~DirectoryCopy() = default;

// The record of the pair (local, remote) by their canonical roots, kept open
// across the runs of this object over the same pair.
void DirectoryCopy::openRecord(const QString &source, const QString &target)
{
    const bool upload = direction == SyncDirection::Upload;
    const QString local = canonical(upload ? source : target);
    const QString remote = canonical(upload ? target : source);
    const QString roots = local + QLatin1Char('\n') + remote;
    if (record && recordRoots == roots)
        return;
    record = std::make_unique<SyncRecord>(recordFile, local, remote);
    recordRoots = roots;
    // Said once a window: nothing the user does here mends it at once.
    if (record->state() != SyncRecord::State::SetAside
        && record->state() != SyncRecord::State::Unavailable)
        return;
    if (notices && !notices->first(QStringLiteral("record:") + recordFile))
        return;
    SyncEvent event = SyncEvent::of(record->state() == SyncRecord::State::SetAside
                                            ? EventKind::RecordSetAside
                                            : EventKind::RecordUnavailable,
                                    recordFile);
    event.error = FsError {FsFault::System, 0, record->problem()};
    events(event);
}

qint64 DirectoryCopy::stampOfPair(const QString &source, const QString &target)
{
    openRecord(source, target);
    return record->stamp(direction);
}

CopyReport DirectoryCopy::run(const QString &source, const QString &target, bool makeWritable,
                              qint64 sinceMs)
{
    Directory from;
    FsError sourceError;
    const OpenResult opened = fileSystem->openRoot(source, &from, &sourceError);
    CopyReport missing;
    if (opened == OpenResult::Missing || opened == OpenResult::NotDirectory
        || opened == OpenResult::Link) {
        missing.sourceFound = false;
        return missing;
    }
    Directory into;
    const FsError made = fileSystem->makeRoot(target, &into);
    openRecord(source, target);
    RunContext run(*fileSystem, filter, events, *record, direction == SyncDirection::Upload, cancel,
                   makeWritable);
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

    fileSystem->setOwnNames(OwnNames(record->pairToken()));
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
    // Where the source's change times tell nothing, a change its modification
    // time hides (an older date written in place, a share's cache) shows
    // only against the record: every file is compared with it.
    run.sinceCleared = sinceMs <= 0;
    run.lookAtAll = run.sinceCleared || !clock.changeTimes;
    run.rowsMayBeMissing = record->interrupted();
    record->beginRun();

    TargetLevel root(std::move(into));
    run.targetRoot = root.directory(run);
    // Several copies at once where each waits on round trips; one at a time
    // where the server stamps a file at its close (a share, whose client
    // through FUSE serves one request at a time anyway), so that each close
    // has landed before the next copy's times are set.
    const TreeClock &targetClock = run.targetClock;
    CopyPool copies(targetClock.remote && !targetClock.stampsAtClose ? fileSystem->copiesAtOnce()
                                                                     : 1);
    run.copies = &copies;
    // The walk reads a directory at a time; on a source behind a network or
    // FUSE client, readers ahead of it overlap those round trips.
    const int readers = fileSystem->copiesAtOnce();
    LevelReader levels(*fileSystem, clock.remote && readers > 1 ? readers : 0, run.cancel);
    run.levels = &levels;
    TreeWalk(run).copyLevel(from, root, QString(), sinceMs, false, 0);
    copies.drain();
    run.copies = nullptr;
    run.levels = nullptr;
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
    run.sourceTraits = traitsOf(run.report.sourceClock);
    run.targetTraits = traitsOf(run.targetClock);
}

bool DirectoryCopy::finish(std::optional<qint64> newStamp, bool flushWrites)
{
    const FsError error = flushWrites ? fileSystem->flush() : FsError();
    if (error.failed()) {
        if (record)
            record->discard();
        SyncEvent event = SyncEvent::of(EventKind::FlushFailed, QString());
        event.error = error;
        events(event);
        return false;
    }
    if (!record)
        return true;
    if (newStamp)
        record->setStamp(direction, *newStamp);
    record->endRun();
    return true;
}
