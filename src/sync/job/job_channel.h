#pragma once

#include "sync/job/sync_outcome.h"
#include "sync/walk/sync_event.h"

#include <functional>
#include <mutex>
#include <variant>
#include <vector>

// What a job hands to the window, in order: its events as they happen and,
// at the end of each direction, its outcome. The job posts from its thread;
// the window takes on its own, woken by a call of its own. Once the window
// has closed the channel, posts are dropped: a job stuck in the kernel can
// outlive the window and reach nothing of it.
using JobMessage = std::variant<SyncEvent, SyncOutcome>;

class JobChannel
{
public:
    // Called on the job's thread whenever the channel goes from empty to
    // not; it must only schedule the taking. Set before any job starts.
    void setWake(std::function<void()> wake);

    void post(JobMessage message);
    // Up to `most` messages, oldest first; wakes again for the rest.
    std::vector<JobMessage> take(size_t most);
    // No post is kept and nothing is woken after this returns.
    void close();

private:
    std::mutex mutex;
    std::vector<JobMessage> pending;
    std::function<void()> wake;
    bool open = true;
};
