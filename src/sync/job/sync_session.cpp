#include "sync/job/sync_session.h"

#include <QRunnable>
#include <QThreadPool>

#include <chrono>

namespace {

// Qt's pool hands a job to its thread under locks that thread checkers
// cannot see. So the job's thread reads what the starting thread gave it
// only after taking a lock that thread took once the job was made.
std::mutex handOff;

class HandedOverJob : public QRunnable
{
public:
    explicit HandedOverJob(std::function<void()> job)
        : job(std::move(job))
    {
        const std::lock_guard<std::mutex> lock(handOff);
    }

    void run() override
    {
        {
            const std::lock_guard<std::mutex> lock(handOff);
        }
        job();
    }

private:
    std::function<void()> job;
};

} // namespace

void SyncSession::start(const std::shared_ptr<SyncSession> &session, SyncDirection direction,
                        qint64 since)
{
    session->jobStarted();
    QThreadPool::globalInstance()->start(
            new HandedOverJob([session, direction, since] { session->run(direction, since); }));
}

// However the run ends, its outcome is posted, so that the window is never
// left waiting for it.
void SyncSession::run(SyncDirection direction, qint64 since)
{
    SyncOutcome outcome;
    outcome.direction = direction;
    outcome.since = since;
    outcome.stamp = since;
    try {
        SyncJob job(
                {localDir, remoteDir, ignorePattern, &notices, recordFile},
                [this](const SyncEvent &event) { channel.post(event); }, &stopRequested);
        outcome = job.run(direction, since);
    } catch (...) {
        outcome.failures = 1;
    }
    channel.post(outcome);
    jobEnded();
}

void SyncSession::jobStarted()
{
    const std::lock_guard<std::mutex> lock(jobsMutex);
    ++jobs;
}

void SyncSession::jobEnded()
{
    {
        const std::lock_guard<std::mutex> lock(jobsMutex);
        --jobs;
    }
    jobsEnded.notify_all();
}

bool SyncSession::waitForJobs(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(jobsMutex);
    return jobsEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return jobs == 0; });
}

int SyncSession::jobsRunning() const
{
    const std::lock_guard<std::mutex> lock(jobsMutex);
    return jobs;
}
