#pragma once

#include "sync/fs/fs_error.h"

#include <QString>

#include <functional>

// What a run found and did, as values: one event for each file or directory
// that matters, and for the run and the job themselves. They are worded for
// the user in one place, on the window's side (src/window/log_wording.h).

enum class SyncDirection { Upload, Download };

// Why a file or directory that a run counts as failed was not carried over.
enum class Failure {
    FileSystem, // SyncEvent::error says what
    TargetIsLink, // a link stands where the copy would go
    TargetIsDirectory,
    TargetNotFile,
    TargetNotDirectory, // something else stands where a directory would go
    DirectoryVanished, // a source directory went away during the run
};

enum class EventKind {
    // A file or directory of the tree; path is its source path.
    Copied,
    TargetNewer, // the target changed since the two were in step: the other direction carries it
    BothChanged, // changed on both sides since they were in step, to other contents: both kept
    BothDiffer, // on both sides, never in step, with other contents: both kept
    Deferred, // stamped within the source clock's running tick: the next run takes it
    KeptLink, // a link at the target to the file this source was copied from, which changed
    NameRefused, // a name the target cannot hold
    CaseTwin, // the second of two names that differ in case only, on a target that ignores case
    LinkSkipped, // a link to a directory, or a dangling one
    TargetInUse, // another program holds the target: the next run replaces it
    TooDeep, // a directory below the deepest level a run goes to: left out
    Failed, // failure (and error) say why
    // The run; path is a tree's root as the user named it.
    SameDirectory,
    SourceMissing,
    SourceClockUnreadable, // nothing could be created in the source root: this machine's clock
                           // stands in
    StampAhead, // the stamp is later than the source tree's clock: every file is looked at
    FlushFailed, // the written files could not be made durable
    PatternUnusable, // the ignore pattern is invalid or too costly: nothing is ignored
    RecordSetAside, // the sync record was damaged or of another version: set aside, begun anew
    RecordUnavailable, // the sync record cannot be kept: this run remembers nothing
    // The job.
    Started,
    Completed,
    Incomplete,
    Cancelled,
};

struct SyncEvent
{
    EventKind kind = EventKind::Copied;
    QString path; // native separators
    Failure failure = Failure::FileSystem;
    FsError error;
    // PatternUnusable: the pattern's text, and Qt's words for what is wrong
    // with it (empty when it is valid but would cost too much to match).
    QString pattern;
    QString patternProblem;
    // The job's events.
    SyncDirection direction = SyncDirection::Upload;
    qint64 since
            = 0; // Started: the stamp the run starts from; Incomplete, Cancelled: the stamp kept
    qint64 time = 0; // Started: this machine's clock at the start; Completed: the new stamp
    int failures = 0; // Incomplete

    static SyncEvent of(EventKind kind, const QString &path)
    {
        SyncEvent event;
        event.kind = kind;
        event.path = path;
        return event;
    }
    static SyncEvent failed(const QString &path, Failure failure, const FsError &error = {})
    {
        SyncEvent event = of(EventKind::Failed, path);
        event.failure = failure;
        event.error = error;
        return event;
    }
};

// Where events go, on the thread that runs the copy.
using EventSink = std::function<void(const SyncEvent &)>;
