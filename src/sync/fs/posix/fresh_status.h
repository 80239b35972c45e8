#pragma once

#include <sys/stat.h>

// The status of name in dirFd (not following a link) as the file system has
// it now, not as a cache remembers it: the kernel keeps a network or FUSE
// file's attributes for a second or so, and sshfs answers a status asked by
// path from a cache of its own for about 20 s. A file changed on the server
// a moment ago shows here. Costs an open and a close on such a mount.
int freshStatAt(int dirFd, const char *name, struct stat *st);

// The status by name with the kernel's attributes set aside, without opening
// the file: for a file only this run has written (a temporary of its own),
// which no other cache can hold newer.
int uncachedStatAt(int dirFd, const char *name, struct stat *st);
