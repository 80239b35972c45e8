#pragma once

#include <atomic>

#include "sync/fs/file_system.h"

#include <QByteArray>

#include <sys/types.h>

// Writing a file under a name other programs never see half written: into a
// temporary, unnamed where the kernel and file system allow (O_TMPFILE),
// else under the copy's own hidden name, which is then linked or renamed
// into place. What a file system refuses is learned once per run.
class AtomicPlacement
{
public:
    // The guard's verdict that the target changed since it was looked at: no
    // errno, so that a share's EBUSY (a target another client holds) is not
    // taken for it.
    static constexpr int targetChanged = -1;

    // A descriptor to write the new content into, or -1 with *error set.
    // *unnamed tells whether it has no name yet.
    int createTemporary(int dirFd, const QByteArray &temporaryName, mode_t mode, bool *unnamed,
                        int *error);
    // Gives the written temporary the name. With Placement::New an entry that
    // appeared meanwhile is left alone (EEXIST); with Placement::Replace the
    // target must still be `replaced` (targetChanged otherwise). A named
    // temporary is removed when placing fails. 0 or the errno.
    int place(int out, bool unnamed, int dirFd, const QByteArray &name,
              const QByteArray &temporaryName, Placement placement, const EntryStatus &replaced);

private:
    int linkUnnamed(int out, int dirFd, const QByteArray &name);
    int placeNew(int dirFd, const QByteArray &name, const QByteArray &temporaryName);

    std::atomic<bool> unnamedTemporaries {
            true}; // cleared once the kernel or file system refuses them
    std::atomic<bool> linkByEmptyPath {true}; // cleared once linkat(AT_EMPTY_PATH) is refused
    std::atomic<bool> hardLinks {true}; // cleared once a file system refuses them
    std::atomic<bool> renameNoReplace {true}; // cleared once renameat2(RENAME_NOREPLACE) is refused
};
