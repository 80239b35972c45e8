#pragma once

#include "sync/fs/file_system.h"

#include <QString>

#include <vector>

// Qt's file classes and a few system calls (portable_platform.h): the file
// system used where no faster platform code exists (Windows). Each file is
// written under the program's own hidden temporary name, written through to
// the disk, given its time and renamed into place; a replace first checks
// that the target is still the file that was looked at. Names are looked up
// by path, so a link swapped in while the run is under way is not guarded
// against here.
class PortableFileSystem : public FileSystem
{
public:
    OpenResult openRoot(const QString &path, Directory *dir, FsError *error) override;
    FsError makeRoot(const QString &path, Directory *dir) override;
    FsError list(const Directory &dir, std::vector<DirectoryEntry> *entries) override;
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry,
                       bool followLinks) override;
    EntryStatus freshStatus(const Directory &dir, const DirectoryEntry &entry) override;
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         FsError *error) override;
    FsError makeChild(const Directory &dir, const DirectoryEntry &entry) override;
    bool sameDirectory(const Directory &a, const Directory &b) override;
    // The clock, by a probe of the program's own name; durability, by writing
    // every file through.
    FsError probeClock(const Directory &dir, bool learnTraits, TreeClock *clock) override;
    FsError flush() override;
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, FsError *error) override;
    FsError digest(const Directory &dir, const DirectoryEntry &entry, bool followLinks,
                   QByteArray *digest) override;

private:
    bool restampsOnRename(const Directory &into) const;

    // Trees (by their canonical root) that give a renamed file a new time.
    std::vector<QString> restampingTrees;
};
