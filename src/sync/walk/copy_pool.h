#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// Copies in flight at once, for a target where each one mostly waits on
// round trips (a share, sshfs). The walk hands over the copy itself and what
// follows from it: the copies run on the pool's threads, and what follows
// runs on the walk's own thread as each copy completes, so that everything
// but the copy (deciding, saying, recording) stays in one thread. With one
// copy at a time there are no threads: each runs when handed over.
//
// Copies into one directory wait on each other: making, linking and removing
// a name holds the directory's lock for a round trip. So the walk may hand
// over copies for a few directories ahead, and each thread takes the waiting
// copy whose directory (its lane) has the fewest copies running.
class CopyPool
{
public:
    explicit CopyPool(int atOnce);
    ~CopyPool(); // waits for what is in flight, without running what follows
    CopyPool(const CopyPool &) = delete;
    CopyPool &operator=(const CopyPool &) = delete;

    bool parallel() const { return !threads.empty(); }
    // Waits, running what follows earlier copies, while the pool is full.
    // lane: the directory copied into; only compared with other lanes.
    void submit(const void *lane, std::function<void()> copy, std::function<void()> then);
    // Runs the copy and what follows here, once every copy handed over
    // before is complete: for a copy that cannot outlive its caller.
    void runHere(const std::function<void()> &copy, const std::function<void()> &then);
    // Runs what follows every copy handed over so far, waiting for them.
    void drain();

private:
    struct Task
    {
        const void *lane;
        std::function<void()> copy;
        std::function<void()> then;
    };
    void work();
    Task takeFromQuietestLane(); // with the lock held
    void finishOne(std::unique_lock<std::mutex> &lock);
    void finishDone(); // what follows the copies completed by now

    std::vector<std::thread> threads;
    std::mutex lock;
    std::condition_variable taskReady;
    std::condition_variable copyDone;
    std::deque<Task> waiting; // handed over, not yet taken by a thread
    std::map<const void *, int> runningIn; // copies running, by lane
    std::deque<std::function<void()>> done; // copied; what follows still to run
    int inFlight = 0; // handed over, what follows not yet run
    const int atOnce;
    const int handedOverAtMost; // running or waiting; each holds two handles
    bool stopping = false;
};
