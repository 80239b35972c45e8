#pragma once

#include "sync/fs/fs_error.h"
#include "sync/fs/own_names.h"

#include <QtGlobal>

struct TreeClock;

// Learns a tree's clock, how finely it keeps times, and whether its change
// times and file identities can be relied on, from a file created in the
// directory dirFd and removed again: unnamed where the kernel allows, else
// under the program's own probe name (fixed, so that one left by a run that
// was killed is taken over). With learnTraits, always named, and also what
// the tree does with names (case, Windows names, ASCII only) and with the
// time of a renamed file.
FsError probeTreeClock(int dirFd, bool learnTraits, const OwnNames &names, TreeClock *clock);

// How finely this kernel's clock stamps files on local file systems, in µs.
qint64 kernelTickUs();
