#include "window/call_queue.h"

CallQueue::CallQueue(QObject *parent)
    : QObject(parent)
{
    connect(this, &CallQueue::posted, this, &CallQueue::runPosted, Qt::QueuedConnection);
}

void CallQueue::post(std::function<void()> call)
{
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        wake = calls.empty();
        calls.push_back(std::move(call));
    }
    // One wake-up for every batch: the calls posted before it is handled
    // are all run by it.
    if (wake)
        emit posted();
}

void CallQueue::runPosted()
{
    std::vector<std::function<void()>> due;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        due.swap(calls);
    }
    for (const auto &call : due)
        call();
}
