#pragma once

#include <QString>

#include <atomic>
#include <functional>

class LiveText;
class OnceNotices;

enum class SyncDirection { Upload, Download };

// What the jobs read of the window's state: each part is safe to read from
// any thread, and a job reads them when it runs, not when it was asked for.
struct SyncShared
{
    const LiveText &localDir;
    const LiveText &remoteDir;
    const LiveText &ignorePattern; // the pattern field's text
    const LiveText &localFieldText; // the local directory field's text, for the shown paths
    OnceNotices *notices = nullptr; // notices given once per window, not once per run
};

// How one run of one direction ended. The caller stores the stamp.
struct SyncOutcome
{
    SyncDirection direction = SyncDirection::Upload;
    bool completed = false; // everything went through: stamp is the new time stamp
    bool cancelled = false;
    qint64 since = 0; // the stamp the run started from
    qint64 stamp = 0; // the new stamp when completed, else since
    int copied = 0;
    int failures = 0;
    int deferred = 0;
};

// Runs one direction: a start line, the copy, and then either the success
// line with the new time stamp or, when anything failed, a line that says so
// and keeps the old stamp so the next run tries again.
class SyncJob
{
public:
    using Log = std::function<void(const QString &)>;

    // A new stamp is the source tree's own time at the start of the run,
    // as its file system stores times, less this margin: a share's server
    // may stamp a file written just after the start with a slightly earlier
    // time. Files in step cost the next run one look each.
    static constexpr qint64 stampMarginMs = 2000;
    // Where the source tree's clock could not be read, this machine's clock
    // stands in; a share's clock may differ from it by an hour or more
    // (another time zone on FAT, a server never set), so the margin is a day.
    static constexpr qint64 unmeasuredMarginMs = 24 * 3600 * 1000;

    SyncJob(SyncShared shared, Log log, const std::atomic<bool> *cancel = nullptr);

    SyncOutcome run(SyncDirection direction, qint64 since);

private:
    SyncShared shared;
    Log log;
    const std::atomic<bool> *cancel;
};
