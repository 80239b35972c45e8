#include "sync/walk/copy_pool.h"

#include <algorithm>

CopyPool::CopyPool(int atOnce)
    : atOnce(std::max(1, atOnce))
{
    if (this->atOnce > 1) {
        for (int i = 0; i < this->atOnce; ++i)
            threads.emplace_back([this] { work(); });
    }
}

CopyPool::~CopyPool()
{
    {
        std::unique_lock<std::mutex> guard(lock);
        while (inFlight > int(done.size()))
            copyDone.wait(guard);
        stopping = true;
    }
    taskReady.notify_all();
    for (std::thread &thread : threads)
        thread.join();
}

void CopyPool::submit(std::function<void()> copy, std::function<void()> then)
{
    if (threads.empty()) {
        copy();
        then();
        return;
    }
    finishDone(); // each copy is said as soon as it is complete
    std::unique_lock<std::mutex> guard(lock);
    while (inFlight >= atOnce)
        finishOne(guard);
    waiting.push_back({std::move(copy), std::move(then)});
    ++inFlight;
    guard.unlock();
    taskReady.notify_one();
}

void CopyPool::runHere(const std::function<void()> &copy, const std::function<void()> &then)
{
    drain();
    copy();
    then();
}

void CopyPool::drain()
{
    std::unique_lock<std::mutex> guard(lock);
    while (inFlight > 0)
        finishOne(guard);
}

void CopyPool::finishOne(std::unique_lock<std::mutex> &guard)
{
    copyDone.wait(guard, [this] { return !done.empty(); });
    std::function<void()> then = std::move(done.front());
    done.pop_front();
    guard.unlock();
    then();
    guard.lock();
    --inFlight;
}

void CopyPool::finishDone()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!done.empty())
        finishOne(guard);
}

void CopyPool::work()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        taskReady.wait(guard, [this] { return stopping || !waiting.empty(); });
        if (waiting.empty())
            return;
        Task task = std::move(waiting.front());
        waiting.pop_front();
        guard.unlock();
        task.copy();
        guard.lock();
        done.push_back(std::move(task.then));
        copyDone.notify_all();
    }
}
