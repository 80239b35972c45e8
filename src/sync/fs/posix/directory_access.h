#pragma once

#include "sync/fs/file_system.h"

#include <sys/types.h>

// Directories reached through open descriptors: every name is looked up in a
// directory the walk holds open, never through a path that a link planted in
// the tree could redirect.

struct PosixDirectory : NativeDirectory
{
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    mutable bool listed = false; // the descriptor's offset has moved
    ~PosixDirectory() override;
};

const PosixDirectory &nativeOf(const Directory &dir);
inline int descriptorOf(const Directory &dir)
{
    return nativeOf(dir).fd;
}

OpenResult openRootDirectory(const QString &path, Directory *dir, FsError *error);
FsError makeRootDirectory(const QString &path, Directory *dir);
OpenResult openChildDirectory(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                              FsError *error);
FsError makeChildDirectory(const Directory &dir, const DirectoryEntry &entry);
FsError listDirectory(const Directory &dir, std::vector<DirectoryEntry> *entries);
EntryStatus statusIn(const Directory &dir, const DirectoryEntry &entry, bool followLinks);
