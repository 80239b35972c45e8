#include "sync/job/job_channel.h"

void JobChannel::setWake(std::function<void()> call)
{
    const std::lock_guard<std::mutex> lock(mutex);
    wake = std::move(call);
}

// The wake runs under the lock, so that close() cannot return while one is
// under way.
void JobChannel::post(JobMessage message)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (!open)
        return;
    pending.push_back(std::move(message));
    if (pending.size() == 1 && wake)
        wake();
}

std::vector<JobMessage> JobChannel::take(size_t most)
{
    const std::lock_guard<std::mutex> lock(mutex);
    std::vector<JobMessage> taken;
    if (pending.size() <= most) {
        taken.swap(pending);
        return taken;
    }
    const auto end = pending.begin() + std::ptrdiff_t(most);
    taken.assign(std::make_move_iterator(pending.begin()), std::make_move_iterator(end));
    pending.erase(pending.begin(), end);
    if (open && wake)
        wake();
    return taken;
}

void JobChannel::close()
{
    const std::lock_guard<std::mutex> lock(mutex);
    open = false;
    wake = nullptr;
}
