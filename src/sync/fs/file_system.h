#pragma once

#include "sync/fs/entry.h"
#include "sync/fs/fs_error.h"
#include "sync/fs/own_names.h"

#include <QString>

#include <atomic>
#include <memory>
#include <vector>

struct TreeClock;

// The file operations the walk needs, behind one interface so that the walk
// is the same everywhere: a POSIX implementation that works on open
// directory descriptors (fast, and immune to a directory being swapped for a
// link while it runs) and a portable one made of Qt's file classes. Every
// operation answers with values; none words anything for the user.

enum class OpenResult { Opened, Missing, Link, NotDirectory, Failed };
enum class Placement { New, Replace };
// TargetInUse: another program holds the target so that it cannot be
// replaced now (open on Windows, busy on a share); the next run tries again.
enum class CopyResult { Copied, TargetInUse, Failed };

struct CopyRequest
{
    bool followLink = false; // the entry is a link to a file: copy what it points to
    Placement placement = Placement::New;
    // The source as the decision saw it: a source that differs when opened
    // is left alone for the next run.
    EntryStatus source;
    // With Placement::Replace, the target as it was looked at.
    EntryStatus replaced;
    bool makeWritable = false;
    const std::atomic<bool> *cancel = nullptr; // set during a long copy: discard it
    // Where given, set to the copy as the target reads it back once placed,
    // with the caches of a share's client set aside (left Missing when the
    // implementation did not read it back).
    EntryStatus *placed = nullptr;
};

class FileSystem
{
public:
    virtual ~FileSystem() = default;

    // A directory the user named: links in the path are followed. *error is
    // set for Failed (and says why for the others).
    virtual OpenResult openRoot(const QString &path, Directory *dir, FsError *error) = 0;
    // Creates the directory with all missing parents, then opens it.
    virtual FsError makeRoot(const QString &path, Directory *dir) = 0;
    // Every entry but "." and "..", hidden ones included, in the order the
    // file system delivers them.
    virtual FsError list(const Directory &dir, std::vector<DirectoryEntry> *entries) = 0;
    virtual EntryStatus status(const Directory &dir, const DirectoryEntry &entry, bool followLinks)
            = 0;
    // The status as the file system has it now, not as the kernel may still
    // hold it for a network or FUSE file system (not following a link).
    virtual EntryStatus freshStatus(const Directory &dir, const DirectoryEntry &entry) = 0;
    // Opens a subdirectory without following a link in its place.
    virtual OpenResult openChild(const Directory &dir, const DirectoryEntry &entry,
                                 Directory *child, FsError *error)
            = 0;
    virtual FsError makeChild(const Directory &dir, const DirectoryEntry &entry) = 0;
    virtual bool sameDirectory(const Directory &a, const Directory &b) = 0;

    // Copies a regular file into the target directory under the same name,
    // with its modification time and permissions; the source is only read.
    // The new content appears under the name whole or not at all. With Placement::New an entry that
    // appeared meanwhile is left alone; with Placement::Replace a target that changed since it was
    // looked at is left alone. Failed comes with *error.
    virtual CopyResult copyFile(const Directory &from, const DirectoryEntry &entry,
                                const Directory &into, const CopyRequest &request, FsError *error)
            = 0;

    // The XXH3-128 digest of the file's content (16 bytes).
    virtual FsError digest(const Directory &dir, const DirectoryEntry &entry, bool followLinks,
                           QByteArray *digest)
            = 0;

    // Learns the tree's clock, its time resolution and whether its change
    // times and file identities can be relied on, from a file of its own
    // created in dir and removed at once (unnamed where the file system can).
    // With learnTraits, also what the tree does with names and times (probes
    // with the program's own names, for a tree that is written to). Fails
    // when nothing can be created there.
    virtual FsError probeClock(const Directory &dir, bool learnTraits, TreeClock *clock) = 0;

    // Makes every file copied so far durable: before the record says so.
    virtual FsError flush() = 0;

    // How many threads may use it at once: copyFile calls, or readers of
    // directories (openChild, list, status) beside the walk's own thread.
    virtual int copiesAtOnce() const { return 1; }
    // A handle of its own of an open directory, for a copy that outlives
    // the walk's; false where there is none to be had.
    virtual bool duplicate(const Directory &dir, Directory *copy)
    {
        Q_UNUSED(dir);
        Q_UNUSED(copy);
        return false;
    }

    // The names of the program's own files for the runs to come.
    virtual void setOwnNames(const OwnNames &names) { own = names; }
    const OwnNames &ownNames() const { return own; }

protected:
    OwnNames own;
};

// The fastest implementation this platform has.
std::unique_ptr<FileSystem> makeFileSystem();
// The one built on Qt's file classes alone.
std::unique_ptr<FileSystem> makePortableFileSystem();

// The path as a directory prefix: native separators, ending with one.
QString directoryPrefix(const QString &path);
