#pragma once

#include "sync/fs/file_system.h"
#include "sync/fs/posix/content_copy.h"
#include "sync/fs/posix/durability.h"
#include "sync/fs/posix/placement.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

// The file system of POSIX platforms: directories navigated by descriptor
// (directory_access), content copied by the kernel (content_copy), files
// placed atomically (placement), the clock probed (clock_probe), and the
// written file systems flushed before the record claims them (durability).
class PosixFileSystem : public FileSystem
{
public:
    // Directories, by descriptor (directory_access).
    OpenResult openRoot(const QString &path, Directory *dir, FsError *error) override;
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         FsError *error) override;
    FsError makeRoot(const QString &path, Directory *dir) override;
    FsError makeChild(const Directory &dir, const DirectoryEntry &entry) override;
    bool sameDirectory(const Directory &a, const Directory &b) override;
    FsError list(const Directory &dir, std::vector<DirectoryEntry> *entries) override;
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry,
                       bool followLinks) override;
    EntryStatus freshStatus(const Directory &dir, const DirectoryEntry &entry) override;

    // Files, their contents, the tree's clock, durability.
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, FsError *error) override;
    FsError digest(const Directory &dir, const DirectoryEntry &entry, bool followLinks,
                   QByteArray *digest) override;
    FsError probeClock(const Directory &dir, bool learnTraits, TreeClock *clock) override;
    FsError flush() override;
    // copyFile is safe to run from several threads at once.
    int copiesAtOnce() const override { return 8; }
    bool duplicate(const Directory &dir, Directory *copy) override;

private:
    // What a target file system showed of itself: the probe learns the
    // first two, a copy the third.
    struct DeviceTraits
    {
        bool restampsOnRename = false; // gives a renamed file a new time
        bool stampsAtClose = false; // gives a written file the time of its close
        bool keepsNoModes = false; // a mode set did not stay
    };
    DeviceTraits traitsOf(dev_t device) const;
    void learnKeepsNoModes(dev_t device);

    // A copier for each copy running: each has its buffer.
    std::unique_ptr<ContentCopy> leaseCopier();
    void giveBack(std::unique_ptr<ContentCopy> copier);

    AtomicPlacement placement;
    WrittenFileSystems written;
    mutable std::mutex learnedLock; // guards what copies learn and share as they run:
    std::map<dev_t, DeviceTraits> devices;
    std::vector<std::unique_ptr<ContentCopy>> idleCopiers;
};
