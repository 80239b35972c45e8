#pragma once

#include "sync/job/job_channel.h"
#include "sync/job/sync_job.h"
#include "sync/walk/live_text.h"
#include "sync/walk/once_notices.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

// What a window shares with the jobs it starts, held jointly by both: the
// texts a job reads live, the notices given once, the stop request and the
// channel back. A job blocked in the kernel on a dead share can then outlive
// the window that started it: the window closes the channel before it goes,
// and whatever the job still finds is dropped.
class SyncSession
{
public:
    // recordFile: where the sync record of the window's pairs is kept.
    explicit SyncSession(QString recordFile = QString())
        : recordFile(std::move(recordFile))
    { }
    Q_DISABLE_COPY(SyncSession)

    const QString recordFile;

    LiveText localDir;
    LiveText remoteDir;
    LiveText ignorePattern; // the pattern field's text
    LiveText localFieldText; // the local directory field's text, for the shown paths
    OnceNotices notices;
    std::atomic<bool> stopRequested {false};
    JobChannel channel;

    // Runs one direction on the global thread pool from the stamp given; its
    // events and then its outcome arrive through the channel.
    static void start(const std::shared_ptr<SyncSession> &session, SyncDirection direction,
                      qint64 since);

    // True when no job of this session runs, waiting up to timeoutMs for it.
    bool waitForJobs(int timeoutMs);
    int jobsRunning() const;

private:
    void run(SyncDirection direction, qint64 since);
    void jobStarted();
    void jobEnded();

    mutable std::mutex jobsMutex;
    std::condition_variable jobsEnded;
    int jobs = 0;
};
