#include "sync/walk/tree_walk.h"

#include "sync/fs/temporary_names.h"
#include "sync/walk/file_step.h"
#include "sync/walk/ignore_filter.h"
#include "sync/walk/run_context.h"
#include "sync/walk/target_level.h"
#include "sync/walk/target_names.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 everything = std::numeric_limits<qint64>::min();

// A file moved or unpacked into a tree keeps its old modification time; the
// status-change time shows when it arrived.
qint64 arrivalOf(const EntryStatus &status)
{
    return std::max(status.modifiedUs, status.statusChangedUs);
}

} // namespace

void TreeWalk::copyLevel(const Directory &from, TargetLevel &into, qint64 sinceMs, bool wholeTree)
{
    std::vector<DirectoryEntry> entries;
    const FsError listed = run.fileSystem.list(from, &entries);
    if (listed.failed()) {
        run.fail(from.path, Failure::FileSystem, listed);
        return;
    }
    // Entries moved or unpacked into a directory keep their old times, and
    // where the change time means nothing (FAT, exFAT, sshfs) only the
    // directory's own time shows they arrived: then every entry in it is
    // compared with the target.
    const bool changed = wholeTree || changedAfter(from.lastChangeUs, sinceMs);
    const qint64 fileSinceMs = changed ? everything : sinceMs;
    if (run.targetClock.caseInsensitive)
        markCaseTwins(&entries);
    FileStep files(run);
    for (const DirectoryEntry &entry : entries) {
        if (run.cancelRequested()) {
            run.report.cancelled = true;
            return;
        }
        if (into.failed())
            return; // said once; nothing of this level can be written
        if (isTemporaryName(entry))
            continue;
        EntryType type = entry.type;
        EntryStatus status;
        if (type == EntryType::File || type == EntryType::Unknown) {
            status = run.fileSystem.status(from, entry, false);
            if (status.error.failed()) {
                run.fail(from.path + entry.name, Failure::FileSystem, status.error);
                continue;
            }
            type = status.type; // Missing when it went away after the listing
        }
        switch (type) {
        case EntryType::File:
            files.copy(from, entry, status, arrivalOf(status), false, into, fileSinceMs);
            break;
        case EntryType::Directory:
            copyDirectory(from, entry, into, sinceMs, wholeTree, changed);
            break;
        case EntryType::Link: copyLink(from, entry, into, fileSinceMs, sinceMs); break;
        default: break; // pipes, sockets and devices are not copied
        }
    }
}

// A link to a file is copied as the file; a skipped link is reported when it
// changed, not each time its directory did.
void TreeWalk::copyLink(const Directory &from, const DirectoryEntry &entry, TargetLevel &into,
                        qint64 fileSinceMs, qint64 linkSinceMs)
{
    const EntryStatus link = run.fileSystem.status(from, entry, false);
    const EntryStatus pointee = run.fileSystem.status(from, entry, true);
    if (pointee.type == EntryType::File) {
        // A new link to an old file is new to this tree.
        const qint64 arrived = std::max(arrivalOf(pointee), link.statusChangedUs);
        FileStep(run).copy(from, entry, pointee, arrived, true, into, fileSinceMs);
        return;
    }
    // A link to a directory is never followed, and a dangling one has nothing to copy.
    if (pointee.type != EntryType::Directory && pointee.type != EntryType::Missing)
        return;
    if (!changedAfter(arrivalOf(link), linkSinceMs) || run.filter.isIgnored(entry.name))
        return;
    run.say(EventKind::LinkSkipped, from.path + entry.name);
}

void TreeWalk::copyDirectory(const Directory &from, const DirectoryEntry &entry, TargetLevel &level,
                             qint64 sinceMs, bool wholeTree, bool parentChanged)
{
    if (run.filter.isIgnored(entry.name + QLatin1Char('/')))
        return;
    if (const auto refusal = nameRefusal(entry, run.targetClock)) {
        // Said when it appeared (its parent changed), not on every run.
        if (parentChanged) {
            ++run.report.skipped;
            run.sayOnce(*refusal, from.path + entry.name + QLatin1Char('/'), 0, 0);
        }
        return;
    }

    Directory child;
    FsError sourceError;
    const OpenResult opened = run.fileSystem.openChild(from, entry, &child, &sourceError);
    if (opened == OpenResult::Link || opened == OpenResult::NotDirectory)
        return; // replaced since the listing; the next run sees what it is now
    if (opened == OpenResult::Missing) {
        run.fail(from.path + entry.name, Failure::DirectoryVanished);
        return;
    }
    // The target tree inside the source tree: copying it would copy it into itself.
    if (opened == OpenResult::Opened && run.fileSystem.sameDirectory(child, *run.targetRoot))
        return;

    const Directory *into = level.directory(run);
    if (!into)
        return;
    TargetLevel childLevel(into, &entry);
    bool created = false;
    const EntryStatus existing = run.fileSystem.status(*into, entry, false);
    if (existing.type != EntryType::Directory) {
        // Missing, or in the way: made (or refused) now, as the skeleton needs.
        Directory made;
        if (!TargetLevel::openChild(run, *into, entry, &made, &created))
            return;
        childLevel = TargetLevel(std::move(made));
    }
    if (opened == OpenResult::Failed) {
        run.fail(from.path + entry.name, Failure::FileSystem, sourceError);
        return;
    }
    // A directory the target lacks was moved, unpacked or created here since
    // the last run, or never copied: everything in it is compared, whatever
    // its times say.
    copyLevel(child, childLevel, sinceMs, wholeTree || created);
}
