#pragma once

#include "sync/fs/file_system.h"

// Passes every call to another file system; tests derive from it to change
// one thing about it.
class DelegatingFileSystem : public FileSystem
{
public:
    explicit DelegatingFileSystem(std::unique_ptr<FileSystem> real)
        : real(std::move(real))
    { }

    OpenResult openRoot(const QString &path, Directory *dir, FsError *error) override
    {
        return real->openRoot(path, dir, error);
    }
    FsError makeRoot(const QString &path, Directory *dir) override
    {
        return real->makeRoot(path, dir);
    }
    FsError list(const Directory &dir, std::vector<DirectoryEntry> *entries) override
    {
        return real->list(dir, entries);
    }
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry, bool followLinks) override
    {
        return real->status(dir, entry, followLinks);
    }
    EntryStatus freshStatus(const Directory &dir, const DirectoryEntry &entry) override
    {
        return real->freshStatus(dir, entry);
    }
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         FsError *error) override
    {
        return real->openChild(dir, entry, child, error);
    }
    FsError makeChild(const Directory &dir, const DirectoryEntry &entry) override
    {
        return real->makeChild(dir, entry);
    }
    bool sameDirectory(const Directory &a, const Directory &b) override
    {
        return real->sameDirectory(a, b);
    }
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, FsError *error) override
    {
        return real->copyFile(from, entry, into, request, error);
    }
    FsError digest(const Directory &dir, const DirectoryEntry &entry, bool followLinks,
                   QByteArray *digest) override
    {
        return real->digest(dir, entry, followLinks, digest);
    }
    FsError probeClock(const Directory &dir, bool learnTraits, TreeClock *clock) override
    {
        return real->probeClock(dir, learnTraits, clock);
    }
    FsError flush() override { return real->flush(); }
    void setOwnNames(const OwnNames &names) override
    {
        own = names;
        real->setOwnNames(names);
    }

protected:
    std::unique_ptr<FileSystem> real;
};
