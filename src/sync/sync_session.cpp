#include "sync/sync_session.h"

#include <chrono>

namespace {

std::atomic<int> processJobs {0};

} // namespace

SyncShared SyncSession::shared()
{
    return SyncShared {localDir, remoteDir, ignorePattern, localFieldText, &notices};
}

void SyncSession::jobStarted()
{
    const std::lock_guard<std::mutex> lock(jobsMutex);
    ++jobs;
    processJobs.fetch_add(1);
}

void SyncSession::jobEnded()
{
    {
        const std::lock_guard<std::mutex> lock(jobsMutex);
        --jobs;
        processJobs.fetch_sub(1);
    }
    jobsEnded.notify_all();
}

bool SyncSession::waitForJobs(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(jobsMutex);
    return jobsEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return jobs == 0; });
}

int SyncSession::jobsRunningInProcess()
{
    return processJobs.load();
}

bool SyncSession::whileWindowLives(const std::function<void()> &call)
{
    const std::lock_guard<std::mutex> lock(windowMutex);
    if (!windowThere)
        return false;
    call();
    return true;
}

void SyncSession::windowGone()
{
    const std::lock_guard<std::mutex> lock(windowMutex);
    windowThere = false;
}
