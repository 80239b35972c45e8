#pragma once

#include "sync/file_system.h"

// Qt's file classes alone: the path used where no faster platform code
// exists (Windows). Each file is written under the program's own hidden
// temporary name, written through to the disk, given its time and renamed
// into place; a replace first checks that the target is still the file that
// was looked at. A link swapped in while the run is under way is not guarded
// against here.
class PortableFileSystem : public FileSystem
{
public:
    OpenResult openRoot(const QString &path, Directory *dir, QString *error) override;
    bool makeRoot(const QString &path, Directory *dir, QString *error) override;
    bool list(const Directory &dir, std::vector<DirectoryEntry> *entries, QString *error) override;
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry,
                       bool followLinks) override;
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         QString *error) override;
    bool makeChild(const Directory &dir, const DirectoryEntry &entry, QString *error) override;
    bool sameDirectory(const Directory &a, const Directory &b) override;
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, QString *error) override;
    CopyMark readMark(const Directory &dir, const DirectoryEntry &entry) override;
    bool probeClock(const Directory &dir, bool learnTraits, TreeClock *clock,
                    QString *error) override;
    bool flush(QString *error) override;
};
