#pragma once

#include "sync/live_text.h"
#include "sync/once_notices.h"
#include "sync/sync_job.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

// What a window shares with the jobs it starts, held jointly by both: a job
// blocked in the kernel on a dead share can then outlive the window that
// started it. The window cuts itself off before it goes; from then on the
// job reaches nothing of it, and whatever the job still finds is dropped.
class SyncSession
{
public:
    SyncSession() = default;
    SyncSession(const SyncSession &) = delete;
    SyncSession &operator=(const SyncSession &) = delete;

    LiveText localDir;
    LiveText remoteDir;
    LiveText ignorePattern; // the pattern field's text
    LiveText localFieldText; // the local directory field's text, for the shown paths
    OnceNotices notices;
    std::atomic<bool> stopRequested {false};

    SyncShared shared();

    // A job is counted from its acceptance to its last act.
    void jobStarted();
    void jobEnded();
    // True when no job of this session runs, waiting up to timeoutMs for it.
    bool waitForJobs(int timeoutMs);
    // Jobs of every session still running: the process must not run its
    // exit-time clean-up under one (Qt waits for its thread pool there).
    static int jobsRunningInProcess();

    // Runs call while the window is there, holding it there until call
    // returns; false, without running call, once it has cut itself off.
    bool whileWindowLives(const std::function<void()> &call);
    // The window's last word to its jobs; waits for a call under way.
    void windowGone();

private:
    std::mutex jobsMutex;
    std::condition_variable jobsEnded;
    int jobs = 0;
    std::mutex windowMutex;
    bool windowThere = true;
};
