#include "sync/walk/tree_walk.h"

#include "sync/walk/file_step.h"
#include "sync/walk/ignore_filter.h"
#include "sync/walk/level_record.h"
#include "sync/walk/read_ahead.h"
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

bool TreeWalk::sourceAsRecorded(LevelRecord &rows, const QString &name,
                                const EntryStatus &status) const
{
    const RecordRow *row = rows.row(name);
    return row && matchesRecord(status, row->side(run.sourceIsLocal), run.sourceTraits);
}

void TreeWalk::copyLevel(const Directory &from, TargetLevel &into, const QString &relativeDir,
                         qint64 sinceMs, bool wholeTree, int depth, ReadLevel *read)
{
    std::vector<DirectoryEntry> entries;
    std::vector<EntryStatus> statuses; // where read ahead
    const FsError listed = read ? read->listError : run.fileSystem.list(from, &entries);
    if (read) {
        entries = std::move(read->entries);
        statuses = std::move(read->statuses);
    }
    if (listed.failed()) {
        run.fail(from.path, Failure::FileSystem, listed);
        return;
    }
    LevelRecord rows(run.record, relativeDir);
    // Entries moved or unpacked into a directory keep their old times, and
    // where the change time means nothing (FAT, exFAT, sshfs) only the
    // directory's own time shows they arrived: then every entry in it is
    // compared with the target.
    const bool changed = wholeTree || changedAfter(from.lastChangeUs, sinceMs);
    const qint64 fileSinceMs = changed || run.lookAtAll ? everything : sinceMs;
    if (run.targetClock.caseInsensitive)
        markCaseTwins(&entries, [&rows](const QString &name) { return rows.row(name); });
    ReadAhead ahead(*run.levels, from, entries, depth,
                    [this, depth](const DirectoryEntry &entry) { return enters(entry, depth); });
    FileStep files(run);
    for (size_t index = 0; index < entries.size(); ++index) {
        const DirectoryEntry &entry = entries[index];
        if (run.cancelRequested()) {
            run.report.cancelled = true;
            return;
        }
        if (into.failed())
            return; // said once; nothing of this level can be written
        if (run.fileSystem.ownNames().isOwn(entry) || isFusePlaceholder(entry))
            continue;
        EntryType type = entry.type;
        EntryStatus status;
        if (type == EntryType::File || type == EntryType::Unknown) {
            status = statuses.empty() ? run.fileSystem.status(from, entry, false) : statuses[index];
            if (status.error.failed()) {
                run.fail(from.path + entry.name, Failure::FileSystem, status.error);
                continue;
            }
            type = status.type; // Missing when it went away after the listing
        }
        if (type == EntryType::File) {
            // Looked at only because this tree's times cannot be trusted: a
            // source as its record row says has nothing to carry, and its
            // target is the other direction's to look at.
            if (changedAfter(arrivalOf(status), fileSinceMs)
                && !(run.lookAtAll && !changed && !changedAfter(arrivalOf(status), sinceMs)
                     && sourceAsRecorded(rows, entry.name, status)))
                files.copy(from, entry, status, false, into, rows);
        } else if (type == EntryType::Directory) {
            copyDirectory(from, entry, into, relativeDir, sinceMs, wholeTree, changed, depth,
                          ahead);
        } else if (type == EntryType::Link) {
            // A link to a file is copied as the file; a new link to an old
            // file is new to the tree. A link to a directory is never
            // followed, a dangling one has nothing to copy: said when it
            // changed, not each time its directory did.
            const EntryStatus link = run.fileSystem.status(from, entry, false);
            const EntryStatus pointee = run.fileSystem.status(from, entry, true);
            const qint64 arrived = std::max(arrivalOf(pointee), link.statusChangedUs);
            if (pointee.type == EntryType::File && changedAfter(arrived, fileSinceMs))
                files.copy(from, entry, pointee, true, into, rows);
            else if ((pointee.type == EntryType::Directory || pointee.type == EntryType::Missing)
                     && changedAfter(arrivalOf(link), sinceMs) && !run.filter.isIgnored(entry.name))
                run.sayOnce(EventKind::LinkSkipped, from.path + entry.name, link.modifiedUs, 0);
        } // pipes, sockets and devices are not copied
    }
}

void TreeWalk::copyDirectory(const Directory &from, const DirectoryEntry &entry, TargetLevel &level,
                             const QString &relativeDir, qint64 sinceMs, bool wholeTree,
                             bool parentChanged, int depth, ReadAhead &ahead)
{
    if (run.filter.isIgnored(entry.name + QLatin1Char('/')))
        return;
    const QString path = from.path + entry.name + QLatin1Char('/');
    if (const auto refusal = nameRefusal(entry, run.targetClock)) {
        // Said when it appeared (its parent changed), not on every run.
        if (parentChanged) {
            ++run.report.skipped;
            run.sayOnce(*refusal, path, 0, 0);
        }
        return;
    }
    if (depth >= deepestLevel) {
        ++run.report.skipped;
        run.sayOnce(EventKind::TooDeep, path, 0, 0);
        return;
    }

    std::unique_ptr<ReadLevel> read = ahead.take(entry);
    Directory child;
    FsError sourceError;
    const OpenResult opened
            = read ? read->opened : run.fileSystem.openChild(from, entry, &child, &sourceError);
    if (read) {
        child = std::move(read->dir);
        sourceError = read->openError;
    }
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
        childLevel = TargetLevel(std::move(made), created);
    }
    if (opened == OpenResult::Failed) {
        run.fail(from.path + entry.name, Failure::FileSystem, sourceError);
        return;
    }
    // A directory the target lacks was moved, unpacked or created here since
    // the last run, or never copied: everything in it is compared, whatever
    // its times say.
    const QString below
            = relativeDir.isEmpty() ? entry.name : relativeDir + QLatin1Char('/') + entry.name;
    copyLevel(child, childLevel, below, sinceMs, wholeTree || created, depth + 1, read.get());
}

bool TreeWalk::enters(const DirectoryEntry &entry, int depth) const
{
    return !run.filter.isIgnored(entry.name + QLatin1Char('/'))
           && !nameRefusal(entry, run.targetClock) && depth < deepestLevel;
}
