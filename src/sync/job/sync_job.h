#pragma once

#include "sync/job/sync_outcome.h"
#include "sync/walk/sync_event.h"

#include <QString>

#include <atomic>

class LiveText;
class OnceNotices;

// What a run reads while it runs, each part safe to read from any thread:
// the texts the window keeps in step with its fields, read afresh at each use.
struct SyncInputs
{
    const LiveText &localDir;
    const LiveText &remoteDir;
    const LiveText &ignorePattern; // the pattern field's text
    OnceNotices *notices = nullptr; // notices given once per window, not once per run
    QString recordFile = QString(); // the sync record; empty: one that forgets after the run
};

// Runs one direction: a start event, the copy, and then either a completed
// event with the new time stamp or, when anything failed, one that says so
// and keeps the old stamp so the next run tries again. The outcome comes back
// by value; the caller stores the stamp.
class SyncJob
{
public:
    // A new stamp is the source tree's own time at the start of the run,
    // as its file system stores times, less this margin: a share's server
    // may stamp a file written just after the start with a slightly earlier
    // time. Files in step cost the next run one look each.
    static constexpr qint64 stampMarginMs = 2000;
    // Where the source tree's clock could not be read, this machine's clock
    // stands in; a share's clock may differ from it by an hour or more
    // (another time zone on FAT, a server never set), so the margin is a day.
    static constexpr qint64 unmeasuredMarginMs = 24 * 3600 * 1000;

    SyncJob(SyncInputs inputs, EventSink events, const std::atomic<bool> *cancel = nullptr);

    SyncOutcome run(SyncDirection direction, qint64 since);

private:
    SyncInputs inputs;
    EventSink events;
    const std::atomic<bool> *cancel;
};
