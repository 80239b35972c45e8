#pragma once

#include "sync/fs/entry.h"

class ReadAhead;
struct ReadLevel;
struct RunContext;
class TargetLevel;

// The walk of the source tree, level by level: files go to FileStep, the
// directory skeleton is made on the target side as it is met, links to
// files are followed and everything else but directories left alone.
class TreeWalk
{
public:
    // How deep below the root a run goes: a level holds two descriptors
    // open (the source and the target directory), which must stay well
    // inside the usual limit of 1,024. Deeper directories are said, once,
    // and left out; the rest of the tree is synced.
    static constexpr int deepestLevel = 256;

    explicit TreeWalk(RunContext &run)
        : run(run)
    { }

    // Files below a directory are looked at when changed after sinceMs (or
    // always, where the run compares every file with its record); all of them
    // when the directory itself is new on the target side. relativeDir: the
    // directory's path below the root, "" for the root. read: the
    // directory's entries as read ahead, if they were.
    void copyLevel(const Directory &from, TargetLevel &into, const QString &relativeDir,
                   qint64 sinceMs, bool wholeTree, int depth, ReadLevel *read = nullptr);

private:
    void copyDirectory(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                       const QString &relativeDir, qint64 sinceMs, bool wholeTree,
                       bool parentChanged, int depth, ReadAhead &ahead);
    // Whether the walk enters a subdirectory of this name at this depth
    // (what it says of one it does not is copyDirectory's).
    bool enters(const DirectoryEntry &entry, int depth) const;
    bool sourceAsRecorded(class LevelRecord &rows, const QString &name,
                          const EntryStatus &status) const;

    RunContext &run;
};
