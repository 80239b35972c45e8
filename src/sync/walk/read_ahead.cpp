#include "sync/walk/read_ahead.h"

#include <algorithm>

namespace {

// Subdirectories one level has asked for and not yet taken: enough to keep
// the readers busy in a wide tree, while the deeper levels get theirs.
constexpr int aheadPerLevel = 8;
// Read or being read, not yet taken, over all levels: each holds a handle,
// which must stay far below a process's limit.
constexpr int aheadAtMost = 64;

} // namespace

bool ReadLevel::needsStatus(const DirectoryEntry &entry)
{
    return entry.type == EntryType::File || entry.type == EntryType::Unknown;
}

void ReadLevel::readEntries(FileSystem &fileSystem, const std::atomic<bool> *cancel)
{
    listError = fileSystem.list(dir, &entries);
    if (listError.failed())
        return;
    statuses.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (cancel && *cancel) {
            statuses.clear();
            return;
        }
        if (needsStatus(entries[i]))
            statuses[i] = fileSystem.status(dir, entries[i], false);
    }
}

LevelReader::LevelReader(FileSystem &fileSystem, int threadCount, const std::atomic<bool> *cancel)
    : fileSystem(fileSystem)
    , cancel(cancel)
{
    for (int i = 0; i < threadCount; ++i)
        threads.emplace_back([this] { work(); });
}

LevelReader::~LevelReader()
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    taskReady.notify_all();
    for (std::thread &thread : threads)
        thread.join();
}

void LevelReader::work()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        taskReady.wait(guard, [this] { return stopping || !waiting.empty(); });
        if (stopping)
            return;
        auto deepest = waiting.begin();
        const Task task = deepest->second.front();
        deepest->second.pop_front();
        if (deepest->second.empty())
            waiting.erase(deepest);
        ++task.level->reading;
        guard.unlock();

        auto level = std::make_unique<ReadLevel>();
        const DirectoryEntry &entry = *task.level->wanted[task.index];
        level->opened
                = fileSystem.openChild(task.level->parent, entry, &level->dir, &level->openError);
        if (level->opened == OpenResult::Opened)
            level->readEntries(fileSystem, cancel);

        guard.lock();
        task.level->read[task.index] = std::move(level);
        --task.level->reading;
        levelRead.notify_all();
    }
}

void LevelReader::dropWaiting(const ReadAhead *level)
{
    for (auto depth = waiting.begin(); depth != waiting.end();) {
        std::deque<Task> &tasks = depth->second;
        const auto before = tasks.size();
        tasks.erase(std::remove_if(tasks.begin(), tasks.end(),
                                   [level](const Task &task) { return task.level == level; }),
                    tasks.end());
        held -= int(before - tasks.size());
        depth = tasks.empty() ? waiting.erase(depth) : std::next(depth);
    }
}

bool LevelReader::withdraw(const ReadAhead *level, size_t index)
{
    const auto depth = waiting.find(level->depth);
    if (depth == waiting.end())
        return false;
    std::deque<Task> &tasks = depth->second;
    const auto found = std::find_if(tasks.begin(), tasks.end(), [level, index](const Task &task) {
        return task.level == level && task.index == index;
    });
    if (found == tasks.end())
        return false;
    tasks.erase(found);
    if (tasks.empty())
        waiting.erase(depth);
    --held;
    return true;
}

ReadAhead::ReadAhead(LevelReader &reader, const Directory &parent,
                     const std::vector<DirectoryEntry> &entries, int depth,
                     const std::function<bool(const DirectoryEntry &)> &chosen)
    : reader(reader)
    , parent(parent)
    , depth(depth)
{
    if (!reader.active())
        return;
    for (const DirectoryEntry &entry : entries) {
        if (entry.type == EntryType::Directory && chosen(entry))
            wanted.push_back(&entry);
    }
    read.resize(wanted.size());
    asked.resize(wanted.size(), false);
    std::unique_lock<std::mutex> guard(reader.lock);
    askMore(guard);
}

ReadAhead::~ReadAhead()
{
    if (wanted.empty())
        return;
    std::vector<std::unique_ptr<ReadLevel>> untaken;
    {
        std::unique_lock<std::mutex> guard(reader.lock);
        reader.dropWaiting(this);
        reader.levelRead.wait(guard, [this] { return reading == 0; });
        for (std::unique_ptr<ReadLevel> &level : read) {
            if (level) {
                --reader.held;
                untaken.push_back(std::move(level));
            }
        }
    }
    reader.taskReady.notify_all(); // room for other levels
    // untaken goes out of scope here, outside the lock: closing may wait.
}

std::unique_ptr<ReadLevel> ReadAhead::take(const DirectoryEntry &entry)
{
    const auto found = std::find(wanted.begin(), wanted.end(), &entry);
    if (found == wanted.end())
        return nullptr;
    const size_t index = size_t(found - wanted.begin());
    std::unique_lock<std::mutex> guard(reader.lock);
    nextToAsk = std::max(nextToAsk, index + 1); // the walk is past it
    std::unique_ptr<ReadLevel> level;
    if (asked[index] && !read[index] && reader.withdraw(this, index)) {
        // No reader has got to it yet: the walk reads it itself rather than
        // wait for a thread to wake (what a warm cache answers at once).
        --outstanding;
    } else if (asked[index]) {
        reader.levelRead.wait(guard, [this, index] { return read[index] != nullptr; });
        level = std::move(read[index]);
        --reader.held;
        --outstanding;
    }
    askMore(guard);
    return level;
}

void ReadAhead::askMore(std::unique_lock<std::mutex> &guard)
{
    int added = 0;
    while (nextToAsk < wanted.size() && outstanding < aheadPerLevel && reader.held < aheadAtMost) {
        reader.waiting[depth].push_back({this, nextToAsk});
        asked[nextToAsk++] = true;
        ++outstanding;
        ++reader.held;
        ++added;
    }
    guard.unlock();
    for (int i = 0; i < added; ++i)
        reader.taskReady.notify_one();
    guard.lock();
}
