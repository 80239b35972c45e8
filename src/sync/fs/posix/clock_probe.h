#pragma once

#include "sync/fs/fs_error.h"

#include <QtGlobal>

struct TreeClock;

// Learns a tree's clock and how finely it keeps times from a file created in
// the directory dirFd and removed again: unnamed where the kernel allows,
// else ".twinfold-probe.tmp" (a fixed name, so that one left by a run that
// was killed is reused). With learnTraits, always named, and also what the
// tree does with names (case, Windows names, ASCII only) and with the time
// of a renamed file.
FsError probeTreeClock(int dirFd, bool learnTraits, TreeClock *clock);

// How finely this kernel's clock stamps files on local file systems, in µs.
qint64 kernelTickUs();
