#pragma once

#include <QString>

#include <atomic>
#include <functional>

class LiveText;

enum class SyncDirection { Upload, Download };

// What the jobs share with the window: each part is safe to read and write
// from any thread, and a job reads them when it runs, not when it was asked for.
struct SyncShared
{
    const LiveText &localDir;
    const LiveText &remoteDir;
    std::atomic<qint64> &uploadTime;
    std::atomic<qint64> &downloadTime;
    const LiveText &ignorePattern; // the pattern field's text
    const LiveText &localFieldText; // the local directory field's text, for the shown paths
};

// Runs one direction: a start line, the copy, and then either the success
// line with the new time stamp or, when anything failed, a line that says so
// and keeps the old stamp so the next run tries again.
class SyncJob
{
public:
    using Log = std::function<void(const QString &)>;
    using TimeStored = std::function<void(SyncDirection)>;

    // A new stamp is this much before the start of the run: file systems
    // stamp files from a coarse clock (or a server's), so a file written
    // just after the start may carry a slightly earlier time and would
    // otherwise never be seen. Files in step cost the next run one look each.
    static constexpr qint64 stampMarginMs = 2000;

    // timeStored is called after the time member changed, to persist it.
    SyncJob(SyncShared shared, Log log, TimeStored timeStored,
            const std::atomic<bool> *cancel = nullptr);

    // True when the run completed and advanced its stamp.
    bool run(SyncDirection direction);

private:
    SyncShared shared;
    Log log;
    TimeStored timeStored;
    const std::atomic<bool> *cancel;
};
