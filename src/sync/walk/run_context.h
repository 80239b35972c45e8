#pragma once

#include "sync/decision/tree_clock.h"
#include "sync/fs/file_system.h"
#include "sync/walk/copy_report.h"
#include "sync/walk/sync_event.h"

#include <QString>

#include <atomic>

class IgnoreFilter;
class OnceNotices;

// What one run of the copy shares between the walk of the tree and the step
// for each file: the tools it was given, what it learned of the two trees at
// its start, and its tally. Set up once a run, before the walk.
struct RunContext
{
    RunContext(FileSystem &fileSystem, IgnoreFilter &filter, const EventSink &sink,
               OnceNotices *notices, const std::atomic<bool> *cancel, bool makeWritable)
        : fileSystem(fileSystem)
        , filter(filter)
        , sink(sink)
        , notices(notices)
        , cancel(cancel)
        , makeWritable(makeWritable)
    { }

    FileSystem &fileSystem;
    IgnoreFilter &filter;
    const EventSink &sink;
    OnceNotices *notices; // may be null: then notices are given every time
    const std::atomic<bool> *cancel; // may be null
    const bool makeWritable;

    const Directory *targetRoot = nullptr;
    QString targetRootPath; // its canonical path with a trailing "/", once a link needs it
    TreeClock targetClock;
    qint64 resolutionUs = 1; // the coarser stored resolution of the two trees
    CopyReport report;

    bool cancelRequested() const;
    void say(EventKind kind, const QString &path) const;
    // A failure: said, and counted, so that the run keeps its stamp.
    void fail(const QString &path, Failure failure, const FsError &error = {});
    // A pair left alone that needs the user: said and, like a failure, keeps
    // the stamp, so that every run says it again until it is settled.
    void refuse(EventKind kind, const QString &path);
    // What no retry can bring over is said once for each version of it, not
    // again by the runs that look at it while the stamp's margin covers it.
    void sayOnce(EventKind kind, const QString &path, qint64 modifiedUs, qint64 size);
};

// A time (µs) later than a stamp (ms, as stored): compared to the millisecond.
bool changedAfter(qint64 timeUs, qint64 sinceMs);
