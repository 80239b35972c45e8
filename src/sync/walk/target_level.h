#pragma once

#include "sync/fs/entry.h"

struct RunContext;

// The target directory of one level of the walk. An existing one is opened
// only when something in it is needed: a rescan in which nothing changed
// then costs one look per directory that has no subdirectories.
class TargetLevel
{
public:
    // A level whose directory is open already; made: by this run, just now.
    explicit TargetLevel(Directory opened, bool made = false);
    // The level of entry below parent, opened when first needed.
    TargetLevel(const Directory *parent, const DirectoryEntry *entry);

    // The directory, opened (or made) now if it was not; null after a
    // failure, which is said once.
    const Directory *directory(RunContext &run);
    bool failed() const { return state == Failed; }
    // Made by this run: nothing was in it, so no name needs looking up there.
    bool madeByRun() const { return made; }

    // Opens the child of into, making it when it is missing (*created then);
    // false after saying why not.
    static bool openChild(RunContext &run, const Directory &into, const DirectoryEntry &entry,
                          Directory *child, bool *created);

private:
    enum State { Pending, Open, Failed };
    State state = Pending;
    const Directory *parent = nullptr;
    const DirectoryEntry *entry = nullptr;
    Directory opened;
    bool made = false;
};
