#pragma once

#include "report.h"
#include "workspace.h"

#include <vector>

// The engine without the window against cp, rsync and find. Each case prints
// its runs and one summary line, and returns the bounds it checks.

// A: a full copy of many small files into an empty target.
std::vector<Bound> runFullCopyCase(Workspace &space, int runs);
// C: a full copy of a few large files; throughput.
std::vector<Bound> runThroughputCase(Workspace &space, int runs);
// B: a rescan of a large tree in which nothing changed.
std::vector<Bound> runRescanCase(Workspace &space, int runs);
// D: the same tree with a small share of its files changed before each run.
std::vector<Bound> runIncrementalCase(Workspace &space, int runs);
// F: a full copy of files dated an hour ahead against the same dated an hour ago.
std::vector<Bound> runFutureDatedCase(Workspace &space, int runs);
// G: copies onto and rescans of FUSE mounts (bindfs, sshfs), and the rescan on ext4.
std::vector<Bound> runFuseCase(Workspace &space, int runs);
// L: copies onto and a rescan of sshfs across a link with 1 ms round trips
// and with none added, the round trips cp -a waits for per new file.
std::vector<Bound> runLatencyCase(Workspace &space, int runs);
