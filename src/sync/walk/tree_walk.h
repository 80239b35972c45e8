#pragma once

#include "sync/fs/entry.h"

struct RunContext;
class TargetLevel;

// The walk of the source tree, level by level: files go to FileStep, the
// directory skeleton is made on the target side as it is met, links to
// files are followed and everything else but directories left alone.
class TreeWalk
{
public:
    explicit TreeWalk(RunContext &run)
        : run(run)
    { }

    // Files below a directory are looked at when changed after sinceMs; all
    // of them when the directory itself is new on the target side.
    void copyLevel(const Directory &from, TargetLevel &into, qint64 sinceMs, bool wholeTree);

private:
    void copyLink(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                  qint64 fileSinceMs, qint64 linkSinceMs);
    void copyDirectory(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                       qint64 sinceMs, bool wholeTree, bool parentChanged);

    RunContext &run;
};
