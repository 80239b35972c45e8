#pragma once

#include "sync/fs/fs_error.h"

#include <QByteArray>
#include <QString>

#include <memory>

// What the file-system layer tells of the entries of a tree. Times are
// microseconds since the epoch, UTC, everywhere in the engine.

enum class EntryType { Unknown, Missing, File, Directory, Link, Other };

struct EntryStatus
{
    EntryType type = EntryType::Missing;
    qint64 modifiedUs = 0;
    // When the entry's status last changed (the inode change time: a write,
    // a rename, a move into the tree), where the file system keeps one; else
    // the modification time.
    qint64 statusChangedUs = 0;
    qint64 size = 0;
    quint64 fileId = 0; // the inode number where the platform has one, else 0
    FsError error; // why the status could not be read (type Unknown then)
};

struct DirectoryEntry
{
    QString name; // what the user sees and the ignore pattern is matched against
    QByteArray nativeName; // the bytes the listing gave, where names are bytes
    EntryType type = EntryType::Unknown; // from the listing; Unknown when it does not say
    // Set by the walk: on a target that does not tell case apart, an earlier
    // entry of this directory already has this name.
    bool caseTwin = false;
};

// Whatever a file system implementation keeps for an open directory.
class NativeDirectory
{
public:
    virtual ~NativeDirectory() = default;
};

struct Directory
{
    QString path; // native separators, ending with one
    // The later of its modification and status-change times: when an entry
    // was last added, renamed or moved in.
    qint64 lastChangeUs = 0;
    std::unique_ptr<NativeDirectory> native;
};
