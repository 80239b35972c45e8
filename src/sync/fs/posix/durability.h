#pragma once

#include "sync/fs/fs_error.h"

#include <QtGlobal>

#include <sys/types.h>

#include <mutex>
#include <utility>
#include <vector>

// The file systems a run wrote to, flushed once at its end (syncfs), not a
// file at a time: a flush costs about a millisecond a file. Copies running at
// once remember theirs while the record's batch flushes.
class WrittenFileSystems
{
public:
    WrittenFileSystems() = default;
    Q_DISABLE_COPY(WrittenFileSystems)
    ~WrittenFileSystems();

    // dirFd: any descriptor on the file system written to (duplicated).
    void remember(dev_t device, int dirFd);
    FsError flush();

private:
    std::mutex lock;
    std::vector<std::pair<dev_t, int>> written; // one descriptor per file system
};
