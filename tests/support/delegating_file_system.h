#pragma once

#include "sync/file_system.h"

// Passes every call to another file system; tests derive from it to change
// one thing about it.
class DelegatingFileSystem : public FileSystem
{
public:
    explicit DelegatingFileSystem(std::unique_ptr<FileSystem> real)
        : real(std::move(real))
    { }

    OpenResult openRoot(const QString &path, Directory *dir, QString *error) override
    {
        return real->openRoot(path, dir, error);
    }
    bool makeRoot(const QString &path, Directory *dir, QString *error) override
    {
        return real->makeRoot(path, dir, error);
    }
    bool list(const Directory &dir, std::vector<DirectoryEntry> *entries, QString *error) override
    {
        return real->list(dir, entries, error);
    }
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry, bool followLinks) override
    {
        return real->status(dir, entry, followLinks);
    }
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         QString *error) override
    {
        return real->openChild(dir, entry, child, error);
    }
    bool makeChild(const Directory &dir, const DirectoryEntry &entry, QString *error) override
    {
        return real->makeChild(dir, entry, error);
    }
    bool sameDirectory(const Directory &a, const Directory &b) override
    {
        return real->sameDirectory(a, b);
    }
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, QString *error) override
    {
        return real->copyFile(from, entry, into, request, error);
    }
    CopyMark readMark(const Directory &dir, const DirectoryEntry &entry) override
    {
        return real->readMark(dir, entry);
    }
    bool probeClock(const Directory &dir, bool learnTraits, TreeClock *clock,
                    QString *error) override
    {
        return real->probeClock(dir, learnTraits, clock, error);
    }
    bool flush(QString *error) override { return real->flush(error); }

protected:
    std::unique_ptr<FileSystem> real;
};
