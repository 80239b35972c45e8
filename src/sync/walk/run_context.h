#pragma once

#include "sync/decision/copy_decision.h"
#include "sync/decision/tree_clock.h"
#include "sync/fs/file_system.h"
#include "sync/walk/copy_report.h"
#include "sync/walk/sync_event.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>

class CopyPool;
class IgnoreFilter;
class LevelReader;
class SyncRecord;
struct RecordRow;

// What one run of the copy shares between the walk of the tree and the step
// for each file: the tools it was given, what it learned of the two trees at
// its start, the record of the pair, and its tally. Set up once a run, before
// the walk.
struct RunContext
{
    RunContext(FileSystem &fileSystem, IgnoreFilter &filter, const EventSink &sink,
               SyncRecord &record, bool sourceIsLocal, const std::atomic<bool> *cancel,
               bool makeWritable)
        : fileSystem(fileSystem)
        , filter(filter)
        , sink(sink)
        , record(record)
        , sourceIsLocal(sourceIsLocal)
        , cancel(cancel)
        , makeWritable(makeWritable)
    { }

    FileSystem &fileSystem;
    IgnoreFilter &filter;
    const EventSink &sink;
    SyncRecord &record;
    const bool sourceIsLocal; // the record's rows hold local and remote sides
    const std::atomic<bool> *cancel; // may be null
    const bool makeWritable;

    CopyPool *copies = nullptr; // where the copies run (several at once on a share)
    LevelReader *levels = nullptr; // reads directories ahead of the walk (on a share)
    const Directory *targetRoot = nullptr;
    QString targetRootPath; // its canonical path with a trailing "/", once a link needs it
    TreeClock targetClock;
    SideTraits sourceTraits;
    SideTraits targetTraits;
    // Every file is compared with its record, whatever its times: the source
    // tree keeps no meaningful change times, or there is no stamp.
    bool lookAtAll = false;
    // There is no stamp (a first run, or the stamps were cleared): a target
    // removed since the pair was in step is copied again.
    bool sinceCleared = false;
    bool rowsMayBeMissing = false;
    CopyReport report;

    bool cancelRequested() const;
    void say(EventKind kind, const QString &path) const;
    // A failure: said, and counted, so that the run keeps its stamp.
    void fail(const QString &path, Failure failure, const FsError &error = {});
    // A pair left alone that needs the user: said and, like a failure, keeps
    // the stamp, so that every run says it again until it is settled.
    void refuse(EventKind kind, const QString &path);
    // What no retry can bring over is said once for each version of it, in
    // this run and the ones after, not again while nothing changed.
    void sayOnce(EventKind kind, const QString &path, qint64 modifiedUs, qint64 size);
    // What the pair looks like now, for the record; written in batches, each
    // after the copies it speaks of have reached the disk.
    void keep(const QString &relativeDir, const QString &name, const RecordRow &row);
    // The written files made durable, then the record's batch committed.
    bool commit();

private:
    int unsaved = 0;
    QElapsedTimer sinceCommit; // started by the first row kept
};

// A time (µs) later than a stamp (ms, as stored): compared to the millisecond.
bool changedAfter(qint64 timeUs, qint64 sinceMs);
