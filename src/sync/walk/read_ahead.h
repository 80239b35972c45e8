#pragma once

#include "sync/fs/file_system.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A subdirectory opened and listed, with the status of each file in it, as
// the walk would read it on entering.
struct ReadLevel
{
    OpenResult opened = OpenResult::Failed;
    FsError openError;
    Directory dir;
    FsError listError;
    std::vector<DirectoryEntry> entries;
    // For each entry listed as a file or of unknown type (the ones the walk
    // looks at); left as they are for the others.
    std::vector<EntryStatus> statuses;

    // What the walk reads of a directory it has opened itself.
    static bool needsStatus(const DirectoryEntry &entry);
    // Stops early when cancel is set, with no statuses: a walk that goes
    // on reads them itself.
    void readEntries(FileSystem &fileSystem, const std::atomic<bool> *cancel);
};

// Subdirectories read ahead of the walk, on a source reached through a
// network or FUSE client: there opening and listing a directory waits on
// round trips, and the walk reads one directory after another (as find
// does), while the client overlaps the requests of several readers. Each
// level of the walk asks for its own subdirectories (ReadAhead); the
// deepest level's are read first, being the ones the walk needs soonest.
class LevelReader
{
public:
    // threads 0: nothing is read ahead. cancel (may be null): set when the
    // run is cancelled, so that a large directory is not read to its end.
    LevelReader(FileSystem &fileSystem, int threads, const std::atomic<bool> *cancel);
    ~LevelReader();
    LevelReader(const LevelReader &) = delete;
    LevelReader &operator=(const LevelReader &) = delete;

    bool active() const { return !threads.empty(); }

private:
    friend class ReadAhead;
    struct Task
    {
        class ReadAhead *level;
        size_t index; // of the subdirectory in what the level wants
    };
    void work();
    void dropWaiting(const ReadAhead *level); // with the lock held
    // Takes back a subdirectory no reader has started on; with the lock held.
    bool withdraw(const ReadAhead *level, size_t index);

    FileSystem &fileSystem;
    const std::atomic<bool> *cancel;
    std::vector<std::thread> threads;
    std::mutex lock;
    std::condition_variable taskReady;
    std::condition_variable levelRead;
    std::map<int, std::deque<Task>, std::greater<int>> waiting; // by depth, deepest first
    int running = 0;
    int held = 0; // read or being read, not yet taken: each holds a handle
    bool stopping = false;
};

// One level's subdirectories, read ahead in the order of the listing, a few
// at a time.
class ReadAhead
{
public:
    // Only entries chosen (the directories the walk will enter) are read.
    ReadAhead(LevelReader &reader, const Directory &parent,
              const std::vector<DirectoryEntry> &entries, int depth,
              const std::function<bool(const DirectoryEntry &)> &chosen);
    // Waits for what is being read; what was read and not taken is closed.
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    // The subdirectory as read ahead, once read; null when it was not asked
    // for (then the walk reads it itself).
    std::unique_ptr<ReadLevel> take(const DirectoryEntry &entry);

private:
    friend class LevelReader;
    void askMore(std::unique_lock<std::mutex> &guard); // with the reader's lock held

    LevelReader &reader;
    const Directory &parent;
    const int depth;
    std::vector<const DirectoryEntry *> wanted; // in the walk's order
    std::vector<std::unique_ptr<ReadLevel>> read; // one for each wanted, once read
    std::vector<bool> asked;
    size_t nextToAsk = 0;
    int outstanding = 0; // asked of this level, not yet taken
    int reading = 0; // being read now
};
