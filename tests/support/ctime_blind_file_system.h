#pragma once

#include "support/delegating_file_system.h"
#include "sync/decision/tree_clock.h"

#include <QDateTime>
#include <QFileInfo>

// The engine's own file system with the change time taken away, as exFAT,
// FAT and sshfs report it (equal to the modification time): a model of
// trees where only modification times tell what arrived, for tests on an
// ordinary disk.
class CtimeBlindFileSystem : public DelegatingFileSystem
{
public:
    CtimeBlindFileSystem()
        : DelegatingFileSystem(makeFileSystem())
    { }

    FsError probeClock(const Directory &dir, bool learnTraits, TreeClock *clock) override
    {
        const FsError error = real->probeClock(dir, learnTraits, clock);
        clock->changeTimes = false;
        return error;
    }
    OpenResult openRoot(const QString &path, Directory *dir, FsError *error) override
    {
        return blind(real->openRoot(path, dir, error), dir);
    }
    FsError makeRoot(const QString &path, Directory *dir) override
    {
        const FsError error = real->makeRoot(path, dir);
        if (!error.failed())
            blind(OpenResult::Opened, dir);
        return error;
    }
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry, bool followLinks) override
    {
        EntryStatus status = real->status(dir, entry, followLinks);
        status.statusChangedUs = status.modifiedUs;
        return status;
    }
    EntryStatus freshStatus(const Directory &dir, const DirectoryEntry &entry) override
    {
        EntryStatus status = real->freshStatus(dir, entry);
        status.statusChangedUs = status.modifiedUs;
        return status;
    }
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         FsError *error) override
    {
        return blind(real->openChild(dir, entry, child, error), child);
    }
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, FsError *error) override
    {
        // The real implementation checks the source against its real status.
        CopyRequest seen = request;
        seen.source = real->status(from, entry, request.followLink);
        if (seen.source.modifiedUs != request.source.modifiedUs
            || seen.source.size != request.source.size) {
            *error = FsError {FsFault::SourceChanged, 0, QString()};
            return CopyResult::Failed;
        }
        return real->copyFile(from, entry, into, seen, error);
    }

private:
    static OpenResult blind(OpenResult result, Directory *dir)
    {
        if (result == OpenResult::Opened)
            dir->lastChangeUs = QFileInfo(dir->path).lastModified().toMSecsSinceEpoch() * 1000;
        return result;
    }
};
