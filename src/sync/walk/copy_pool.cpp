#include "sync/walk/copy_pool.h"

#include <algorithm>

namespace {

// Copies handed over for each thread: enough to reach a few directories
// ahead in trees of small directories, few enough that the handles they
// hold stay far below a process's limit.
constexpr int waitingPerThread = 8;

} // namespace

CopyPool::CopyPool(int atOnce)
    : atOnce(std::max(1, atOnce))
    , handedOverAtMost(this->atOnce * waitingPerThread)
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

void CopyPool::submit(const void *lane, std::function<void()> copy, std::function<void()> then)
{
    if (threads.empty()) {
        copy();
        then();
        return;
    }
    finishDone(); // each copy is said as soon as it is complete
    std::unique_lock<std::mutex> guard(lock);
    while (inFlight >= handedOverAtMost)
        finishOne(guard);
    waiting.push_back({lane, std::move(copy), std::move(then)});
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
        Task task = takeFromQuietestLane();
        guard.unlock();
        task.copy();
        guard.lock();
        if (--runningIn[task.lane] == 0)
            runningIn.erase(task.lane);
        done.push_back(std::move(task.then));
        copyDone.notify_all();
    }
}

CopyPool::Task CopyPool::takeFromQuietestLane()
{
    auto runningInLane = [this](const Task &task) {
        const auto found = runningIn.find(task.lane);
        return found == runningIn.end() ? 0 : found->second;
    };
    // The first of the least busy lanes: copies into one directory keep the
    // walk's order.
    auto chosen = waiting.begin();
    int fewest = runningInLane(*chosen);
    for (auto it = std::next(chosen); it != waiting.end() && fewest > 0; ++it) {
        const int running = runningInLane(*it);
        if (running < fewest) {
            chosen = it;
            fewest = running;
        }
    }
    Task task = std::move(*chosen);
    waiting.erase(chosen);
    ++runningIn[task.lane];
    return task;
}
