#include "sync/walk/target_level.h"

#include "sync/walk/run_context.h"

TargetLevel::TargetLevel(Directory opened, bool made)
    : state(Open)
    , opened(std::move(opened))
    , made(made)
{ }

TargetLevel::TargetLevel(const Directory *parent, const DirectoryEntry *entry)
    : parent(parent)
    , entry(entry)
{ }

const Directory *TargetLevel::directory(RunContext &run)
{
    if (state == Pending)
        state = openChild(run, *parent, *entry, &opened, &made) ? Open : Failed;
    return state == Open ? &opened : nullptr;
}

bool TargetLevel::openChild(RunContext &run, const Directory &into, const DirectoryEntry &entry,
                            Directory *child, bool *created)
{
    const QString path = into.path + entry.name;
    FsError error;
    OpenResult result = run.fileSystem.openChild(into, entry, child, &error);
    if (result == OpenResult::Missing) {
        *created = true;
        error = run.fileSystem.makeChild(into, entry);
        if (error.failed()) {
            run.fail(path, Failure::FileSystem, error);
            return false;
        }
        result = run.fileSystem.openChild(into, entry, child, &error);
    }
    switch (result) {
    case OpenResult::Opened: return true;
    case OpenResult::Link: run.fail(path, Failure::TargetIsLink); return false;
    case OpenResult::NotDirectory: run.fail(path, Failure::TargetNotDirectory); return false;
    default: run.fail(path, Failure::FileSystem, error); return false;
    }
}
