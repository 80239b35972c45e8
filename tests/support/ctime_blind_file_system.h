#pragma once

#include "support/delegating_file_system.h"

#include <QDateTime>
#include <QFileInfo>

// The engine's own file system with the change time taken away, as exFAT,
// FAT and sshfs report it (equal to the modification time) and as Qt on
// Windows does: a model of trees where only modification times tell what
// arrived, for tests on an ordinary disk.
class CtimeBlindFileSystem : public DelegatingFileSystem
{
public:
    CtimeBlindFileSystem()
        : DelegatingFileSystem(makeFileSystem())
    { }

    OpenResult openRoot(const QString &path, Directory *dir, QString *error) override
    {
        return blind(real->openRoot(path, dir, error), dir);
    }
    bool makeRoot(const QString &path, Directory *dir, QString *error) override
    {
        const bool made = real->makeRoot(path, dir, error);
        if (made)
            blind(OpenResult::Opened, dir);
        return made;
    }
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry, bool followLinks) override
    {
        EntryStatus status = real->status(dir, entry, followLinks);
        status.changedMs = status.modifiedMs;
        status.changedUs = status.modifiedUs;
        return status;
    }
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         QString *error) override
    {
        return blind(real->openChild(dir, entry, child, error), child);
    }
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, QString *error) override
    {
        // The real implementation checks the source against its real status.
        CopyRequest seen = request;
        seen.source = real->status(from, entry, request.followLink);
        if (seen.source.modifiedUs != request.source.modifiedUs
            || seen.source.size != request.source.size) {
            *error = QStringLiteral("源文件在复制时被修改，下次重试");
            return CopyResult::Failed;
        }
        return real->copyFile(from, entry, into, seen, error);
    }

private:
    static OpenResult blind(OpenResult result, Directory *dir)
    {
        if (result == OpenResult::Opened)
            dir->changedMs = QFileInfo(dir->path).lastModified().toMSecsSinceEpoch();
        return result;
    }
};
